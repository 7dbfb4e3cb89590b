#pragma once
#include <atomic>
#include <cstdint>

#include "platform/JThread.h"
#include "source/RtpAudioDepacketizer.h"

namespace kavro {

struct ClientHandle;
class CIConduit;
class IRecord;
class RtspSession;

// Receives the audio RTP datagrams of a UDP session and hands each one to the depacketizer. Ends
// quietly on a receive error or time-out: a session may go on without sound.
class CRTPAudioReceiver : public JThread {
public:
    static constexpr size_t kReceiveSize = 2048;

    CRTPAudioReceiver(RtspSession* session, CIConduit* audioConduit, IRecord* record, ClientHandle* client);
    ~CRTPAudioReceiver() override;

    // Sets stopRequested and waits for the thread; the owner closes the audio socket first. Always 0.
    virtual int Stop();

    RtspSession* const session;
    CIConduit* const audioConduit;
    std::atomic<int32_t> stopRequested{0};
    IRecord* const record;
    ClientHandle* const client;

protected:
    void* Thread() override;

private:
    RtpAudioDepacketizer depacketizer_;
    uint8_t receiveBuffer_[kReceiveSize] = {};
};

}  // namespace kavro
