#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/ClientHandle.h"
#include "audio/CTalk2VS.h"
#include "codec/VoiceEngine.h"
#include "platform/Tick.h"
#include "support/control_loopback.h"
#include "support/sound_support.h"

using namespace kavro;
using namespace kavro_test;

namespace {

const char kRequest[] = "CMD:TALK MCTP/1.0 CS\n@3@0@\nEND\n";

uint32_t Le32(const std::string& s, size_t at) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data()) + at;
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}

// A G.726-32 frame of 320 samples of a tone, as a camera sends it.
std::string CameraFrame(VoiceState* enc, double freq, size_t index) {
    std::vector<int16_t> pcm = SoundTone(freq, 320, 8000.0, index * 320);
    uint8_t frame[1024];
    EXPECT_EQ(HI_VOICE_EncodeFrame(enc, pcm.data(), 320, frame, sizeof frame), 0);
    return std::string(reinterpret_cast<char*>(frame), VoiceFrameWireBytes(frame));
}

// Reads frames (8-byte head + body) until `count` arrived; checks the heads and decodes them.
std::vector<int16_t> ReadFrames(ControlPeer& peer, int count) {
    std::string held;
    std::vector<int16_t> pcm;
    VoiceState dec{};
    EXPECT_EQ(HI_VOICE_DecReset(&dec, 6), 0);
    uint32_t start = GetTick();
    int got = 0;
    while (got < count && GetTick() - start < 8000) {
        held += peer.ReadFor(50);
        while (got < count && held.size() >= 8) {
            uint32_t length = Le32(held, 0);
            EXPECT_EQ(length, 164u) << "80 words of G.726-32 behind a 4-byte frame header";
            if (length != 164u) return pcm;
            if (held.size() < 8 + length) break;
            std::string frame = held.substr(8, length);
            EXPECT_EQ(static_cast<uint8_t>(frame[0]), 0x00);
            EXPECT_EQ(static_cast<uint8_t>(frame[1]), 0x01);
            EXPECT_EQ(VoiceFrameWordCount(reinterpret_cast<const uint8_t*>(frame.data())), 80);
            int16_t out[kVoiceMaxDecodedSamples];
            uint16_t n = 0;
            EXPECT_EQ(HI_VOICE_DecodeFrame(&dec, reinterpret_cast<const uint8_t*>(frame.data()), frame.size(),
                                           out, kVoiceMaxDecodedSamples, &n),
                      0);
            EXPECT_EQ(n, 320);
            pcm.insert(pcm.end(), out, out + n);
            held.erase(0, 8 + length);
            ++got;
        }
    }
    EXPECT_EQ(got, count);
    return pcm;
}

class TalkSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<int16_t> mic = SoundTone(500.0, 8000 * 20);
        ASSERT_TRUE(SoundWriteFile(alsa.InPath(), mic.data(), mic.size() * 2));
        std::strcpy(client.host, "127.0.0.1");
        client.controlPort = listener.Port();
        client.channel = 3;
    }
    std::unique_ptr<ControlPeer> AcceptHandshake() {
        std::unique_ptr<ControlPeer> peer = listener.Accept(5000);
        if (peer) {
            EXPECT_EQ(peer->ReadUntil("END\n", 3000), kRequest);
        }
        return peer;
    }
    SoundAlsaConfig alsa;
    ControlListener listener;
    ClientHandle client;
};

