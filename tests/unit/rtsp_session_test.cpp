#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/ClientHandle.h"
#include "source/Digest.h"
#include "source/RtspSession.h"

namespace kavro {
namespace {

using Clock = std::chrono::steady_clock;

// What the scripted camera sends back for one request: pieces sent one by one with a pause
// between them (so the client sees separate receives); no pieces: no answer at all.
struct Reply {
    std::vector<std::string> pieces;
};

// An RTSP server on loopback that accepts one connection, records each request and answers
// it from a script.
class ScriptedServer {
public:
    using Script = std::function<Reply(const std::string& request)>;

    explicit ScriptedServer(Script script) : script_(std::move(script)) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(listenFd_, 1) != 0 ||
            getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            ADD_FAILURE() << "cannot listen on loopback";
            return;
        }
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedServer() { Finish(); }

    uint16_t Port() const { return port_; }

    // Stops the server (after taking what is still arriving) and returns every request.
    std::vector<std::string> Finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void Run() {
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        int fd = -1;
        while (fd < 0 && Clock::now() < deadline && !stop_) {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 20) == 1) fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        }
        if (fd < 0) return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string pending;
        int quietPolls = 0;
        while (Clock::now() < deadline) {
            size_t end = pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::string request = pending.substr(0, end + 4);
                pending.erase(0, end + 4);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    requests_.push_back(request);
                }
                Reply reply = script_(request);
                for (size_t i = 0; i < reply.pieces.size(); ++i) {
                    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    const std::string& piece = reply.pieces[i];
                    if (::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) !=
                        static_cast<ssize_t>(piece.size()))
                        break;
                }
                continue;
            }
            pollfd p{fd, POLLIN, 0};
            int r = ::poll(&p, 1, 20);
            if (r == 0) {
                // Once asked to stop, wait a little for requests still on their way.
                if (stop_ && ++quietPolls > 5) break;
                continue;
            }
            char buf[4096];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            pending.append(buf, static_cast<size_t>(n));
        }
        ::close(fd);
    }

    Script script_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

std::string Method(const std::string& request) { return request.substr(0, request.find(' ')); }

std::string CSeqOf(const std::string& request) {
    size_t p = request.find("CSeq: ");
    return p == std::string::npos ? "" : request.substr(p + 6, request.find("\r\n", p) - p - 6);
}

std::string Response(const std::string& request, const std::string& status, const std::string& headers = "",
                     const std::string& body = "") {
    std::string text = "RTSP/1.0 " + status + "\r\nCSeq: " + CSeqOf(request) + "\r\n" + headers;
    if (!body.empty())
        text += "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    return text + "\r\n" + body;
}

const std::string kSdpTwoTracks =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=Live\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
    "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==\r\n"
    "a=control:trackID=1\r\n"
    "m=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=control:trackID=2\r\n";

const std::string kChallenge = "WWW-Authenticate: Digest realm=\"IP Camera\", nonce=\"a1b2c3d4\"\r\n";

// A camera that behaves: optional Digest, the given description and Session header.
struct Camera {
    std::string sdp = kSdpTwoTracks;
    std::string challenge;  // empty: no authentication
    std::string sessionHeader = "Session: 12345678;timeout=60\r\n";
    std::string describeHeaders;
    std::string afterPlay;  // bytes sent right behind the PLAY reply, in the same send
    size_t splitEvery = 0;  // cut every reply into pieces of this size

    ScriptedServer::Script Script() const {
        Camera c = *this;
        return [c](const std::string& request) {
            std::string method = Method(request);
            std::string text;
            if (method == "DESCRIBE") {
                if (!c.challenge.empty() && request.find("Authorization: Digest ") == std::string::npos)
                    text = Response(request, "401 Unauthorized", c.challenge);
                else
                    text = Response(request, "200 OK", c.describeHeaders, c.sdp);
            } else if (method == "SETUP") {
                text = Response(request, "200 OK", c.sessionHeader + "Transport: RTP/AVP;unicast\r\n");
            } else if (method == "PLAY") {
                text = Response(request, "200 OK", c.sessionHeader) + c.afterPlay;
            } else {
                text = Response(request, "200 OK", c.sessionHeader);
            }
            Reply reply;
            if (c.splitEvery == 0) {
                reply.pieces.push_back(text);
            } else {
                for (size_t i = 0; i < text.size(); i += c.splitEvery)
                    reply.pieces.push_back(text.substr(i, c.splitEvery));
            }
            return reply;
        };
    }
};

