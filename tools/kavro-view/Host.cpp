#include "Host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>

namespace kavroview {
namespace {

// Notifications arrive on the library's dispatcher thread; the main thread takes them from here.
// The pipe wakes the main loop's poll (and the signal handler uses it too).
struct Note {
    uint32_t handle;
    int32_t code;
    int32_t argument;
};
std::mutex g_noteLock;
std::deque<Note> g_notes;
int g_wakePipe[2] = {-1, -1};
volatile sig_atomic_t g_signalled = 0;

void Wake() {
    if (g_wakePipe[1] >= 0) {
        char c = 1;
        ssize_t r = write(g_wakePipe[1], &c, 1);  // a full pipe already wakes the loop
        (void)r;
    }
}

int32_t OnNotification(uint32_t handle, int32_t code, int32_t argument, int32_t /*userValue*/) {
    {
        std::lock_guard<std::mutex> lock(g_noteLock);
        g_notes.push_back({handle, code, argument});
    }
    Wake();
    return 0;
}

void OnSignal(int) {
    g_signalled = 1;
    Wake();
}

std::deque<Note> TakeNotes() {
    std::lock_guard<std::mutex> lock(g_noteLock);
    std::deque<Note> out;
    out.swap(g_notes);
    return out;
}

void DrainPipe() {
    char buf[64];
    while (read(g_wakePipe[0], buf, sizeof buf) > 0) {
    }
}

long FileSize(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long>(st.st_size);
}

// A JPEG file is whole once it ends with the end-of-image marker.
bool JpegComplete(const std::string& path, long size) {
    if (size < 4) return false;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    unsigned char head[2] = {0, 0}, tail[2] = {0, 0};
    bool ok = fread(head, 1, 2, f) == 2 && fseek(f, size - 2, SEEK_SET) == 0 && fread(tail, 1, 2, f) == 2;
    fclose(f);
    return ok && head[0] == 0xFF && head[1] == 0xD8 && tail[0] == 0xFF && tail[1] == 0xD9;
}

long MsBetween(Clock::time_point a, Clock::time_point b) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

constexpr int kSnapshotTimeoutMs = 15000;
constexpr int kSnapshotRetryMs = 1500;
// Grace beyond --seconds before the tool stops a recording itself (the library's limit is checked
// only when media arrives).
constexpr int kRecordGraceMs = 5000;

}  // namespace

std::string DescribeNotification(int32_t code, int32_t argument) {
    switch (code) {
        case 1:
            switch (argument) {
                case 0:
                    return "connected";
                case 1:
                    return "connecting";
                case 2:
                    return "connection attempt failed";
                case 3:
                    return "connection lost";
                case 4:
                    return "reconnecting after the wait";
                case 5:
                    return "gave up connecting";
            }
            break;
        case 2: {
            std::string regions;
            for (int i = 0; i < 16; ++i)
                if (static_cast<uint32_t>(argument) & (1u << i))
                    regions += (regions.empty() ? "" : ",") + std::to_string(i);
            return regions.empty() ? "motion ended" : "motion in regions " + regions;
        }
        case 4:
            return "alarm " + std::to_string(argument);
        case 6:
            switch (argument) {
                case 0:
                    return "recording started";
                case 1:
                    return "recording stopped";
                case 2:
                    return "alarm recording started";
                case 3:
                    return "alarm recording stopped";
                case 4:
                    return "recording limit reached";
                case 5:
                    return "alarm recording limit reached";
            }
            break;
        case 7:
            return "replay ended";
    }
    return "notification " + std::to_string(code) + "/" + std::to_string(argument);
}

Host::Host(const Options& options) : options_(options), start_(Clock::now()) {}

void Host::Say(const std::string& line) {
    double t = MsBetween(start_, Clock::now()) / 1000.0;
    std::printf("[%6.1f] %s\n", t, line.c_str());
    std::fflush(stdout);
}

void Host::Warn(const std::string& line) {
    std::fflush(stdout);
    std::fprintf(stderr, "kavro-view: %s\n", line.c_str());
}

int Host::FindCamera(uint32_t handle) const {
    for (size_t i = 0; i < cameras_.size(); ++i)
        if (cameras_[i].open && cameras_[i].handle == handle) return static_cast<int>(i);
    return -1;
}

int Host::OpenCount() const {
    int n = 0;
    for (const Camera& c : cameras_) n += c.open ? 1 : 0;
    return n;
}

std::string Host::FileName(size_t i, const char* extension) const {
    std::string name;
    for (char c : cameras_[i].label) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                     c == '-';
        name += plain ? c : '_';
    }
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    std::string dir = options_.outDir;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir + name + "-" + stamp + extension;
}

