#pragma once
#include <cstdint>
#include <vector>

typedef struct _XDisplay Display;

namespace kavro {
namespace test {

struct Pixel {
    int r, g, b;
};

// A test-side X connection (to DISPLAY) with helpers for windows a host would own.
class X11TestClient {
public:
    X11TestClient();
    ~X11TestClient();
    X11TestClient(const X11TestClient&) = delete;
    X11TestClient& operator=(const X11TestClient&) = delete;

    bool ok() const { return dpy_ != nullptr; }
    Display* display() const { return dpy_; }
    int Depth() const;

    // A mapped top-level window of the default visual at (x, y) on the root, black background.
    // Windows must not overlap where a test reads them back: the server keeps no hidden pixels.
    // Waits (bounded) until it is mapped and its size took effect.
    uint32_t CreateWindow(int width, int height, int x = 0, int y = 0);
    void Resize(uint32_t window, int width, int height);
    void Destroy(uint32_t window);
    // The window's pixels as 8-bit RGB, row-major; empty when it cannot be read.
    std::vector<Pixel> Read(uint32_t window, int* width, int* height);
    uint32_t InternAtom(const char* name);
    // Waits at most timeoutMs for a ClientMessage to `window`; false on time-out.
    bool WaitClientMessage(uint32_t window, uint32_t timeoutMs, uint32_t* type, long* l0, long* l1);

private:
    Display* dpy_ = nullptr;
};

}  // namespace test
}  // namespace kavro