// A free UDP port pair start for the media sockets (the fixed defaults may be in use on a
// shared machine; the search itself is tested separately).
uint16_t FreeUdpPort() {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    socklen_t len = sizeof sa;
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    uint16_t port = ntohs(sa.sin_port);
    return port < 60000 ? port : 40000;
}

struct Client {
    ClientHandle handle;
    RtspSession session{&handle};

    Client(uint16_t transport, uint16_t port, const char* user = "admin", const char* password = "secret") {
        handle.transport = transport;
        handle.channel = 1;
        std::strcpy(handle.host, "127.0.0.1");
        handle.port = port;
        std::strcpy(handle.userName, user);
        std::strcpy(handle.password, password);
        session.handshakeTimeoutMs = 2000;
        session.firstVideoPort = FreeUdpPort();
        session.firstAudioPort = FreeUdpPort();
    }
    std::string Url() const { return "rtsp://127.0.0.1:" + std::to_string(handle.port) + "/1"; }
    std::string Auth(const char* method) const {
        char response[33];
        DigestResponse(handle.userName, session.realm, handle.password, response, session.nonce, method,
                       session.url);
        return std::string("Authorization: Digest username=\"") + handle.userName + "\", realm=\"" +
               session.realm + "\", nonce=\"" + session.nonce + "\", uri=\"" + session.url +
               "\", response=\"" + response + "\"\r\n";
    }
};

std::vector<std::string> FirstLinesWithCSeq(const std::vector<std::string>& requests) {
    std::vector<std::string> out;
    for (const auto& r : requests) out.push_back(r.substr(0, r.find("\r\n")) + " #" + CSeqOf(r));
    return out;
}

TEST(RtspSession, HandshakeWithoutAuthenticationSendsExactRequests) {
    ScriptedServer server(Camera().Script());
    Client c(0, server.Port());
    c.handle.audioCodec = 0;
    ASSERT_EQ(c.session.OpenSockets(), 1);
    ASSERT_EQ(c.session.RtspConnect(), 1);
    c.session.CloseSockets();
    std::vector<std::string> requests = server.Finish();
    const std::string url = c.Url();
    const std::string v = std::to_string(c.session.videoClientPort);
    const std::string v1 = std::to_string(c.session.videoClientPort + 1);
    const std::string a = std::to_string(c.session.audioClientPort);
    const std::string a1 = std::to_string(c.session.audioClientPort + 1);
    const std::vector<std::string> expected = {
        "DESCRIBE " + url +
            " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\nUser-Agent: Tessaravine Client\r\n\r\n",
        "SETUP " + url + "/trackID=1 RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP;unicast;client_port=" + v +
            "-" + v1 + "\r\nUser-Agent: Tessaravine Client\r\n\r\n",
        "SETUP " + url +
            "/trackID=2 RTSP/1.0\r\nCSeq: 3\r\nSession: 12345678\r\nTransport: RTP/AVP;unicast;client_port=" +
            a + "-" + a1 + "\r\nUser-Agent: Tessaravine Client\r\n\r\n",
        "PLAY " + url +
            " RTSP/1.0\r\nCSeq: 4\r\nSession: 12345678\r\nRange: npt=0.000-\r\nUser-Agent: Tessaravine "
            "Client\r\n\r\n",
    };
    EXPECT_EQ(requests, expected);
    EXPECT_STREQ(c.session.sessionId, "12345678");
    EXPECT_EQ(c.handle.videoPayloadType.load(), 96);
    EXPECT_EQ(c.handle.audioCodec.load(), 1);
    EXPECT_EQ(c.session.ParameterSetsLength(), 30u);
    EXPECT_EQ(c.session.useDigest, 0);
}

