#include "source/CRTPAudioReceiver.h"

#include "source/RtspSession.h"

namespace kavro {

CRTPAudioReceiver::CRTPAudioReceiver(RtspSession* s, CIConduit* conduit, IRecord* r, ClientHandle* c)
    : session(s), audioConduit(conduit), record(r), client(c), depacketizer_(c, conduit, r) {}

CRTPAudioReceiver::~CRTPAudioReceiver() { Stop(); }

int CRTPAudioReceiver::Stop() {
    stopRequested = 1;
    Join();
    return 0;
}

void* CRTPAudioReceiver::Thread() {
    ThreadStarted();
    if (!depacketizer_.BeginRun()) return nullptr;
    Socket& socket = session->audioSocket;
    while (!stopRequested) {
        int n = socket.Recv(receiveBuffer_, kReceiveSize);
        if (n < 0 || (n == 0 && !socket.IsOpen())) break;
        depacketizer_.HandlePacket(receiveBuffer_, static_cast<size_t>(n));
    }
    return nullptr;
}

}  // namespace kavro
