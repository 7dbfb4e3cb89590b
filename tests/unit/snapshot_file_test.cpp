#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "record/Snapshot.h"

using namespace kavro;

namespace {

class SnapshotFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kavro_snapshot_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
    }
    void TearDown() override {
        const std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(0, system(cmd.c_str()));
    }
    std::string Path(const std::string& rel) const { return dir_ + "/" + rel; }
    static bool Exists(const std::string& p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0;
    }
    static std::vector<uint8_t> Read(const std::string& p) {
        std::vector<uint8_t> data;
        FILE* f = fopen(p.c_str(), "rb");
        if (!f) return data;
        int c;
        while ((c = fgetc(f)) != EOF) data.push_back(static_cast<uint8_t>(c));
        fclose(f);
        return data;
    }
    static void WriteText(const std::string& p, const char* text) {
        FILE* f = fopen(p.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fputs(text, f);
        fclose(f);
    }
    std::string dir_;
};

// Owns the planes that a DecodedPicture points into.
struct OwnedPicture {
    std::vector<uint8_t> y, u, v;
    DecodedPicture pic;
    OwnedPicture(int w, int h, unsigned seed) {
        std::mt19937 rng(seed);
        pic.width = w;
        pic.height = h;
        pic.yStride = w;
        pic.uvStride = (w + 1) / 2;
        y.resize(static_cast<size_t>(w) * h);
        u.resize(static_cast<size_t>(pic.uvStride) * ((h + 1) / 2));
        v.resize(u.size());
        for (auto* plane : {&y, &u, &v})
            for (auto& b : *plane) b = static_cast<uint8_t>(rng());
        pic.y = y.data();
        pic.u = u.data();
        pic.v = v.data();
    }
};

}  // namespace

TEST_F(SnapshotFile, PreparePathMakesFoldersAndRefusesBadPaths) {
    EXPECT_TRUE(PrepareSnapshotPath(Path("a/b/c/shot.jpg").c_str()));
    struct stat st;
    ASSERT_EQ(0, stat(Path("a/b/c").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(Exists(Path("a/b/c/shot.jpg")));                       // only the folders
    EXPECT_TRUE(PrepareSnapshotPath(Path("a/b/c/again.jpg").c_str()));  // folders already there

    WriteText(Path("plainfile"), "x");
    const std::string tooLong = Path(std::string(kSnapshotPathSize, 'n'));
    const struct {
        const char* name;
        const char* path;
    } bad[] = {
        {"null", nullptr},
        {"empty", ""},
        {"does not fit snapshotPath", tooLong.c_str()},
    };
    for (const auto& c : bad) EXPECT_FALSE(PrepareSnapshotPath(c.path)) << c.name;
    const std::string underFile = Path("plainfile/sub/shot.jpg");
    EXPECT_FALSE(PrepareSnapshotPath(underFile.c_str())) << "folder under a regular file";
}

TEST_F(SnapshotFile, FrameSnapshotIsTheFrameByteForByteAndReplacesOldFile) {
    const std::string p = Path("frame.jpg");
    WriteText(p, "an older and much longer file that must not leave a tail behind");
    std::vector<uint8_t> frame = {0xFF, 0xD8, 0x00, 0xFF, 0x00, 0x1A, 0x0A, 0x0D, 0xFF, 0xD9};
    ASSERT_TRUE(TakeFrameSnapshot(p.c_str(), frame.data(), frame.size()));
    EXPECT_EQ(frame, Read(p));

    EXPECT_FALSE(TakeFrameSnapshot(Path("empty.jpg").c_str(), frame.data(), 0));
    EXPECT_FALSE(TakeFrameSnapshot(Path("null.jpg").c_str(), nullptr, 4));
    EXPECT_FALSE(Exists(Path("empty.jpg")));
    EXPECT_FALSE(Exists(Path("null.jpg")));
    EXPECT_FALSE(TakeFrameSnapshot(Path("missing/dir/x.jpg").c_str(), frame.data(), frame.size()));
}

TEST_F(SnapshotFile, PictureSnapshotWritesAJpegFile) {
    OwnedPicture op(64, 48, 1);
    const std::string p = Path("pic.jpg");
    ASSERT_TRUE(TakeSnapshot(p.c_str(), op.pic));
    const auto data = Read(p);
    ASSERT_GT(data.size(), 623u);
    EXPECT_EQ(0xFF, data[0]);
    EXPECT_EQ(0xD8, data[1]);
    EXPECT_EQ(0xFF, data[data.size() - 2]);
    EXPECT_EQ(0xD9, data[data.size() - 1]);
}

// Noise is the worst case for the encoder; the default output area must still hold it.
TEST_F(SnapshotFile, DefaultOutputAreaHoldsNoise) {
    const struct { int w, h; } sizes[] = {{8, 8}, {16, 16}, {33, 17}, {176, 144}, {720, 576}};
    for (const auto& s : sizes) {
        OwnedPicture op(s.w, s.h, 7);
        EXPECT_TRUE(TakeSnapshot(Path("noise.jpg").c_str(), op.pic)) << s.w << "x" << s.h;
    }
}

TEST_F(SnapshotFile, FailuresLeaveNoFile) {
    OwnedPicture op(64, 48, 2);
    const std::string p = Path("fail.jpg");
    EXPECT_FALSE(TakeSnapshot(p.c_str(), op.pic, 700)) << "output area too small";
    EXPECT_FALSE(Exists(p));

    DecodedPicture broken = op.pic;
    broken.u = nullptr;
    EXPECT_FALSE(TakeSnapshot(p.c_str(), broken));
    EXPECT_FALSE(Exists(p));

    EXPECT_FALSE(TakeSnapshot(Path("no/such/dir/x.jpg").c_str(), op.pic));
    EXPECT_FALSE(TakeSnapshot(dir_.c_str(), op.pic)) << "a folder is not a file";
}
