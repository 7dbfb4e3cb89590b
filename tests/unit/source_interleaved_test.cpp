#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "source/InterleavedReader.h"

namespace kavro {
namespace {

// Hands out a script of receives, one piece per call; then the connection is closed (0).
class ScriptedBytes : public ByteSource {
public:
    explicit ScriptedBytes(std::vector<std::string> pieces) : pieces_(std::move(pieces)) {}
    int Receive(void* buffer, size_t capacity) override {
        if (next_ >= pieces_.size()) return 0;
        std::string& piece = pieces_[next_];
        size_t n = piece.size() < capacity ? piece.size() : capacity;
        std::memcpy(buffer, piece.data(), n);
        piece.erase(0, n);
        if (piece.empty()) ++next_;
        ++calls;
        return static_cast<int>(n);
    }
    int calls = 0;

private:
    std::vector<std::string> pieces_;
    size_t next_ = 0;
};

std::string Frame(int channel, const std::string& payload) {
    std::string f = "$";
    f += static_cast<char>(channel);
    f += static_cast<char>(payload.size() >> 8);
    f += static_cast<char>(payload.size() & 0xFF);
    return f + payload;
}

std::string Bytes(size_t n, char c) { return std::string(n, c); }

// What one Read gave: channel (or 255 / -1) and, for frames, the packet.
struct Result {
    int channel;
    std::string packet;
    bool operator==(const Result& o) const { return channel == o.channel && packet == o.packet; }
};

std::ostream& operator<<(std::ostream& os, const Result& r) {
    return os << "{" << r.channel << ", " << r.packet.size() << " bytes}";
}

std::vector<Result> ReadAll(InterleavedReader& reader, size_t capacity = 2048) {
    std::vector<Result> out;
    std::vector<uint8_t> buffer(capacity);
    for (int i = 0; i < 100; ++i) {
        size_t length = 0;
        int r = reader.Read(buffer.data(), buffer.size(), &length);
        if (r == InterleavedReader::kLost) {
            out.push_back({r, ""});
            break;
        }
        EXPECT_LE(length, r == InterleavedReader::kOutside ? 1u << 16 : capacity);
        out.push_back({r, r == InterleavedReader::kOutside
                              ? ""
                              : std::string(reinterpret_cast<char*>(buffer.data()), length)});
    }
    return out;
}

constexpr int kLost = InterleavedReader::kLost;
constexpr int kOut = InterleavedReader::kOutside;

TEST(InterleavedReader, SplitsTheConnectionIntoFrames) {
    const std::string rtp = Bytes(12, 'h') + "payload";
    const std::string reply = "RTSP/1.0 200 OK\r\nCSeq: 7\r\nSession: 1234\r\n\r\n";
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::vector<Result> expected;
    };
    const Case cases[] = {
        {"channels 0 to 3 in one receive",
         {Frame(0, rtp) + Frame(1, "r1") + Frame(2, rtp) + Frame(3, "r3")},
         {{0, rtp}, {1, "r1"}, {2, rtp}, {3, "r3"}, {kLost, ""}}},
        {"frame cut anywhere across receives",
         {"$", std::string(1, '\0'), std::string(1, '\0'),
          std::string(1, char(rtp.size())) + rtp.substr(0, 3), rtp.substr(3) + Frame(2, rtp).substr(0, 1),
          Frame(2, rtp).substr(1)},
         {{0, rtp}, {2, rtp}, {kLost, ""}}},
        {"RTSP reply between frames is swallowed, the frame behind it kept",
         {Frame(0, rtp) + reply + Frame(2, rtp)},
         {{0, rtp}, {kOut, ""}, {2, rtp}, {kLost, ""}}},
        {"garbage is swallowed up to the next frame start",
         {"xyz" + Frame(0, rtp)},
         {{kOut, ""}, {0, rtp}, {kLost, ""}}},
        {"a lone stray byte takes one more receive with it",
         {"x", "abc", Frame(0, rtp)},
         {{kOut, ""}, {0, rtp}, {kLost, ""}}},
        {"long garbage is swallowed in bounded steps",
         {Bytes(3000, 'g') + Frame(0, rtp)},
         {{kOut, ""}, {kOut, ""}, {kOut, ""}, {0, rtp}, {kLost, ""}}},
        {"channel 5 ends the connection", {Frame(0, rtp) + Frame(5, rtp)}, {{0, rtp}, {kLost, ""}}},
        {"length 0 ends the connection", {Frame(0, "")}, {{kLost, ""}}},
        {"length of 32768 and more ends the connection",
         {std::string("$\x00\x80\x00", 4) + Bytes(64, 'p')},
         {{kLost, ""}}},
        {"connection closed inside a frame", {Frame(0, rtp).substr(0, 10)}, {{kLost, ""}}},
        {"connection closed inside the header", {"$"}, {{kLost, ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBytes bytes(c.pieces);
        InterleavedReader reader(bytes);
        EXPECT_EQ(ReadAll(reader), c.expected);
    }
}

TEST(InterleavedReader, FrameLongerThanTheBufferIsReadAndDropped) {
    const std::string big = Bytes(5000, 'b');
    const std::string small = Bytes(12, 's') + "x";
    ScriptedBytes bytes({Frame(0, big) + Frame(2, small)});
    InterleavedReader reader(bytes);
    std::vector<uint8_t> buffer(2048 + 16, 0xEE);
    size_t length = 0;
    EXPECT_EQ(reader.Read(buffer.data(), 2048, &length), kOut);
    EXPECT_EQ(length, big.size());
    // Nothing written past the buffer the caller gave.
    for (size_t i = 2048; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
    EXPECT_EQ(reader.Read(buffer.data(), 2048, &length), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), length), small);
}

TEST(InterleavedReader, PreloadedBytesComeBeforeTheConnection) {
    const std::string a = Bytes(12, 'a') + "first";
    const std::string b = Bytes(12, 'b') + "second";
    const std::string first = Frame(0, a);
    // The preloaded bytes end in the middle of the second frame; the connection holds its rest.
    const std::string second = Frame(2, b);
    ScriptedBytes bytes({second.substr(6)});
    InterleavedReader reader(bytes);
    const std::string pre = first + second.substr(0, 6);
    EXPECT_EQ(reader.Preload(pre.data(), pre.size()), pre.size());
    EXPECT_EQ(ReadAll(reader), (std::vector<Result>{{0, a}, {2, b}, {kLost, ""}}));

    // Reset forgets what was buffered from an earlier connection.
    ScriptedBytes fresh({Frame(2, b)});
    InterleavedReader again(fresh);
    again.Preload(pre.data(), pre.size());
    again.Reset();
    EXPECT_EQ(ReadAll(again), (std::vector<Result>{{2, b}, {kLost, ""}}));
}

TEST(InterleavedReader, ReceiveErrorIsALostConnection) {
    class Failing : public ByteSource {
    public:
        int Receive(void*, size_t) override { return -1; }
    } failing;
    InterleavedReader reader(failing);
    uint8_t buffer[16];
    size_t length = 99;
    EXPECT_EQ(reader.Read(buffer, sizeof buffer, &length), kLost);
    EXPECT_EQ(length, 0u);
}

}  // namespace
}  // namespace kavro