TEST(RtspSession, MediaSocketsAreBoundToTheAnnouncedPorts) {
    ScriptedServer server(Camera().Script());
    Client c(0, server.Port());
    ASSERT_EQ(c.session.OpenSockets(), 1);
    ASSERT_EQ(c.session.RtspConnect(), 1);
    EXPECT_EQ(c.session.videoSocket.LocalPort(), c.session.videoClientPort);
    EXPECT_EQ(c.session.audioSocket.LocalPort(), c.session.audioClientPort);
    EXPECT_EQ(c.session.videoClientPort, c.session.firstVideoPort);
    EXPECT_EQ(c.session.audioClientPort, c.session.firstAudioPort);
}

TEST(RtspSession, DigestHandshakeRepeatsDescribeAndAuthenticatesEveryRequest) {
    ScriptedServer server([] {
        Camera cam;
        cam.challenge = kChallenge;
        return cam.Script();
    }());
    Client c(1, server.Port());
    ASSERT_EQ(c.session.OpenSockets(), 1);
    ASSERT_EQ(c.session.RtspConnect(), 1);
    EXPECT_EQ(c.session.RtspTeardownNoWait(), 1);
    c.session.CloseSockets();
    std::vector<std::string> requests = server.Finish();
    const std::string url = c.Url();
    EXPECT_STREQ(c.session.realm, "IP Camera");
    EXPECT_STREQ(c.session.nonce, "a1b2c3d4");
    EXPECT_EQ(c.session.useDigest, 1);
    const std::vector<std::string> expected = {
        "DESCRIBE " + url +
            " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\nUser-Agent: Tessaravine Client\r\n\r\n",
        "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 2\r\nAccept: application/sdp\r\n" + c.Auth("DESCRIBE") +
            "User-Agent: Tessaravine Client\r\n\r\n",
        // The track SETUPs authenticate with the presentation URL, not the track URL.
        "SETUP " + url +
            "/trackID=1 RTSP/1.0\r\nCSeq: 3\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n" +
            c.Auth("SETUP") + "User-Agent: Tessaravine Client\r\n\r\n",
        "SETUP " + url +
            "/trackID=2 RTSP/1.0\r\nCSeq: 4\r\nSession: 12345678\r\nTransport: "
            "RTP/AVP/TCP;unicast;interleaved=2-3\r\n" +
            c.Auth("SETUP") + "User-Agent: Tessaravine Client\r\n\r\n",
        "PLAY " + url + " RTSP/1.0\r\nCSeq: 5\r\nSession: 12345678\r\n" + c.Auth("PLAY") +
            "Range: npt=0.000-\r\nUser-Agent: Tessaravine Client\r\n\r\n",
        "TEARDOWN " + url + " RTSP/1.0\r\nCSeq: 6\r\nSession: 12345678\r\n" + c.Auth("TEARDOWN") +
            "User-Agent: Tessaravine Client\r\n\r\n",
    };
    EXPECT_EQ(requests, expected);
}

