#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target into fuzz/corpus/<target>/ (needs the ffmpeg program)."""
import os
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def pieces(*parts):
    return b"".join(struct.pack(">H", len(p)) + p for p in parts)


def ffmpeg(args):
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "out")
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
                        "testsrc=size=64x48:rate=5"] + args + ["-y", out], check=True)
        with open(out, "rb") as f:
            return f.read()


def nal_units(stream):
    units, i = [], 0
    starts = []
    while True:
        j = stream.find(b"\x00\x00\x01", i)
        if j < 0:
            break
        starts.append(j + 3)
        i = j + 3
    for k, s in enumerate(starts):
        e = starts[k + 1] - 3 if k + 1 < len(starts) else len(stream)
        unit = stream[s:e]
        while unit.endswith(b"\x00"):
            unit = unit[:-1]
        units.append(unit)
    return units


def rtp(payload, marker=False, ts=0, pt=96, seq=0):
    return struct.pack(">BBHII", 0x80, (0x80 if marker else 0) | pt, seq, ts, 0x1234) + payload


# --- description text
SDP = (b"RTSP/1.0 200 OK\r\nCSeq: 2\r\nServer: TessaraVine Rtsp Server 704*576*25*2048\r\n"
       b"Content-Type: application/sdp\r\n\r\nv=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
       b"a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAH5WoFAFuQA==,aM48gA==\r\n"
       b"a=control:trackID=1\r\nm=audio 0 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000\r\na=control:trackID=2\r\n")
put("fuzz_sdp", "trackid", b"\x40" + SDP)
put("fuzz_sdp", "control", b"\x41" + SDP.replace(b"trackID=1", b"rtsp://10.0.0.1/live/video")
    .replace(b"trackID=2", b"audio").replace(b"96", b"26").replace(b"PCMA", b"G726-32"))
put("fuzz_sdp", "digest", b"\x10admin\x00cam\x00secret\x00abcdef0123\x00DESCRIBE\x00rtsp://10.0.0.1/live")

# --- H.264 and JPEG video
h264 = ffmpeg(["-frames:v", "3", "-c:v", "libx264", "-profile:v", "baseline", "-pix_fmt", "yuv420p", "-f", "h264"])
units = nal_units(h264)
sps = next(u for u in units if u[0] & 0x1F == 7)
pps = next(u for u in units if u[0] & 0x1F == 8)
slices = [u for u in units if u[0] & 0x1F in (1, 5)]
pkts = [rtp(b"\x78" + struct.pack(">H", len(sps)) + sps + struct.pack(">H", len(pps)) + pps, ts=1)]
for n, s in enumerate(slices):
    if len(s) < 300:
        pkts.append(rtp(s, marker=True, ts=2 + n))
        continue
    body, hdr = s[1:], s[0]
    parts = [body[i:i + 250] for i in range(0, len(body), 250)]
    for i, part in enumerate(parts):
        fu = (hdr & 0x1F) | (0x80 if i == 0 else 0) | (0x40 if i == len(parts) - 1 else 0)
        pkts.append(rtp(bytes([hdr & 0xE0 | 28, fu]) + part, marker=i == len(parts) - 1, ts=2 + n))
