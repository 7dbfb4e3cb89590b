#pragma once
// Test support for the live sources: notifications collected through the host callback, a
// client wired as the pipeline assembly does it, and servers that refuse or never answer.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/ClientHandle.h"
#include "api/Library.h"
#include "conduit/CBufferConduit.h"
#include "source/CAVSource.h"

namespace kavro::test {

// The host callback to give KAVRO_Startup; collects every notification.
int32_t SourceCollectNotification(uint32_t handle, int32_t code, int32_t argument, int32_t userValue);
// Code-1 arguments raised for handle so far, in order.
std::vector<int32_t> Code1Arguments(uint32_t handle);
// Waits until the code-1 arguments of handle end with tail, at most timeoutMs.
bool WaitForCode1(uint32_t handle, const std::vector<int32_t>& tail, int timeoutMs);
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

// A loopback TCP port where nothing listens.
uint16_t RefusingPort();

// Accepts connections and never answers.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    uint16_t Port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// One live client: handle, conduits (video in frame mode) and the source for its transport.
struct LiveClient {
    ClientHandle handle;
    CBufferConduit video;
    CBufferConduit audio;
    std::unique_ptr<CAVSource> source;

    LiveClient(uint16_t transport, const std::string& address, bool audioOn = false);
    ~LiveClient();
    bool Open();  // Init and Start
    // Closes the conduits, stops and releases the source as closing a client does; returns how
    // long Stop took in ms.
    int64_t Close();
    uint32_t Handle() const { return handle.self; }
};

inline std::string LoopbackAddress(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }
inline const char* TransportName(uint16_t transport) { return transport == 0 ? "udp" : "tcp"; }

}  // namespace kavro::test
