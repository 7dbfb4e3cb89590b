#include "audio/CTalk2VS.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "api/ClientHandle.h"
#include "audio/CRecvThread.h"
#include "audio/CSendThread.h"
#include "control/Scanner.h"

namespace kavro {

namespace {
// Serialises starting and stopping of sessions, so two host threads cannot both replace one.
std::mutex& TalkLock() {
    static std::mutex m;
    return m;
}
}  // namespace

CTalk2VS::CTalk2VS(ClientHandle* c, uint32_t retryPauseMs)
    : client(c),
      makeCaptureDevice([] { return CreateAlsaInput(); }),
      makePlaybackDevice([] { return CreateAlsaOutput(); }),
      retryPauseMs_(retryPauseMs) {}

CTalk2VS::~CTalk2VS() {
    StopAndWait();
    StopWorkers();
    CloseCommandSocket(connection);
}

void CTalk2VS::StopAndWait() {
    stopRequested = 1;
    stopEvent.Set();
    {
        std::lock_guard<std::mutex> g(socketLock_);
        connection.sock.Shutdown();
    }
    Join();
}

CTalk2VS::Reply CTalk2VS::ParseReply(const char* data, size_t length) {
    Reply r;
    if (!data) return r;
    std::string_view text(data, length);
    size_t lf1 = text.find('\n');
    if (lf1 == std::string_view::npos) return r;
    size_t lf2 = text.find('\n', lf1 + 1);
    if (lf2 == std::string_view::npos) return r;
    if (text.substr(0, lf1).find("CMD:TALK") == std::string_view::npos) return r;
    char line[kMctpReplyMax + 1];
    size_t n = lf2 - lf1;  // second line with its line feed
    if (n > kMctpReplyMax) return r;
    std::memcpy(line, data + lf1 + 1, n);
    line[n] = '\0';
    int32_t values[2] = {0, 0};
    if (ScanValues(line, "@%d@%d@", values, 2) != 2 || values[1] != 1) return r;
    r.accepted = true;
    r.twoWay = values[0] != 0;
    r.replyLength = lf2 + 1;
    return r;
}

bool CTalk2VS::Handshake() {
    if (!client) return false;
    char host[sizeof client->host + 1];
    std::memcpy(host, client->host, sizeof client->host);
    host[sizeof client->host] = '\0';
    uint32_t address = 0;
    if (!ResolveHost(host, &address)) return false;
    {
        std::lock_guard<std::mutex> g(socketLock_);
        CloseCommandSocket(connection);
        if (stopRequested) return false;
        if (!OpenCommandSocket(connection, kTalkRegistrationTimeouts.connectMs,
                               kTalkRegistrationTimeouts.sendMs, kTalkRegistrationTimeouts.receiveMs))
            return false;
    }
    SetNoDelay(connection);
    SetSendBufferSize(connection);
    SetReceiveBufferSize(connection);
    char request[128];
    int length = std::snprintf(request, sizeof request, "CMD:TALK MCTP/1.0 CS\n@%d@%d@\nEND\n",
                               static_cast<int>(client->channel), 0);
    MctpReply reply;
    bool ok = length > 0 && static_cast<size_t>(length) < sizeof request &&
              ConnectWithTimeout(connection, address, client->controlPort) &&
              MctpSendReceive(connection, request, static_cast<size_t>(length), reply);
    Reply r;
    if (ok) r = ParseReply(reply.text, static_cast<size_t>(reply.length));
    if (!r.accepted) {
        std::lock_guard<std::mutex> g(socketLock_);
        CloseCommandSocket(connection);
        return false;
    }
    twoWay = r.twoWay ? 1 : 0;
    size_t rest = static_cast<size_t>(reply.length) - r.replyLength;
    if (rest > kFirstSoundMax) rest = kFirstSoundMax;
    std::memcpy(firstSound_, reply.text + r.replyLength, rest);
    firstSoundLength_ = static_cast<int>(rest);
    ++connections;
    return true;
}

void CTalk2VS::StopWorkers() {
    if (recvThread) {
        recvThread->StopWorker();
        recvThread.reset();
    }
    if (sendThread) {
        sendThread->StopWorker();
        sendThread.reset();
    }
}

void* CTalk2VS::Thread() {
    ThreadStarted();
    for (;;) {
        // The connection is shut down first so that a worker blocked on it returns; it is closed
        // only once no worker can use it any more.
        {
            std::lock_guard<std::mutex> g(socketLock_);
            connection.sock.Shutdown();
        }
        StopWorkers();
        {
            std::lock_guard<std::mutex> g(socketLock_);
            CloseCommandSocket(connection);
        }

        while (!Handshake()) {
            for (uint32_t waited = 0; waited < retryPauseMs_ && !stopRequested; waited += kRetryStepMs)
                stopEvent.Wait(kRetryStepMs);
            if (stopRequested) break;
        }
        if (stopRequested) break;

        sendFailed.Reset();
        recvFailed.Reset();
        if (twoWay) {
            recvThread =
                std::make_unique<CRecvThread>(client, connection.sock, recvFailed, makePlaybackDevice());
            recvThread->SetFirstSound(firstSound_, firstSoundLength_);
            if (!recvThread->playback.OpenPlayback()) break;
            if (recvThread->Start() != 0) {
                recvThread->playback.ClosePlayback();
                break;
            }
        }
        sendThread = std::make_unique<CSendThread>(client, connection.sock, sendFailed, makeCaptureDevice());
        if (!sendThread->capture.OpenCapture()) break;
        if (sendThread->Start() != 0) {
            sendThread->capture.CloseCapture();
            break;
        }

        Event* events[3] = {&stopEvent, &sendFailed, &recvFailed};
        int which = Event::WaitAny(events, 3, kInfinite);
        if (which == 0 || stopRequested) break;
    }
    {
        std::lock_guard<std::mutex> g(socketLock_);
        connection.sock.Shutdown();
    }
    StopWorkers();
    {
        std::lock_guard<std::mutex> g(socketLock_);
        CloseCommandSocket(connection);
    }
    return nullptr;
}

bool StartTalk(ClientHandle* client) {
    if (!client) return false;
    std::lock_guard<std::mutex> g(TalkLock());
    CTalk2VS* old = client->talk.exchange(nullptr);
    if (old) {
        old->StopAndWait();
        delete old;
    }
    auto session = std::make_unique<CTalk2VS>(client);
    if (session->Start() != 0) return false;
    client->talk = session.release();
    return true;
}

void StopTalk(ClientHandle* client) {
    if (!client) return;
    std::lock_guard<std::mutex> g(TalkLock());
    CTalk2VS* session = client->talk.exchange(nullptr);
    if (!session) return;
    session->StopAndWait();
    delete session;
}

void StopTalkSession(ClientHandle* client) {
    if (!client) return;
    std::lock_guard<std::mutex> g(TalkLock());
    CTalk2VS* session = client->talk.load();
    if (session) session->StopAndWait();
}

}  // namespace kavro
