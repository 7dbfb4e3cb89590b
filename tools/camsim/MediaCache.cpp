#include "MediaCache.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kavro::camsim {
namespace {

constexpr size_t kRtpHeader = 12;
constexpr int kAudioRate = 8000;

struct CodecCtxDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using CodecCtxPtr = std::unique_ptr<AVCodecContext, CodecCtxDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

// Sends one frame (or the flush request, frame == nullptr) and appends every packet that comes out.
bool EncodeStep(AVCodecContext* c, AVFrame* frame, AVPacket* pkt, std::vector<std::vector<uint8_t>>* out) {
    if (avcodec_send_frame(c, frame) < 0) return false;
    for (;;) {
        int r = avcodec_receive_packet(c, pkt);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) return false;
        out->emplace_back(pkt->data, pkt->data + pkt->size);
        av_packet_unref(pkt);
    }
}

// A moving test picture: diagonal ramp, colour bands and a bright box that crosses the frame.
void FillPattern(AVFrame* f, int index, int w, int h) {
    const int box = std::max(8, std::min(w, h) / 6);
    const int bx = (index * 4) % std::max(1, w - box);
    const int by = (h - box) / 2;
    for (int y = 0; y < h; ++y) {
        uint8_t* row = f->data[0] + y * f->linesize[0];
        for (int x = 0; x < w; ++x) {
            bool inBox = x >= bx && x < bx + box && y >= by && y < by + box;
            row[x] = inBox ? 235 : static_cast<uint8_t>(16 + ((x + y + index * 3) % 200));
        }
    }
    for (int y = 0; y < h / 2; ++y) {
        uint8_t* u = f->data[1] + y * f->linesize[1];
        uint8_t* v = f->data[2] + y * f->linesize[2];
        for (int x = 0; x < w / 2; ++x) {
            u[x] = static_cast<uint8_t>(64 + (x * 8 * 128 / std::max(1, w / 2)) % 128);
            v[x] = static_cast<uint8_t>(64 + (y * 4 * 128 / std::max(1, h / 2)) % 128);
        }
    }
}

FramePtr MakePictureFrame(AVPixelFormat fmt, int w, int h) {
    FramePtr f(av_frame_alloc());
    if (!f) return nullptr;
    f->format = fmt;
    f->width = w;
    f->height = h;
    if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
    return f;
}

// Splits an Annex B byte stream into NAL units (without start codes or trailing zero bytes).
std::vector<std::vector<uint8_t>> SplitAnnexB(const std::vector<uint8_t>& s) {
    std::vector<std::vector<uint8_t>> nals;
    size_t i = 0, start = std::string::npos;
    auto finish = [&](size_t end) {
        if (start == std::string::npos) return;
        while (end > start && s[end - 1] == 0) --end;
        if (end > start) nals.emplace_back(s.begin() + start, s.begin() + end);
    };
    while (i + 2 < s.size()) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            finish(i);
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    finish(s.size());
    return nals;
}

void AddNal(const std::vector<uint8_t>& nal, size_t maxPayload, VideoFrame* frame) {
    if (nal.size() <= maxPayload) {
        frame->packets.push_back({nal, false});
        return;
    }
    // FU-A: the NAL header travels split into indicator and FU header.
    const uint8_t indicator = static_cast<uint8_t>((nal[0] & 0xE0) | 28);
    const uint8_t type = nal[0] & 0x1F;
    const size_t chunk = maxPayload - 2;
    for (size_t pos = 1; pos < nal.size(); pos += chunk) {
        size_t n = std::min(chunk, nal.size() - pos);
        RtpPayload p;
        p.data.reserve(n + 2);
        p.data.push_back(indicator);
        uint8_t fu = type;
        if (pos == 1) fu |= 0x80;
        if (pos + n == nal.size()) fu |= 0x40;
        p.data.push_back(fu);
        p.data.insert(p.data.end(), nal.begin() + pos, nal.begin() + pos + n);
        frame->packets.push_back(std::move(p));
    }
}

// --- RTP/JPEG (RFC 2435) ---------------------------------------------------------------------

