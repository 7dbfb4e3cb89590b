#pragma once
// The host side of kavro-view: opens the clients, turns notifications (queued by the library's
// callback, handled here on the main thread) into lines and actions, runs the record and snapshot
// tasks, and prints or shows rates and replay positions.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "Options.h"
#include "kavro.h"

namespace kavroview {

using Clock = std::chrono::steady_clock;

struct Camera {
    std::string label;  // the address, or the replayed file
    KAVRO_HANDLE handle = 0;
    bool isFile = false;
    bool open = false;
    bool connected = false;
    bool recording = false;  // between "recording started" and "recording stopped"
    bool talking = false;
    bool viewOn = true;
    bool rotated = false;
    bool flipped = false;
    bool regionsShown = false;
    bool paused = false;
    int speed = 0;
    bool ended = false;
    unsigned long window = 0;  // X11 window id, 0 headless
};

class Ui;

class Host {
public:
    explicit Host(const Options& options);
    // Runs until the end condition of the options; returns the exit code.
    int Run(Ui* ui);

    std::vector<Camera>& Cameras() { return cameras_; }
    void Quit() { quit_ = true; }

    // Actions bound to keys; index into Cameras().
    void ToggleRecord(size_t i);
    void Snapshot(size_t i);
    void Ptz(size_t i, int32_t a, int32_t b);
    void ToggleTalk(size_t i);
    void ToggleView(size_t i);
    void ToggleRotate(size_t i);
    void ToggleFlip(size_t i);
    void ToggleRegions(size_t i);
    void TogglePause(size_t i);
    void Step(size_t i);
    void Faster(size_t i);
    void Slower(size_t i);
    void Seek(size_t i, int deltaSec);
    void CloseCamera(size_t i);

    // One line on standard output, prefixed with the time since start.
    void Say(const std::string& line);
    void Warn(const std::string& line);

private:
    struct SnapshotWatch {
        size_t camera;
        std::string path;
        bool isTask;
        Clock::time_point deadline;
        Clock::time_point lastRequest;
        long lastSize = -1;
    };
    enum class Task { kNone, kWaiting, kStarted, kRecording, kDone, kFailed };

    bool OpenClients(Ui* ui);
    void HandleNotification(uint32_t handle, int32_t code, int32_t argument);
    void OnConnected(size_t i);
    void OnGaveUp(size_t i);
    void RequestSnapshot(size_t i, const std::string& path, bool isTask);
    void CheckSnapshots(Clock::time_point now);
    void CheckTasks(Clock::time_point now);
    void EverySecond(Ui* ui);
    void UpdateTitles(Ui* ui);
    bool Finished(Clock::time_point now);
    void Shutdown(Ui* ui);
    std::string FileName(size_t i, const char* extension) const;
    int FindCamera(uint32_t handle) const;
    int OpenCount() const;

    Options options_;
    std::vector<Camera> cameras_;
    Clock::time_point start_;
    bool quit_ = false;
    int exitCode_ = kExitOk;
    Task recordTask_ = Task::kNone;
    Clock::time_point recordStarted_;
    Task snapshotTask_ = Task::kNone;
    std::vector<SnapshotWatch> snapshots_;
    bool durationOver_ = false;
    Ui* ui_ = nullptr;
};

// A screen for the host: windows, keys, titles (X11Ui.cpp).
class Ui {
public:
    virtual ~Ui() = default;
    virtual int Fd() const = 0;
    // Creates one window per camera (tiled) and stores its id in camera.window.
    virtual bool CreateWindows(std::vector<Camera>& cameras) = 0;
    // Handles every pending window event, calling the host's actions.
    virtual void HandleEvents(Host& host) = 0;
    virtual void SetTitle(const Camera& camera, const std::string& title) = 0;
    virtual void DestroyWindow(Camera& camera) = 0;
};

// Opens the X display named by DISPLAY; nullptr when there is none.
Ui* MakeX11Ui();

// The text of one notification, e.g. "connected", "motion in regions 0,3".
std::string DescribeNotification(int32_t code, int32_t argument);

}  // namespace kavroview
