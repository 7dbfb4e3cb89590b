// The camera simulator, checked from outside: an independent RTSP client (the ffmpeg program)
// must decode what it sends, and a bare client speaking the library's request texts must get
// the replies, RTP packets and faults the library's tests will rely on.
#include <arpa/inet.h>
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/md5.h>
}

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/camsim_process.h"
#include "support/camsim_rtsp_client.h"

namespace kavro::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string Md5Hex(const std::string& s) {
    uint8_t d[16];
    av_md5_sum(d, reinterpret_cast<const uint8_t*>(s.data()), static_cast<int>(s.size()));
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
}

// Text between `open` and the next `close` after the first `key`, or "".
std::string Between(const std::string& s, const std::string& key, const std::string& open,
                    const std::string& close) {
    size_t k = s.find(key);
    if (k == std::string::npos) return "";
    size_t a = s.find(open, k);
    if (a == std::string::npos) return "";
    a += open.size();
    size_t b = s.find(close, a);
    return b == std::string::npos ? "" : s.substr(a, b - a);
}

// The library's RTSP handshake, request for request, on a bare connection.
struct LibraryStyleClient {
    RtspTestClient conn;
    std::string url;
    int cseq = 1;
    std::string session;
    std::string user, password, realm, nonce;
    bool digest = false;

    std::string Auth(const char* method) const {
        if (!digest) return "";
        std::string ha1 = Md5Hex(user + ":" + realm + ":" + password);
        std::string response = Md5Hex(ha1 + ":" + nonce + ":" + Md5Hex(std::string(method) + ":" + url));
        return "Authorization: Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
               "\", uri=\"" + url + "\", response=\"" + response + "\"\r\n";
    }
    std::string Describe() {
        std::string req = "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq++) +
                          "\r\nAccept: application/sdp\r\n" + Auth("DESCRIBE") +
                          "User-Agent: Tessaravine Client\r\n\r\n";
        std::string reply;
        return conn.Exchange(req, &reply) ? reply : "";
    }
    std::string Setup(char track, const std::string& transport) {
        std::string req = "SETUP " + url + "/trackID=" + track +
                          " RTSP/1.0\r\nCSeq: " + std::to_string(cseq++) + "\r\n" +
                          (session.empty() ? "" : "Session: " + session + "\r\n") + transport +
                          Auth("SETUP") + "User-Agent: Tessaravine Client\r\n\r\n";
        std::string reply;
        if (!conn.Exchange(req, &reply)) return "";
        if (session.empty()) {
            size_t p = reply.find("Session:");
            if (p != std::string::npos)
                for (size_t i = p + 9; i < reply.size() && std::isdigit(static_cast<unsigned char>(reply[i]));
                     ++i)
                    session += reply[i];
        }
        return reply;
    }
    std::string Play() {
        std::string req = "PLAY " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq++) +
                          "\r\nSession: " + session + "\r\n" + Auth("PLAY") +
                          "Range: npt=0.000-\r\nUser-Agent: Tessaravine Client\r\n\r\n";
        std::string reply;
        return conn.Exchange(req, &reply) ? reply : "";
    }
    // Interleaved handshake with both tracks; true when every step got "200 OK".
    bool PlayTcp(bool withAudio = true) {
        if (Describe().find("200 OK") == std::string::npos) return false;
        if (Setup('1', "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n").find("200 OK") ==
            std::string::npos)
            return false;
        if (withAudio && Setup('2', "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n").find("200 OK") ==
                             std::string::npos)
            return false;
        return Play().find("200 OK") != std::string::npos;
    }
};

bool StartClient(const CamsimProcess& cam, LibraryStyleClient* c) {
    c->url = cam.Url("1");
    return c->conn.Connect(cam.Port());
}

// ---------------------------------------------------------------------------------------------
// An independent client decodes every codec over both transports.

struct DecodeCase {
    const char* name;
    const char* transport;
    std::vector<std::string> args;
    bool audio;
    const char* credentials;  // "user:pass@" or ""
};

class CamsimDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