const uint8_t kZigzagToNatural[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                      12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                      35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                      58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Base tables of RFC 2435, zigzag order.
const int kLumaBase[64] = {16, 11, 12,  14,  12,  10, 16, 14,  13,  14,  18,  17,  16, 19,  24,  40,
                           26, 24, 22,  22,  24,  49, 35, 37,  29,  40,  58,  51,  61, 60,  57,  51,
                           56, 55, 64,  72,  92,  78, 64, 68,  87,  69,  55,  56,  80, 109, 81,  87,
                           95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};

int ChromaBase(int k) {
    static const int head[15] = {17, 18, 18, 24, 21, 24, 47, 26, 26, 47, 99, 66, 56, 66, 99};
    return k < 15 ? head[k] : 99;
}

// The tables a receiver derives from Q < 128 (zigzag order: 64 luma, then 64 chroma).
std::vector<uint8_t> TablesForQ(int q) {
    int factor = std::min(std::max(q, 1), 99);
    factor = factor < 50 ? 5000 / factor : 200 - factor * 2;
    std::vector<uint8_t> t(128);
    for (int k = 0; k < 64; ++k) {
        t[k] = static_cast<uint8_t>(std::min(255, std::max(1, (kLumaBase[k] * factor + 50) / 100)));
        t[64 + k] = static_cast<uint8_t>(std::min(255, std::max(1, (ChromaBase(k) * factor + 50) / 100)));
    }
    return t;
}

struct JpegParts {
    std::vector<uint8_t> tables;  // 128 bytes: luma then chroma, zigzag order
    std::vector<uint8_t> scan;    // entropy-coded data without the closing EOI
    int type = -1;                // 0 = 4:2:2, 1 = 4:2:0
};

bool ParseJpeg(const std::vector<uint8_t>& j, JpegParts* out, std::string* err) {
    std::vector<uint8_t> q[4];
    size_t i = 2;
    if (j.size() < 4 || j[0] != 0xFF || j[1] != 0xD8) return *err = "no SOI", false;
    while (i + 4 <= j.size()) {
        if (j[i] != 0xFF) return *err = "marker expected", false;
        uint8_t m = j[i + 1];
        size_t len = (static_cast<size_t>(j[i + 2]) << 8) | j[i + 3];
        if (len < 2 || i + 2 + len > j.size()) return *err = "segment length", false;
        const uint8_t* seg = &j[i + 4];
        size_t segLen = len - 2;
        if (m == 0xDB) {
            for (size_t p = 0; p + 65 <= segLen;) {
                int prec = seg[p] >> 4, id = seg[p] & 3;
                if (prec != 0) return *err = "16-bit tables", false;
                q[id].assign(seg + p + 1, seg + p + 65);
                p += 65;
            }
        } else if (m == 0xC0) {
            if (segLen < 15 || seg[5] != 3) return *err = "not a 3-component baseline picture", false;
            uint8_t ySamp = seg[7];
            if (seg[10] != 0x11 || seg[13] != 0x11) return *err = "chroma sampling", false;
            if (seg[8] != 0 || seg[11] != 1 || seg[14] != 1) {
                if (!(seg[8] == 0 && seg[11] == 0 && seg[14] == 0)) return *err = "table ids", false;
            }
            out->type = ySamp == 0x22 ? 1 : ySamp == 0x21 ? 0 : -1;
            if (out->type < 0) return *err = "luma sampling", false;
        } else if (m == 0xDD) {
            return *err = "restart markers", false;
        } else if (m == 0xC4 || (m >= 0xE0 && m <= 0xEF) || m == 0xFE) {
            // Huffman tables are the standard ones (the encoder is told so); others carry nothing needed.
        } else if (m == 0xDA) {
            size_t start = i + 2 + len;
            if (j.size() < start + 2 || j[j.size() - 2] != 0xFF || j[j.size() - 1] != 0xD9)
                return *err = "no EOI", false;
            out->scan.assign(j.begin() + start, j.end() - 2);
            if (q[0].empty()) return *err = "no tables", false;
            if (q[1].empty()) q[1] = q[0];
            out->tables = q[0];
            out->tables.insert(out->tables.end(), q[1].begin(), q[1].end());
            return out->type >= 0;
        } else {
            return *err = "unexpected marker", false;
        }
        i += 2 + len;
    }
    return *err = "no scan", false;
}

}  // namespace

std::string Base64(const uint8_t* d, size_t n) {
    static const char k[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = static_cast<uint32_t>(d[i]) << 16;
        if (i + 1 < n) v |= static_cast<uint32_t>(d[i + 1]) << 8;
        if (i + 2 < n) v |= d[i + 2];
        s += k[(v >> 18) & 63];
        s += k[(v >> 12) & 63];
        s += i + 1 < n ? k[(v >> 6) & 63] : '=';
        s += i + 2 < n ? k[v & 63] : '=';
    }
    return s;
}

