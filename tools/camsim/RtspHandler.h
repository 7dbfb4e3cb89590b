#pragma once
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ProtocolHandler.h"
#include "Session.h"

namespace kavro::camsim {

// RTSP 1.0 on one connection: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER, with
// optional Digest authentication. Interleaved frames the client sends (RTCP) are skipped.
// Sessions belong to the connection and end with it.
class RtspHandler : public ProtocolHandler {
public:
    explicit RtspHandler(const ServerContext& context);
    ~RtspHandler() override;

    void Serve(const std::shared_ptr<Connection>& connection, std::string received) override;

    // True when a first line opens an RTSP request ("METHOD url RTSP/1.0").
    static bool IsRtspLine(const std::string& firstLine);

private:
    struct Request {
        std::string method, url, version;
        std::vector<std::pair<std::string, std::string>> headers;
        const std::string* Header(const char* name) const;
    };

    bool Handle(const Request& r);  // false: close the connection
    void Reply(const Request& r, int code, const char* reason, const std::string& headers = "",
               const std::string& body = "", const char* contentType = nullptr);
    bool Authorized(const Request& r) const;
    std::shared_ptr<Session> FindSession(const Request& r) const;
    void OnDescribe(const Request& r);
    void OnSetup(const Request& r);
    void OnPlay(const Request& r);
    void OnTeardown(const Request& r);
    std::string NewSessionId();

    ServerContext context_;
    std::shared_ptr<Connection> connection_;
    std::map<std::string, std::shared_ptr<Session>> sessions_;
    std::mt19937 random_;
};

}  // namespace kavro::camsim
