#include "support/replay_notifications.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "kavro.h"

namespace kavro {
namespace replaytest {

namespace {

std::mutex g_lock;
std::condition_variable g_changed;
std::map<uint32_t, int> g_ends;
bool g_badArgument = false;

int32_t Callback(uint32_t handle, int32_t code, int32_t argument, int32_t userValue) {
    if (code != 7) return 0;
    std::lock_guard<std::mutex> g(g_lock);
    if (argument != 0 || userValue != 0) g_badArgument = true;
    ++g_ends[handle];
    g_changed.notify_all();
    return 0;
}

}  // namespace

void Install() {
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_ends.clear();
        g_badArgument = false;
    }
    KAVRO_Startup(0, 0, &Callback, 0);
}

void Uninstall() { KAVRO_Cleanup(); }

int EndCount(uint32_t handle) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_ends.find(handle);
    return it == g_ends.end() ? 0 : it->second;
}

bool WaitForEnds(uint32_t handle, int count, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(g_lock);
    return g_changed.wait_for(g, std::chrono::milliseconds(timeoutMs),
                              [&] { return g_ends[handle] >= count; });
}

bool SawBadEndArgument() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_badArgument;
}

}  // namespace replaytest
}  // namespace kavro
