#include "control/CEventReceiver2.h"

#include <errno.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "api/ClientHandle.h"
#include "control/Scanner.h"
#include "control/TextCursor.h"
#include "platform/Tick.h"

namespace kavro {

namespace {

constexpr char kKeepAlive[] = "CMD:ALIVE MCTP/1.0 CS\nEND\n";
constexpr size_t kKeepAliveLength = sizeof kKeepAlive - 1;

// First occurrence of needle in the first length bytes of text (which may hold NULs), or -1.
long Find(const char* text, size_t length, const char* needle) {
    size_t n = strlen(needle);
    if (n == 0 || length < n) return -1;
    for (size_t i = 0; i + n <= length; ++i)
        if (text[i] == needle[0] && memcmp(text + i, needle, n) == 0) return static_cast<long>(i);
    return -1;
}

long FindLast(const char* text, size_t length, const char* needle) {
    long found = -1;
    for (long at; (at = Find(text + found + 1, length - static_cast<size_t>(found + 1), needle)) >= 0;)
        found += at + 1;
    return found;
}

bool Elapsed(bool have, uint32_t last, uint32_t now, uint32_t gap) { return !have || now - last > gap; }

}  // namespace

CEventReceiver2::CEventReceiver2(ClientHandle* c, Notifier notify) : client(c), notify_(notify) {
    held_[0] = '\0';
}

CEventReceiver2::~CEventReceiver2() {
    stopRequested = 1;
    eventSocket.sock.Shutdown();
    Join();
    CloseCommandSocket(eventSocket);
}

bool CEventReceiver2::Register(const char* sessionId) {
    if (!client || !sessionId || IsRunning()) return false;
    Join();
    CloseCommandSocket(eventSocket);
    stopRequested = 0;
    // The identifier goes into a line of its own: nothing in it may start another line.
    for (const char* p = sessionId; *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x20) return false;
    char request[kMctpRequestMax];
    int n = snprintf(request, sizeof request, "CMD:ALIVE MCTP/1.0 CS\n@%s@%d\nEND\n", sessionId,
                     static_cast<int>(client->channel));
    if (n < 0 || static_cast<size_t>(n) >= sizeof request) return false;

    if (!MctpConnect(eventSocket, client->host, sizeof client->host, client->port,
                     kEventRegistrationTimeouts))
        return false;
    MctpReply reply;
    bool ok = MctpSendReceive(eventSocket, request, static_cast<size_t>(n), reply);
    if (ok) {
        TextCursor cursor;
        InitCursor(cursor, reply.text);
        char line[kLineBufferSize];
        int32_t v[3] = {};
        ok = CountLines(cursor) == 3 && ReadLine(cursor, line, sizeof line) &&
             ReadLine(cursor, line, sizeof line) && ScanValues(line, "@%d@%d@%d\n", v, 3) == 3 && v[2] != 0;
    }
    if (ok) {
        ok = eventSocket.sock.SetRecvTimeout(kEventReceiveTimeoutMs);
        eventSocket.receiveTimeoutMs = static_cast<int>(kEventReceiveTimeoutMs);
    }
    if (!ok) CloseCommandSocket(eventSocket);
    return ok;
}

int CEventReceiver2::Stop() {
    stopRequested = 1;
    WakeUp();
    Join();
    CloseCommandSocket(eventSocket);
    return 0;
}

void CEventReceiver2::WakeUp() { eventSocket.sock.Shutdown(); }

void CEventReceiver2::ResetState() {
    heldCount_ = 0;
    held_[0] = '\0';
    haveMdTick_ = haveAlarmTick_ = false;
    lastMdTick_ = lastAlarmTick_ = 0;
}

void* CEventReceiver2::Thread() {
    ThreadStarted();
    ResetState();
    bool aliveSent = false;
    uint32_t lastAliveTick = 0;
    while (!stopRequested) {
        uint32_t now = GetTick();
        if (!aliveSent || now - lastAliveTick >= keepAlivePeriodMs) {
            if (eventSocket.sock.Send(kKeepAlive, kKeepAliveLength) != static_cast<int>(kKeepAliveLength))
                break;
            aliveSent = true;
            lastAliveTick = GetTick();
        }
        // Parse always leaves room: a buffer that fills without a complete message is emptied there.
        int n = eventSocket.sock.Recv(held_ + heldCount_, kHeldMax - 1 - heldCount_);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) continue;  // receive time-out: loop on
            break;
        }
        // The camera closed the connection; passing on would only spin until the next keep-alive fails.
        if (n == 0) break;
        heldCount_ += static_cast<size_t>(n);
        if (!Parse(GetTick())) break;
    }
    return nullptr;
}

