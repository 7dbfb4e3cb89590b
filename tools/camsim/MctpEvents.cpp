#include "MctpEvents.h"

#include <algorithm>
#include <chrono>

#include "MctpHandler.h"
#include "RequestLog.h"

namespace kavro::camsim {
namespace {
// Regions reported as moving by every motion event.
constexpr int kMotionRegions[] = {0, 3};
}  // namespace

MctpEvents::MctpEvents(int motionEveryMs, int alarmEveryMs, MctpSettings* settings, RequestLog* log)
    : motionEveryMs_(motionEveryMs), alarmEveryMs_(alarmEveryMs), settings_(settings), log_(log) {}

MctpEvents::~MctpEvents() { Stop(); }

void MctpEvents::Start() {
    if ((motionEveryMs_ > 0 || alarmEveryMs_ > 0) && !thread_.joinable())
        thread_ = std::thread([this] { Run(); });
}

void MctpEvents::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void MctpEvents::Add(const std::shared_ptr<Connection>& connection, int channel) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back({connection, connection.get(), channel});
}

void MctpEvents::Remove(const Connection* connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [connection](const Entry& e) { return e.key == connection; }),
                   entries_.end());
}

std::string MctpEvents::MotionMessage(const MctpSettings& settings, int channel) {
    const auto regions = settings.GetRegions(channel);
    std::string text = "CMD:MD MCTP/1.0\n";
    for (int r : kMotionRegions) {
        const auto& g = regions[static_cast<size_t>(r)];
        text += "@0@1@" + std::to_string(r) + "@" + std::to_string(g.rect[0]) + "@" +
                std::to_string(g.rect[1]) + "@" + std::to_string(g.rect[2]) + "@" +
                std::to_string(g.rect[3]) + "@0\n";
    }
    return text + "END\n";
}

std::string MctpEvents::AlarmMessage(int value) {
    return "CMD:ALARM MCTP/1.0\n@2@" + std::to_string(value) + "\nEND\n";
}

void MctpEvents::PushAll(bool motion) {
    std::vector<Entry> targets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        targets = entries_;
    }
    for (const auto& e : targets) {
        auto c = e.connection.lock();
        if (!c) continue;
        const std::string text = motion ? MotionMessage(*settings_, e.channel) : AlarmMessage(1);
        c->Send(text.data(), text.size(), false);
        if (log_) log_->Write(std::string(motion ? "PUSH-MD" : "PUSH-ALARM") + "\t" + EscapeBytes(text));
    }
}

void MctpEvents::Run() {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto nextMotion = start + std::chrono::milliseconds(std::max(motionEveryMs_, 0));
    auto nextAlarm = start + std::chrono::milliseconds(std::max(alarmEveryMs_, 0));
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        auto next = Clock::time_point::max();
        if (motionEveryMs_ > 0) next = std::min(next, nextMotion);
        if (alarmEveryMs_ > 0) next = std::min(next, nextAlarm);
        wake_.wait_until(lock, next, [this] { return stop_; });
        if (stop_) break;
        const auto now = Clock::now();
        lock.unlock();
        if (motionEveryMs_ > 0 && now >= nextMotion) {
            PushAll(true);
            nextMotion += std::chrono::milliseconds(motionEveryMs_);
            if (nextMotion < now) nextMotion = now + std::chrono::milliseconds(motionEveryMs_);
        }
        if (alarmEveryMs_ > 0 && now >= nextAlarm) {
            PushAll(false);
            nextAlarm += std::chrono::milliseconds(alarmEveryMs_);
            if (nextAlarm < now) nextAlarm = now + std::chrono::milliseconds(alarmEveryMs_);
        }
        lock.lock();
    }
}

}  // namespace kavro::camsim
