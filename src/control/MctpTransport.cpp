#include "control/MctpTransport.h"

#include <arpa/inet.h>

#include <cstring>

namespace kavro {

bool ResolveHost(const char* name, uint32_t* addressNetworkOrder, HostLookup lookup) {
    if (!name || !addressNetworkOrder) return false;
    bool dotted = true;
    for (const char* p = name; *p; ++p)
        if (!((*p >= '0' && *p <= '9') || *p == '.')) dotted = false;
    if (dotted) {
        // A malformed or empty dotted text fails here instead of becoming the broadcast address.
        in_addr a{};
        if (!*name || inet_aton(name, &a) == 0) return false;
        *addressNetworkOrder = a.s_addr;
        return true;
    }
    in_addr a{};
    if (!lookup || !lookup(name, &a)) return false;
    *addressNetworkOrder = a.s_addr;
    return true;
}

bool OpenCommandSocket(CommandSocket& s, int connectTimeoutMs, int sendTimeoutMs, int receiveTimeoutMs) {
    s.connectTimeoutMs = connectTimeoutMs;
    s.sendTimeoutMs = sendTimeoutMs;
    s.receiveTimeoutMs = receiveTimeoutMs;
    s.noDelay = 0;
    // A zero time-out option would mean waiting forever.
    bool ok = connectTimeoutMs > 0 && sendTimeoutMs > 0 && receiveTimeoutMs > 0 && s.sock.OpenTcp() &&
              s.sock.SetSendTimeout(static_cast<uint32_t>(sendTimeoutMs)) &&
              s.sock.SetRecvTimeout(static_cast<uint32_t>(receiveTimeoutMs));
    if (!ok) s.sock.Close();
    return ok;
}

bool ConnectWithTimeout(CommandSocket& s, uint32_t addressNetworkOrder, uint16_t port) {
    if (!s.sock.IsOpen() || s.connectTimeoutMs <= 0) return false;
    in_addr a{};
    a.s_addr = addressNetworkOrder;
    return s.sock.Connect(a, port, static_cast<uint32_t>(s.connectTimeoutMs));
}

void CloseCommandSocket(CommandSocket& s) { s.sock.Close(); }

void SetSendBufferSize(CommandSocket& s) { s.sock.SetSendBuffer(8192); }

void SetReceiveBufferSize(CommandSocket& s) { s.sock.SetRecvBuffer(16384); }

bool SetNoDelay(CommandSocket& s) {
    s.noDelay = 1;
    return s.sock.SetNoDelay();
}

bool MctpConnect(CommandSocket& s, const char* host, size_t hostSize, uint16_t port, const MctpTimeouts& t) {
    if (!OpenCommandSocket(s, t.connectMs, t.sendMs, t.receiveMs)) return false;
    char name[256];
    size_t n = host ? strnlen(host, hostSize < sizeof name ? hostSize : sizeof name - 1) : 0;
    if (host) memcpy(name, host, n);
    name[n] = '\0';
    uint32_t address = 0;
    if (!ResolveHost(name, &address) || !ConnectWithTimeout(s, address, port)) {
        CloseCommandSocket(s);
        return false;
    }
    return true;
}

bool MctpSendReceive(CommandSocket& s, const char* request, size_t length, MctpReply& reply) {
    reply.length = 0;
    reply.text[0] = '\0';
    if (!request || length == 0 || !s.sock.IsOpen()) return false;
    if (s.sock.Send(request, length) != static_cast<int>(length)) return false;
    int n = s.sock.Recv(reply.text, kMctpReplyMax);
    if (n < 0) return false;
    reply.length = n;
    reply.text[n] = '\0';
    return true;
}

bool MctpExchange(const char* host, size_t hostSize, uint16_t port, const MctpTimeouts& t,
                  const char* request, size_t length, MctpReply& reply) {
    CommandSocket s;
    bool ok = MctpConnect(s, host, hostSize, port, t) && MctpSendReceive(s, request, length, reply);
    CloseCommandSocket(s);
    return ok;
}

}  // namespace kavro