put("fuzz_rtp_video", "h264", b"\x90" + pieces(*pkts))
put("fuzz_rtp_video", "h264_rec_sets", b"\x9a" + pieces(b"\0\0\0\1" + sps + b"\0\0\0\1" + pps, *pkts[1:]))
put("fuzz_h264_decoder", "stream", b"\x04\x03\x00\x20" + pieces(h264[:len(h264) // 2], h264[len(h264) // 2:]))
put("fuzz_h264_decoder", "units", b"\x04\x03\x00\x20" + pieces(*[b"\0\0\0\1" + u for u in units]))

jpeg = ffmpeg(["-frames:v", "1", "-c:v", "mjpeg", "-huffman", "default", "-pix_fmt", "yuvj420p", "-f", "mjpeg"])
sos = jpeg.find(b"\xff\xda")
scan = jpeg[sos + 2 + struct.unpack(">H", jpeg[sos + 2:sos + 4])[0]:-2]
put("fuzz_jpeg_decoder", "whole", b"\x08\x00\x06\x00" + pieces(jpeg))
put("fuzz_jpeg_decoder", "scan", b"\x08\x00\x06\x00" + pieces(scan, jpeg[:len(jpeg) // 2]))
jpkts, off, step = [], 0, 400
while off < len(scan):
    part = scan[off:off + step]
    # type-specific, fragment offset, type 1 (4:2:0), Q 50, 64x48 in 8-pixel units
    hdr = struct.pack(">I", off & 0xFFFFFF) + bytes([1, 50, 8, 6])
    jpkts.append(rtp(hdr + part, marker=off + step >= len(scan), pt=26, ts=7))
    off += step
put("fuzz_rtp_video", "jpeg", b"\x01" + pieces(*jpkts))
qhdr = b"\x00\x00\x80" + bytes(range(1, 129))  # in-band tables (Q 255)
first = jpkts[0][:12] + jpkts[0][12:17] + b"\xff" + jpkts[0][18:20] + qhdr + jpkts[0][20:]
put("fuzz_rtp_video", "jpeg_q255_rec_tcp", b"\x37" + pieces(first, *jpkts[1:]))

# --- audio
for mode, name in ((0x18, "alaw_rec"), (0x11, "ulaw"), (0x14, "g726_32"), (0x1d, "g726_40_rec")):
    put("fuzz_rtp_audio", name, bytes([mode]) + pieces(*[rtp(bytes((i * 37 + k) & 0xFF for k in range(160)),
                                                             pt=8, ts=160 * i) for i in range(3)]))

# --- event connection
md = b"CMD:MD MCTP/1.0\n@0@1@2@10@20@30@40@0\n@0@1@5@-1@2@703@575@0\nEND\n"
alarm = b"CMD:ALARM MCTP/1.0\n@1@3\nEND\n"
put("fuzz_event", "motion_alarm", struct.pack(">I", 1000) + pieces(md[:20], md[20:]) + b"\x40" + pieces(alarm))
put("fuzz_event", "split", struct.pack(">I", 0xFFFFFF00) + pieces(md + alarm + md) + b"\xff" + pieces(b"ALIVE\n"))

# --- reply text
put("fuzz_text", "values", b"\x10\x08" + pieces(b"@%d@%d@%d@%d@%d@%d@%d@%d\n") +
    b"MCTP/1.0 200 OK\n@2@0@1@10@20@30@40@0\nEND\n")
put("fuzz_text", "vctrl", b"\x03\x06" + pieces(b"@%d@%d@%d@%d@%d@ %%") + b"@1@0@128@64@200@\n\nEND")

# --- record file: magic, header, chunks, index trailer
def chunk(kind, ctype, data, ts, w=64, h=48):
    return struct.pack("<IHHI", kind | ctype << 2 | len(data) << 12, w, h, ts) + data


body = b"Tessaravine" + bytes([96, 1]) + struct.pack("<HH", 64, 48) + bytes(21) + bytes([25])
chunks, index = b"", []
for i, u in enumerate(units[:4]):
    if u[0] & 0x1F == 7:
        index.append((len(body) + len(chunks), 1000 + i * 40))
    chunks += chunk(0, u[0] & 0x1F, b"\0\0\1" + u, 1000 + i * 40)
    chunks += chunk(1, 1, b"\0\1\x50\0" + bytes(160), 8000 * i)
trailer = b"BEGININDEX" + b"".join(struct.pack("<QII", o, t, 0) for o, t in index) + \
    struct.pack("<I", len(index)) + b"ENDINDEX"
put("fuzz_record_reader", "with_index", body + chunks + trailer + b"\x01\x07")
put("fuzz_record_reader", "no_index", body + chunks[:-30] + b"\x00\x30")

# --- AVI: RIFF, three chunks before idx1, signature at 336
frames = [b"\0\0\0\1a" + bytes(40), b"\0\0\0\1b" + bytes(30)]
hdrl = bytearray(296)
struct.pack_into("<I", hdrl, 48 - 20, 2)     # total frames at file byte 48
struct.pack_into("<I", hdrl, 132 - 20, 25)   # rate at file byte 132
junk = bytearray(336 - 12 - 8 - len(hdrl) - 8) + b"TessaraVine" + bytes(5)
movi, idx = b"movi", b""
for f in frames:
    for tag, data in ((b"00dc", f), (b"01wb", bytes(16)), (b"01wb", bytes(16))):
        at = 12 + 8 + len(hdrl) + 8 + len(junk) + 8 + len(movi)  # where this chunk's identifier lands
        idx += tag + struct.pack("<III", 0x10, at, len(data))
        movi += tag + struct.pack("<I", len(data)) + data
avi = b"AVI " + b"LIST" + struct.pack("<I", len(hdrl)) + bytes(hdrl) + b"JUNK" + struct.pack("<I", len(junk)) + \
    bytes(junk) + b"LIST" + struct.pack("<I", len(movi)) + movi + b"idx1" + struct.pack("<I", len(idx)) + idx
avi = b"RIFF" + struct.pack("<I", len(avi)) + avi
assert avi[336:347] == b"TessaraVine", avi[330:350]
put("fuzz_avi_reader", "two_frames", avi + b"\x00\x03")
put("fuzz_avi_reader", "seek", avi + b"\x05\x01")

# --- interleaved TCP connection: frames, a keep-alive reply between them, garbage
frames = b"".join(b"$" + bytes([ch]) + struct.pack(">H", len(p)) + p for ch, p in ((0, pkts[0]), (2, rtp(bytes(160), pt=8)), (0, pkts[1])))
reply = b"RTSP/1.0 200 OK\r\nCSeq: 9\r\nSession: 1234\r\n\r\n"
put("fuzz_interleaved", "frames_reply", b"\x01\x00\x07" + pieces(frames[:30]) + frames[30:] + reply + frames)
put("fuzz_interleaved", "small_capacity", b"\x00\x04\xfd" + pieces(b"") + b"junk$" + frames + b"$\x05\x00\x10")
