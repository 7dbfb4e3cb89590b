#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "api/Notification.h"
#include "control/MctpTransport.h"
#include "platform/JThread.h"

namespace kavro {

struct ClientHandle;

// The camera's event connection of a live client: registered with the RTSP session identifier, kept
// alive, and read by its own thread, which turns motion and alarm events into notifications 2 and 4
// and keeps the client's motion fields (mdState, mdTicks, the rectangles of mdRegions) current.
class CEventReceiver2 : public JThread {
public:
    using Notifier = void (*)(ClientHandle* client, int32_t code, int32_t argument);

    static constexpr size_t kHeldMax = 4096;  // receive buffer, NUL included
    static constexpr uint32_t kEventReceiveTimeoutMs = 1000;
    static constexpr uint32_t kRepeatGapMs = 500;

    explicit CEventReceiver2(ClientHandle* client, Notifier notify = PostNotification);
    ~CEventReceiver2() override;

    // Opens the event connection and registers sessionId with the camera. On success the connection
    // stays open for the thread (start it with Start()); on failure it is closed. Also clears
    // stopRequested. Refused while the thread runs.
    bool Register(const char* sessionId);
    // Asks the thread to end, wakes a blocked receive, waits for the thread and closes the connection.
    virtual int Stop();
    // From the owner's thread: ends a blocked receive at once without closing the descriptor.
    void WakeUp();

    // Takes bytes as they came off the connection and handles every complete message; now is the
    // current tick. false when the channel must end (a malformed alarm message). Used by the thread;
    // callable directly only while the thread is not running.
    bool Feed(const char* data, size_t length, uint32_t now);

    ClientHandle* const client;
    std::atomic<int> stopRequested{0};
    CommandSocket eventSocket;
    uint32_t keepAlivePeriodMs = 10000;

protected:
    void* Thread() override;

private:
    void ResetState();
    bool Parse(uint32_t now);
    bool HandleMessage(const char* message, uint32_t now);
    void HandleMotion(const char* message, uint32_t now);
    bool HandleAlarm(const char* message, uint32_t now);

    Notifier notify_;
    char held_[kHeldMax];
    size_t heldCount_ = 0;
    bool haveMdTick_ = false;
    bool haveAlarmTick_ = false;
    uint32_t lastMdTick_ = 0;
    uint32_t lastAlarmTick_ = 0;
};

}  // namespace kavro
