#include "source/RtspSession.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "api/ClientHandle.h"
#include "platform/Tick.h"
#include "source/Digest.h"
#include "source/RtspReply.h"

namespace kavro {

namespace {

constexpr char kClosing[] = "User-Agent: Tessaravine Client\r\n\r\n";
constexpr char kPlayClosing[] = "Range: npt=0.000-\r\nUser-Agent: Tessaravine Client\r\n\r\n";

}  // namespace

RtspSession::RtspSession(ClientHandle* owner, int connectTimeout)
    : client(owner), connectTimeoutSec(connectTimeout) {
    sessionLock.Init();
}

RtspSession::~RtspSession() { CloseSockets(); }

int RtspSession::OpenSockets() {
    CloseSockets();
    JMutexAutoLock lock(sessionLock);
    leftoverLength_ = 0;
    bool ok = false;
    if (client && client->transport == 0) {
        ok = rtspSocket.OpenTcp() && videoSocket.OpenUdp() && audioSocket.OpenUdp();
    } else if (client && client->transport == 1) {
        ok = rtspSocket.OpenTcp();
    }
    if (!ok) {
        videoSocket.Close();
        audioSocket.Close();
        rtspSocket.Close();
        return 0;
    }
    return 1;
}

void RtspSession::CloseSockets() {
    {
        JMutexAutoLock lock(sessionLock);
        videoSocket.Close();
        audioSocket.Close();
    }
    JMutexAutoLock lock(sessionLock);
    rtspSocket.Close();
}

void RtspSession::CloseMediaSockets() {
    JMutexAutoLock lock(sessionLock);
    videoSocket.Close();
    audioSocket.Close();
}

int RtspSession::SetSocketTimeouts(uint32_t receiveMs, uint32_t sendMs) {
    JMutexAutoLock lock(sessionLock);
    if (!rtspSocket.IsOpen()) return 0;
    if (!rtspSocket.SetSendTimeout(sendMs)) return 0;
    return rtspSocket.SetRecvTimeout(receiveMs) ? 1 : 0;
}

int RtspSession::FormatAndSendLocked(const char* method, const char* requestUrl, const char* transportLine,
                                     bool withSession, const char* closing) {
    if (!rtspSocket.IsOpen()) return 0;
    size_t used = 0;
    bool fits = true;
    auto append = [&](const char* format, ...) {
        if (!fits) return;
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(request_ + used, kRequestSize - used, format, args);
        va_end(args);
        if (n < 0 || static_cast<size_t>(n) >= kRequestSize - used) {
            fits = false;
            return;
        }
        used += static_cast<size_t>(n);
    };
    append("%s %s RTSP/1.0\r\nCSeq: %d\r\n", method, requestUrl, static_cast<int>(cseq));
    if (std::strcmp(method, "DESCRIBE") == 0) append("Accept: application/sdp\r\n");
    if (withSession) append("Session: %s\r\n", sessionId);
    if (transportLine) append("%s", transportLine);
    if (useDigest) {
        char response[33];
        if (!DigestResponse(client->userName, realm, client->password, response, nonce, method, url))
            return 0;
        append(
            "Authorization: Digest username=\"%s\", realm=\"%s\", nonce=\"%s\", uri=\"%s\", "
            "response=\"%s\"\r\n",
            client->userName, realm, nonce, url, response);
    }
    append("%s", closing);
    if (!fits) return 0;
    if (rtspSocket.SendAll(request_, used) != static_cast<int>(used)) return 0;
    ++cseq;
    return 1;
}

int RtspSession::SendRequest(const char* method, const char* requestUrl, const char* transportLine,
                             bool withSession, const char* closing) {
    JMutexAutoLock lock(sessionLock);
    return FormatAndSendLocked(method, requestUrl, transportLine, withSession, closing);
}

int RtspSession::ReadReply() {
    const size_t capacity = kReplySize - 1;
    size_t have = leftoverLength_ < capacity ? leftoverLength_ : capacity;
    std::memcpy(reply_, leftover_, have);
    leftoverLength_ = 0;
    replyLength_ = 0;
    reply_[0] = '\0';
    const uint32_t start = GetTick();
    size_t drain = 0;
    for (;;) {
        const RtspReplyExtent extent = MeasureRtspReply(reply_, have, capacity);
        if (extent.complete) {
            leftoverLength_ = have - extent.length;
            std::memcpy(leftover_, reply_ + extent.length, leftoverLength_);
            have = extent.length;
            drain = extent.drain;
            break;
        }
        if (GetTick() - start > handshakeTimeoutMs) return -1;
        int n = rtspSocket.Recv(reply_ + have, capacity - have);
        if (n < 0) return -1;
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    reply_[have] = '\0';
    replyLength_ = have;
    uint8_t scratch[1024];
    while (drain > 0 && GetTick() - start <= handshakeTimeoutMs) {
        int n = rtspSocket.Recv(scratch, drain < sizeof scratch ? drain : sizeof scratch);
        if (n <= 0) break;
        drain -= static_cast<size_t>(n);
    }
    return static_cast<int>(have);
}

bool RtspSession::ReplyHas(const char* text) const { return std::strstr(reply_, text) != nullptr; }

bool RtspSession::TakeChallenge() {
    char newRealm[sizeof realm];
    char newNonce[sizeof nonce];
    if (!ParseDigestChallenge(reply_, replyLength_, newRealm, sizeof newRealm, newNonce, sizeof newNonce))
        return false;
    JMutexAutoLock lock(sessionLock);
    std::memcpy(realm, newRealm, sizeof realm);
    std::memcpy(nonce, newNonce, sizeof nonce);
    return true;
}

void RtspSession::TakeSessionId() {
    char id[sizeof sessionId] = {};
    int timeout = kDefaultSessionTimeoutSec;
    ParseSessionHeader(reply_, replyLength_, id, sizeof id, kDefaultSessionTimeoutSec, &timeout);
    JMutexAutoLock lock(sessionLock);
    std::memcpy(sessionId, id, sizeof sessionId);
    sessionTimeoutSec = timeout;
}

int RtspSession::PrepareMediaSocket(Socket& socket, int receiveBuffer, uint16_t firstPort,
                                    uint16_t* boundPort) {
    if (!socket.SetRecvTimeout(kMediaReceiveTimeoutMs)) return 0;
    socket.SetRecvBuffer(receiveBuffer);  // the kernel may grant less
    for (uint32_t port = firstPort; port <= 0xFFFF; port += 2) {
        if (stopFlag && stopFlag->load()) return 0;
        if (!socket.IsOpen()) return 0;
        if (socket.Bind(static_cast<uint16_t>(port))) {
            *boundPort = static_cast<uint16_t>(port);
            return 1;
        }
    }
    return 0;
}

int RtspSession::RtspConnect() {
    if (!client) return 0;
    {
        JMutexAutoLock lock(sessionLock);
        useDigest = 0;
        cseq = 1;
        sessionTimeoutSec = kDefaultSessionTimeoutSec;
        int n = client->fullUrl ? std::snprintf(url, sizeof url, "rtsp://%s", client->address)
                                : std::snprintf(url, sizeof url, "rtsp://%s:%u/%u", client->host,
                                                static_cast<unsigned>(client->port),
                                                static_cast<unsigned>(client->channel));
        if (n < 0 || static_cast<size_t>(n) >= sizeof url) return 0;
    }
    tracks = SdpTracks();
    parameterSetsLength_ = 0;
    const bool udp = client->transport == 0;

    if (!SetSocketTimeouts(handshakeTimeoutMs, handshakeTimeoutMs)) return 0;
    in_addr address{};
    if (!ResolveIPv4(client->host, &address)) return 0;
    uint32_t connectMs = static_cast<uint32_t>(connectTimeoutSec > 0 ? connectTimeoutSec : 1) * 1000u;
    if (!rtspSocket.Connect(address, client->port, connectMs)) return 0;

    if (!SendRequest("DESCRIBE", url, nullptr, false, kClosing) || ReadReply() < 0) return 0;
    if (ReplyHas("401 Unauthorized")) {
        {
            JMutexAutoLock lock(sessionLock);
            useDigest = 1;
        }
        if (!TakeChallenge()) return 0;
        if (!SendRequest("DESCRIBE", url, nullptr, false, kClosing) || ReadReply() < 0) return 0;
    }
    if (!ReplyHas("200 OK")) return 0;
    if (!SdpFindTracks(reply_, url, &tracks)) return 0;
    int32_t width, height, fps, bitRate;
    if (SdpServerBanner(reply_, &width, &height, &fps, &bitRate)) {
        client->videoWidth = width;
        client->videoHeight = height;
        client->fps = fps;
        client->streamBitRate = bitRate;
    }
    client->videoPayloadType = SdpVideoPayloadType(reply_);
    client->audioCodec = SdpAudioCodec(reply_, client->audioCodec);
    parameterSetsLength_ = SdpParameterSets(reply_, parameterSets_, sizeof parameterSets_);

    char transportLine[96];
    if (udp) {
        if (!PrepareMediaSocket(videoSocket, kVideoReceiveBuffer, firstVideoPort, &videoClientPort)) return 0;
        std::snprintf(transportLine, sizeof transportLine, "Transport: RTP/AVP;unicast;client_port=%d-%d\r\n",
                      videoClientPort, videoClientPort + 1);
    } else {
        std::snprintf(transportLine, sizeof transportLine,
                      "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
    }
    if (!SendRequest("SETUP", tracks.videoUrl, transportLine, false, kClosing) || ReadReply() < 0) return 0;
    if (!ReplyHas("200 OK")) return 0;
    TakeSessionId();

    if (tracks.hasAudio) {
        if (udp) {
            if (!PrepareMediaSocket(audioSocket, kAudioReceiveBuffer, firstAudioPort, &audioClientPort))
                return 0;
            std::snprintf(transportLine, sizeof transportLine,
                          "Transport: RTP/AVP;unicast;client_port=%d-%d\r\n", audioClientPort,
                          audioClientPort + 1);
        } else {
            std::snprintf(transportLine, sizeof transportLine,
                          "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n");
        }
        if (!SendRequest("SETUP", tracks.audioUrl, transportLine, true, kClosing) || ReadReply() < 0)
            return 0;
        if (!ReplyHas("200 OK")) return 0;
    }

    if (!SendRequest("PLAY", url, nullptr, true, kPlayClosing) || ReadReply() < 0) return 0;
    return ReplyHas("200 OK") ? 1 : 0;
}

int RtspSession::RtspTeardown() {
    JMutexAutoLock lock(sessionLock);
    if (!rtspSocket.IsOpen()) return 0;
    if (!FormatAndSendLocked("TEARDOWN", url, nullptr, true, kClosing)) return 0;
    if (ReadReply() < 0) return 0;
    return ReplyHas("200 OK") ? 1 : 0;
}

int RtspSession::RtspTeardownNoWait() {
    JMutexAutoLock lock(sessionLock);
    if (!rtspSocket.IsOpen()) return 0;
    return FormatAndSendLocked("TEARDOWN", url, nullptr, true, kClosing);
}

int RtspSession::SendKeepAliveNoWait() {
    JMutexAutoLock lock(sessionLock);
    if (!rtspSocket.IsOpen()) return 0;
    return FormatAndSendLocked("OPTIONS", url, nullptr, sessionId[0] != '\0', kClosing);
}

int RtspSession::SendKeepAlive() {
    if (!SendKeepAliveNoWait()) return 0;
    ReadReply();  // the answer carries nothing we need
    return 1;
}

uint32_t RtspSession::KeepAliveIntervalMs() const {
    int seconds = sessionTimeoutSec > 1 ? sessionTimeoutSec / 2 : 1;
    return static_cast<uint32_t>(seconds) * 1000u;
}

size_t RtspSession::TakeLeftover(void* buffer, size_t capacity) {
    size_t n = leftoverLength_ < capacity ? leftoverLength_ : capacity;
    std::memcpy(buffer, leftover_, n);
    std::memmove(leftover_, leftover_ + n, leftoverLength_ - n);
    leftoverLength_ -= n;
    return n;
}

int RtspSession::ReceiveRtsp(void* buffer, size_t capacity) {
    if (leftoverLength_ > 0) return static_cast<int>(TakeLeftover(buffer, capacity));
    return rtspSocket.Recv(buffer, capacity);
}

}  // namespace kavro
