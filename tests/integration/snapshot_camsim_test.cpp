// Snapshots of live simulator streams through the C interface: an H.264 picture is encoded to a
// JPEG file that decodes at the picture's size; a JPEG stream's snapshot is a received frame.
#include <gtest/gtest.h>
#include <sys/stat.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kavro.h"
#include "support/camsim_process.h"
#include "support/snapshot_replay_fixtures.h"
#include "support/source_live_client.h"

namespace {

using kavro::test::CamsimProcess;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::vector<uint8_t> out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

struct Luma {
    int width = 0, height = 0;
    double mean = 0, stddev = 0;
};

bool DecodeJpegLuma(const std::vector<uint8_t>& data, Luma* out) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (!codec || data.empty()) return false;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool ok = ctx && pkt && frame && avcodec_open2(ctx, codec, nullptr) == 0 &&
              av_new_packet(pkt, static_cast<int>(data.size())) == 0;
    if (ok) {
        memcpy(pkt->data, data.data(), data.size());
        ok = avcodec_send_packet(ctx, pkt) == 0 && avcodec_send_packet(ctx, nullptr) == 0 &&
             avcodec_receive_frame(ctx, frame) == 0;
    }
    if (ok) {
        out->width = frame->width;
        out->height = frame->height;
        double sum = 0, sq = 0;
        for (int i = 0; i < frame->height; ++i)
            for (int j = 0; j < frame->width; ++j) {
                double v = frame->data[0][static_cast<ptrdiff_t>(i) * frame->linesize[0] + j];
                sum += v;
                sq += v * v;
            }
        double n = static_cast<double>(frame->width) * frame->height;
        out->mean = sum / n;
        out->stddev = std::sqrt(std::max(0.0, sq / n - out->mean * out->mean));
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return ok;
}

struct Case {
    const char* video;
    uint16_t transport;
};

class SnapshotCamsim : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { ASSERT_EQ(1, KAVRO_Startup(0, 0, nullptr, 0)); }
    void TearDown() override { KAVRO_Cleanup(); }
};

TEST_P(SnapshotCamsim, CapturePictureWritesADecodableJpeg) {
    const Case c = GetParam();
    CamsimProcess sim({"--video", c.video, "--audio", "none"});
    ASSERT_TRUE(sim.Running());
    KAVRO_CLIENT_RECORD rec{};
    rec.transport = c.transport;
    rec.viewOn = 1;
    rec.channel = 1;
    snprintf(rec.address, sizeof rec.address, "127.0.0.1:%u", sim.Port());
    KAVRO_HANDLE h = KAVRO_ClientStart(&rec);
    ASSERT_NE(0u, h);
    ASSERT_TRUE(kavro::test::WaitUntil([&] { return KAVRO_GetClientState(h) == 0; }, 15000));

    kavro::fixtures::TempDir dir;
    const std::string path = dir.Path("shots/one.jpg");  // the folder does not exist yet
    std::vector<uint8_t> jpeg;
    // A request is served with the next picture shown; ask again until one lands.
    bool written = kavro::test::WaitUntil(
        [&] {
            if (KAVRO_ClientCapturePicture(h, path.c_str()) != 1) return false;
            kavro::test::WaitUntil(
                [&] {
                    struct stat st {};
                    return stat(path.c_str(), &st) == 0 && st.st_size > 0;
                },
                1000);
            jpeg = ReadFile(path);
            return jpeg.size() > 4;
        },
        15000);
    EXPECT_EQ(1, KAVRO_ClientStop(h));
    ASSERT_TRUE(written);
    EXPECT_EQ(0xFF, jpeg[0]);
    EXPECT_EQ(0xD8, jpeg[1]);
    Luma luma;
    ASSERT_TRUE(DecodeJpegLuma(jpeg, &luma));
    EXPECT_EQ(352, luma.width);
    EXPECT_EQ(288, luma.height);
    EXPECT_GT(luma.stddev, 5.0) << "the moving test pattern is not a flat picture";
    EXPECT_EQ(0, KAVRO_ClientCapturePicture(h, path.c_str())) << "closed handle";
    EXPECT_EQ(0, KAVRO_ClientCapturePicture(0, path.c_str()));
}

INSTANTIATE_TEST_SUITE_P(Streams, SnapshotCamsim,
                         ::testing::Values(Case{"h264", 0}, Case{"h264", 1}, Case{"jpeg", 0}),
                         [](const ::testing::TestParamInfo<Case>& i) {
                             return std::string(i.param.video) + (i.param.transport ? "_tcp" : "_udp");
                         });

}  // namespace
