#pragma once
#include <cstdint>
#include <functional>
#include <memory>

namespace kavro {

struct ClientHandle;
class CAVSource;

// Conduit sizes of a client. Live clients use the defaults; a replay client uses
// ReplayConduitSettings (a small audio conduit, and a paced video conduit so that reading a
// file cannot run ahead of the display).
struct ConduitSettings {
    int videoCapacity = 0x200000;
    int audioCapacity = 0x20000;
    int lowWater = 8192;
    bool videoFlowControl = false;  // turned on once both conduits exist
};
ConduitSettings LiveConduitSettings();
ConduitSettings ReplayConduitSettings();

// Makes the media source of a client, or nullptr when there is none for it. Called once by
// BuildPipeline after both conduits exist; the pipeline then sets the source's client and
// conduits and calls its Init.
using SourceFactory = std::function<std::unique_ptr<CAVSource>(ClientHandle*)>;

// The live source for the client's transport (0 RTP over UDP, 1 interleaved over the RTSP
// connection); nullptr for any other transport.
std::unique_ptr<CAVSource> MakeLiveSource(ClientHandle* client);

// Opens a client whose fields are already initialised (InitLiveClient / InitFileClient, and
// anything the caller wants set before the threads run, e.g. replayPause for a replay that
// starts paused): registers it (client->self), builds the pipeline with `makeSource` and
// `conduits`, and starts the threads. Returns the handle value for the host, or 0 when any step
// fails; everything created is then stopped and freed, the handle is unregistered and the
// client deleted. Never throws.
//
// A replay open is:
//   auto client = std::make_unique<ClientHandle>();
//   if (!InitFileClient(client.get(), path, wnd)) return 0;
//   if (startPaused) client->replayPause = 1;
//   return OpenClient(std::move(client), [](ClientHandle*) { return std::unique_ptr<CAVSource>(...); },
//                     ReplayConduitSettings());
uint32_t OpenClient(std::unique_ptr<ClientHandle> client, const SourceFactory& makeSource,
                    const ConduitSettings& conduits) noexcept;

// Closes any client (live or replay): unregisters it (waiting for exports running on other
// threads), stops and frees its pipeline and deletes it. 0 when the handle does not resolve.
int32_t CloseClient(uint32_t handle) noexcept;

// The steps OpenClient and CloseClient are made of; each may be called on a partly built client.
// BuildPipeline: conduits, source (with its Init), audio player with its buffers, bit-rate meter;
// false at the first failure, leaving what exists for StopClient / FreeClient.
bool BuildPipeline(ClientHandle* client, const SourceFactory& makeSource, const ConduitSettings& conduits);
// Starts audio player, source, bit-rate meter in that order; on a failure stops what it started.
bool StartThreads(ClientHandle* client);
// Talk session, conduits (closed first so that no thread stays blocked on one), source, audio
// player, bit-rate meter. Safe on a partly built client and more than once.
void StopClient(ClientHandle* client);
// Deletes every part of the pipeline that exists and forgets it. The client itself stays.
void FreeClient(ClientHandle* client);

}  // namespace kavro
