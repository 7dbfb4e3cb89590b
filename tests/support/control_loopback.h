#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace kavro_test {

// One accepted loopback connection, seen from the camera's side. Every wait is bounded.
class ControlPeer {
public:
    explicit ControlPeer(int fd) : fd_(fd) {}
    ~ControlPeer();
    ControlPeer(const ControlPeer&) = delete;
    ControlPeer& operator=(const ControlPeer&) = delete;

    // Reads until the bytes held contain needle (or the time is up, or the peer closed) and returns
    // everything up to and including the needle; the rest stays held for the next call.
    std::string ReadUntil(const std::string& needle, int timeoutMs);
    // Everything held or arriving within timeoutMs.
    std::string ReadFor(int timeoutMs);
    // true when the other side closed the connection within timeoutMs.
    bool WaitClosed(int timeoutMs);
    bool Send(const std::string& data);
    void Close();

private:
    int fd_;
    std::string held_;
    bool closed_ = false;
    int Fill(int timeoutMs);
};

class ControlListener {
public:
    explicit ControlListener(int backlog = 8);
    ~ControlListener();
    ControlListener(const ControlListener&) = delete;
    ControlListener& operator=(const ControlListener&) = delete;
    uint16_t Port() const { return port_; }
    std::unique_ptr<ControlPeer> Accept(int timeoutMs);

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A camera that takes one connection, captures the request through its "END\n" line and then
// answers as told. Its thread ends by itself within a few seconds at most.
class ControlOneShotCamera {
public:
    enum class Mode {
        kReply,       // send reply, then close
        kClose,       // close without a reply
        kHold,        // send nothing, keep the connection until the client closes it
        kSplitReply,  // send reply in two parts 150 ms apart
    };
    ControlOneShotCamera(Mode mode, std::string reply = std::string(), int holdLimitMs = 8000);
    ~ControlOneShotCamera();
    uint16_t Port() const { return listener_.Port(); }
    // The request as captured (waits for the camera's thread to finish).
    std::string Request();

private:
    ControlListener listener_;
    Mode mode_;
    std::string reply_;
    int holdLimitMs_;
    std::string request_;
    std::thread thread_;
};

}  // namespace kavro_test