bool MediaCache::Build(const Options& o) {
    bool ok = o.video == VideoCodec::kH264 ? BuildH264(o) : BuildJpeg(o);
    if (!ok || !BuildAudio(o)) return false;
    size_t bytes = 0;
    for (const auto& f : videoFrames_)
        for (const auto& p : f.packets) bytes += p.data.size() + kRtpHeader;
    double seconds = static_cast<double>(videoFrames_.size()) / o.fps;
    videoKbps_ = static_cast<int>(bytes * 8 / 1024.0 / seconds + 0.5);
    return true;
}

bool MediaCache::BuildH264(const Options& o) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        std::fprintf(stderr, "camsim: libavcodec has no libx264 encoder\n");
        return false;
    }
    CodecCtxPtr c(avcodec_alloc_context3(codec));
    if (!c) return false;
    c->width = o.width;
    c->height = o.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, o.fps};
    c->framerate = AVRational{o.fps, 1};
    c->gop_size = o.gop;
    c->keyint_min = o.gop;
    c->max_b_frames = 0;
    c->bit_rate = static_cast<int64_t>(o.bitrateKbps) * 1000;
    c->thread_count = 1;
    av_opt_set(c->priv_data, "preset", "ultrafast", 0);
    av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    // Parameter sets before every IDR, so a client may join at any key picture.
    av_opt_set(c->priv_data, "x264-params", "repeat-headers=1:scenecut=0:aud=0", 0);
    if (avcodec_open2(c.get(), codec, nullptr) < 0) {
        std::fprintf(stderr, "camsim: cannot open the H.264 encoder\n");
        return false;
    }
    const int count = o.gop * ((2 * o.fps + o.gop - 1) / o.gop);
    FramePtr f = MakePictureFrame(AV_PIX_FMT_YUV420P, o.width, o.height);
    PacketPtr pkt(av_packet_alloc());
    if (!f || !pkt) return false;
    std::vector<std::vector<uint8_t>> coded;
    for (int i = 0; i < count; ++i) {
        if (av_frame_make_writable(f.get()) < 0) return false;
        FillPattern(f.get(), i, o.width, o.height);
        f->pts = i;
        if (i % o.gop == 0)
            f->pict_type = AV_PICTURE_TYPE_I;
        else
            f->pict_type = AV_PICTURE_TYPE_NONE;
        if (!EncodeStep(c.get(), f.get(), pkt.get(), &coded)) return false;
    }
    if (!EncodeStep(c.get(), nullptr, pkt.get(), &coded) || coded.size() != static_cast<size_t>(count)) {
        std::fprintf(stderr, "camsim: H.264 encoding failed\n");
        return false;
    }

    const size_t maxPayload = static_cast<size_t>(o.mtu) - kRtpHeader;
    std::vector<uint8_t> sps, pps;
    for (const auto& au : coded) {
        VideoFrame frame;
        std::vector<std::vector<uint8_t>> nals;
        for (auto& nal : SplitAnnexB(au)) {
            int t = nal[0] & 0x1F;
            if (t == 6 || t == 9) continue;  // SEI and delimiters carry nothing a viewer needs
            if (t == 7 && sps.empty()) sps = nal;
            if (t == 8 && pps.empty()) pps = nal;
            nals.push_back(std::move(nal));
        }
        size_t i = 0;
        if (o.stapA && nals.size() >= 2 && (nals[0][0] & 0x1F) == 7 && (nals[1][0] & 0x1F) == 8 &&
            nals[0].size() + nals[1].size() + 5 <= maxPayload) {
            RtpPayload p;
            p.data.push_back(static_cast<uint8_t>(std::max(nals[0][0] & 0x60, nals[1][0] & 0x60) | 24));
            for (int k = 0; k < 2; ++k) {
                p.data.push_back(static_cast<uint8_t>(nals[k].size() >> 8));
                p.data.push_back(static_cast<uint8_t>(nals[k].size()));
                p.data.insert(p.data.end(), nals[k].begin(), nals[k].end());
            }
            frame.packets.push_back(std::move(p));
            i = 2;
        }
        for (; i < nals.size(); ++i) AddNal(nals[i], maxPayload, &frame);
        if (frame.packets.empty()) continue;
        frame.packets.back().marker = true;
        videoFrames_.push_back(std::move(frame));
    }
    if (sps.size() < 4 || pps.empty() || videoFrames_.size() != static_cast<size_t>(count)) {
        std::fprintf(stderr, "camsim: the H.264 stream lacks parameter sets\n");
        return false;
    }
    char pli[8];
    std::snprintf(pli, sizeof pli, "%02X%02X%02X", sps[1], sps[2], sps[3]);
    videoPayloadType_ = 96;
    fmtp_ = std::string("packetization-mode=1;profile-level-id=") + pli +
            ";sprop-parameter-sets=" + Base64(sps.data(), sps.size()) + "," + Base64(pps.data(), pps.size());
    return true;
}

