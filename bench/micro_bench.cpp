// Small benchmarks of single pieces:
//   micro_bench conduit [SECONDS] [FRAME_BYTES]   two threads move frames through a conduit
//   micro_bench depack-h264 [PACKETS]             feeds prepared H.264 RTP packets (FU-A)
//   micro_bench depack-jpeg [PACKETS]             feeds prepared RTP/JPEG packets
// The depacketizer modes are meant for callgrind with --toggle-collect on HandlePacket, so that
// only the per-packet work is counted (Ir / PACKETS).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/ClientHandle.h"
#include "conduit/CBufferConduit.h"
#include "source/RtpVideoDepacketizer.h"

using namespace kavro;

namespace {

constexpr size_t kPiece = 1386;  // payload of a 1400-byte RTP packet after the FU-A bytes

// Counts what it is given and keeps nothing: the depacketizer alone is measured.
class NullConduit : public CIConduit {
public:
    bool Init(int, int, int, int) override { return true; }
    void Free() override {}
    void Reset() override {}
    void SetFlowControl(int) override {}
    int Read(void*, int, int*, uint32_t) override { return 0; }
    bool Write(const void*, int length, int endOfFrame) override {
        bytes += static_cast<size_t>(length);
        frames += endOfFrame == 1 ? 1 : 0;
        return true;
    }
    int GetDataSize() override { return 0; }
    int GetFrameCount() override { return 0; }
    int ReadFrame(void*, int, int*, uint32_t) override { return 0; }
    void Close() override {}
    bool WaitFrames(int, uint32_t) override { return false; }
    size_t bytes = 0;
    size_t frames = 0;
};

void RtpHeader(uint8_t* p, uint8_t pt, bool marker, uint16_t seq, uint32_t ts) {
    p[0] = 0x80;
    p[1] = static_cast<uint8_t>(pt | (marker ? 0x80 : 0));
    p[2] = static_cast<uint8_t>(seq >> 8);
    p[3] = static_cast<uint8_t>(seq);
    p[4] = static_cast<uint8_t>(ts >> 24);
    p[5] = static_cast<uint8_t>(ts >> 16);
    p[6] = static_cast<uint8_t>(ts >> 8);
    p[7] = static_cast<uint8_t>(ts);
    std::memset(p + 8, 0x11, 4);
}

using Packet = std::vector<uint8_t>;

// Pictures of 20 KB (4 Mbit/s at 25 fps): a key picture with SPS and PPS every 25th.
std::vector<Packet> H264Packets(size_t count) {
    std::vector<Packet> out;
    uint16_t seq = 0;
    uint32_t ts = 0;
    for (int pic = 0; out.size() < count; ++pic, ts += 3600) {
        const bool key = pic % 25 == 0;
        if (key) {
            for (uint8_t nal : {uint8_t{0x67}, uint8_t{0x68}}) {
                Packet p(12 + 12, 0x42);
                RtpHeader(p.data(), 96, false, seq++, ts);
                p[12] = nal;
                out.push_back(p);
            }
        }
        const uint8_t type = key ? 5 : 1;
        const size_t size = 20000;
        for (size_t off = 0; off < size; off += kPiece) {
            const size_t n = std::min(kPiece, size - off);
            const bool last = off + n >= size;
            Packet p(12 + 2 + n, 0x5A);
            RtpHeader(p.data(), 96, last, seq++, ts);
            p[12] = 0x60 | 28;
            p[13] = static_cast<uint8_t>((off == 0 ? 0x80 : 0) | (last ? 0x40 : 0) | type);
            out.push_back(p);
        }
    }
    out.resize(count);
    return out;
}

// Baseline JPEG pictures of 40 KB at 1280x720, tables in band (Q 255) in the first fragment.
std::vector<Packet> JpegPackets(size_t count) {
    std::vector<Packet> out;
    uint16_t seq = 0;
    uint32_t ts = 0;
    for (; out.size() < count; ts += 3600) {
        const size_t size = 40000;
        for (size_t off = 0; off < size; off += kPiece) {
            const size_t n = std::min(kPiece, size - off);
            const bool last = off + n >= size;
            const size_t tables = off == 0 ? 4 + 128 : 0;
            Packet p(12 + 8 + tables + n, 0x3C);
            RtpHeader(p.data(), 26, last, seq++, ts);
            uint8_t* h = p.data() + 12;
            h[0] = 0;
            h[1] = static_cast<uint8_t>(off >> 16);
            h[2] = static_cast<uint8_t>(off >> 8);
            h[3] = static_cast<uint8_t>(off);
            h[4] = 1;
            h[5] = 255;
            h[6] = 1280 / 8;
            h[7] = 720 / 8;
            if (tables) {
                h[8] = 0;
                h[9] = 0;
                h[10] = 0;
                h[11] = 128;
                std::memset(h + 12, 16, 128);
            }
            out.push_back(p);
        }
    }
    out.resize(count);
    return out;
}

int Depack(bool jpeg, size_t count) {
    const std::vector<Packet> packets = jpeg ? JpegPackets(count) : H264Packets(count);
    ClientHandle client;
    client.videoPayloadType = jpeg ? 26 : 96;
    NullConduit conduit;
    RtpVideoDepacketizer d(&client, &conduit, nullptr, RtpVideoDepacketizer::kJpegTypeUdp);
    if (!d.Prepare()) return 1;
    d.BeginRun();
    const auto t0 = std::chrono::steady_clock::now();
    for (const Packet& p : packets) d.HandlePacket(p.data(), p.size());
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("RESULT mode=%s packets=%zu frames_out=%zu bytes_out=%zu ns_per_packet=%.1f\n",
                jpeg ? "jpeg" : "h264", packets.size(), conduit.frames, conduit.bytes,
                s * 1e9 / static_cast<double>(packets.size()));
    return conduit.frames > 0 ? 0 : 1;
}

// Writer in 1386-byte pieces as the depacketizer writes; reader in 16 KB reads as the display does.
int Conduit(double seconds, int frameBytes) {
    CBufferConduit c;
    if (!c.Init(0x200000, 1, 8192, 1)) return 1;
    std::atomic<bool> done{false};
    std::atomic<size_t> written{0};
    std::thread writer([&] {
        std::vector<uint8_t> piece(kPiece, 0xAB);
        size_t w = 0;
        while (!done.load()) {
            for (int off = 0; off < frameBytes; off += static_cast<int>(kPiece)) {
                const int n = std::min(static_cast<int>(kPiece), frameBytes - off);
                if (!c.Write(piece.data(), n, off + n >= frameBytes ? 1 : 0)) continue;
                w += static_cast<size_t>(n);
            }
        }
        written = w;
    });
    std::vector<uint8_t> buf(16384);
    size_t read = 0;
    size_t frames = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const auto end = t0 + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        const int n = c.ReadFrame(buf.data(), static_cast<int>(buf.size()), nullptr, 100);
        if (n > 0) {
            read += static_cast<size_t>(n);
            if (n < static_cast<int>(buf.size())) ++frames;
        }
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    done = true;
    c.Close();
    writer.join();
    std::printf(
        "RESULT mode=conduit seconds=%.2f frame_bytes=%d bytes_read=%zu frames_read=%zu MB_per_s=%.1f\n", s,
        frameBytes, read, frames, static_cast<double>(read) / s / 1e6);
    return read > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "conduit")
        return Conduit(argc > 2 ? std::atof(argv[2]) : 5.0, argc > 3 ? std::atoi(argv[3]) : 20000);
    if (mode == "depack-h264" || mode == "depack-jpeg") {
        const long n = argc > 2 ? std::atol(argv[2]) : 100000;
        if (n <= 0) return 2;
        return Depack(mode == "depack-jpeg", static_cast<size_t>(n));
    }
    std::fprintf(stderr,
                 "usage: micro_bench conduit [SECONDS] [FRAME_BYTES] | depack-h264|depack-jpeg [PACKETS]\n");
    return 2;
}