bool CEventReceiver2::Feed(const char* data, size_t length, uint32_t now) {
    while (length > 0) {
        size_t room = kHeldMax - 1 - heldCount_;
        size_t n = length < room ? length : room;
        memcpy(held_ + heldCount_, data, n);
        heldCount_ += n;
        data += n;
        length -= n;
        if (!Parse(now)) return false;
    }
    return true;
}

bool CEventReceiver2::Parse(uint32_t now) {
    bool keepGoing = true;
    while (heldCount_ > 0) {
        held_[heldCount_] = '\0';
        long cmd = Find(held_, heldCount_, "CMD");
        long end = Find(held_, heldCount_, "END\n");
        if (cmd < 0 || end < 0) break;
        size_t consumed = static_cast<size_t>(end) + 4;
        if (end > cmd) {
            // The message runs from "CMD" through "END\n"; terminate it in place while it is handled.
            char saved = held_[consumed];
            held_[consumed] = '\0';
            keepGoing = HandleMessage(held_ + cmd, now);
            held_[consumed] = saved;
        }
        memmove(held_, held_ + consumed, heldCount_ - consumed);
        heldCount_ -= consumed;
        if (!keepGoing) break;
    }
    if (heldCount_ == kHeldMax - 1) {
        // Full without a complete message: keep only a message that may still be arriving.
        long last = FindLast(held_, heldCount_, "CMD");
        size_t keep = last > 0 ? heldCount_ - static_cast<size_t>(last) : 0;
        memmove(held_, held_ + heldCount_ - keep, keep);
        heldCount_ = keep;
    }
    held_[heldCount_] = '\0';
    return keepGoing;
}

bool CEventReceiver2::HandleMessage(const char* message, uint32_t now) {
    if (strstr(message, "CMD:MD")) {
        HandleMotion(message, now);
        return true;
    }
    if (strstr(message, "CMD:ALARM")) return HandleAlarm(message, now);
    return true;  // keep-alive replies and anything else
}

void CEventReceiver2::HandleMotion(const char* message, uint32_t now) {
    TextCursor cursor;
    InitCursor(cursor, message);
    int lines = CountLines(cursor);
    if (lines < 3 || lines > 18) return;
    char line[kLineBufferSize];
    ReadLine(cursor, line, sizeof line);
    uint32_t bits = 0;
    for (int i = 0; i < lines - 2; ++i) {
        if (!ReadLine(cursor, line, sizeof line)) break;
        int32_t v[8] = {};
        if (ScanValues(line, "@%d@%d@%d@%d@%d@%d@%d@%d\n", v, 8) != 8 || v[1] != 1 || v[2] < 0 || v[2] > 15)
            continue;
        int r = v[2];
        bits |= 1u << r;
        client->mdTicks[r] = now;
        {
            std::lock_guard<std::mutex> g(client->mdLock);
            for (int k = 0; k < 4; ++k) client->mdRegions.rect[r][k] = v[3 + k];
        }
    }
    if (bits != client->mdState.load() || Elapsed(haveMdTick_, lastMdTick_, now, kRepeatGapMs)) {
        client->mdState = bits;
        lastMdTick_ = now;
        haveMdTick_ = true;
        if (notify_) notify_(client, 2, static_cast<int32_t>(bits));
    }
}

bool CEventReceiver2::HandleAlarm(const char* message, uint32_t now) {
    TextCursor cursor;
    InitCursor(cursor, message);
    if (CountLines(cursor) != 3) return false;
    char line[kLineBufferSize];
    ReadLine(cursor, line, sizeof line);
    ReadLine(cursor, line, sizeof line);
    int32_t v[2] = {};
    if (ScanValues(line, "@%d@%d\n", v, 2) == 2 && v[0] == 2 &&
        Elapsed(haveAlarmTick_, lastAlarmTick_, now, kRepeatGapMs)) {
        lastAlarmTick_ = now;
        haveAlarmTick_ = true;
        if (notify_) notify_(client, 4, v[1]);
    }
    return true;
}

}  // namespace kavro
