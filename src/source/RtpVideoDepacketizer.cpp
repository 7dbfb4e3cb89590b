#include "source/RtpVideoDepacketizer.h"

#include <cstring>
#include <new>

#include "api/ClientHandle.h"
#include "conduit/CIConduit.h"
#include "platform/Tick.h"
#include "source/ChunkWriter.h"
#include "source/IRecord.h"
#include "codec/JpegTables.h"

namespace kavro {

namespace {
const uint8_t kStartCode[3] = {0, 0, 1};
constexpr size_t kRtpHeader = 12;
constexpr size_t kJpegHeaderRoom = 700;  // SOI..SOS with two tables and the standard Huffman tables
}  // namespace

RtpVideoDepacketizer::RtpVideoDepacketizer(ClientHandle* client, CIConduit* conduit, IRecord* record,
                                           uint32_t jpegChunkType)
    : client_(client), conduit_(conduit), record_(record), jpegChunkType_(jpegChunkType) {}

RtpVideoDepacketizer::~RtpVideoDepacketizer() = default;

bool RtpVideoDepacketizer::Prepare() {
    if (!assembly_) assembly_.reset(new (std::nothrow) uint8_t[kAssemblyCapacity]);
    return assembly_ != nullptr;
}

void RtpVideoDepacketizer::BeginRun() {
    count_ = 10;
    elapsed_ = 0;
    spsTick_ = 0;
    int32_t fps = client_->fps;
    interval_ = fps > 0 ? 1000 / fps : 0;
    spsSinceIdr_ = false;
    insideIdr_ = false;
}

void RtpVideoDepacketizer::SetParameterSets(const uint8_t* annexB, size_t length) {
    parameterSets_.assign(annexB, annexB + length);
}

void RtpVideoDepacketizer::HandlePacket(const uint8_t* packet, size_t length) {
    if (length < 14) return;
    if (client_->videoPayloadType == 96)
        HandleH264(packet, length);
    else
        HandleJpeg(packet, length);
}

void RtpVideoDepacketizer::SpsTiming() {
    if (count_ == 10) {
        count_ = 0;
        elapsed_ = 0;
    }
    spsTick_ = GetTick();
    count_ += 1;
}

void RtpVideoDepacketizer::IdrTiming() {
    elapsed_ += GetTick() - spsTick_;
    if (interval_ <= 0 || count_ == 0) return;
    int32_t framesTwice = static_cast<int32_t>(elapsed_ * 2) / interval_;
    client_->jitterFrames = static_cast<int32_t>(static_cast<uint32_t>(framesTwice) / count_);
}

void RtpVideoDepacketizer::Record(uint32_t type, bool key, const uint8_t* a, size_t alen, const uint8_t* b,
                                  size_t blen) {
    if (!record_ || (!record_->IsRecording() && !record_->IsAlarmRecording())) return;
    (void)key;  // the writer indexes NAL type 7 itself
    MediaChunk c = H264Chunk(type, a, static_cast<uint32_t>(alen));
    c.parts[1] = {b, static_cast<uint32_t>(blen)};
    if (alen == 0) {
        c.parts[0] = c.parts[1];
        c.parts[1] = {};
    }
    WriteMediaChunk(*record_, client_, c);
}

void RtpVideoDepacketizer::InjectParameterSets() {
    // Servers that carry SPS/PPS only in the description: hand them to the decoder (and the
    // record index) in front of the IDR picture, as if the camera had sent them in band.
    const uint8_t* p = parameterSets_.data();
    size_t n = parameterSets_.size();
    size_t i = 0;
    while (i + 3 <= n) {
        if (!(p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1)) {
            ++i;
            continue;
        }
        size_t start = i + 3;
        size_t end = start;
        while (end + 3 <= n && !(p[end] == 0 && p[end + 1] == 0 && p[end + 2] == 1)) ++end;
        if (end + 3 > n) end = n;
        // A picture among them would ask for the sets again, without end: only the sets go.
        if (end > start && (p[start] & 0x1F) != 5) HandleNal(p + start, end - start, false);
        i = end;
    }
}

void RtpVideoDepacketizer::HandleNal(const uint8_t* nal, size_t length, bool endOfFrame) {
    uint32_t t = nal[0] & 0x1F;
    if (t == 7) {
        SpsTiming();
        spsSinceIdr_ = true;
    }
    if (t == 5 && !insideIdr_) {
        if (!spsSinceIdr_ && !parameterSets_.empty()) InjectParameterSets();
        spsSinceIdr_ = false;
    }
    insideIdr_ = t == 5 && !endOfFrame;
    conduit_->Write(kStartCode, 3, 0);
    conduit_->Write(nal, static_cast<int>(length), endOfFrame ? 1 : 0);
    if (t == 5 && endOfFrame) IdrTiming();
    Record(t, t == 7, kStartCode, 3, nal, length);
}

void RtpVideoDepacketizer::HandleH264(const uint8_t* packet, size_t n) {
    const uint8_t* p = packet + kRtpHeader;
    size_t d = n - kRtpHeader;
    client_->byteCount += static_cast<uint32_t>(d);
    bool marker = (packet[1] & 0x80) != 0;
    uint32_t t = p[0] & 0x1F;
    if (t >= 1 && t <= 23) {
        // A single NAL unit with the marker bit ends its picture; without this, streams whose
        // pictures fit in one packet would never complete a frame for the display.
        HandleNal(p, d, marker && t <= 5);
    } else if (t == 24) {
        // STAP-A: 16-bit size before each aggregated NAL unit.
        size_t i = 1;
        while (i + 2 <= d) {
            size_t len = (static_cast<size_t>(p[i]) << 8) | p[i + 1];
            i += 2;
            if (len == 0 || len > d - i) break;
            bool last = i + len + 2 > d;
            HandleNal(p + i, len, marker && last && (p[i] & 0x1F) <= 5 && (p[i] & 0x1F) >= 1);
            i += len;
        }
    } else if (t == 28) {
        uint8_t indicator = p[0];
        uint8_t fu = p[1];
        uint32_t nt = fu & 0x1F;
        uint8_t header = static_cast<uint8_t>((indicator & 0xE0) | nt);
        const uint8_t* frag = p + 2;
        size_t fd = n - 14;
        bool end = (fu & 0x40) != 0;
        if (fu & 0x80) {
            if (nt == 7) {
                SpsTiming();
                spsSinceIdr_ = true;
            }
            if (nt == 5 && !insideIdr_) {
                if (!spsSinceIdr_ && !parameterSets_.empty()) InjectParameterSets();
                spsSinceIdr_ = false;
            }
            insideIdr_ = nt == 5 && !end;
            conduit_->Write(kStartCode, 3, 0);
            conduit_->Write(&header, 1, 0);
            conduit_->Write(frag, static_cast<int>(fd), end ? 1 : 0);
            uint8_t lead[4] = {0, 0, 1, header};
            if (end && nt == 5) IdrTiming();
            Record(nt, nt == 7, lead, 4, frag, fd);
        } else {
            conduit_->Write(frag, static_cast<int>(fd), end ? 1 : 0);
            if (end) {
                if (nt == 5) IdrTiming();
                insideIdr_ = false;
            }
            Record(nt, false, nullptr, 0, frag, fd);
        }
    }
    // Other types (FU-B, MTAP, reserved) carry nothing we can use.
}

void RtpVideoDepacketizer::HandleJpeg(const uint8_t* packet, size_t n) {
    if (n < 20 || !assembly_) return;
    const uint8_t* h = packet + kRtpHeader;
    uint32_t offset = (static_cast<uint32_t>(h[1]) << 16) | (static_cast<uint32_t>(h[2]) << 8) | h[3];
    int type = h[4];
    int q = h[5];
    int width = h[6] * 8;
    int height = h[7] * 8;
    size_t pos = kRtpHeader + 8;
    uint16_t restart = 0;
    if (type >= 64 && type <= 127) {
        if (pos + 4 > n) return;
        restart = static_cast<uint16_t>((packet[pos] << 8) | packet[pos + 1]);
        pos += 4;
    }
    if (offset == 0) {
        assemblyLength_ = 0;
        assembling_ = false;
        if ((type & 0x3F) > 1 || width == 0 || height == 0) return;  // unknown layout
        uint8_t tables[128];
        if (q >= 128) {
            // In-band tables: MBZ, precision, 16-bit length, then the tables.
            if (pos + 4 > n) return;
            uint8_t precision = packet[pos + 1];
            size_t qlen = (static_cast<size_t>(packet[pos + 2]) << 8) | packet[pos + 3];
            pos += 4;
            if (precision != 0 || qlen < 128 || qlen > n - pos) return;
            std::memcpy(tables, packet + pos, 128);
            pos += qlen;
        } else if (q == 0) {
            return;
        } else {
            MakeRtpJpegQuantTables(q, tables);
        }
        size_t hl = WriteJpegHeaders(assembly_.get(), kJpegHeaderRoom, type, width, height, tables, restart);
        if (hl == 0) return;
        assemblyLength_ = hl;
        expectedOffset_ = 0;
        assembling_ = true;
    }
    if (!assembling_) return;
    if (offset != expectedOffset_) {
        // A lost fragment leaves a hole in the scan data: drop the frame.
        assembling_ = false;
        assemblyLength_ = 0;
        return;
    }
    size_t len = n - pos;
    if (len > kAssemblyCapacity - 2 - assemblyLength_) {
        assembling_ = false;
        assemblyLength_ = 0;
        return;
    }
    std::memcpy(assembly_.get() + assemblyLength_, packet + pos, len);
    assemblyLength_ += len;
    expectedOffset_ += static_cast<uint32_t>(len);
    if (packet[1] & 0x80) {
        uint8_t* a = assembly_.get();
        if (!(assemblyLength_ >= 2 && a[assemblyLength_ - 2] == 0xFF && a[assemblyLength_ - 1] == 0xD9)) {
            a[assemblyLength_++] = 0xFF;
            a[assemblyLength_++] = 0xD9;
        }
        conduit_->Write(a, static_cast<int>(assemblyLength_), 1);
        if (record_ && (record_->IsRecording() || record_->IsAlarmRecording()))
            WriteMediaChunk(*record_, client_,
                            JpegChunk(jpegChunkType_, a, static_cast<uint32_t>(assemblyLength_)));
        assemblyLength_ = 0;
        assembling_ = false;
    }
}

}  // namespace kavro
