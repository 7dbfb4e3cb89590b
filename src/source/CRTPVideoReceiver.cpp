#include "source/CRTPVideoReceiver.h"

#include <new>

#include "platform/Event.h"
#include "source/RtspSession.h"

namespace kavro {

CRTPVideoReceiver::CRTPVideoReceiver(Event* lost, RtspSession* s, CIConduit* conduit, IRecord* r,
                                     ClientHandle* c)
    : session(s),
      videoConduit(conduit),
      lostEvent(lost),
      record(r),
      client(c),
      depacketizer_(c, conduit, r, RtpVideoDepacketizer::kJpegTypeUdp) {}

CRTPVideoReceiver::~CRTPVideoReceiver() { Stop(); }

int CRTPVideoReceiver::Stop() {
    stopRequested = 1;
    Join();
    return 0;
}

void* CRTPVideoReceiver::Thread() {
    ThreadStarted();
    if (!receiveBuffer_) receiveBuffer_.reset(new (std::nothrow) uint8_t[kReceiveSize]);
    if (!receiveBuffer_ || !depacketizer_.Prepare()) {
        lostEvent->Set();
        return nullptr;
    }
    depacketizer_.BeginRun();
    depacketizer_.SetParameterSets(session->ParameterSets(), session->ParameterSetsLength());
    Socket& socket = session->videoSocket;
    while (!stopRequested) {
        int n = socket.Recv(receiveBuffer_.get(), kReceiveSize);
        // An empty datagram is harmless; an empty result from a socket the source closed is not.
        if (n < 0 || (n == 0 && !socket.IsOpen())) {
            if (!stopRequested) lostEvent->Set();
            break;
        }
        depacketizer_.HandlePacket(receiveBuffer_.get(), static_cast<size_t>(n));
    }
    return nullptr;
}

}  // namespace kavro