bool Host::OpenClients(Ui* ui) {
    if (!options_.replayPath.empty()) {
        Camera c;
        c.label = options_.replayPath;
        c.isFile = true;
        cameras_.push_back(c);
    }
    for (const std::string& a : options_.addresses) {
        Camera c;
        c.label = a;
        cameras_.push_back(c);
    }
    if (ui && !ui->CreateWindows(cameras_)) {
        Warn("cannot create the windows");
        return false;
    }
    for (size_t i = 0; i < cameras_.size(); ++i) {
        Camera& c = cameras_[i];
        if (c.isFile) {
            c.handle = KAVRO_OpenFile(c.label.c_str(), static_cast<uint32_t>(c.window), 0);
            if (!c.handle) {
                Warn("cannot replay '" + c.label + "': not a readable recording");
                return false;
            }
            c.open = true;
            if (!ui || options_.mute) KAVRO_ClientStopAudio(c.handle);
            Say(c.label + ": replaying, " + std::to_string(KAVRO_ReplayTotalTime(c.handle)) + " s");
            continue;
        }
        KAVRO_CLIENT_RECORD rec;
        std::memset(&rec, 0, sizeof rec);
        rec.transport = options_.tcp ? 1 : 0;
        rec.viewOn = 1;
        rec.channel = static_cast<uint8_t>(options_.channel);
        rec.videoWnd = static_cast<uint32_t>(c.window);
        rec.userData = static_cast<int32_t>(i);
        std::snprintf(rec.address, sizeof rec.address, "%s", c.label.c_str());
        std::snprintf(rec.userName, sizeof rec.userName, "%s", options_.user.c_str());
        std::snprintf(rec.password, sizeof rec.password, "%s", options_.password.c_str());
        c.handle = KAVRO_ClientStart(&rec);
        if (!c.handle) {
            Warn("the library refused to start a client for '" + c.label + "'");
            return false;
        }
        c.open = true;
        if (ui && !options_.mute) KAVRO_ClientPlayAudio(c.handle);
        Say(c.label + ": client started (" + (options_.tcp ? "TCP" : "UDP") + ")");
    }
    if (!options_.recordPath.empty()) recordTask_ = Task::kWaiting;
    if (!options_.snapshotPath.empty()) snapshotTask_ = Task::kWaiting;
    return true;
}

void Host::HandleNotification(uint32_t handle, int32_t code, int32_t argument) {
    int index = FindCamera(handle);
    if (index < 0) return;  // a client already closed
    size_t i = static_cast<size_t>(index);
    Camera& c = cameras_[i];
    Say(c.label + ": " + DescribeNotification(code, argument));
    if (code == 1) {
        bool was = c.connected;
        c.connected = argument == 0;
        if (c.connected && !was) OnConnected(i);
        if (argument == 5) OnGaveUp(i);
    } else if (code == 6 && argument == 0) {
        c.recording = true;
        if (i == 0 && recordTask_ == Task::kStarted) recordTask_ = Task::kRecording;
    } else if (code == 6 && argument == 1) {
        c.recording = false;
        if (i == 0 && recordTask_ == Task::kRecording) {
            recordTask_ = Task::kDone;
            Say(c.label + ": recording written: " + options_.recordPath + " (" +
                std::to_string(FileSize(options_.recordPath)) + " bytes)");
        }
    } else if (code == 7) {
        c.ended = true;
    }
}

void Host::OnConnected(size_t i) {
    if (i != 0) return;
    Camera& c = cameras_[0];
    if (recordTask_ == Task::kWaiting) {
        if (KAVRO_ClientStartRecord(c.handle, options_.recordPath.c_str(), options_.recordSeconds) == 1) {
            recordTask_ = Task::kStarted;
            recordStarted_ = Clock::now();
        } else {
            recordTask_ = Task::kFailed;
            Warn("cannot record into '" + options_.recordPath + "'");
            exitCode_ = kExitFailure;
        }
    }
    if (snapshotTask_ == Task::kWaiting) {
        snapshotTask_ = Task::kStarted;
        RequestSnapshot(0, options_.snapshotPath, true);
    }
}

