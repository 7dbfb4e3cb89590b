#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/JMutex.h"
#include "platform/Socket.h"
#include "source/SdpParser.h"

namespace kavro {

struct ClientHandle;

// RTSP/1.0 client state of one live source: its sockets, the Digest credentials learnt from
// the camera and the session identifier.
class RtspSession {
public:
    static constexpr size_t kRequestSize = 2048;
    static constexpr size_t kReplySize = 2048;
    static constexpr size_t kParameterSetsSize = 512;
    static constexpr int kVideoReceiveBuffer = 2 * 1024 * 1024;
    static constexpr int kAudioReceiveBuffer = 256 * 1024;
    static constexpr uint32_t kMediaReceiveTimeoutMs = 10000;
    static constexpr int kDefaultSessionTimeoutSec = 60;

    explicit RtspSession(ClientHandle* client, int connectTimeoutSec = 5);
    ~RtspSession();
    RtspSession(const RtspSession&) = delete;
    RtspSession& operator=(const RtspSession&) = delete;

    // Creates the TCP socket and, for RTP over UDP, the two media sockets (after closing any
    // left from an earlier attempt). 1 on success, 0 when a socket cannot be created or the
    // transport is unknown.
    int OpenSockets();
    void CloseSockets();
    void CloseMediaSockets();
    // Send and receive time-outs of the RTSP connection; 0 without socket or on failure.
    int SetSocketTimeouts(uint32_t receiveMs, uint32_t sendMs);

    // The whole handshake: connect, DESCRIBE (again with Digest after a 401), SETUP of the
    // video and (when described) the audio track, PLAY. 1 when PLAY is answered "200 OK".
    int RtspConnect();
    // TEARDOWN, waiting for the reply: 1 when it holds "200 OK".
    int RtspTeardown();
    // TEARDOWN without reading the reply (the interleaved reader swallows it): 1 when sent.
    int RtspTeardownNoWait();
    // OPTIONS with the session identifier, keeping the session alive on the server. The first
    // reads and ignores the reply (UDP transport); the second only sends (TCP transport, where
    // the interleaved reader swallows the reply). 1 when sent.
    int SendKeepAlive();
    int SendKeepAliveNoWait();
    // How often to send the keep-alive: half the server's session time-out.
    uint32_t KeepAliveIntervalMs() const;

    // Bytes that followed the last reply on the RTSP connection (over TCP: the first
    // interleaved frames). Copies at most capacity of them into buffer, drops them from the
    // session and returns the count.
    size_t TakeLeftover(void* buffer, size_t capacity);
    // Receive on the RTSP connection that first hands out the bytes TakeLeftover would give.
    int ReceiveRtsp(void* buffer, size_t capacity);

    // Parameter sets of the described H.264 stream as Annex B bytes (00 00 00 01 SPS
    // 00 00 00 01 PPS); length 0 when the description carries none.
    const uint8_t* ParameterSets() const { return parameterSets_; }
    size_t ParameterSetsLength() const { return parameterSetsLength_; }

    // Read by the event channel (ALIVE message): zero-terminated, empty before the first SETUP.
    char sessionId[32] = {};
    ClientHandle* client;
    Socket rtspSocket;
    Socket videoSocket;
    uint16_t videoClientPort = 0;
    Socket audioSocket;
    uint16_t audioClientPort = 0;
    uint16_t cseq = 1;
    char url[256] = {};
    SdpTracks tracks;  // hasAudio false: no audio track was set up
    char realm[65] = {};
    char nonce[65] = {};
    int32_t useDigest = 0;
    int sessionTimeoutSec = kDefaultSessionTimeoutSec;
    JMutex sessionLock;

    // Settings of the owner.
    int connectTimeoutSec;
    uint32_t handshakeTimeoutMs = 5000;  // per receive and send, and for one whole reply
    uint16_t firstVideoPort = 1600;
    uint16_t firstAudioPort = 1800;
    // The owner's stop flag: a set flag ends the local port search.
    const std::atomic<int>* stopFlag = nullptr;

    // Text of the last reply (zero-terminated).
    const char* Reply() const { return reply_; }

private:
    int SendRequest(const char* method, const char* requestUrl, const char* transportLine, bool withSession,
                    const char* closing);
    int FormatAndSendLocked(const char* method, const char* requestUrl, const char* transportLine,
                            bool withSession, const char* closing);
    int ReadReply();
    bool ReplyHas(const char* text) const;
    bool TakeChallenge();
    void TakeSessionId();
    int PrepareMediaSocket(Socket& socket, int receiveBuffer, uint16_t firstPort, uint16_t* boundPort);

    char request_[kRequestSize] = {};
    char reply_[kReplySize] = {};
    size_t replyLength_ = 0;
    uint8_t leftover_[kReplySize] = {};
    size_t leftoverLength_ = 0;
    uint8_t parameterSets_[kParameterSetsSize] = {};
    size_t parameterSetsLength_ = 0;
};

}  // namespace kavro
