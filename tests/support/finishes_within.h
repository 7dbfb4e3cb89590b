#pragma once
#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace kavro::test {

// Runs f on its own thread; false when it has not returned within ms (the thread is then left
// behind so the test reports instead of hanging).
template <typename F>
bool FinishesWithin(F f, int ms) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> fut = done->get_future();
    std::thread t([f, done] {
        f();
        done->set_value();
    });
    if (fut.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready) {
        t.join();
        return true;
    }
    t.detach();
    return false;
}

}  // namespace kavro::test