bool MediaCache::BuildJpeg(const Options& o) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec) {
        std::fprintf(stderr, "camsim: libavcodec has no JPEG encoder\n");
        return false;
    }
    const bool inBand = o.jpegQ >= 128;
    std::vector<uint8_t> wanted;
    uint16_t luma[64], chroma[64];
    CodecCtxPtr c(avcodec_alloc_context3(codec));
    if (!c) return false;
    c->width = o.width;
    c->height = o.height;
    c->pix_fmt = AV_PIX_FMT_YUVJ420P;
    c->time_base = AVRational{1, o.fps};
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->thread_count = 1;
    av_opt_set(c->priv_data, "huffman", "default", 0);
    av_opt_set_int(c->priv_data, "force_duplicated_matrix", 1, 0);
    if (inBand) {
        c->global_quality = FF_QP2LAMBDA * 4;
    } else {
        // Without in-band tables the receiver derives them from Q, so code with exactly those.
        wanted = TablesForQ(o.jpegQ);
        for (int k = 0; k < 64; ++k) {
            luma[kZigzagToNatural[k]] = wanted[k];
            chroma[kZigzagToNatural[k]] = wanted[64 + k];
        }
        c->intra_matrix = static_cast<uint16_t*>(av_memdup(luma, sizeof luma));
        c->chroma_intra_matrix = static_cast<uint16_t*>(av_memdup(chroma, sizeof chroma));
        c->global_quality = FF_QP2LAMBDA * 8;  // scale 8 leaves the given tables as they are
    }
    if (avcodec_open2(c.get(), codec, nullptr) < 0) {
        std::fprintf(stderr, "camsim: cannot open the JPEG encoder\n");
        return false;
    }
    const int count = std::max(o.fps * 2, 2);
    FramePtr f = MakePictureFrame(AV_PIX_FMT_YUVJ420P, o.width, o.height);
    PacketPtr pkt(av_packet_alloc());
    if (!f || !pkt) return false;
    std::vector<std::vector<uint8_t>> coded;
    for (int i = 0; i < count; ++i) {
        if (av_frame_make_writable(f.get()) < 0) return false;
        FillPattern(f.get(), i, o.width, o.height);
        f->pts = i;
        f->quality = c->global_quality;
        if (!EncodeStep(c.get(), f.get(), pkt.get(), &coded)) return false;
    }
    if (!EncodeStep(c.get(), nullptr, pkt.get(), &coded) || coded.size() != static_cast<size_t>(count)) {
        std::fprintf(stderr, "camsim: JPEG encoding failed\n");
        return false;
    }
    const size_t maxPayload = static_cast<size_t>(o.mtu) - kRtpHeader - 8;
    for (const auto& jpeg : coded) {
        JpegParts parts;
        std::string err;
        if (!ParseJpeg(jpeg, &parts, &err)) {
            std::fprintf(stderr, "camsim: unusable JPEG from the encoder: %s\n", err.c_str());
            return false;
        }
        if (!inBand && parts.tables != wanted) {
            std::fprintf(stderr,
                         "camsim: the encoder cannot code with the tables of Q %d; use Q 76 or 128..255\n",
                         o.jpegQ);
            return false;
        }
        VideoFrame frame;
        size_t offset = 0;
        do {
            RtpPayload p;
            const bool first = offset == 0;
            p.data = {0,
                      static_cast<uint8_t>(offset >> 16),
                      static_cast<uint8_t>(offset >> 8),
                      static_cast<uint8_t>(offset),
                      static_cast<uint8_t>(parts.type),
                      static_cast<uint8_t>(o.jpegQ),
                      static_cast<uint8_t>(o.width / 8),
                      static_cast<uint8_t>(o.height / 8)};
            size_t room = maxPayload;
            if (first && inBand) {
                p.data.insert(p.data.end(), {0, 0, 0, 128});
                p.data.insert(p.data.end(), parts.tables.begin(), parts.tables.end());
                room -= 132;
            }
            size_t n = std::min(room, parts.scan.size() - offset);
            p.data.insert(p.data.end(), parts.scan.begin() + offset, parts.scan.begin() + offset + n);
            offset += n;
            p.marker = offset == parts.scan.size();
            frame.packets.push_back(std::move(p));
        } while (offset < parts.scan.size());
        videoFrames_.push_back(std::move(frame));
    }
    videoPayloadType_ = 26;
    return true;
}

