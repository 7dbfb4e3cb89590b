#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/JMutex.h"
#include "platform/JThread.h"

namespace kavro {

struct ClientHandle;
class CIConduit;
class CAVSource;
class VideoPresenter;

// The thread that turns the frames of a client's video conduit into pictures in its window:
// decode, rotate, pace, present, snapshots; in replay also pause, step and speed.
// Owned by the media source. Life cycle per connection:
//   Attach (once) -> ResetDecoder -> Start -> ... -> StopAndWait (stop flag, join, ReleaseDecoder).
class CAVDisplay : public JThread {
public:
    CAVDisplay();
    ~CAVDisplay() override;

    // `source` answers whether a manual recording runs (for the "Rec" mark); may be null.
    void Attach(ClientHandle* client, CAVSource* source);
    int CreateDecoder();  // 1 on success
    void ReleaseDecoder();
    int ResetDecoder();  // ReleaseDecoder, clear stopRequested, CreateDecoder
    // Sets stopRequested, waits for the thread to end, releases the decoder. Safe when not running.
    void StopAndWait();

    int RequestSnapshot(const char* path);  // 1 when the request was taken
    void SetWindow(uint32_t wnd);
    int Refresh();  // shows the last picture again; 0 when there is none

    std::atomic<int32_t> stopRequested{0};

protected:
    void* Thread() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kavro
