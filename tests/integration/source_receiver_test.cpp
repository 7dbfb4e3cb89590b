#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api/ClientHandle.h"
#include "conduit/CBufferConduit.h"
#include "platform/Event.h"
#include "platform/Socket.h"
#include "source/CRTPAudioReceiver.h"
#include "source/CRTPVideoReceiver.h"
#include "source/RtspSession.h"
#include "support/source_live_client.h"

namespace kavro {
namespace {

using test::WaitUntil;

std::vector<uint8_t> Rtp(std::vector<uint8_t> payload, bool marker = false) {
    const uint8_t header[12] = {0x80, static_cast<uint8_t>(marker ? 0xE0 : 0x60), 0, 1, 0, 0, 0, 9, 1, 2, 3, 4};
    std::vector<uint8_t> p(header, header + sizeof header);
    p.resize(sizeof header + payload.size());
    std::copy(payload.begin(), payload.end(), p.begin() + sizeof header);
    return p;
}

// A UDP session on loopback with media sockets bound to free ports, and a sender.
struct UdpSession {
    ClientHandle handle;
    RtspSession session{&handle};
    CBufferConduit video;
    CBufferConduit audio;
    Socket sender;
    in_addr loopback{};

    UdpSession() {
        handle.transport = 0;
        handle.videoPayloadType = 96;
        handle.audioCodec = 1;  // G.711 A-law
        handle.audioOn = 1;
        handle.fps = 25;
        EXPECT_EQ(session.OpenSockets(), 1);
        EXPECT_TRUE(session.videoSocket.Bind(0));
        EXPECT_TRUE(session.audioSocket.Bind(0));
        session.videoSocket.SetRecvTimeout(5000);
        session.audioSocket.SetRecvTimeout(5000);
        video.Init(1 << 20, 0, 0, 1);
        audio.Init(1 << 16, 0, 0, 0);
        EXPECT_TRUE(sender.OpenUdp());
        loopback.s_addr = htonl(INADDR_LOOPBACK);
    }
    void SendVideo(const std::vector<uint8_t>& d) {
        sender.SendTo(d.data(), d.size(), loopback, session.videoSocket.LocalPort());
    }
    void SendAudio(const std::vector<uint8_t>& d) {
        sender.SendTo(d.data(), d.size(), loopback, session.audioSocket.LocalPort());
    }
};

TEST(RtpReceivers, VideoDatagramsReachTheConduitUntilTheSocketCloses) {
    UdpSession s;
    Event lost(false, false);
    CRTPVideoReceiver receiver(&lost, &s.session, &s.video, nullptr, &s.handle);
    ASSERT_EQ(receiver.Start(), 0);
    // An empty datagram and a short one are passed over; the thread goes on.
    s.SendVideo({});
    s.SendVideo({0x80, 0x60, 0, 1});
    // FU-A of a P picture: start fragment, then the end fragment.
    s.SendVideo(Rtp({0x7C, 0x81, 0xAA, 0xBB}));
    s.SendVideo(Rtp({0x7C, 0x41, 0xCC, 0xDD}, true));
    ASSERT_TRUE(WaitUntil([&] { return s.video.GetFrameCount() == 1; }, 3000));
    EXPECT_EQ(s.video.GetDataSize(), 3 + 1 + 2 + 2);
    EXPECT_EQ(s.handle.byteCount.load(), 8u);
    EXPECT_TRUE(receiver.IsRunning());
    EXPECT_FALSE(lost.IsSet());

    // The source closes the socket: the receiver reports the loss and ends.
    s.session.CloseMediaSockets();
    EXPECT_TRUE(lost.Wait(3000));
    EXPECT_TRUE(WaitUntil([&] { return !receiver.IsRunning(); }, 3000));
    receiver.Stop();
}

TEST(RtpReceivers, VideoStoppedOnPurposeReportsNoLoss) {
    UdpSession s;
    Event lost(false, false);
    CRTPVideoReceiver receiver(&lost, &s.session, &s.video, nullptr, &s.handle);
    ASSERT_EQ(receiver.Start(), 0);
    receiver.stopRequested = 1;
    s.session.CloseMediaSockets();
    receiver.Stop();
    EXPECT_FALSE(lost.IsSet());
}

TEST(RtpReceivers, AudioIsDecodedIntoTheConduitAndEndsQuietly) {
    UdpSession s;
    CRTPAudioReceiver receiver(&s.session, &s.audio, nullptr, &s.handle);
    ASSERT_EQ(receiver.Start(), 0);
    s.SendAudio({});  // passed over
    s.SendAudio(Rtp(std::vector<uint8_t>(160, 0xD5)));
    ASSERT_TRUE(WaitUntil([&] { return s.audio.GetDataSize() == 320; }, 3000));
    EXPECT_TRUE(receiver.IsRunning());
    s.session.CloseMediaSockets();
    EXPECT_TRUE(WaitUntil([&] { return !receiver.IsRunning(); }, 3000));
    receiver.Stop();
}

TEST(RtpReceivers, AudioWithAnUnknownCodecEndsAtOnce) {
    UdpSession s;
    s.handle.audioCodec = 3;
    CRTPAudioReceiver receiver(&s.session, &s.audio, nullptr, &s.handle);
    ASSERT_EQ(receiver.Start(), 0);
    EXPECT_TRUE(WaitUntil([&] { return !receiver.IsRunning(); }, 3000));
    receiver.Stop();
}

}  // namespace
}  // namespace kavro