void Host::OnGaveUp(size_t i) {
    Camera& c = cameras_[i];
    // A refused login and an unreachable camera look the same to the host (a failed attempt).
    // A camera that still answers a harmless camera command is there, so its refusal is most
    // likely the login.
    uint8_t x = 0, y = 0, z = 0;
    if (KAVRO_ClientGetVideoParam(c.handle, &x, &y, &z) == 1) {
        Warn(c.label +
             ": the camera answers but refused the video stream (wrong user name or password? "
             "no channel " +
             std::to_string(options_.channel) + "?)");
        if (exitCode_ == kExitOk) exitCode_ = kExitRefused;
    } else {
        Warn(c.label + ": cannot reach the camera, gave up");
        if (exitCode_ == kExitOk) exitCode_ = kExitUnreachable;
    }
    CloseCamera(i);
}

void Host::CloseCamera(size_t i) {
    Camera& c = cameras_[i];
    if (!c.open) return;
    c.open = false;
    if (c.talking) KAVRO_ClientStopTalk(c.handle);
    if (c.isFile)
        KAVRO_CloseFile(c.handle);
    else
        KAVRO_ClientStop(c.handle);
    c.handle = 0;
    c.connected = false;
    if (ui_ && c.window) ui_->DestroyWindow(c);
}

void Host::RequestSnapshot(size_t i, const std::string& path, bool isTask) {
    Camera& c = cameras_[i];
    unlink(path.c_str());  // the file is complete only once the new picture is in it
    if (KAVRO_ClientCapturePicture(c.handle, path.c_str()) != 1) {
        Warn(c.label + ": cannot take a snapshot into '" + path + "'");
        if (isTask) {
            snapshotTask_ = Task::kFailed;
            exitCode_ = kExitFailure;
        }
        return;
    }
    Clock::time_point now = Clock::now();
    snapshots_.push_back({i, path, isTask, now + std::chrono::milliseconds(kSnapshotTimeoutMs), now, -1});
}

void Host::CheckSnapshots(Clock::time_point now) {
    for (size_t k = 0; k < snapshots_.size();) {
        SnapshotWatch& w = snapshots_[k];
        Camera& c = cameras_[w.camera];
        long size = FileSize(w.path);
        bool done = size > 0 && size == w.lastSize && JpegComplete(w.path, size);
        bool failed = !done && (now > w.deadline || !c.open);
        if (!done && !failed) {
            // The request is served with the next picture shown; ask again while none came.
            if (size < 0 && MsBetween(w.lastRequest, now) > kSnapshotRetryMs && c.open) {
                KAVRO_ClientCapturePicture(c.handle, w.path.c_str());
                w.lastRequest = now;
            }
            w.lastSize = size;
            ++k;
            continue;
        }
        if (done) {
            Say(c.label + ": snapshot written: " + w.path + " (" + std::to_string(size) + " bytes)");
        } else {
            Warn(c.label + ": no picture for the snapshot '" + w.path + "'");
            if (w.isTask) exitCode_ = kExitFailure;
        }
        if (w.isTask) snapshotTask_ = done ? Task::kDone : Task::kFailed;
        snapshots_.erase(snapshots_.begin() + static_cast<long>(k));
    }
}

void Host::CheckTasks(Clock::time_point now) {
    if ((recordTask_ == Task::kStarted || recordTask_ == Task::kRecording) && options_.recordSeconds > 0 &&
        MsBetween(recordStarted_, now) > options_.recordSeconds * 1000 + kRecordGraceMs && cameras_[0].open) {
        Say(cameras_[0].label + ": no media to end the recording, stopping it");
        if (KAVRO_ClientStopRecord(cameras_[0].handle) != 1 && recordTask_ == Task::kStarted) {
            recordTask_ = Task::kFailed;
            exitCode_ = kExitFailure;
        }
        recordStarted_ = now;  // ask once per grace period
    }
    CheckSnapshots(now);
}

bool Host::Finished(Clock::time_point now) {
    if (quit_ || g_signalled) return true;
    if (OpenCount() == 0) return true;
    if (options_.durationSec > 0 && MsBetween(start_, now) >= options_.durationSec * 1000L) {
        durationOver_ = true;
        return true;
    }
    if (ui_) return false;                       // windows stay until the user closes them
    if (exitCode_ == kExitFailure) return true;  // a window stays until the user closes it
    if (cameras_[0].isFile) return cameras_[0].ended;
    bool hasTask = recordTask_ != Task::kNone || snapshotTask_ != Task::kNone;
    bool tasksDone = (recordTask_ == Task::kNone || recordTask_ == Task::kDone) &&
                     (snapshotTask_ == Task::kNone || snapshotTask_ == Task::kDone);
    return options_.durationSec == 0 && hasTask && tasksDone;
}

