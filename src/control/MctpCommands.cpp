#include "control/MctpCommands.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "api/ClientHandle.h"
#include "control/MctpTransport.h"
#include "control/Scanner.h"
#include "control/TextCursor.h"

namespace kavro {

namespace {

constexpr char kMdTemplate[] = "CMD:MD MCTP/1.0 CS\n@%d@%d@%d@%d@%d@%d@%d@%d\nEND\n";
constexpr char kVctrlTemplate[] = "CMD:VCTRL MCTP/1.0 CS\n@%d@%d@%d@%d@%d@\nEND\n";
constexpr char kMdLine[] = "@%d@%d@%d@%d@%d@%d@%d@%d\n";

enum MdOperation { kMdWrite = 1, kMdRead = 2, kMdStart = 3, kMdStop = 4 };
enum VctrlOperation { kVctrlRead = 1, kVctrlWrite = 2 };
constexpr int kAlarmStop = 1;

struct Request {
    char text[kMctpRequestMax];
    size_t length = 0;
    bool ok = true;

    // Appends printf-style; a request that would not fit is marked failed rather than cut.
    template <typename... Args>
    void Append(const char* format, Args... args) {
        if (!ok) return;
        int n = snprintf(text + length, sizeof text - length, format, args...);
        if (n < 0 || static_cast<size_t>(n) >= sizeof text - length) {
            ok = false;
            return;
        }
        length += static_cast<size_t>(n);
    }
    // Fixed text goes through "%s", never as the format itself.
    void Append(const char* text) { Append("%s", text); }
};

bool Exchange(ClientHandle* client, const MctpTimeouts& t, const Request& request, MctpReply& reply) {
    if (!request.ok) return false;
    return MctpExchange(client->host, sizeof client->host, client->controlPort, t, request.text,
                        request.length, reply);
}

// Line count must match; the header line is skipped; line 2 must convert to count values.
bool ReadValueLine(const MctpReply& reply, int lines, const char* lineTemplate, int32_t* values, int count) {
    TextCursor cursor;
    InitCursor(cursor, reply.text);
    if (CountLines(cursor) != lines) return false;
    char line[kLineBufferSize];
    if (!ReadLine(cursor, line, sizeof line) || !ReadLine(cursor, line, sizeof line)) return false;
    return ScanValues(line, lineTemplate, values, count) == count;
}

// Reply of the commands that change something: 3 lines, status (third value) 1.
bool SetTypeReplyOk(const MctpReply& reply, const char* lineTemplate, int count) {
    int32_t values[8] = {};
    return ReadValueLine(reply, 3, lineTemplate, values, count) && values[2] == 1;
}

int MdControl(ClientHandle* client, int operation) {
    Request r;
    r.Append(kMdTemplate, operation, client->channel, 0, 0, 0, 0, 0, 0);
    MctpReply reply;
    return Exchange(client, kCommandTimeouts, r, reply) && SetTypeReplyOk(reply, kMdLine, 8) ? 1 : 0;
}

}  // namespace

int PtzCommand(ClientHandle* client, int32_t a, int32_t b) {
    if (!client) return 0;
    Request r;
    r.Append("CMD:PTZ MCTP/1.0\n@%d@%d@%d\nEND\n", client->channel, a, b);
    MctpReply reply;
    return Exchange(client, kPtzTimeouts, r, reply) ? 1 : 0;
}

int SetVideoParams(ClientHandle* client, int32_t x, int32_t y, int32_t z) {
    if (!client) return 0;
    Request r;
    r.Append(kVctrlTemplate, kVctrlWrite, client->channel, x & 0xFF, y & 0xFF, z & 0xFF);
    MctpReply reply;
    return Exchange(client, kCommandTimeouts, r, reply) && SetTypeReplyOk(reply, "@%d@%d@%d@\n", 3) ? 1 : 0;
}

int GetVideoParams(ClientHandle* client, uint8_t* px, uint8_t* py, uint8_t* pz) {
    if (!client || !px || !py || !pz) return 0;
    Request r;
    r.Append(kVctrlTemplate, kVctrlRead, client->channel, 0, 0, 0);
    MctpReply reply;
    int32_t v[5] = {};
    if (!Exchange(client, kCommandTimeouts, r, reply) || !ReadValueLine(reply, 3, "@%d@%d@%d@%d@%d@\n", v, 5))
        return 0;
    *px = static_cast<uint8_t>(v[2] & 0xFF);
    *py = static_cast<uint8_t>(v[3] & 0xFF);
    *pz = static_cast<uint8_t>(v[4] & 0xFF);
    return 1;
}

int GetMdInfo(ClientHandle* client, void* table) {
    if (!client || !table) return 0;
    Request r;
    r.Append(kMdTemplate, kMdRead, client->channel, 0, 0, 0, 0, 0, 0);
    MctpReply reply;
    if (!Exchange(client, kCommandTimeouts, r, reply)) return 0;
    TextCursor cursor;
    InitCursor(cursor, reply.text);
    if (CountLines(cursor) != 18) return 0;
    char line[kLineBufferSize];
    if (!ReadLine(cursor, line, sizeof line) || !strstr(line, "CMD:MD MCTP/1.0")) return 0;
    // Converted into a local table first: a reply that fails half-way leaves the caller's table alone.
    MdRegionTable t = {};
    for (int i = 0; i < 16; ++i) {
        int32_t v[8] = {};
        if (!ReadLine(cursor, line, sizeof line) || ScanValues(line, kMdLine, v, 8) != 8) return 0;
        t.enable[i] = static_cast<uint8_t>(v[3] & 0xFF);
        for (int k = 0; k < 4; ++k) t.rect[i][k] = v[4 + k];
    }
    memcpy(table, &t, sizeof t);
    {
        std::lock_guard<std::mutex> g(client->mdLock);
        memcpy(&client->mdRegions, &t, sizeof t);
    }
    return 1;
}

int SaveMdInfo(ClientHandle* client, const void* table) {
    if (!client || !table) return 0;
    MdRegionTable t;
    memcpy(&t, table, sizeof t);
    Request r;
    r.Append("CMD:MD MCTP/1.0 CS\n");
    for (int i = 0; i < 16; ++i)
        r.Append(kMdLine, kMdWrite, client->channel, i, static_cast<int>(t.enable[i]), t.rect[i][0],
                 t.rect[i][1], t.rect[i][2], t.rect[i][3]);
    r.Append("END\n");
    MctpReply reply;
    if (!Exchange(client, kSaveMdTimeouts, r, reply) || !SetTypeReplyOk(reply, kMdLine, 8)) return 0;
    {
        std::lock_guard<std::mutex> g(client->mdLock);
        memcpy(&client->mdRegions, &t, sizeof t);
    }
    return 1;
}

int StartMd(ClientHandle* client) {
    if (!client) return 0;
    client->mdEnabled = 1;
    return MdControl(client, kMdStart);
}

int StopMd(ClientHandle* client) {
    if (!client) return 0;
    client->mdEnabled = 0;
    return MdControl(client, kMdStop);
}

int StopAlarm(ClientHandle* client, int32_t value) {
    if (!client) return 0;
    Request r;
    r.Append("CMD:ALARM MCTP/1.0 CS\n@%d@%d\nEND\n", kAlarmStop, value);
    MctpReply reply;
    return Exchange(client, kCommandTimeouts, r, reply) && SetTypeReplyOk(reply, "@%d@%d@%d\n", 3) ? 1 : 0;
}

}  // namespace kavro