// Share of the signal's power at `hz` (1 for a pure tone), by the Goertzel recurrence.
double ToneShare(const std::vector<int16_t>& x, double hz) {
    double w = 2 * M_PI * hz / 8000, coeff = 2 * std::cos(w), s1 = 0, s2 = 0, energy = 0;
    for (int16_t v : x) {
        double s0 = v + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += static_cast<double>(v) * v;
    }
    double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return energy > 0 ? 2 * power / (x.size() * energy) : 0;
}

TEST_P(CamsimDecodeTest, FfmpegDecodesVideoAndTone) {
    const DecodeCase& c = GetParam();
    CamsimProcess cam(c.args);
    ASSERT_TRUE(cam.Running());
    char dir[] = "/tmp/kavro_camsim_ff_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string crc = std::string(dir) + "/video.crc";
    std::vector<std::string> argv = {"ffmpeg",
                                     "-hide_banner",
                                     "-nostdin",
                                     "-loglevel",
                                     "error",
                                     "-rtsp_transport",
                                     c.transport,
                                     "-t",
                                     "2",
                                     "-i",
                                     "rtsp://" + std::string(c.credentials) + cam.Url("1").substr(7),
                                     "-map",
                                     "0:v",
                                     "-f",
                                     "framecrc",
                                     crc};
    if (c.audio) argv.insert(argv.end(), {"-map", "0:a", "-f", "s16le", "-ac", "1", "-ar", "8000", "-"});
    ProgramResult r = RunProgram(argv, 25000);
    std::ifstream in(crc);
    std::string line;
    int frames = 0;
    std::string dims;
    while (std::getline(in, line)) {
        if (line.rfind("0,", 0) == 0) ++frames;
        if (line.rfind("#dimensions 0:", 0) == 0) dims = line.substr(15);
    }
    std::remove(crc.c_str());
    rmdir(dir);
    ASSERT_FALSE(r.timedOut) << r.err;
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_GE(frames, 40) << r.err;  // 2 s at 25 fps
    EXPECT_EQ(dims, "352x288");
    if (c.audio) {
        std::vector<int16_t> pcm(r.out.size() / 2);
        std::memcpy(pcm.data(), r.out.data(), pcm.size() * 2);
        ASSERT_GE(pcm.size(), 8000u) << r.err;  // at least one of the two seconds
        pcm.erase(pcm.begin(), pcm.begin() + 800);
        double sum = 0;
        for (int16_t v : pcm) sum += static_cast<double>(v) * v;
        EXPECT_GT(std::sqrt(sum / pcm.size()), 1000.0);
        EXPECT_GT(ToneShare(pcm, 500), 0.5) << "the 500 Hz tone did not survive coding and packing";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, CamsimDecodeTest,
    ::testing::Values(
        DecodeCase{"udp_h264_pcma", "udp", {}, true, ""},
        DecodeCase{"tcp_h264_pcmu", "tcp", {"--audio", "pcmu"}, true, ""},
        DecodeCase{"udp_jpeg_g726_16", "udp", {"--video", "jpeg", "--audio", "g726-16"}, true, ""},
        DecodeCase{"tcp_jpeg_q76_g726_24",
                   "tcp",
                   {"--video", "jpeg", "--jpeg-q", "76", "--audio", "g726-24"},
                   true,
                   ""},
        DecodeCase{"udp_stapa_g726_32_40ms",
                   "udp",
                   {"--stap-a", "--mtu", "600", "--audio", "g726-32", "--audio-packet-ms", "40"},
                   true,
                   ""},
        DecodeCase{"tcp_digest_basic_first_g726_40",
                   "tcp",
                   {"--auth", "admin:s3cret", "--auth-basic-first", "--audio", "g726-40"},
                   true,
                   "admin:s3cret@"},
        DecodeCase{"udp_digest_no_audio",
                   "udp",
                   {"--auth", "admin:s3cret", "--audio", "none"},
                   false,
                   "admin:s3cret@"}),
    [](const ::testing::TestParamInfo<DecodeCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------------------------
// The description carries what the library reads from it.

TEST(CamsimDescribe, CarriesBannerTracksAndCodecLines) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> present;
        int w, h, fps;
        bool banner;
        char audioTrack;  // 0: no second track
    } cases[] = {
        {{},
         {"a=rtpmap:96 H264/90000", "a=rtpmap:8 PCMA/8000", "sprop-parameter-sets=", "profile-level-id="},
         352,
         288,
         25,
         true,
         '2'},
        {{"--audio", "pcmu", "--size", "320x240", "--fps", "15"},
         {"a=rtpmap:0 PCMU/8000"},
         320,
         240,
         15,
         true,
         '2'},
        {{"--audio", "g726-16"}, {"a=rtpmap:97 G726-16/8000"}, 352, 288, 25, true, '2'},
        {{"--audio", "g726-24"}, {"a=rtpmap:97 G726-24/8000"}, 352, 288, 25, true, '2'},
        {{"--audio", "g726-32"}, {"a=rtpmap:97 G726-32/8000"}, 352, 288, 25, true, '2'},
        {{"--audio", "g726-40", "--video", "jpeg"},
         {"a=rtpmap:97 G726-40/8000", "a=rtpmap:26 JPEG/90000"},
         352,
         288,
         25,
         true,
         '2'},
        {{"--audio", "none", "--no-banner"}, {"m=video 0 RTP/AVP 96"}, 0, 0, 0, false, 0},
    };
    for (const auto& c : cases) {
        std::string argsText;
        for (const auto& a : c.args) argsText += a + " ";
        SCOPED_TRACE(argsText);
        CamsimProcess cam(c.args);
        ASSERT_TRUE(cam.Running());
        LibraryStyleClient cl;
        ASSERT_TRUE(StartClient(cam, &cl));
        const std::string reply = cl.Describe();
        ASSERT_NE(reply.find("RTSP/1.0 200 OK\r\n"), std::string::npos) << reply;
        for (const auto& p : c.present) EXPECT_NE(reply.find(p), std::string::npos) << p << "\n" << reply;
        const char* bannerKey = "\r\nServer: TessaraVine Rtsp Server ";
        size_t b = reply.find(bannerKey);
        if (c.banner) {
            ASSERT_NE(b, std::string::npos) << reply;
            int w = 0, h = 0, fps = 0, kbps = 0;
            ASSERT_EQ(std::sscanf(reply.c_str() + b + std::strlen(bannerKey), "%d*%d*%d*%d\r\n", &w, &h, &fps,
                                  &kbps),
                      4);
            EXPECT_EQ(w, c.w);
            EXPECT_EQ(h, c.h);
            EXPECT_EQ(fps, c.fps);
            EXPECT_GT(kbps, 0);
        } else {
            EXPECT_EQ(b, std::string::npos);
        }
        size_t t1 = reply.find("trackID=");
        ASSERT_NE(t1, std::string::npos);
        EXPECT_EQ(reply[t1 + 8], '1');
        size_t t2 = reply.find("trackID=", t1 + 1);
        if (c.audioTrack) {
            ASSERT_NE(t2, std::string::npos);
            EXPECT_EQ(reply[t2 + 8], c.audioTrack);
            EXPECT_LT(reply.find("m=video"), reply.find("m=audio"));
        } else {
            EXPECT_EQ(t2, std::string::npos);
        }
        EXPECT_LT(reply.size(), 2047u) << "the library's first reading holds 2047 bytes";
    }
}

// ---------------------------------------------------------------------------------------------
// Interleaved RTP as the library's TCP source receives it.

struct StreamCase {
    std::vector<std::string> args;
    int videoPt;
    int audioPt;
    size_t audioBytes;
    uint32_t audioTsStep;
    int jpegQ;  // 0 for H.264
    size_t mtu;
    bool stapA;
};

void CheckStream(const StreamCase& c) {
    CamsimProcess cam(c.args);
    ASSERT_TRUE(cam.Running());
    LibraryStyleClient cl;
    ASSERT_TRUE(StartClient(cam, &cl));
    ASSERT_TRUE(cl.PlayTcp());

    std::vector<RtpPacket> video, audio;
    const auto end = Clock::now() + std::chrono::milliseconds(1300);
    while (Clock::now() < end) {
        uint8_t ch = 0;
        std::vector<uint8_t> data;
        ASSERT_TRUE(cl.conn.ReadFrame(&ch, &data, 2000));
        ASSERT_LE(data.size(), c.mtu);
        ASSERT_LT(data.size(), 2048u) << "the library's interleaved buffer holds 2048 bytes";
        RtpPacket p;
        ASSERT_TRUE(ParseRtp(data.data(), data.size(), &p));
        ASSERT_TRUE(ch == 0 || ch == 2) << int(ch);
        (ch == 0 ? video : audio).push_back(std::move(p));
    }
    ASSERT_GT(video.size(), 10u);
    ASSERT_GT(audio.size(), 10u);

    // Video: consecutive numbers, one time stamp per picture, 3600 ticks apart, marker at its end.
    int pictures = 0;
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video[i].payloadType, c.videoPt);
        if (i == 0) continue;
        EXPECT_EQ(static_cast<uint16_t>(video[i].seq - video[i - 1].seq), 1) << i;
        EXPECT_EQ(video[i].ssrc, video[0].ssrc);
        if (video[i - 1].marker) {
            ++pictures;
            EXPECT_EQ(video[i].timestamp - video[i - 1].timestamp, 3600u) << i;
        } else {
            EXPECT_EQ(video[i].timestamp, video[i - 1].timestamp) << i;
        }
    }
    EXPECT_GE(pictures, 25);  // about 32 in 1.3 s

    if (c.jpegQ == 0) {
        // Rebuild the NAL units of the first pictures: SPS, PPS, then an IDR picture in FU-A pieces.
        std::vector<int> types;
        bool inFu = false, sawFu = false;
        for (const auto& p : video) {
            int t = p.payload[0] & 0x1F;
            if (t == 24) {
                EXPECT_TRUE(c.stapA);
                for (size_t o = 1; o + 2 < p.payload.size();) {
                    size_t n = (p.payload[o] << 8) | p.payload[o + 1];
                    ASSERT_LE(o + 2 + n, p.payload.size());
                    types.push_back(p.payload[o + 2] & 0x1F);
                    o += 2 + n;
                }
            } else if (t == 28) {
                sawFu = true;
                bool start = p.payload[1] & 0x80, stop = p.payload[1] & 0x40;
                EXPECT_EQ(start, !inFu) << "fragments must run start .. end";
                if (start) types.push_back(p.payload[1] & 0x1F);
                inFu = !stop;
            } else {
                EXPECT_FALSE(inFu);
                types.push_back(t);
            }
        }
        ASSERT_GE(types.size(), 3u);
        EXPECT_EQ(types[0], 7);
        EXPECT_EQ(types[1], 8);
        EXPECT_EQ(types[2], 5);
        EXPECT_TRUE(sawFu) << "the IDR picture exceeds the MTU and must be fragmented";
        EXPECT_EQ(c.stapA, (video[0].payload[0] & 0x1F) == 24);
    } else {
        size_t expectOffset = 0;
        for (const auto& p : video) {
            ASSERT_GE(p.payload.size(), 8u);
            size_t offset = (p.payload[1] << 16) | (p.payload[2] << 8) | p.payload[3];
            EXPECT_EQ(offset, expectOffset);
            EXPECT_EQ(p.payload[4], 1);  // 4:2:0
            EXPECT_EQ(p.payload[5], c.jpegQ);
            EXPECT_EQ(p.payload[6], 352 / 8);
            EXPECT_EQ(p.payload[7], 288 / 8);
            size_t header = 8;
            if (offset == 0 && c.jpegQ >= 128) {
                ASSERT_GE(p.payload.size(), 152u - 12);
                EXPECT_EQ(p.payload[8], 0);
                EXPECT_EQ(p.payload[9], 0);
                EXPECT_EQ((p.payload[10] << 8) | p.payload[11], 128);
                header += 132;
            }
            expectOffset = p.marker ? 0 : offset + p.payload.size() - header;
        }
    }

    // Audio: fixed payload size, time stamps one packet's samples apart.
    for (size_t i = 0; i < audio.size(); ++i) {
        EXPECT_EQ(audio[i].payloadType, c.audioPt);
        EXPECT_EQ(audio[i].payload.size(), c.audioBytes);
        if (i == 0) continue;
        EXPECT_EQ(static_cast<uint16_t>(audio[i].seq - audio[i - 1].seq), 1);
        EXPECT_EQ(audio[i].timestamp - audio[i - 1].timestamp, c.audioTsStep);
    }

    // What the simulator logged: the four requests as sent.
    auto log = cam.WaitForLog(4, 2000);
    ASSERT_EQ(log.size(), 4u);
    const char* methods[] = {"DESCRIBE", "SETUP", "SETUP", "PLAY"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(log[i].method, methods[i]);
        EXPECT_EQ(log[i].version, "RTSP/1.0");
        ASSERT_NE(log[i].Header("CSeq"), nullptr);
        EXPECT_EQ(*log[i].Header("CSeq"), std::to_string(i + 1));
        ASSERT_NE(log[i].Header("User-Agent"), nullptr);
        EXPECT_EQ(*log[i].Header("User-Agent"), "Tessaravine Client");
    }
    EXPECT_EQ(log[0].url, cam.Url("1"));
    EXPECT_EQ(log[1].url, cam.Url("1") + "/trackID=1");
    EXPECT_EQ(log[2].url, cam.Url("1") + "/trackID=2");
    ASSERT_NE(log[2].Header("Transport"), nullptr);
    EXPECT_EQ(*log[2].Header("Transport"), "RTP/AVP/TCP;unicast;interleaved=2-3");
    EXPECT_EQ(*log[3].Header("Session"), cl.session);

    std::string req = "TEARDOWN " + cl.url + " RTSP/1.0\r\nCSeq: 5\r\nSession: " + cl.session +
                      "\r\nUser-Agent: Tessaravine Client\r\n\r\n";
    std::string reply;
    ASSERT_TRUE(cl.conn.Exchange(req, &reply));
    EXPECT_NE(reply.find("200 OK"), std::string::npos);
}

