#include "platform/WindowMessage.h"

#include <mutex>

#include "platform/Tick.h"
#include "platform/X11Display.h"

namespace kavro {

namespace {

std::mutex gMessageMutex;

// The library's own connection for window messages, opened on first use.
X11Display& MessageDisplay() {
    static X11Display display;
    return display;
}

}  // namespace

bool PostWindowMessage(uint32_t wnd, uint32_t msg, int32_t code, int32_t argument) {
    if (wnd == 0) return false;
    std::lock_guard<std::mutex> g(gMessageMutex);
    X11Display& display = MessageDisplay();
    if (display.IsLost()) display.Close();
    if (!display.IsOpen()) {
        // Without an X server the message is dropped; ask again at most once a second.
        static uint32_t lastAttempt = 0;
        static bool attempted = false;
        const uint32_t now = GetTick();
        if (attempted && now - lastAttempt < 1000) return false;
        attempted = true;
        lastAttempt = now;
        if (!display.Open()) return false;
    }
    return display.SendClientMessage(wnd, msg, code, argument);
}

}  // namespace kavro
