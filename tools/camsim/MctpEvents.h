#pragma once
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Connection.h"

namespace kavro::camsim {

class MctpSettings;
class RequestLog;

// Event connections registered with "CMD:ALIVE" and the timers that push motion and alarm
// events to all of them.
class MctpEvents {
public:
    // Periods <= 0 switch that event off.
    MctpEvents(int motionEveryMs, int alarmEveryMs, MctpSettings* settings, RequestLog* log);
    ~MctpEvents();
    MctpEvents(const MctpEvents&) = delete;
    MctpEvents& operator=(const MctpEvents&) = delete;

    void Start();
    void Stop();
    void Add(const std::shared_ptr<Connection>& connection, int channel);
    void Remove(const Connection* connection);

    // Pushed texts, each sent in one piece.
    static std::string MotionMessage(const MctpSettings& settings, int channel);
    static std::string AlarmMessage(int value);

private:
    void Run();
    void PushAll(bool motion);

    struct Entry {
        std::weak_ptr<Connection> connection;
        const Connection* key;
        int channel;
    };
    const int motionEveryMs_;
    const int alarmEveryMs_;
    MctpSettings* settings_;
    RequestLog* log_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::vector<Entry> entries_;
    std::thread thread_;
};

}  // namespace kavro::camsim
