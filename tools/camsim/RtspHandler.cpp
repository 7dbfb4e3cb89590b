#include "RtspHandler.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Digest.h"
#include "MediaCache.h"
#include "Options.h"
#include "RequestLog.h"
#include "Streamer.h"

namespace kavro::camsim {
namespace {

constexpr size_t kHeaderLimit = 16 * 1024;
constexpr size_t kBodyLimit = 64 * 1024;

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// Reads "name=a" or "name=a-b" from a transport spec; b defaults to a + 1.
bool PortPair(const std::string& spec, const char* name, int* a, int* b) {
    size_t p = spec.find(name);
    if (p == std::string::npos) return false;
    const char* s = spec.c_str() + p + std::strlen(name);
    char* end = nullptr;
    long x = std::strtol(s, &end, 10);
    if (end == s || x < 0 || x > 65535) return false;
    long y = x + 1;
    if (*end == '-') {
        const char* t = end + 1;
        y = std::strtol(t, &end, 10);
        if (end == t || y < 0 || y > 65535) return false;
    }
    *a = static_cast<int>(x);
    *b = static_cast<int>(y);
    return true;
}

}  // namespace

const std::string* RtspHandler::Request::Header(const char* name) const {
    for (const auto& h : headers)
        if (strcasecmp(h.first.c_str(), name) == 0) return &h.second;
    return nullptr;
}

RtspHandler::RtspHandler(const ServerContext& context) : context_(context), random_(std::random_device{}()) {}

RtspHandler::~RtspHandler() {
    for (auto& s : sessions_) context_.streamer->Remove(s.second.get());
}

bool RtspHandler::IsRtspLine(const std::string& line) {
    size_t sp1 = line.find(' ');
    if (sp1 == std::string::npos || sp1 == 0) return false;
    for (size_t i = 0; i < sp1; ++i)
        if (!(std::isupper(static_cast<unsigned char>(line[i])) || line[i] == '_')) return false;
    return line.find(" RTSP/") != std::string::npos;
}

void RtspHandler::Serve(const std::shared_ptr<Connection>& connection, std::string in) {
    connection_ = connection;
    char buf[4096];
    for (;;) {
        for (;;) {
            size_t skip = 0;
            while (skip < in.size() && (in[skip] == '\r' || in[skip] == '\n')) ++skip;
            in.erase(0, skip);
            if (in.empty()) break;
            if (in[0] == '$') {  // interleaved frame from the client (RTCP): skipped
                if (in.size() < 4) break;
                size_t len =
                    (static_cast<size_t>(static_cast<uint8_t>(in[2])) << 8) | static_cast<uint8_t>(in[3]);
                if (in.size() < 4 + len) break;
                in.erase(0, 4 + len);
                continue;
            }
            size_t end = in.find("\r\n\r\n"), sep = 4;
            size_t end2 = in.find("\n\n");
            if (end2 < end) end = end2, sep = 2;
            if (end == std::string::npos) {
                if (in.size() > kHeaderLimit) {
                    Reply(Request{}, 400, "Bad Request");
                    return;
                }
                break;
            }
            Request r;
            std::string line;
            size_t pos = 0;
            bool first = true, bad = false;
            size_t contentLength = 0;
            while (pos < end) {
                size_t nl = in.find('\n', pos);
                if (nl == std::string::npos || nl > end) nl = end;
                line = in.substr(pos, nl - pos);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                pos = nl + 1;
                if (first) {
                    first = false;
                    size_t a = line.find(' '), b = line.rfind(' ');
                    if (a == std::string::npos || b == a) {
                        bad = true;
                        continue;
                    }
                    r.method = line.substr(0, a);
                    r.url = Trim(line.substr(a + 1, b - a - 1));
                    r.version = line.substr(b + 1);
                    continue;
                }
                size_t colon = line.find(':');
                if (colon == std::string::npos) continue;
                r.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
            }
            if (const std::string* cl = r.Header("Content-Length")) {
                char* e = nullptr;
                unsigned long v = std::strtoul(cl->c_str(), &e, 10);
                if (e == cl->c_str() || v > kBodyLimit) {
                    Reply(r, 413, "Request Entity Too Large");
                    return;
                }
                contentLength = v;
            }
            if (in.size() < end + sep + contentLength) break;
            in.erase(0, end + sep + contentLength);
            if (context_.log) {
                std::string entry = r.method + " " + r.url + " " + r.version;
                for (const auto& h : r.headers) entry += "\t" + h.first + ": " + h.second;
                context_.log->Write(entry);
            }
            if (bad || r.version.compare(0, 5, "RTSP/") != 0) {
                Reply(r, 400, "Bad Request");
                return;
            }
            if (!Handle(r)) return;
        }
        int n = connection->Read(buf, sizeof buf, 200);
        if (n < 0) return;
        in.append(buf, static_cast<size_t>(n));
    }
}

void RtspHandler::Reply(const Request& r, int code, const char* reason, const std::string& headers,
                        const std::string& body, const char* contentType) {
    const Options& o = *context_.options;
    char head[256];
    std::string s;
    std::snprintf(head, sizeof head, "RTSP/1.0 %d %s\r\n", code, reason);
    s += head;
    if (const std::string* cseq = r.Header("CSeq")) s += "CSeq: " + *cseq + "\r\n";
    if (o.banner) {
        std::snprintf(head, sizeof head, "Server: TessaraVine Rtsp Server %d*%d*%d*%d\r\n", o.width, o.height,
                      o.fps, context_.media->VideoKbps());
        s += head;
    } else {
        s += "Server: camsim\r\n";
    }
    s += headers;
    if (!body.empty()) {
        s += std::string("Content-Type: ") + (contentType ? contentType : "text/plain") + "\r\n";
        s += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    s += "\r\n";
    s += body;
    connection_->Send(s.data(), s.size(), false);
}

bool RtspHandler::Authorized(const Request& r) const {
    const Options& o = *context_.options;
    const std::string* h = r.Header("Authorization");
    if (!h || strncasecmp(h->c_str(), "Digest ", 7) != 0) return false;
    std::string user, realm, nonce, uri, response;
    if (!AuthParam(*h, "username", &user) || !AuthParam(*h, "realm", &realm) ||
        !AuthParam(*h, "nonce", &nonce) || !AuthParam(*h, "uri", &uri) ||
        !AuthParam(*h, "response", &response))
        return false;
    // The uri is the one the client hashed; a client may hash the presentation URL for a track's
    // SETUP, so it is not compared with the request line.
    return user == o.authUser && realm == o.realm && nonce == o.nonce &&
           strcasecmp(response.c_str(),
                      DigestResponse(user, realm, o.authPass, nonce, r.method, uri).c_str()) == 0;
}

bool RtspHandler::Handle(const Request& r) {
    const Options& o = *context_.options;
    if (o.authEnabled && r.method != "OPTIONS" && !Authorized(r)) {
        std::string h;
        if (o.authBasicFirst) h += "WWW-Authenticate: Basic realm=\"" + o.realm + "\"\r\n";
        h += "WWW-Authenticate: Digest realm=\"" + o.realm + "\", nonce=\"" + o.nonce + "\"\r\n";
        Reply(r, 401, "Unauthorized", h);
        return true;
    }
    if (r.method == "OPTIONS") {
        Reply(r, 200, "OK", "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER\r\n");
    } else if (r.method == "DESCRIBE") {
        OnDescribe(r);
    } else if (r.method == "SETUP") {
        OnSetup(r);
    } else if (r.method == "PLAY") {
        OnPlay(r);
    } else if (r.method == "TEARDOWN") {
        OnTeardown(r);
    } else if (r.method == "GET_PARAMETER") {
        const std::string* sid = r.Header("Session");
        Reply(r, 200, "OK", sid ? "Session: " + *sid + "\r\n" : "");
    } else {
        Reply(r, 501, "Not Implemented");
    }
    return true;
}

void RtspHandler::OnDescribe(const Request& r) {
    char ip[INET_ADDRSTRLEN] = "127.0.0.1";
    in_addr local = connection_->LocalAddress();
    inet_ntop(AF_INET, &local, ip, sizeof ip);
    std::string sdp = "v=0\r\no=- " + std::to_string(random_() % 1000000000u) + " 1 IN IP4 " + ip +
                      "\r\ns=camsim\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\na=control:*\r\na=range:npt=0-\r\n" +
                      context_.media->SdpMedia();
    std::string base = r.url;
    if (base.empty() || base.back() != '/') base += '/';
    Reply(r, 200, "OK", "Content-Base: " + base + "\r\n", sdp, "application/sdp");
}

std::string RtspHandler::NewSessionId() {
    if (!context_.options->sessionId.empty()) return context_.options->sessionId;
    std::string id = std::to_string(1 + random_() % 9);
    for (int i = 0; i < 7; ++i) id += static_cast<char>('0' + random_() % 10);
    return id;
}

std::shared_ptr<Session> RtspHandler::FindSession(const Request& r) const {
    const std::string* h = r.Header("Session");
    if (!h) return nullptr;
    std::string id = Trim(h->substr(0, h->find(';')));
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second;
}

void RtspHandler::OnSetup(const Request& r) {
    size_t t = r.url.find("trackID=");
    const char track = t == std::string::npos ? 0 : r.url[t + 8];
    if (track != '1' && !(track == '2' && context_.media->HasAudio())) {
        Reply(r, 404, "Not Found");
        return;
    }
    const std::string* transport = r.Header("Transport");
    if (!transport) {
        Reply(r, 461, "Unsupported Transport");
        return;
    }
    const std::string spec = transport->substr(0, transport->find(','));
    TrackState ts;
    ts.tcp = spec.find("RTP/AVP/TCP") != std::string::npos;
    int a = 0, b = 0;
    char reply[256];
    if (ts.tcp) {
        if (!PortPair(spec, "interleaved=", &a, &b) || a > 255 || b > 255) {
            a = track == '1' ? 0 : 2;
            b = a + 1;
        }
        ts.channel = static_cast<uint8_t>(a);
        ts.ssrc = static_cast<uint32_t>(random_());
        std::snprintf(reply, sizeof reply, "Transport: RTP/AVP/TCP;unicast;interleaved=%d-%d;ssrc=%08X\r\n",
                      a, b, ts.ssrc);
    } else {
        if (spec.find("multicast") != std::string::npos || !PortPair(spec, "client_port=", &a, &b) ||
            a == 0) {
            Reply(r, 461, "Unsupported Transport");
            return;
        }
        ts.dest = connection_->Peer();
        ts.dest.sin_port = htons(static_cast<uint16_t>(a));
        ts.ssrc = static_cast<uint32_t>(random_());
        std::snprintf(reply, sizeof reply,
                      "Transport: RTP/AVP;unicast;client_port=%d-%d;server_port=%u-%u;ssrc=%08X\r\n", a, b,
                      context_.udpPort, context_.udpPort + 1u, ts.ssrc);
    }
    std::shared_ptr<Session> session;
    if (r.Header("Session")) {
        session = FindSession(r);
        if (!session) {
            Reply(r, 454, "Session Not Found");
            return;
        }
    } else {
        session = std::make_shared<Session>();
        session->id = NewSessionId();
        session->connection = connection_;
        if (sessions_.count(session->id)) context_.streamer->Remove(sessions_[session->id].get());
        sessions_[session->id] = session;
    }
    if (session->playing) {
        Reply(r, 455, "Method Not Valid in This State");
        return;
    }
    ts.setUp = true;
    ts.firstSeq = static_cast<uint16_t>(random_());
    ts.seq = ts.firstSeq;
    ts.firstTimestamp = static_cast<uint32_t>(random_());
    (track == '1' ? session->video : session->audio) = ts;
    Reply(r, 200, "OK", std::string(reply) + "Session: " + session->id + ";timeout=60\r\n");
}

void RtspHandler::OnPlay(const Request& r) {
    std::shared_ptr<Session> s = FindSession(r);
    if (!s) {
        Reply(r, 454, "Session Not Found");
        return;
    }
    if (!s->video.setUp && !s->audio.setUp) {
        Reply(r, 455, "Method Not Valid in This State");
        return;
    }
    std::string base = r.url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    std::string info;
    char item[64];
    auto add = [&](const TrackState& t, char id) {
        if (!t.setUp) return;
        if (!info.empty()) info += ",";
        std::snprintf(item, sizeof item, ";seq=%u;rtptime=%u", t.firstSeq, t.firstTimestamp);
        info += "url=" + base + "/trackID=" + id + item;
    };
    add(s->video, '1');
    add(s->audio, '2');
    Reply(r, 200, "OK", "Session: " + s->id + "\r\nRange: npt=0.000-\r\nRTP-Info: " + info + "\r\n");
    if (!s->playing) {
        s->playing = true;
        context_.streamer->Add(s);  // after the reply, so it precedes the media on the connection
    }
}

void RtspHandler::OnTeardown(const Request& r) {
    std::shared_ptr<Session> s = FindSession(r);
    if (!s) {
        Reply(r, 454, "Session Not Found");
        return;
    }
    context_.streamer->Remove(s.get());
    sessions_.erase(s->id);
    Reply(r, 200, "OK", "Session: " + s->id + "\r\n");
}

}  // namespace kavro::camsim
