#pragma once
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "platform/Socket.h"

namespace kavro {

// A reply is taken in one receive of at most this many bytes.
constexpr size_t kMctpReplyMax = 1024;
// Room for the longest request (the motion region write).
constexpr size_t kMctpRequestMax = 1032;

// State of one command connection.
struct CommandSocket {
    Socket sock;
    int connectTimeoutMs = 0;
    int sendTimeoutMs = 0;
    int receiveTimeoutMs = 0;
    int noDelay = 0;
};

struct MctpTimeouts {
    int connectMs;
    int sendMs;
    int receiveMs;
};

// Fixed per user of the protocol; the host's wait-time settings do not apply here.
constexpr MctpTimeouts kPtzTimeouts{1000, 500, 500};
constexpr MctpTimeouts kCommandTimeouts{3000, 3000, 3000};
constexpr MctpTimeouts kSaveMdTimeouts{3000, 3000, 5000};
constexpr MctpTimeouts kEventRegistrationTimeouts{10000, 10000, 10000};
constexpr MctpTimeouts kTalkRegistrationTimeouts{3000, 10000, 10000};

struct MctpReply {
    char text[kMctpReplyMax + 1] = {};
    int length = 0;  // bytes received, text is NUL-terminated after them
};

using HostLookup = bool (*)(const char* name, in_addr* out);

// A name of only digits and dots is converted as a dotted address without asking the name service;
// anything else is looked up. The address is in network byte order.
bool ResolveHost(const char* name, uint32_t* addressNetworkOrder, HostLookup lookup = ResolveIPv4);

// Creates the TCP socket and sets its send and receive time-outs; closes it again on any failure.
bool OpenCommandSocket(CommandSocket& s, int connectTimeoutMs, int sendTimeoutMs, int receiveTimeoutMs);
// Connects, waiting at most the socket's connectTimeoutMs; the socket is blocking afterwards.
bool ConnectWithTimeout(CommandSocket& s, uint32_t addressNetworkOrder, uint16_t port);
void CloseCommandSocket(CommandSocket& s);
void SetSendBufferSize(CommandSocket& s);     // 8192 bytes, result ignored
void SetReceiveBufferSize(CommandSocket& s);  // 16384 bytes, result ignored
bool SetNoDelay(CommandSocket& s);

// Open, resolve and connect; the socket is closed again on failure. host is read up to hostSize bytes
// so an unterminated host field cannot be overrun.
bool MctpConnect(CommandSocket& s, const char* host, size_t hostSize, uint16_t port, const MctpTimeouts& t);
// One send of the whole request, then one receive of at most kMctpReplyMax bytes (a receive of 0 bytes
// gives an empty reply). false on a short send, a receive error or the receive time-out.
bool MctpSendReceive(CommandSocket& s, const char* request, size_t length, MctpReply& reply);
// The whole exchange of a command on a fresh connection, closed on every path.
bool MctpExchange(const char* host, size_t hostSize, uint16_t port, const MctpTimeouts& t,
                  const char* request, size_t length, MctpReply& reply);

}  // namespace kavro