TEST_F(TalkSessionTest, TwoWayTalkSendsCodedMicrophoneAndPlaysTheCamerasSoundAndReconnects) {
    CTalk2VS session(&client, 300);
    ASSERT_EQ(session.Start(), 0);
    std::unique_ptr<ControlPeer> peer = AcceptHandshake();
    ASSERT_TRUE(peer);
    VoiceState enc{};
    ASSERT_EQ(HI_VOICE_EncReset(&enc, 6), 0);
    // The first sound comes right behind the reply, in the same send.
    ASSERT_TRUE(peer->Send("CMD:TALK MCTP/1.0 200 OK\n@1@1@\n" + CameraFrame(&enc, 1000.0, 0)));

    std::vector<int16_t> mic = ReadFrames(*peer, 12);
    ASSERT_EQ(mic.size(), 12u * 320);
    EXPECT_NEAR(SoundDominantFrequency(mic), 500.0, 20.0);
    EXPECT_EQ(session.twoWay.load(), 1);

    for (size_t i = 1; i < 25; ++i) {
        ASSERT_TRUE(peer->Send(CameraFrame(&enc, 1000.0, i)));
        SleepMs(40);
    }
    // The camera drops the connection: the session connects and asks again.
    peer->Close();
    std::unique_ptr<ControlPeer> second = AcceptHandshake();
    ASSERT_TRUE(second);
    // One way this time, so the playback file of the first connection is left as it is.
    ASSERT_TRUE(second->Send("CMD:TALK MCTP/1.0 200 OK\n@0@1@\n"));
    EXPECT_EQ(ReadFrames(*second, 3).size(), 3u * 320);
    EXPECT_EQ(session.connections.load(), 2);

    uint32_t start = GetTick();
    session.StopAndWait();
    EXPECT_LT(GetTick() - start, 2000u);
    EXPECT_TRUE(second->WaitClosed(2000));

    std::string played = SoundReadFile(alsa.OutPath());
    // The last frames may still wait at the device when the reconnect resets it.
    EXPECT_GE(played.size(), 20u * 640) << "the first sound and the later frames are played";
    EXPECT_NEAR(SoundDominantFrequency(SoundSamplesFromBytes(played)), 1000.0, 20.0);
}

TEST_F(TalkSessionTest, OneWayTalkOpensNoPlaybackDevice) {
    CTalk2VS session(&client, 300);
    ASSERT_EQ(session.Start(), 0);
    std::unique_ptr<ControlPeer> peer = AcceptHandshake();
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->Send("CMD:TALK MCTP/1.0 200 OK\n@0@1@\n"));
    EXPECT_EQ(ReadFrames(*peer, 3).size(), 3u * 320);
    EXPECT_EQ(session.twoWay.load(), 0);
    session.StopAndWait();
    EXPECT_EQ(SoundReadFile(alsa.OutPath()).size(), 0u);
}

TEST_F(TalkSessionTest, RefusedTalkIsAskedAgainAfterThePause) {
    CTalk2VS session(&client, 300);
    ASSERT_EQ(session.Start(), 0);
    std::unique_ptr<ControlPeer> first = AcceptHandshake();
    ASSERT_TRUE(first);
    uint32_t refusedAt = GetTick();
    ASSERT_TRUE(first->Send("CMD:TALK MCTP/1.0 200 OK\n@1@0@\n"));
    EXPECT_TRUE(first->WaitClosed(2000));
    std::unique_ptr<ControlPeer> second = AcceptHandshake();
    ASSERT_TRUE(second);
    EXPECT_GE(GetTick() - refusedAt, 250u);
    EXPECT_EQ(session.connections.load(), 0);
    session.StopAndWait();
}

TEST_F(TalkSessionTest, StopTalkLeavesTheRetryPauseAtOnceAndStartTalkReplacesTheSession) {
    // Nothing listens on this port: every handshake fails and the session pauses 10 s.
    ControlListener* unused = new ControlListener();
    client.controlPort = unused->Port();
    delete unused;
    ASSERT_TRUE(StartTalk(&client));
    CTalk2VS* first = client.talk.load();
    ASSERT_NE(first, nullptr);
    SleepMs(300);
    // Replacing: the first session is stopped completely before the second starts.
    client.controlPort = listener.Port();
    uint32_t start = GetTick();
    ASSERT_TRUE(StartTalk(&client));
    EXPECT_LT(GetTick() - start, 1000u);
    EXPECT_NE(client.talk.load(), nullptr);
    std::unique_ptr<ControlPeer> peer = AcceptHandshake();
    ASSERT_TRUE(peer);
    start = GetTick();
    StopTalk(&client);
    EXPECT_LT(GetTick() - start, 1000u);
    EXPECT_EQ(client.talk.load(), nullptr);
    EXPECT_TRUE(peer->WaitClosed(2000));
    StopTalk(&client);  // nothing left to stop
}

}  // namespace