TEST(CamsimStream, InterleavedPacketsAreWellFormed) {
    const StreamCase cases[] = {
        {{}, 96, 8, 160, 160, 0, 1400, false},
        {{"--stap-a", "--mtu", "600", "--audio", "pcmu", "--audio-packet-ms", "40"},
         96,
         0,
         320,
         320,
         0,
         600,
         true},
        {{"--video", "jpeg", "--audio", "g726-24"}, 26, 97, 60, 160, 255, 1400, false},
        {{"--video", "jpeg", "--jpeg-q", "76", "--audio", "g726-40", "--mtu", "900"},
         26,
         97,
         100,
         160,
         76,
         900,
         false},
        {{"--audio", "g726-16", "--audio-packet-ms", "40"}, 96, 97, 80, 320, 0, 1400, false},
    };
    for (const auto& c : cases) {
        std::string argsText;
        for (const auto& a : c.args) argsText += a + " ";
        SCOPED_TRACE(argsText);
        CheckStream(c);
    }
}

// ---------------------------------------------------------------------------------------------
// RTP over UDP goes to the announced client ports, from the announced server port.

TEST(CamsimStream, UdpReachesClientPortsAndStopsAtTeardown) {
    CamsimProcess cam;
    ASSERT_TRUE(cam.Running());
    Socket vs, as;
    ASSERT_TRUE(vs.OpenUdp() && vs.Bind(0) && vs.SetRecvBuffer(1 << 20));
    ASSERT_TRUE(as.OpenUdp() && as.Bind(0));
    LibraryStyleClient cl;
    ASSERT_TRUE(StartClient(cam, &cl));
    ASSERT_NE(cl.Describe().find("200 OK"), std::string::npos);
    const int vp = vs.LocalPort(), ap = as.LocalPort();
    std::string r1 = cl.Setup('1', "Transport: RTP/AVP;unicast;client_port=" + std::to_string(vp) + "-" +
                                       std::to_string(vp + 1) + "\r\n");
    ASSERT_NE(r1.find("200 OK"), std::string::npos) << r1;
    EXPECT_NE(r1.find("client_port=" + std::to_string(vp) + "-" + std::to_string(vp + 1)), std::string::npos);
    int serverPort = 0;
    ASSERT_EQ(std::sscanf(Between(r1, "server_port=", "=", "-").c_str(), "%d", &serverPort), 1) << r1;
    std::string r2 = cl.Setup('2', "Transport: RTP/AVP;unicast;client_port=" + std::to_string(ap) + "-" +
                                       std::to_string(ap + 1) + "\r\n");
    ASSERT_NE(r2.find("200 OK"), std::string::npos) << r2;
    ASSERT_NE(cl.Play().find("200 OK"), std::string::npos);

    auto receive = [](Socket& s, int pt, int serverPort, int wanted) {
        int got = 0;
        const auto end = Clock::now() + std::chrono::seconds(3);
        uint8_t buf[65536];
        while (got < wanted && Clock::now() < end) {
            if (s.WaitReadable(200) <= 0) continue;
            in_addr from{};
            uint16_t fromPort = 0;
            int n = s.RecvFrom(buf, sizeof buf, &from, &fromPort);
            RtpPacket p;
            if (n <= 0 || !ParseRtp(buf, static_cast<size_t>(n), &p)) continue;
            EXPECT_EQ(p.payloadType, pt);
            EXPECT_EQ(fromPort, serverPort);
            ++got;
        }
        return got;
    };
    EXPECT_EQ(receive(vs, 96, serverPort, 40), 40);
    EXPECT_EQ(receive(as, 8, serverPort, 20), 20);

    std::string req = "TEARDOWN " + cl.url + " RTSP/1.0\r\nCSeq: 5\r\nSession: " + cl.session +
                      "\r\nUser-Agent: Tessaravine Client\r\n\r\n";
    std::string reply;
    ASSERT_TRUE(cl.conn.Exchange(req, &reply));
    EXPECT_NE(reply.find("200 OK"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint8_t buf[65536];
    while (vs.WaitReadable(0) > 0) vs.RecvFrom(buf, sizeof buf);  // what was on the way
    EXPECT_EQ(vs.WaitReadable(500), 0) << "video still flows after TEARDOWN";
}

// ---------------------------------------------------------------------------------------------
// Digest authentication as the library computes it (presentation URL as uri for every method).

TEST(CamsimAuth, DigestChallengeAndLibraryResponses) {
    CamsimProcess cam({"--auth", "admin:pw", "--realm", "Cam Realm", "--auth-basic-first"});
    ASSERT_TRUE(cam.Running());
    LibraryStyleClient cl;
    ASSERT_TRUE(StartClient(cam, &cl));
    std::string reply;
    ASSERT_TRUE(cl.conn.Exchange("OPTIONS " + cl.url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n", &reply));
    EXPECT_NE(reply.find("200 OK"), std::string::npos) << "OPTIONS needs no credentials";

    reply = cl.Describe();
    ASSERT_NE(reply.find("401 Unauthorized"), std::string::npos) << reply;
    size_t basic = reply.find("WWW-Authenticate: Basic realm=\"Cam Realm\"");
    size_t digest = reply.find("WWW-Authenticate: Digest realm=\"Cam Realm\", nonce=\"");
    ASSERT_NE(basic, std::string::npos) << reply;
    ASSERT_NE(digest, std::string::npos) << reply;
    EXPECT_LT(basic, digest);
    cl.user = "admin";
    cl.realm = Between(reply, "Digest", "realm=\"", "\"");
    cl.nonce = Between(reply, "Digest", "nonce=\"", "\"");
    ASSERT_FALSE(cl.nonce.empty());

    cl.password = "wrong";
    cl.digest = true;
    EXPECT_NE(cl.Describe().find("401 Unauthorized"), std::string::npos);
    cl.password = "pw";
    EXPECT_NE(cl.Describe().find("200 OK"), std::string::npos);
    cl.digest = false;
    EXPECT_NE(cl.Setup('1', "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n").find("401 Unauthorized"),
              std::string::npos);
    cl.digest = true;
    EXPECT_NE(cl.Setup('1', "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n").find("200 OK"),
              std::string::npos);
    EXPECT_NE(cl.Setup('2', "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n").find("200 OK"),
              std::string::npos);
    EXPECT_NE(cl.Play().find("200 OK"), std::string::npos);
    uint8_t ch = 9;
    std::vector<uint8_t> data;
    EXPECT_TRUE(cl.conn.ReadFrame(&ch, &data, 2000));
}

// ---------------------------------------------------------------------------------------------
// Fault knobs.

TEST(CamsimFaults, RefuseFirstConnections) {
    CamsimProcess cam({"--refuse-first", "2"});
    ASSERT_TRUE(cam.Running());
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        RtspTestClient c;
        ASSERT_TRUE(c.Connect(cam.Port()));
        std::string reply;
        bool answered = c.Exchange("OPTIONS " + cam.Url() + " RTSP/1.0\r\nCSeq: 1\r\n\r\n", &reply, 2000);
        if (i < 2) {
            EXPECT_FALSE(answered);
            EXPECT_TRUE(c.WaitClosed(2000));
        } else {
            EXPECT_TRUE(answered);
            EXPECT_NE(reply.find("200 OK"), std::string::npos);
        }
    }
    EXPECT_TRUE(cam.ReadLog().size() == 1u) << "refused connections log no request";
}

TEST(CamsimFaults, CloseAfterEndsTheConnection) {
    CamsimProcess cam({"--close-after", "1"});
    ASSERT_TRUE(cam.Running());
    LibraryStyleClient cl;
    ASSERT_TRUE(StartClient(cam, &cl));
    const auto start = Clock::now();
    ASSERT_TRUE(cl.PlayTcp());
    EXPECT_TRUE(cl.conn.WaitClosed(5000));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(ms, 850);
    EXPECT_LE(ms, 3000);
}

TEST(CamsimFaults, StopVideoAfterKeepsAudio) {
    CamsimProcess cam({"--stop-video-after", "1"});
    ASSERT_TRUE(cam.Running());
    LibraryStyleClient cl;
    ASSERT_TRUE(StartClient(cam, &cl));
    ASSERT_TRUE(cl.PlayTcp());
    const auto start = Clock::now();
    int early[4] = {0}, late[4] = {0};
    while (Clock::now() - start < std::chrono::milliseconds(2200)) {
        uint8_t ch = 0;
        std::vector<uint8_t> data;
        ASSERT_TRUE(cl.conn.ReadFrame(&ch, &data, 2000));
        ASSERT_LT(ch, 4);
        auto at = Clock::now() - start;
        if (at < std::chrono::milliseconds(800)) ++early[ch];
        if (at > std::chrono::milliseconds(1400)) ++late[ch];
    }
    EXPECT_GT(early[0], 0);
    EXPECT_GT(early[2], 0);
    EXPECT_EQ(late[0], 0) << "video must have stopped";
    EXPECT_GT(late[2], 20) << "audio goes on";
}

// ---------------------------------------------------------------------------------------------
// Bad or unexpected input gets an answer or a closed connection, never a stuck or dead simulator.

TEST(CamsimRobustness, BadRequests) {
    CamsimProcess cam;
    ASSERT_TRUE(cam.Running());
    const std::string url = cam.Url("1");
    struct Case {
        const char* name;
        std::string request;
        const char* status;  // expected status line start, or "" for none
        bool closes;
    } cases[] = {
        {"unknown method", "FETCH " + url + " RTSP/1.0\r\nCSeq: 7\r\n\r\n", "RTSP/1.0 501", false},
        {"unknown track",
         "SETUP " + url +
             "/trackID=9 RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n",
         "RTSP/1.0 404", false},
        {"no transport", "SETUP " + url + "/trackID=1 RTSP/1.0\r\nCSeq: 1\r\n\r\n", "RTSP/1.0 461", false},
        {"unknown session", "PLAY " + url + " RTSP/1.0\r\nCSeq: 1\r\nSession: 12345\r\n\r\n", "RTSP/1.0 454",
         false},
        {"rtcp frame between requests",
         "OPTIONS " + url + " RTSP/1.0\r\nCSeq: 2\r\n\r\n" + std::string("$\x01\x00\x04\x80\xc9\x00\x01", 8),
         "RTSP/1.0 200", false},
        {"huge body", "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 99999999\r\n\r\n",
         "RTSP/1.0 413", true},
        {"endless header", "OPTIONS " + url + " RTSP/1.0\r\nX: " + std::string(20000, 'a'), "RTSP/1.0 400",
         true},
        {"not a protocol", "HELLO THERE\r\n\r\n", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RtspTestClient cl;
        ASSERT_TRUE(cl.Connect(cam.Port()));
        ASSERT_TRUE(cl.SendText(c.request));
        std::string reply;
        bool got = cl.ReadReply(&reply, 2000);
        if (*c.status) {
            ASSERT_TRUE(got);
            EXPECT_EQ(reply.rfind(c.status, 0), 0u) << reply;
        } else {
            EXPECT_FALSE(got);
        }
        if (c.closes) {
            EXPECT_TRUE(cl.WaitClosed(2000));
        } else {
            ASSERT_TRUE(cl.Exchange("OPTIONS " + url + " RTSP/1.0\r\nCSeq: 3\r\n\r\n", &reply));
            EXPECT_NE(reply.find("200 OK"), std::string::npos) << "connection must stay usable";
        }
    }
    auto log = cam.ReadLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().method, "UNKNOWN");
    // And the simulator still serves a full session.
    LibraryStyleClient cl;
    ASSERT_TRUE(StartClient(cam, &cl));
    EXPECT_TRUE(cl.PlayTcp());
}

// ---------------------------------------------------------------------------------------------
// Many clients at once; one that stops reading holds up nobody and still gets whole frames.

TEST(CamsimLoad, ManyClientsAndAStalledOne) {
    // Large JPEG pictures (megabytes a second), so a client that stops reading soon fills every
    // buffer between it and the simulator.
    CamsimProcess cam({"--video", "jpeg", "--size", "1280x720"});
    ASSERT_TRUE(cam.Running());
    LibraryStyleClient stalled;
    stalled.url = cam.Url("1");
    ASSERT_TRUE(stalled.conn.Connect(cam.Port(), 2000, 4096));
    ASSERT_TRUE(stalled.PlayTcp());

    constexpr int kClients = 8;
    std::atomic<int> pictures[kClients];
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        pictures[i] = -1;
        threads.emplace_back([&, i] {
            LibraryStyleClient cl;
            if (!StartClient(cam, &cl) || !cl.PlayTcp()) return;
            int n = 0;
            const auto end = Clock::now() + std::chrono::milliseconds(2000);
            while (Clock::now() < end) {
                uint8_t ch = 0;
                std::vector<uint8_t> data;
                if (!cl.conn.ReadFrame(&ch, &data, 2000)) break;
                RtpPacket p;
                if (ch == 0 && ParseRtp(data.data(), data.size(), &p) && p.marker) ++n;
            }
            pictures[i] = n;
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kClients; ++i) EXPECT_GE(pictures[i].load(), 40) << "client " << i;  // 50 due

    // The stalled client's backlog holds only whole frames, with whole packets left out.
    ASSERT_TRUE(stalled.conn.Sock().SetRecvBuffer(1 << 20));
    int gaps = 0;
    uint16_t lastSeq = 0;
    bool first = true;
    const auto end = Clock::now() + std::chrono::milliseconds(1500);
    while (Clock::now() < end) {
        uint8_t ch = 0;
        std::vector<uint8_t> data;
        ASSERT_TRUE(stalled.conn.ReadFrame(&ch, &data, 2000));
        ASSERT_TRUE(ch == 0 || ch == 2) << int(ch);
        RtpPacket p;
        ASSERT_TRUE(ParseRtp(data.data(), data.size(), &p));
        ASSERT_EQ(p.payloadType, ch == 0 ? 26 : 8);
        if (ch != 0) continue;
        if (!first && static_cast<uint16_t>(p.seq - lastSeq) != 1) ++gaps;
        first = false;
        lastSeq = p.seq;
    }
    EXPECT_GT(gaps, 0) << "the lagging client should have lost packets";
    EXPECT_EQ(cam.Stop(), 0) << "SIGTERM with clients connected ends the simulator cleanly";
}

TEST(CamsimProcessHelper, BadArgumentsDoNotStart) {
    CamsimProcess cam({"--video", "vp9"}, 5000);
    EXPECT_FALSE(cam.Running());
    EXPECT_EQ(cam.Stop(), -1);
}

}  // namespace
}  // namespace kavro::test
