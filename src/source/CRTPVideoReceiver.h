#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/JThread.h"
#include "source/RtpVideoDepacketizer.h"

namespace kavro {

struct ClientHandle;
class CIConduit;
class IRecord;
class Event;
class RtspSession;

// Receives the video RTP datagrams of a UDP session and hands each one to the depacketizer.
// A receive error or time-out (also the source closing the socket) signals lostEvent and ends
// the thread.
class CRTPVideoReceiver : public JThread {
public:
    static constexpr size_t kReceiveSize = 65536;

    CRTPVideoReceiver(Event* lostEvent, RtspSession* session, CIConduit* videoConduit, IRecord* record,
                      ClientHandle* client);
    ~CRTPVideoReceiver() override;

    // Sets stopRequested and waits for the thread. The owner unblocks a pending receive by
    // closing the session's video socket first. Always 0.
    virtual int Stop();

    RtspSession* const session;
    CIConduit* const videoConduit;
    std::atomic<int32_t> stopRequested{0};
    Event* const lostEvent;
    IRecord* const record;
    ClientHandle* const client;

protected:
    void* Thread() override;

private:
    RtpVideoDepacketizer depacketizer_;
    std::unique_ptr<uint8_t[]> receiveBuffer_;
};

}  // namespace kavro