void Host::UpdateTitles(Ui* ui) {
    for (Camera& c : cameras_) {
        if (!c.open || !c.window) continue;
        std::string t = "kavro-view: " + c.label + "  ";
        if (c.isFile) {
            t += std::to_string(KAVRO_ReplayCurTime(c.handle)) + "/" +
                 std::to_string(KAVRO_ReplayTotalTime(c.handle)) + " s";
            if (c.paused) t += "  paused";
            if (c.speed != 0) t += "  speed " + std::string(c.speed > 0 ? "+" : "") + std::to_string(c.speed);
            if (c.ended) t += "  ended";
        } else if (c.connected) {
            int32_t kbps = 0, fps = 0;
            KAVRO_GetBitStreamInfo(c.handle, &kbps, &fps);
            t += std::to_string(kbps) + " kbit/s  " + std::to_string(fps) + " fps";
        } else {
            t += "not connected";
        }
        if (c.recording) t += "  REC";
        if (c.talking) t += "  TALK";
        if (!c.viewOn) t += "  view off";
        ui->SetTitle(c, t);
    }
}

void Host::EverySecond(Ui* ui) {
    if (ui) return;
    for (Camera& c : cameras_) {
        if (!c.open) continue;
        if (c.isFile) {
            Say(c.label + ": time " + std::to_string(KAVRO_ReplayCurTime(c.handle)) + "/" +
                std::to_string(KAVRO_ReplayTotalTime(c.handle)) + " s");
        } else if (c.connected) {
            int32_t kbps = 0, fps = 0;
            if (KAVRO_GetBitStreamInfo(c.handle, &kbps, &fps) == 1)
                Say(c.label + ": " + std::to_string(kbps) + " kbit/s, " + std::to_string(fps) + " fps");
        }
    }
}

void Host::Shutdown(Ui* ui) {
    // Stop our recordings first so that their end is reported before the clients close.
    bool waitForStop = false;
    for (Camera& c : cameras_)
        if (c.open && c.recording && KAVRO_ClientStopRecord(c.handle) == 1) waitForStop = true;
    // Notifications raised together (a record stop and its limit) may still be on their way.
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(waitForStop ? 1000 : 200);
    while (Clock::now() < until) {
        pollfd p{g_wakePipe[0], POLLIN, 0};
        poll(&p, 1, 100);
        DrainPipe();
        for (const Note& n : TakeNotes()) HandleNotification(n.handle, n.code, n.argument);
        bool recording = false;
        for (Camera& c : cameras_) recording = recording || (c.open && c.recording);
        if (waitForStop && !recording) {
            waitForStop = false;
            until = Clock::now() + std::chrono::milliseconds(200);
        }
    }
    for (size_t i = 0; i < cameras_.size(); ++i) {
        CloseCamera(i);
        if (ui && cameras_[i].window) ui->DestroyWindow(cameras_[i]);  // one never opened
    }
}

