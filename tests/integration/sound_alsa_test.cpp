#include <gtest/gtest.h>

#include <cstring>

#include "api/ClientHandle.h"
#include "audio/CAVSound.h"
#include "conduit/CBufferConduit.h"
#include "platform/Tick.h"
#include "support/sound_support.h"

using namespace kavro;
using namespace kavro_test;

namespace {

template <typename F>
bool WaitFor(F cond, uint32_t ms = 5000) {
    uint32_t start = GetTick();
    while (!cond()) {
        if (GetTick() - start > ms) return false;
        SleepMs(5);
    }
    return true;
}

TEST(SoundAlsa, ToneWrittenIntoTheConduitComesOutOfTheDevice) {
    SoundAlsaConfig alsa;
    ClientHandle client;
    CBufferConduit conduit;
    ASSERT_TRUE(conduit.Init(64000, 0, 0, 0));
    std::vector<int16_t> tone = SoundTone(1000.0, 8000);  // one second, 20 blocks
    ASSERT_TRUE(conduit.Write(tone.data(), static_cast<int>(tone.size() * 2), 1));

    CAVSound player;
    player.client = &client;
    player.audioConduit = &conduit;
    ASSERT_TRUE(player.PrepareBuffers());
    ASSERT_EQ(player.Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return conduit.GetDataSize() == 0; }));
    SleepMs(300);  // the last blocks reach the device
    EXPECT_EQ(client.audioPlayerClosed.load(), 0);
    player.Stop();
    player.ReleaseBuffers();
    EXPECT_EQ(client.audioPlayerClosed.load(), 1);

    std::string out = SoundReadFile(alsa.OutPath());
    ASSERT_GE(out.size(), tone.size() * 2);
    EXPECT_EQ(std::memcmp(out.data(), tone.data(), tone.size() * 2), 0)
        << "played bytes differ from the conduit's";
    EXPECT_NEAR(SoundDominantFrequency(SoundSamplesFromBytes(out)), 1000.0, 20.0);
}

TEST(SoundAlsa, NoDeviceClosesThePlayerAtOnce) {
    SoundAlsaConfig alsa(false);
    ClientHandle client;
    CBufferConduit conduit;
    ASSERT_TRUE(conduit.Init(64000, 0, 0, 0));
    std::vector<uint8_t> bytes(3000, 5);
    ASSERT_TRUE(conduit.Write(bytes.data(), 3000, 1));
    CAVSound player;
    player.client = &client;
    player.audioConduit = &conduit;
    ASSERT_TRUE(player.PrepareBuffers());
    ASSERT_EQ(player.Start(), 0);
    ASSERT_TRUE(WaitFor([&] { return client.audioPlayerClosed.load() == 1; }, 2000));
    EXPECT_TRUE(WaitFor([&] { return !player.IsRunning(); }, 2000));
    EXPECT_EQ(conduit.GetDataSize(), 0);
    player.Stop();
}

TEST(SoundAlsa, DeviceLayerReturnsEveryQueuedBlockOnResetAndRefusesCloseWhileQueued) {
    SoundAlsaConfig alsa;
    std::unique_ptr<PcmInput> in = CreateAlsaInput();
    std::vector<int16_t> tone = SoundTone(700.0, 8000);
    ASSERT_TRUE(SoundWriteFile(alsa.InPath(), tone.data(), tone.size() * 2));
    std::mutex m;
    std::vector<std::pair<uint32_t, uint32_t>> done;  // message, bytes recorded
    ASSERT_TRUE(in->Open([&](uint32_t msg, PcmBlock* b) {
        std::lock_guard<std::mutex> g(m);
        done.emplace_back(msg, b ? b->bytesRecorded : 0);
    }));
    std::vector<uint8_t> mem(4 * 640);
    PcmBlock blocks[4];
    for (int i = 0; i < 4; ++i) {
        blocks[i].data = mem.data() + i * 640;
        blocks[i].bufferLength = 640;
        ASSERT_TRUE(in->Prepare(&blocks[i]));
        ASSERT_TRUE(in->AddBuffer(&blocks[i]));
    }
    EXPECT_FALSE(in->Close()) << "close must wait for the queued blocks";
    ASSERT_TRUE(in->Start());
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> g(m);
        return done.size() >= 2;
    }));
    ASSERT_TRUE(in->Reset());
    {
        std::lock_guard<std::mutex> g(m);
        size_t data = 0;
        for (auto& d : done) data += d.first == kPcmInData;
        EXPECT_EQ(data, 4u) << "every block back once, none lost or doubled";
        EXPECT_EQ(done[0].first, kPcmInOpen);
        EXPECT_EQ(done[1].second, 640u);
    }
    for (PcmBlock& b : blocks) EXPECT_FALSE(b.flags & kPcmBlockInQueue);
    // Recorded sound is what the device was given.
    EXPECT_EQ(std::memcmp(mem.data(), tone.data(), 640), 0);
    for (PcmBlock& b : blocks) EXPECT_TRUE(in->Unprepare(&b));
    EXPECT_TRUE(in->Close());
    EXPECT_FALSE(in->IsOpen());
}

}  // namespace