// Handshakes that succeed against cameras that differ from the plain one.
TEST(RtspSession, HandshakeVariants) {
    struct Case {
        const char* name;
        Camera camera;
        uint16_t transport;
        std::vector<std::string> lines;  // first line and CSeq of every request, {url} replaced
        std::function<void(Client&, const std::vector<std::string>&)> check;
    };
    auto cam = [](std::function<void(Camera&)> f) {
        Camera c;
        f(c);
        return c;
    };
    const std::vector<std::string> four = {"DESCRIBE {url} RTSP/1.0 #1", "SETUP {url}/trackID=1 RTSP/1.0 #2",
                                           "SETUP {url}/trackID=2 RTSP/1.0 #3", "PLAY {url} RTSP/1.0 #4"};
    const std::vector<Case> cases = {
        {"video-only description skips the audio SETUP",
         cam([](Camera& c) { c.sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:trackID=0\r\n"; }),
         0,
         {"DESCRIBE {url} RTSP/1.0 #1", "SETUP {url}/trackID=0 RTSP/1.0 #2", "PLAY {url} RTSP/1.0 #3"},
         [](Client& c, const std::vector<std::string>&) {
             EXPECT_FALSE(c.session.tracks.hasAudio);
             EXPECT_EQ(c.session.audioClientPort, 0);
         }},
        {"description without trackID uses the control attributes",
         cam([](Camera& c) {
             c.sdp =
                 "v=0\r\na=control:*\r\nm=video 0 RTP/AVP 26\r\na=rtpmap:26 "
                 "JPEG/90000\r\na=control:stream=0\r\n"
                 "m=audio 0 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=control:rtsp://127.0.0.1/other/audio\r\n";
             c.challenge = kChallenge;
         }),
         0,
         {"DESCRIBE {url} RTSP/1.0 #1", "DESCRIBE {url} RTSP/1.0 #2", "SETUP {url}/stream=0 RTSP/1.0 #3",
          "SETUP rtsp://127.0.0.1/other/audio RTSP/1.0 #4", "PLAY {url} RTSP/1.0 #5"},
         [](Client& c, const std::vector<std::string>& requests) {
             EXPECT_EQ(c.handle.videoPayloadType.load(), 26);
             EXPECT_EQ(c.handle.audioCodec.load(), 2);
             ASSERT_EQ(requests.size(), 5u);
             EXPECT_NE(requests[3].find(c.Auth("SETUP")), std::string::npos)
                 << "uri must stay the presentation URL";
         }},
        {"token session id with timeout",
         cam([](Camera& c) { c.sessionHeader = "Session:  4Fa7-xY_9.z$;timeout=30\r\n"; }), 1, four,
         [](Client& c, const std::vector<std::string>& requests) {
             EXPECT_STREQ(c.session.sessionId, "4Fa7-xY_9.z$");
             EXPECT_EQ(c.session.sessionTimeoutSec, 30);
             EXPECT_EQ(c.session.KeepAliveIntervalMs(), 15000u);
             ASSERT_EQ(requests.size(), 4u);
             EXPECT_NE(requests[3].find("\r\nSession: 4Fa7-xY_9.z$\r\n"), std::string::npos);
         }},
        {"digits then semicolon; no timeout keeps the default",
         cam([](Camera& c) { c.sessionHeader = "Session: 987654;foo=1\r\n"; }), 0, four,
         [](Client& c, const std::vector<std::string>&) {
             EXPECT_STREQ(c.session.sessionId, "987654");
             EXPECT_EQ(c.session.sessionTimeoutSec, 60);
         }},
        {"overlong session id is cut to 31 characters",
         cam([](Camera& c) { c.sessionHeader = "Session: " + std::string(40, 'k') + "\r\n"; }), 0, four,
         [](Client& c, const std::vector<std::string>&) {
             EXPECT_EQ(std::string(c.session.sessionId), std::string(31, 'k'));
         }},
        {"Basic offered before Digest, no blank after the colon, nonce first",
         cam([](Camera& c) {
             c.challenge =
                 "WWW-Authenticate: Basic realm=\"basic realm\"\r\n"
                 "WWW-Authenticate:Digest nonce=\"n0nce\", stale=FALSE, realm=\"dig realm\"\r\n";
         }),
         0,
         {"DESCRIBE {url} RTSP/1.0 #1", "DESCRIBE {url} RTSP/1.0 #2", "SETUP {url}/trackID=1 RTSP/1.0 #3",
          "SETUP {url}/trackID=2 RTSP/1.0 #4", "PLAY {url} RTSP/1.0 #5"},
         [](Client& c, const std::vector<std::string>&) {
             EXPECT_STREQ(c.session.realm, "dig realm");
             EXPECT_STREQ(c.session.nonce, "n0nce");
         }},
        {"realm longer than 64 characters is cut to 64",
         cam([](Camera& c) {
             c.challenge = "WWW-Authenticate: Digest realm=\"" + std::string(100, 'R') + "\", nonce=\"" +
                           std::string(64, 'N') + "\"\r\n";
         }),
         0,
         {"DESCRIBE {url} RTSP/1.0 #1", "DESCRIBE {url} RTSP/1.0 #2", "SETUP {url}/trackID=1 RTSP/1.0 #3",
          "SETUP {url}/trackID=2 RTSP/1.0 #4", "PLAY {url} RTSP/1.0 #5"},
         [](Client& c, const std::vector<std::string>& requests) {
             EXPECT_EQ(std::string(c.session.realm), std::string(64, 'R'));
             EXPECT_EQ(std::string(c.session.nonce), std::string(64, 'N'));
             ASSERT_GE(requests.size(), 2u);
             EXPECT_NE(requests[1].find("realm=\"" + std::string(64, 'R') + "\""), std::string::npos);
         }},
        {"every reply split over several receives",
         cam([](Camera& c) {
             c.challenge = kChallenge;
             c.splitEvery = 23;
         }),
         0,
         {"DESCRIBE {url} RTSP/1.0 #1", "DESCRIBE {url} RTSP/1.0 #2", "SETUP {url}/trackID=1 RTSP/1.0 #3",
          "SETUP {url}/trackID=2 RTSP/1.0 #4", "PLAY {url} RTSP/1.0 #5"},
         [](Client& c, const std::vector<std::string>&) {
             EXPECT_STREQ(c.session.sessionId, "12345678");
             EXPECT_EQ(c.handle.audioCodec.load(), 1);
             EXPECT_EQ(c.session.ParameterSetsLength(), 30u);
         }},
        {"description larger than the reply buffer keeps the connection in step",
         cam([](Camera& c) { c.sdp = kSdpTwoTracks + "a=x-pad:" + std::string(3000, 'p') + "\r\n"; }), 1,
         four,
         [](Client& c, const std::vector<std::string>&) { EXPECT_STREQ(c.session.sessionId, "12345678"); }},
        {"server banner sets the stream figures",
         cam([](Camera& c) { c.describeHeaders = "Server: TessaraVine Rtsp Server 704*576*25*1536\r\n"; }), 0,
         four,
         [](Client& c, const std::vector<std::string>&) {
             EXPECT_EQ(c.handle.videoWidth.load(), 704);
             EXPECT_EQ(c.handle.videoHeight.load(), 576);
             EXPECT_EQ(c.handle.fps.load(), 25);
             EXPECT_EQ(c.handle.streamBitRate.load(), 1536 * 1024);
         }},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        ScriptedServer server(tc.camera.Script());
        Client c(tc.transport, server.Port());
        ASSERT_EQ(c.session.OpenSockets(), 1);
        EXPECT_EQ(c.session.RtspConnect(), 1);
        c.session.CloseSockets();
        std::vector<std::string> requests = server.Finish();
        std::vector<std::string> lines = tc.lines;
        for (auto& l : lines) {
            size_t p = l.find("{url}");
            if (p != std::string::npos) l.replace(p, 5, c.Url());
        }
        EXPECT_EQ(FirstLinesWithCSeq(requests), lines);
        tc.check(c, requests);
    }
}

TEST(RtspSession, BytesAfterThePlayReplyAreKeptForTheInterleavedReader) {
    Camera cam;
    cam.afterPlay = std::string(
        "$\x00\x00\x04"
        "abcd"
        "$\x02\x00\x02"
        "xy",
        14);
    ScriptedServer server(cam.Script());
    Client c(1, server.Port());
    ASSERT_EQ(c.session.OpenSockets(), 1);
    ASSERT_EQ(c.session.RtspConnect(), 1);
    EXPECT_EQ(std::string(c.session.Reply()).find('$'), std::string::npos) << "frames leaked into the reply";
    char first[6];
    ASSERT_EQ(c.session.TakeLeftover(first, sizeof first), 6u);
    EXPECT_EQ(std::string(first, 6), std::string("$\x00\x00\x04"
                                                 "ab",
                                                 6));
    char rest[64];
    ASSERT_EQ(c.session.ReceiveRtsp(rest, sizeof rest), 8);
    EXPECT_EQ(std::string(rest, 8), std::string("cd$\x02\x00\x02xy", 8));
    EXPECT_EQ(c.session.TakeLeftover(rest, sizeof rest), 0u);
}

TEST(RtspSession, FailedHandshakes) {
    struct Case {
        const char* name;
        ScriptedServer::Script script;
        size_t requestCount;
    };
    auto answer = [](std::function<std::string(const std::string&)> f) {
        return [f](const std::string& request) { return Reply{{f(request)}}; };
    };
    auto camera = [](std::function<void(Camera&)> f) {
        Camera c;
        f(c);
        return c.Script();
    };
    const std::vector<Case> cases = {
        {"DESCRIBE refused", answer([](const std::string& r) { return Response(r, "404 Not Found"); }), 1},
        {"401 without a challenge",
         answer([](const std::string& r) { return Response(r, "401 Unauthorized"); }), 1},
        {"401 offering only Basic", answer([](const std::string& r) {
             return Response(r, "401 Unauthorized", "WWW-Authenticate: Basic realm=\"x\"\r\n");
         }),
         1},
        {"challenge without nonce", answer([](const std::string& r) {
             return Response(r, "401 Unauthorized", "WWW-Authenticate: Digest realm=\"x\"\r\n");
         }),
         1},
        {"credentials rejected",
         answer([](const std::string& r) { return Response(r, "401 Unauthorized", kChallenge); }), 2},
        {"description without any track", camera([](Camera& c) { c.sdp = "v=0\r\ns=none\r\n"; }), 1},
        {"SETUP answered 401",
         [](const std::string& r) {
             if (Method(r) == "SETUP") return Reply{{Response(r, "401 Unauthorized", kChallenge)}};
             return Camera().Script()(r);
         },
         2},
        {"PLAY refused",
         [](const std::string& r) {
             if (Method(r) == "PLAY") return Reply{{Response(r, "454 Session Not Found")}};
             return Camera().Script()(r);
         },
         4},
        {"no answer", [](const std::string&) { return Reply{}; }, 1},
        {"answer that never ends",
         [](const std::string&) {
             Reply r;
             r.pieces.push_back("RTSP/1.0 200 OK\r\n");
             for (int i = 0; i < 40; ++i) r.pieces.push_back("X-Filler: 1\r\n");
             return r;
         },
         1},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        ScriptedServer server(tc.script);
        Client c(0, server.Port());
        c.session.handshakeTimeoutMs = 300;
        ASSERT_EQ(c.session.OpenSockets(), 1);
        auto start = Clock::now();
        EXPECT_EQ(c.session.RtspConnect(), 0);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
        c.session.CloseSockets();
        EXPECT_EQ(server.Finish().size(), tc.requestCount);
    }
}

TEST(RtspSession, UrlFromAddressOrHostPortChannel) {
    const struct {
        uint8_t fullUrl;
        const char* address;
        uint16_t port;
        uint8_t channel;
        const char* url;
    } kCases[] = {
        {1, "127.0.0.1:9/live/ch0", 9, 1, "rtsp://127.0.0.1:9/live/ch0"},
        {0, "127.0.0.1", 9, 3, "rtsp://127.0.0.1:9/3"},
        {0, "127.0.0.1", 65535, 255, "rtsp://127.0.0.1:65535/255"},
    };
    for (const auto& c : kCases) {
        // Nothing listens on these ports: the attempt fails after the URL is built.
        Client client(1, c.port);
        client.handle.fullUrl = c.fullUrl;
        std::strcpy(client.handle.address, c.address);
        client.handle.channel = c.channel;
        client.session.connectTimeoutSec = 1;
        ASSERT_EQ(client.session.OpenSockets(), 1);
        EXPECT_EQ(client.session.RtspConnect(), 0);
        EXPECT_STREQ(client.session.url, c.url);
    }
}

TEST(RtspSession, PortSearchSkipsTakenPortsAndEndsOnStop) {
    // Hold the first video port so the search has to move on by two.
    int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    getsockname(holder, reinterpret_cast<sockaddr*>(&sa), &len);
    const uint16_t taken = ntohs(sa.sin_port);
    {
        ScriptedServer server(Camera().Script());
        Client c(0, server.Port());
        c.session.firstVideoPort = taken;
        ASSERT_EQ(c.session.OpenSockets(), 1);
        ASSERT_EQ(c.session.RtspConnect(), 1);
        const uint16_t port = c.session.videoClientPort;
        EXPECT_GT(port, taken);
        EXPECT_EQ((port - taken) % 2, 0);
        c.session.CloseSockets();
        std::vector<std::string> requests = server.Finish();
        ASSERT_GE(requests.size(), 2u);
        EXPECT_NE(requests[1].find("client_port=" + std::to_string(port) + "-" + std::to_string(port + 1)),
                  std::string::npos);
    }
    {
        ScriptedServer server(Camera().Script());
        Client c(0, server.Port());
        std::atomic<int> stop{1};
        c.session.stopFlag = &stop;
        ASSERT_EQ(c.session.OpenSockets(), 1);
        EXPECT_EQ(c.session.RtspConnect(), 0);
        EXPECT_EQ(c.session.videoSocket.LocalPort(), 0) << "bound although stopped";
        c.session.CloseSockets();
        EXPECT_EQ(server.Finish().size(), 1u);  // DESCRIBE only
    }
    ::close(holder);
}

TEST(RtspSession, KeepAliveAndTeardownAfterTheHandshake) {
    Camera cam;
    cam.challenge = kChallenge;
    ScriptedServer server(cam.Script());
    Client c(0, server.Port());
    ASSERT_EQ(c.session.OpenSockets(), 1);
    ASSERT_EQ(c.session.RtspConnect(), 1);
    EXPECT_EQ(c.session.SendKeepAlive(), 1);
    EXPECT_EQ(c.session.RtspTeardown(), 1);
    c.session.CloseSockets();
    EXPECT_EQ(c.session.RtspTeardown(), 0);
    EXPECT_EQ(c.session.RtspTeardownNoWait(), 0);
    EXPECT_EQ(c.session.SendKeepAlive(), 0);
    std::vector<std::string> requests = server.Finish();
    ASSERT_EQ(requests.size(), 7u);
    const std::string url = c.Url();
    EXPECT_EQ(requests[5], "OPTIONS " + url + " RTSP/1.0\r\nCSeq: 6\r\nSession: 12345678\r\n" +
                               c.Auth("OPTIONS") + "User-Agent: Tessaravine Client\r\n\r\n");
    EXPECT_EQ(requests[6], "TEARDOWN " + url + " RTSP/1.0\r\nCSeq: 7\r\nSession: 12345678\r\n" +
                               c.Auth("TEARDOWN") + "User-Agent: Tessaravine Client\r\n\r\n");
}

TEST(RtspSession, SocketsFollowTheTransport) {
    ClientHandle handle;
    RtspSession session(&handle);
    const struct {
        uint16_t transport;
        int result;
        bool media;
    } kCases[] = {{0, 1, true}, {1, 1, false}, {2, 0, false}};
    for (const auto& c : kCases) {
        handle.transport = c.transport;
        EXPECT_EQ(session.OpenSockets(), c.result) << c.transport;
        EXPECT_EQ(session.rtspSocket.IsOpen(), c.result == 1) << c.transport;
        EXPECT_EQ(session.videoSocket.IsOpen(), c.media) << c.transport;
        EXPECT_EQ(session.audioSocket.IsOpen(), c.media) << c.transport;
        EXPECT_EQ(session.SetSocketTimeouts(500, 500), c.result) << c.transport;
    }
    handle.transport = 0;
    ASSERT_EQ(session.OpenSockets(), 1);
    session.CloseMediaSockets();
    EXPECT_TRUE(session.rtspSocket.IsOpen());
    EXPECT_FALSE(session.videoSocket.IsOpen());
    session.CloseSockets();
    EXPECT_FALSE(session.rtspSocket.IsOpen());
    EXPECT_EQ(session.SetSocketTimeouts(500, 500), 0);
}

TEST(RtspSession, ClosingFromAnotherThreadEndsABlockedHandshake) {
    ScriptedServer server([](const std::string&) { return Reply{}; });
    Client c(0, server.Port());
    c.session.handshakeTimeoutMs = 10000;
    ASSERT_EQ(c.session.OpenSockets(), 1);
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        c.session.CloseSockets();
    });
    auto start = Clock::now();
    EXPECT_EQ(c.session.RtspConnect(), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    closer.join();
    server.Finish();
}

}  // namespace
}  // namespace kavro
