#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "source/SdpParser.h"

namespace kavro {
namespace {

constexpr char kBase[] = "rtsp://10.0.0.2:554/1";

TEST(SdpFindTracks, Cases) {
    const struct {
        const char* name;
        const char* text;
        bool ok;
        const char* video;
        const char* audio;  // nullptr: no audio track
    } kCases[] = {
        {"two trackIDs", "m=video 0 RTP/AVP 96\r\na=control:trackID=1\r\nm=audio 0 RTP/AVP 8\r\na=control:trackID=2\r\n",
         true, "rtsp://10.0.0.2:554/1/trackID=1", "rtsp://10.0.0.2:554/1/trackID=2"},
        {"only the character after trackID= counts", "a=control:trackID=31\r\na=control:trackID=42\r\n", true,
         "rtsp://10.0.0.2:554/1/trackID=3", "rtsp://10.0.0.2:554/1/trackID=4"},
        {"one trackID: video only", "m=video 0 RTP/AVP 96\r\na=control:trackID=0\r\n", true,
         "rtsp://10.0.0.2:554/1/trackID=0", nullptr},
        {"relative controls", "a=control:*\r\nm=video 0 RTP/AVP 96\r\na=control:stream=0\r\nm=audio 0 RTP/AVP 8\r\n"
                              "a=control:stream=1\r\n",
         true, "rtsp://10.0.0.2:554/1/stream=0", "rtsp://10.0.0.2:554/1/stream=1"},
        {"audio section first, absolute control",
         "m=audio 0 RTP/AVP 0\na=control:rtsp://10.0.0.2/a\nm=video 0 RTP/AVP 26\na=control:v \n", true,
         "rtsp://10.0.0.2:554/1/v", "rtsp://10.0.0.2/a"},
        {"only the first section of a kind", "m=video 0 RTP/AVP 96\r\na=control:v1\r\nm=video 0 RTP/AVP 97\r\n"
                                            "a=control:v2\r\n",
         true, "rtsp://10.0.0.2:554/1/v1", nullptr},
        {"first video section without control", "m=video 0 RTP/AVP 96\r\nm=video 0 RTP/AVP 97\r\na=control:v2\r\n",
         false, nullptr, nullptr},
        {"control * is the presentation itself", "m=video 0 RTP/AVP 96\r\na=control:*\r\n", true, kBase, nullptr},
        {"audio only", "m=audio 0 RTP/AVP 8\r\na=control:a\r\n", false, nullptr, nullptr},
        {"trackID= at the end of the text", "a=control:trackID=", false, nullptr, nullptr},
        {"nothing", "v=0\r\n", false, nullptr, nullptr},
    };
    for (const auto& c : kCases) {
        SdpTracks t;
        EXPECT_EQ(SdpFindTracks(c.text, kBase, &t), c.ok) << c.name;
        EXPECT_EQ(t.hasVideo, c.ok) << c.name;
        if (c.video) {
            EXPECT_STREQ(t.videoUrl, c.video) << c.name;
        }
        EXPECT_EQ(t.hasAudio, c.audio != nullptr) << c.name;
        if (c.audio) {
            EXPECT_STREQ(t.audioUrl, c.audio) << c.name;
        }
    }
}

TEST(SdpFindTracks, OverlongControlIsNotTruncatedIntoAWrongUrl) {
    std::string text = "m=video 0 RTP/AVP 96\r\na=control:" + std::string(300, 'x') + "\r\n";
    SdpTracks t;
    EXPECT_FALSE(SdpFindTracks(text.c_str(), kBase, &t));
}

TEST(SdpMediaFormats, PayloadTypeAndAudioCodec) {
    EXPECT_EQ(SdpVideoPayloadType("a=rtpmap:26 JPEG/90000\r\n"), 26);
    EXPECT_EQ(SdpVideoPayloadType("a=rtpmap:96 H264/90000\r\n"), 96);
    EXPECT_EQ(SdpVideoPayloadType("a=rtpmap:26 jpeg/90000\r\n"), 96);
    const struct {
        const char* text;
        uint8_t codec;
    } kCodecs[] = {
        {"a=rtpmap:97 G726-16/8000", 4}, {"a=rtpmap:97 G726-24/8000", 5},
        {"a=rtpmap:97 G726-32/8000", 6}, {"a=rtpmap:97 G726-40/8000", 7},
        {"a=rtpmap:0 PCMU/8000", 2},     {"a=rtpmap:8 PCMA/8000", 1},
        // G.726 wins over G.711 whatever the order of the sections.
        {"a=rtpmap:8 PCMA/8000\r\na=rtpmap:97 G726-32/8000", 6},
        {"a=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000", 2},
        {"a=rtpmap:98 G726-32/8000", 9},  // unknown: unchanged
    };
    for (const auto& c : kCodecs) EXPECT_EQ(SdpAudioCodec(c.text, 9), c.codec) << c.text;
}

TEST(SdpServerBanner, AllFourOrNone) {
    const struct {
        const char* text;
        bool ok;
        int32_t w, h, fps, rate;
    } kCases[] = {
        {"RTSP/1.0 200 OK\r\nServer: TessaraVine Rtsp Server 1280*720*25*2048\r\n", true, 1280, 720, 25, 2048 * 1024},
        {"RTSP/1.0 200 OK\r\nServer: TessaraVine Rtsp Server 1280*720*25\r\n", false, 0, 0, 0, 0},
        {"RTSP/1.0 200 OK\r\nServer: Other 1280*720*25*2048\r\n", false, 0, 0, 0, 0},
        {"Server: TessaraVine Rtsp Server 1280*720*25*2048\r\n", false, 0, 0, 0, 0},  // not after a line end
        {"\r\nServer: TessaraVine Rtsp Server 1*2*3*99999999\r\n", false, 0, 0, 0, 0},  // bit rate overflows
        {"\r\nServer: TessaraVine Rtsp Server 1*2*3*9999999999\r\n", false, 0, 0, 0, 0},
    };
    for (const auto& c : kCases) {
        int32_t w = -1, h = -1, fps = -1, rate = -1;
        EXPECT_EQ(SdpServerBanner(c.text, &w, &h, &fps, &rate), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(w, c.w);
            EXPECT_EQ(h, c.h);
            EXPECT_EQ(fps, c.fps);
            EXPECT_EQ(rate, c.rate);
        } else {
            EXPECT_EQ(w, -1) << "partial result written for " << c.text;
        }
    }
}

TEST(SdpParameterSets, AnnexBFromSprop) {
    const char* text =
        "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==;profile-level-id=420029\r\n";
    const std::vector<uint8_t> expected = {0,    0,    0,    1,    0x67, 0x42, 0x00, 0x29, 0xe2, 0x90, 0x14,
                                           0x07, 0xb6, 0x02, 0xdc, 0x04, 0x04, 0x06, 0x90, 0x78, 0x91, 0x15,
                                           0,    0,    0,    1,    0x68, 0xce, 0x3c, 0x80};
    uint8_t out[64];
    size_t n = SdpParameterSets(text, out, sizeof out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + n), expected);
    // Too small a buffer gives nothing rather than a cut set.
    EXPECT_EQ(SdpParameterSets(text, out, expected.size() - 1), 0u);
    EXPECT_EQ(SdpParameterSets("a=fmtp:96 packetization-mode=1\r\n", out, sizeof out), 0u);
}

TEST(Base64Decode, PaddingAndBounds) {
    uint8_t out[8];
    EXPECT_EQ(Base64Decode("TWFu", 4, out, sizeof out), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "Man");
    EXPECT_EQ(Base64Decode("TWE=", 4, out, sizeof out), 2u);
    EXPECT_EQ(Base64Decode("TQ", 2, out, sizeof out), 1u);
    EXPECT_EQ(out[0], 'M');
    EXPECT_EQ(Base64Decode("TWFuTWFuTWFu", 12, out, sizeof out), 0u);  // 9 bytes do not fit into 8
}

}  // namespace
}  // namespace kavro
