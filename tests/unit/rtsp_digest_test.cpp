#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "source/Digest.h"
#include "source/Md5.h"

namespace kavro {
namespace {

std::string HexOf(const void* data, size_t length, size_t piece = 0) {
    Md5 md5;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (piece == 0) {
        md5.Update(p, length);
    } else {
        for (size_t i = 0; i < length; i += piece) md5.Update(p + i, length - i < piece ? length - i : piece);
    }
    uint8_t digest[16];
    md5.Final(digest);
    char hex[33];
    Md5ToHex(digest, hex);
    return hex;
}

TEST(Md5, Rfc1321TestSuite) {
    const struct {
        const char* input;
        const char* digest;
    } kCases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(HexOf(c.input, std::strlen(c.input)), c.digest) << '"' << c.input << '"';
        // The same bytes fed in awkward pieces give the same digest.
        EXPECT_EQ(HexOf(c.input, std::strlen(c.input), 1), c.digest) << '"' << c.input << "\" byte by byte";
        EXPECT_EQ(HexOf(c.input, std::strlen(c.input), 7), c.digest) << '"' << c.input << "\" in 7s";
    }
}

TEST(Md5, PaddingBoundariesAndLongInput) {
    // Lengths around the 56-byte padding boundary and the 64-byte block (reference digests
    // from an independent MD5), bytes (i * 7 + 3) & 0xff.
    const struct {
        size_t length;
        const char* digest;
    } kCases[] = {
        {55, "52c0e574e1198de5fe3f8f11440dcb1b"},  {56, "46c9907fc908ee68b1e7b8e71286a518"},
        {57, "1c805dd236c35cab25fcb1bc73802c51"},  {63, "a62f6d59e837867693f042f5b8f5a236"},
        {64, "7160b8fb5e9e4023d549c3971fbaeead"},  {65, "70bd662e7aefbda85a0f7244167b7897"},
        {119, "e84905d4214f4d1ca56c2cdcc152b143"}, {120, "e3eb5a6c8669ea01a8c185b8abc8a5dc"},
    };
    for (const auto& c : kCases) {
        std::vector<uint8_t> data(c.length);
        for (size_t i = 0; i < c.length; ++i) data[i] = static_cast<uint8_t>((i * 7 + 3) & 0xff);
        EXPECT_EQ(HexOf(data.data(), data.size()), c.digest) << c.length;
        EXPECT_EQ(HexOf(data.data(), data.size(), 60), c.digest) << c.length << " in 60s";
    }
    std::vector<char> million(1000000, 'a');
    EXPECT_EQ(HexOf(million.data(), million.size(), 4099), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, FinalResetsForReuse) {
    Md5 md5;
    uint8_t digest[16];
    md5.Update("abc", 3);
    md5.Final(digest);
    md5.Update("a", 1);
    md5.Final(digest);
    char hex[33];
    Md5ToHex(digest, hex);
    EXPECT_STREQ(hex, "0cc175b9c0f1b6a831c399e269772661");
}

TEST(DigestResponse, KnownVectors) {
    // Reference responses computed with an independent MD5 as
    // md5(md5(user:realm:password) ":" nonce ":" md5(method:uri)).
    const struct {
        const char *user, *realm, *password, *nonce, *method, *uri, *response;
    } kCases[] = {
        // The classic Mufasa example of RFC 2069 (its printed value was wrong; this is the
        // corrected one).
        {"Mufasa", "testrealm@host.com", "CircleOfLife", "dcd98b7102dd2f0e8b11d0f600bfb0c093", "GET",
         "/dir/index.html", "1949323746fe6a43ef61f9606e7febea"},
        // Empty password: the user name, realm and both colons still count.
        {"admin", "r", "", "n", "DESCRIBE", "u", "48415bef5ccd7697948c4dfb95c76480"},
        // Bytes above 0x7f are hashed as they are.
        {"user", "realm", "\xe9t", "nonce", "TEARDOWN", "rtsp://cam/1", "df5ce56677dc57f99883cfbac8a0fbec"},
    };
    for (const auto& c : kCases) {
        char out[256];
        std::memset(out, 'x', sizeof out);
        ASSERT_EQ(DigestResponse(c.user, c.realm, c.password, out, c.nonce, c.method, c.uri), out);
        EXPECT_STREQ(out, c.response) << c.user << " " << c.method;
        EXPECT_EQ(out[33], 'x') << "wrote past the 33-byte result";
    }
}

TEST(DigestResponse, MissingArgumentWritesNothing) {
    const char* args[7] = {"u", "r", "p", nullptr, "n", "DESCRIBE", "rtsp://h/1"};
    char out[64];
    for (int missing = 0; missing < 7; ++missing) {
        if (missing == 3) continue;  // the out buffer itself, checked below
        const char* a[7];
        std::memcpy(a, args, sizeof a);
        a[missing] = nullptr;
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(DigestResponse(a[0], a[1], a[2], out, a[4], a[5], a[6]), nullptr) << missing;
        EXPECT_EQ(out[0], 'x') << missing;
    }
    EXPECT_EQ(DigestResponse("u", "r", "p", nullptr, "n", "DESCRIBE", "rtsp://h/1"), nullptr);
}

}  // namespace
}  // namespace kavro