bool MediaCache::BuildAudio(const Options& o) {
    if (o.audio == AudioCodec::kNone) return true;
    const int bits = AudioBitsPerSample(o.audio);
    const char* name = o.audio == AudioCodec::kPcma   ? "pcm_alaw"
                       : o.audio == AudioCodec::kPcmu ? "pcm_mulaw"
                                                      : "g726le";  // RFC 3551 packing
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec) {
        std::fprintf(stderr, "camsim: libavcodec has no %s encoder\n", name);
        return false;
    }
    CodecCtxPtr c(avcodec_alloc_context3(codec));
    if (!c) return false;
    c->sample_rate = kAudioRate;
    c->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&c->ch_layout, 1);
    c->bit_rate = static_cast<int64_t>(bits) * kAudioRate;
    if (avcodec_open2(c.get(), codec, nullptr) < 0) {
        std::fprintf(stderr, "camsim: cannot open the %s encoder\n", name);
        return false;
    }
    const int loopSamples = kAudioRate;  // one second; a 500 Hz tone repeats seamlessly
    const int frameSamples = c->frame_size > 0 ? c->frame_size : 160;
    FramePtr f(av_frame_alloc());
    PacketPtr pkt(av_packet_alloc());
    if (!f || !pkt) return false;
    f->format = AV_SAMPLE_FMT_S16;
    f->nb_samples = frameSamples;
    f->sample_rate = kAudioRate;
    if (av_channel_layout_copy(&f->ch_layout, &c->ch_layout) < 0 || av_frame_get_buffer(f.get(), 0) < 0)
        return false;
    std::vector<std::vector<uint8_t>> coded;
    int produced = 0;
    while (produced < loopSamples) {
        if (av_frame_make_writable(f.get()) < 0) return false;
        auto* s = reinterpret_cast<int16_t*>(f->data[0]);
        for (int i = 0; i < frameSamples; ++i)
            s[i] = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 500.0 * (produced + i) / kAudioRate));
        f->pts = produced;
        if (!EncodeStep(c.get(), f.get(), pkt.get(), &coded)) return false;
        produced += frameSamples;
    }
    if (!EncodeStep(c.get(), nullptr, pkt.get(), &coded)) return false;
    std::vector<uint8_t> stream;
    for (const auto& p : coded) stream.insert(stream.end(), p.begin(), p.end());
    const size_t loopBytes = static_cast<size_t>(loopSamples) * bits / 8;
    if (stream.size() < loopBytes) {
        std::fprintf(stderr, "camsim: the %s encoder gave too little data\n", name);
        return false;
    }
    audioSamplesPerPacket_ = static_cast<uint32_t>(kAudioRate / 1000 * o.audioPacketMs);
    const size_t perPacket = audioSamplesPerPacket_ * bits / 8;
    for (size_t pos = 0; pos + perPacket <= loopBytes; pos += perPacket)
        audioPackets_.push_back(
            {std::vector<uint8_t>(stream.begin() + pos, stream.begin() + pos + perPacket), false});
    audioPayloadType_ = camsim::AudioPayloadType(o.audio);
    audioName_ = AudioEncodingName(o.audio);
    return true;
}

std::string MediaCache::SdpMedia() const {
    std::string s;
    char line[160];
    std::snprintf(line, sizeof line, "m=video 0 RTP/AVP %d\r\n", videoPayloadType_);
    s += line;
    if (videoPayloadType_ == 26) {
        s += "a=rtpmap:26 JPEG/90000\r\n";
    } else {
        s += "a=rtpmap:96 H264/90000\r\n";
        s += "a=fmtp:96 " + fmtp_ + "\r\n";
    }
    s += "a=control:trackID=1\r\n";
    if (HasAudio()) {
        std::snprintf(line, sizeof line, "m=audio 0 RTP/AVP %d\r\na=rtpmap:%d %s/8000\r\n", audioPayloadType_,
                      audioPayloadType_, audioName_.c_str());
        s += line;
        s += "a=control:trackID=2\r\n";
    }
    return s;
}

}  // namespace kavro::camsim
