#include "MctpTalk.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "Options.h"
#include "RequestLog.h"
#include "codec/VoiceEngine.h"

namespace kavro::camsim {
namespace {

constexpr size_t kHeadBytes = 8;
// L = 2 x (low 8 bits of the word count) + 4 can never exceed this.
constexpr uint32_t kLargestFrame = 2 * 255 + kVoiceFrameHeaderBytes;
constexpr int kSamplesPerFrame = 320;  // 40 ms at 8000 Hz
constexpr int kFrameMs = 40;
constexpr double kToneHz = 1000.0;
constexpr double kPi = 3.14159265358979323846;

std::mutex g_recordMutex;  // talk connections may share one record file

uint32_t ReadLe32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

}  // namespace

MctpTalk::MctpTalk(const Options& options, RequestLog* log) : options_(options), log_(log) {}

void MctpTalk::Run(const std::shared_ptr<Connection>& connection, std::string pending) {
    using Clock = std::chrono::steady_clock;
    VoiceState decoder{};
    VoiceState encoder{};
    if (HI_VOICE_DecReset(&decoder, kVoiceModeG726_32) != 0 ||
        HI_VOICE_EncReset(&encoder, kVoiceModeG726_32) != 0)
        return;
    FILE* record = nullptr;
    if (!options_.talkRecordPath.empty()) {
        std::lock_guard<std::mutex> lock(g_recordMutex);
        record = std::fopen(options_.talkRecordPath.c_str(), "ab");
    }

    long frames = 0, decoded = 0, badHeads = 0, ticksBackwards = 0, sent = 0;
    long firstLength = -1;
    bool haveTick = false;
    uint32_t lastTick = 0;
    const char* how = "peer";
    auto nextSend = Clock::now();
    uint64_t toneSample = 0;
    char buf[4096];

    for (;;) {
        // Whole frames first.
        bool stop = false;
        while (pending.size() >= kHeadBytes) {
            const uint32_t length = ReadLe32(pending.data());
            const uint32_t tick = ReadLe32(pending.data() + 4);
            if (length < kVoiceFrameHeaderBytes || length > kLargestFrame) {
                how = "bad-length";
                stop = true;
                break;
            }
            if (pending.size() < kHeadBytes + length) break;
            const auto* frame = reinterpret_cast<const uint8_t*>(pending.data() + kHeadBytes);
            ++frames;
            if (firstLength < 0) firstLength = static_cast<long>(length);
            if (VoiceFrameWireBytes(frame) != length || (frame[0] | (frame[1] << 8)) != kVoiceFrameTag)
                ++badHeads;
            if (haveTick && static_cast<int32_t>(tick - lastTick) < 0) ++ticksBackwards;
            haveTick = true;
            lastTick = tick;
            int16_t pcm[kVoiceMaxDecodedSamples];
            uint16_t count = 0;
            if (HI_VOICE_DecodeFrame(&decoder, frame, length, pcm, kVoiceMaxDecodedSamples, &count) == 0) {
                ++decoded;
                if (record) {
                    std::lock_guard<std::mutex> lock(g_recordMutex);
                    std::fwrite(pcm, sizeof pcm[0], count, record);
                    std::fflush(record);
                }
            }
            pending.erase(0, kHeadBytes + length);
            if (options_.talkDropAfter > 0 && frames >= options_.talkDropAfter) {
                how = "drop";
                stop = true;
                break;
            }
        }
        if (stop) break;

        if (options_.talkTwoWay && Clock::now() >= nextSend) {
            int16_t samples[kSamplesPerFrame];
            for (int i = 0; i < kSamplesPerFrame; ++i, ++toneSample)
                samples[i] = static_cast<int16_t>(8000.0 * std::sin(2 * kPi * kToneHz * toneSample / 8000.0));
            uint8_t frame[kVoiceFrameHeaderBytes + kSamplesPerFrame];
            if (HI_VOICE_EncodeFrame(&encoder, samples, kSamplesPerFrame, frame, sizeof frame) == 0) {
                // Each frame in one send: the PC takes one receive as one frame.
                if (!connection->Send(frame, VoiceFrameWireBytes(frame), false)) {
                    how = "send-error";
                    break;
                }
                ++sent;
            }
            nextSend += std::chrono::milliseconds(kFrameMs);
            if (nextSend < Clock::now()) nextSend = Clock::now() + std::chrono::milliseconds(kFrameMs);
        }
        int wait = 200;
        if (options_.talkTwoWay) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextSend - Clock::now()).count();
            wait = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left, 200)));
        }
        const int n = connection->Read(buf, sizeof buf, wait);
        if (n < 0) break;
        pending.append(buf, static_cast<size_t>(n));
    }
    if (record) {
        std::lock_guard<std::mutex> lock(g_recordMutex);
        std::fclose(record);
    }
    if (log_) {
        log_->Write("TALK\tframes=" + std::to_string(frames) + "\tdecoded=" + std::to_string(decoded) +
                    "\tbadHeads=" + std::to_string(badHeads) + "\tticksBackwards=" +
                    std::to_string(ticksBackwards) + "\tfirstLength=" + std::to_string(firstLength) +
                    "\tsent=" + std::to_string(sent) + "\tend=" + how);
    }
}

}  // namespace kavro::camsim
