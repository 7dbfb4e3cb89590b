#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "source/RtspReply.h"

using namespace kavro;

TEST(RtspReply, ExtentOfRepliesInTheBytesReceivedSoFar) {
    struct Case {
        const char* name;
        std::string bytes;
        size_t capacity;
        bool complete;
        size_t length;
        size_t drain;
    } cases[] = {
        {"nothing yet", "", 2047, false, 0, 0},
        {"headers not ended", "RTSP/1.0 200 OK\r\nCSeq: 1\r\n", 2047, false, 0, 0},
        {"no body", "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n", 2047, true, 28, 0},
        {"body still arriving", "RTSP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc", 2047, false, 0, 0},
        {"body then frame", "RTSP/1.0 200 OK\r\ncontent-length:3\r\n\r\nabc$\x00\x00\x04", 2047, true, 40, 0},
        {"no length, frame follows", "RTSP/1.0 200 OK\r\n\r\n$\x01\x00\x02xy", 2047, true, 19, 0},
        {"no length, text follows", "RTSP/1.0 200 OK\r\n\r\nv=0\r\n", 2047, true, 24, 0},
        {"line feeds only", "RTSP/1.0 200 OK\nContent-Length: 2\n\nhi", 2047, true, 38, 0},
        {"body larger than the buffer", "RTSP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n0123456789", 50, true,
         50, 90},
        {"headers larger than the buffer", std::string("RTSP/1.0 200 OK\r\nX: ") + std::string(40, 'a'), 40,
         true, 61, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t have = c.bytes.size() < c.capacity ? c.bytes.size() : c.capacity;
        RtspReplyExtent e = MeasureRtspReply(have ? c.bytes.data() : nullptr, have, c.capacity);
        EXPECT_EQ(c.complete, e.complete);
        if (c.complete) {
            EXPECT_EQ(std::min(c.length, have), e.length);
            EXPECT_EQ(c.drain, e.drain);
        }
    }
}

TEST(RtspReply, ChallengeAndSessionHeaders) {
    const std::string reply =
        "RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"b\"\r\n"
        "www-authenticate:Digest nonce=\"n1\", realm=\"cam\"\r\nSession: Ab-3_x;timeout=30\r\n\r\n";
    char realm[65], nonce[65];
    ASSERT_TRUE(ParseDigestChallenge(reply.data(), reply.size(), realm, sizeof realm, nonce, sizeof nonce));
    EXPECT_STREQ("cam", realm);
    EXPECT_STREQ("n1", nonce);
    char small[3];
    ASSERT_TRUE(ParseDigestChallenge(reply.data(), reply.size(), small, sizeof small, nonce, sizeof nonce));
    EXPECT_STREQ("ca", small);  // cut to fit, never past the buffer
    const std::string basicOnly = "RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"b\"\r\n\r\n";
    EXPECT_FALSE(
        ParseDigestChallenge(basicOnly.data(), basicOnly.size(), realm, sizeof realm, nonce, sizeof nonce));

    char id[32];
    int timeout = 0;
    ParseSessionHeader(reply.data(), reply.size(), id, sizeof id, 60, &timeout);
    EXPECT_STREQ("Ab-3_x", id);
    EXPECT_EQ(30, timeout);
    const std::string plain = "RTSP/1.0 200 OK\r\nSession: 12345678\r\n\r\n";
    ParseSessionHeader(plain.data(), plain.size(), id, sizeof id, 60, &timeout);
    EXPECT_STREQ("12345678", id);
    EXPECT_EQ(60, timeout);
    const std::string none = "RTSP/1.0 200 OK\r\n\r\n";
    ParseSessionHeader(none.data(), none.size(), id, sizeof id, 60, &timeout);
    EXPECT_STREQ("", id);
}
