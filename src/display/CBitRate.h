#pragma once
#include <cstdint>

#include "platform/Event.h"
#include "platform/JThread.h"

namespace kavro {

struct ClientHandle;

// Once a second turns the client's running byte and picture counters into kbit/s and pictures
// per second (measuredKbps, measuredFps).
class CBitRate : public JThread {
public:
    static constexpr uint32_t kPeriodMs = 1000;

    explicit CBitRate(ClientHandle* client);
    ~CBitRate() override;

    // Signals the stop and waits without limit for the thread to end.
    void Stop();

    // kbit/s (1 kbit = 1024 bits) of the bytes counted between two readings of a wrapping counter.
    static int32_t KbpsFromCounts(uint32_t previousBytes, uint32_t currentBytes);

    ClientHandle* client;
    Event stopEvent{false, false};  // auto reset

protected:
    void* Thread() override;
};

}  // namespace kavro
