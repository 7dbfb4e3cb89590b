// Bytes of the camera's event connection, in pieces as receives would hand them out.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "api/ClientHandle.h"
#include "control/CEventReceiver2.h"

using namespace kavro;

namespace {

void Notify(ClientHandle*, int32_t code, int32_t) {
    if (code != 2 && code != 4) abort();  // motion and alarm only
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    ClientHandle client;
    auto rx = std::make_unique<CEventReceiver2>(&client, Notify);
    uint32_t now = in.Dword();
    const uint8_t* piece;
    size_t length;
    while (in.Piece(&piece, &length)) {
        // A private copy sized exactly, so reads past the received bytes are caught.
        std::unique_ptr<char[]> bytes(new char[length ? length : 1]);
        memcpy(bytes.get(), piece, length);
        if (!rx->Feed(bytes.get(), length, now)) break;
        now += in.Byte() * 16u;
    }
    for (int i = 0; i < 16; ++i) {
        if (client.mdRegions.enable[i] != 0) abort();  // the host's bytes, never the camera's
    }
    return 0;
}