int Host::Run(Ui* ui) {
    if (pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        Warn("cannot create a pipe");
        return kExitFailure;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    if (KAVRO_Startup(0, 0, OnNotification, 0) != 1) {
        Warn("the library did not start");
        return kExitFailure;
    }
    KAVRO_SetWaitTime(options_.connectTimeoutSec, options_.retries, options_.retryIntervalSec);
    ui_ = ui;
    const bool opened = OpenClients(ui);
    if (!opened) exitCode_ = kExitFailure;

    Clock::time_point nextSecond = Clock::now() + std::chrono::seconds(1);
    Clock::time_point nextTitle = Clock::now();
    while (opened) {
        Clock::time_point now = Clock::now();
        if (Finished(now)) break;
        pollfd p[2] = {{g_wakePipe[0], POLLIN, 0}, {ui ? ui->Fd() : -1, POLLIN, 0}};
        long wait = std::min<long>(200, std::max<long>(0, MsBetween(now, nextSecond)));
        poll(p, ui ? 2 : 1, static_cast<int>(wait));
        DrainPipe();
        for (const Note& n : TakeNotes()) HandleNotification(n.handle, n.code, n.argument);
        if (ui) ui->HandleEvents(*this);
        now = Clock::now();
        CheckTasks(now);
        if (now >= nextSecond) {
            nextSecond += std::chrono::seconds(1);
            if (nextSecond < now) nextSecond = now + std::chrono::seconds(1);
            EverySecond(ui);
        }
        if (ui && now >= nextTitle) {
            nextTitle = now + std::chrono::milliseconds(250);
            UpdateTitles(ui);
        }
    }
    if (durationOver_ && exitCode_ == kExitOk && !cameras_.empty()) {
        bool unfinished = recordTask_ == Task::kWaiting || recordTask_ == Task::kStarted ||
                          recordTask_ == Task::kRecording || snapshotTask_ == Task::kWaiting ||
                          snapshotTask_ == Task::kStarted;
        if (cameras_[0].isFile && !cameras_[0].ended && !ui) {
            Say(cameras_[0].label + ": stopped before the end (--duration)");
        }
        if (unfinished) {
            Warn("--duration ended before the --record/--snapshot tasks were done");
            exitCode_ = kExitFailure;
        }
    }
    Shutdown(ui);
    KAVRO_Cleanup();
    close(g_wakePipe[0]);
    close(g_wakePipe[1]);
    g_wakePipe[0] = g_wakePipe[1] = -1;
    return exitCode_;
}

// --- key actions -----------------------------------------------------------------------------

void Host::ToggleRecord(size_t i) {
    Camera& c = cameras_[i];
    if (!c.open || c.isFile) return;
    if (c.recording) {
        KAVRO_ClientStopRecord(c.handle);
        return;
    }
    std::string path = FileName(i, ".rec");
    if (KAVRO_ClientStartRecord(c.handle, path.c_str(), 0) == 1)
        Say(c.label + ": recording into " + path);
    else
        Warn(c.label + ": cannot record into '" + path + "'");
}

void Host::Snapshot(size_t i) {
    if (cameras_[i].open) RequestSnapshot(i, FileName(i, ".jpg"), false);
}

void Host::Ptz(size_t i, int32_t a, int32_t b) {
    Camera& c = cameras_[i];
    if (c.open && !c.isFile && KAVRO_ClientPTZCtrl(c.handle, a, b) != 1)
        Warn(c.label + ": the camera did not take the PTZ command");
}

void Host::ToggleTalk(size_t i) {
    Camera& c = cameras_[i];
    if (!c.open || c.isFile) return;
    if (c.talking) {
        KAVRO_ClientStopTalk(c.handle);
        c.talking = false;
        Say(c.label + ": talk off");
    } else if (KAVRO_ClientStartTalk(c.handle) == 1) {
        c.talking = true;
        Say(c.label + ": talk on");
    } else {
        Warn(c.label + ": talk did not start (camera or microphone)");
    }
}

void Host::ToggleView(size_t i) {
    Camera& c = cameras_[i];
    if (!c.open) return;
    c.viewOn = !c.viewOn;
    if (c.viewOn)
        KAVRO_ClientStartView(c.handle);
    else
        KAVRO_ClientStopView(c.handle);
}

void Host::ToggleRotate(size_t i) {
    Camera& c = cameras_[i];
    if (!c.open) return;
    c.rotated = !c.rotated;
    KAVRO_ClientRotate180(c.handle, c.rotated ? 1 : 0);
}

void Host::ToggleFlip(size_t i) {
    Camera& c = cameras_[i];
    if (!c.open) return;
    c.flipped = !c.flipped;
    KAVRO_ClientVerticalFlip(c.handle, c.flipped ? 1 : 0);
}

void Host::ToggleRegions(size_t i) {
    Camera& c = cameras_[i];
    if (!c.open || c.isFile) return;
    c.regionsShown = !c.regionsShown;
    // On: every region plus those with recent motion; off: nothing.
    KAVRO_ClientShowMDRegion(c.handle, c.regionsShown ? 3 : 0);
}

void Host::TogglePause(size_t i) {
    Camera& c = cameras_[i];
    if (!c.open || !c.isFile) return;
    c.paused = !c.paused;
    if (c.paused)
        KAVRO_ReplayPause(c.handle);
    else
        KAVRO_ReplayContinue(c.handle);
}

void Host::Step(size_t i) {
    Camera& c = cameras_[i];
    if (!c.open || !c.isFile) return;
    c.paused = true;
    KAVRO_ReplayStepByStep(c.handle);
}

void Host::Faster(size_t i) {
    Camera& c = cameras_[i];
    if (c.open && c.isFile && KAVRO_SpeedFast(c.handle) == 1) ++c.speed;
}

void Host::Slower(size_t i) {
    Camera& c = cameras_[i];
    if (c.open && c.isFile && KAVRO_SpeedSlow(c.handle) == 1) --c.speed;
}

void Host::Seek(size_t i, int deltaSec) {
    Camera& c = cameras_[i];
    if (!c.open || !c.isFile) return;
    long target = static_cast<long>(KAVRO_ReplayCurTime(c.handle)) + deltaSec;
    if (target < 0) target = 0;
    KAVRO_ReplaySeek(c.handle, static_cast<uint32_t>(target));
    c.ended = false;
}

}  // namespace kavroview
