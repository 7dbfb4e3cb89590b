#include "api/Pipeline.h"

#include <new>

#include "api/ClientHandle.h"
#include "api/HandleTable.h"
#include "api/Library.h"
#include "audio/CAVSound.h"
#include "audio/CTalk2VS.h"
#include "conduit/CBufferConduit.h"
#include "display/CBitRate.h"
#include "source/CAVSource.h"
#include "source/CAVSource_RTSP_TCP.h"
#include "source/CAVSource_RTSP_UDP.h"

namespace kavro {

ConduitSettings LiveConduitSettings() { return ConduitSettings{}; }

ConduitSettings ReplayConduitSettings() {
    ConduitSettings s;
    s.audioCapacity = 1024;
    s.videoFlowControl = true;
    return s;
}

std::unique_ptr<CAVSource> MakeLiveSource(ClientHandle* client) {
    switch (client->transport) {
        case 0:
            return std::make_unique<CAVSource_RTSP_UDP>();
        case 1:
            return std::make_unique<CAVSource_RTSP_TCP>();
        default:
            return nullptr;
    }
}

namespace {

CIConduit* MakeConduit(int capacity, int lowWater, int frameMode) {
    auto conduit = std::make_unique<CBufferConduit>();
    if (!conduit->Init(capacity, 0, lowWater, frameMode)) return nullptr;
    return conduit.release();
}

}  // namespace

bool BuildPipeline(ClientHandle* client, const SourceFactory& makeSource, const ConduitSettings& conduits) {
    client->videoConduit = MakeConduit(conduits.videoCapacity, conduits.lowWater, 1);
    if (client->videoConduit == nullptr) return false;
    client->audioConduit = MakeConduit(conduits.audioCapacity, conduits.lowWater, 0);
    if (client->audioConduit == nullptr) return false;
    if (conduits.videoFlowControl) client->videoConduit->SetFlowControl(1);

    std::unique_ptr<CAVSource> source = makeSource ? makeSource(client) : nullptr;
    if (!source) return false;
    source->client = client;
    source->videoConduit = client->videoConduit;
    source->audioConduit = client->audioConduit;
    client->source = source.release();

    auto sound = std::make_unique<CAVSound>();
    sound->client = client;
    sound->audioConduit = client->audioConduit;
    client->sound = sound.release();

    client->bitRate = new CBitRate(client);

    if (!client->sound->PrepareBuffers()) return false;
    // The bit-rate meter's stop event exists with the meter.
    return client->source->Init() == 1;
}

bool StartThreads(ClientHandle* client) {
    if (client->sound == nullptr || client->source == nullptr || client->bitRate == nullptr) return false;
    if (client->sound->Start() != 0) return false;
    if (client->source->Start() != 0) {
        client->sound->Stop();
        return false;
    }
    if (client->bitRate->Start() != 0) {
        client->sound->Stop();
        client->source->Stop();
        return false;
    }
    return true;
}

void StopClient(ClientHandle* client) {
    // The talk session uses neither conduit; it ends first and is deleted with the rest.
    StopTalkSession(client);
    if (client->audioConduit != nullptr) client->audioConduit->Close();
    if (client->videoConduit != nullptr) client->videoConduit->Close();
    if (client->source != nullptr) {
        client->source->Stop();
        client->source->Release();
    }
    if (client->sound != nullptr) {
        client->sound->Stop();
        client->sound->ReleaseBuffers();
    }
    if (client->bitRate != nullptr) client->bitRate->Stop();
}

void FreeClient(ClientHandle* client) {
    delete client->source;
    client->source = nullptr;
    delete client->sound;
    client->sound = nullptr;
    delete client->bitRate;
    client->bitRate = nullptr;
    delete client->videoConduit;
    client->videoConduit = nullptr;
    delete client->audioConduit;
    client->audioConduit = nullptr;
    delete client->talk.exchange(nullptr);
}

uint32_t OpenClient(std::unique_ptr<ClientHandle> client, const SourceFactory& makeSource,
                    const ConduitSettings& conduits) noexcept {
    if (!client) return 0;
    // Registered before anything starts: the workers report with the handle value in self.
    const uint32_t handle = RegisterClient(client.get());
    if (handle == 0) return 0;
    bool ok = false;
    try {
        ok = BuildPipeline(client.get(), makeSource, conduits) && StartThreads(client.get());
    } catch (...) {
        ok = false;
    }
    if (ok) {
        client.release();  // owned by the handle table entry until CloseClient
        return handle;
    }
    // Whoever unregisters the entry tears the client down; the host has not been given the
    // value yet, so that is nearly always this thread.
    ClientHandle* owned = UnregisterClient(handle);
    if (owned != client.get()) {
        client.release();
        return 0;
    }
    try {
        // Stopping first also ends what Init already started (a display thread, sockets).
        StopClient(client.get());
    } catch (...) {
    }
    FreeClient(client.get());
    return 0;
}

int32_t CloseClient(uint32_t handle) noexcept {
    if (handle == 0) return 0;
    ClientHandle* client = UnregisterClient(handle);
    if (client == nullptr) return 0;
    try {
        StopClient(client);
    } catch (...) {
    }
    FreeClient(client);
    delete client;
    return 1;
}

}  // namespace kavro

using namespace kavro;

extern "C" KAVRO_API KAVRO_HANDLE KAVRO_ClientStart(const KAVRO_CLIENT_RECORD* record) {
    try {
        if (record == nullptr) return 0;
        auto client = std::make_unique<ClientHandle>();
        if (!InitLiveClient(client.get(), record)) return 0;
        return OpenClient(std::move(client), MakeLiveSource, LiveConduitSettings());
    } catch (...) {
        return 0;
    }
}

extern "C" KAVRO_API KAVRO_BOOL KAVRO_ClientStop(KAVRO_HANDLE h) { return CloseClient(h); }

extern "C" KAVRO_API KAVRO_BOOL KAVRO_CloseFile(KAVRO_HANDLE h) { return CloseClient(h); }
