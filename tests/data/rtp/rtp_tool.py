#!/usr/bin/env python3
"""Helpers for make_streams.sh: capture RTP from UDP into RFC 4571 framing,
derive a fixed-Q Motion-JPEG stream, and summarise a stream."""
import json
import socket
import struct
import sys


def read_packets(path):
    data = open(path, "rb").read()
    pos, out = 0, []
    while pos + 2 <= len(data):
        (n,) = struct.unpack_from(">H", data, pos)
        pos += 2
        out.append(data[pos:pos + n])
        pos += n
    assert pos == len(data), "truncated RFC 4571 file"
    return out


def write_packets(path, packets):
    with open(path, "wb") as f:
        for p in packets:
            f.write(struct.pack(">H", len(p)) + p)


def header_size(p):
    cc = p[0] & 0x0F
    size = 12 + 4 * cc
    if p[0] & 0x10:
        (words,) = struct.unpack_from(">H", p, size + 2)
        size += 4 + 4 * words
    return size


def payload(p):
    end = len(p) - (p[-1] if p[0] & 0x20 else 0)
    return p[header_size(p):end]


def capture(port, out, idle_seconds):
    """Receives datagrams on 127.0.0.1:port until none came for idle_seconds."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    sock.bind(("127.0.0.1", port))
    packets = []
    sock.settimeout(60)  # waiting for the sender to start
    while True:
        try:
            packets.append(sock.recv(65536))
        except socket.timeout:
            break
        sock.settimeout(idle_seconds)
    if not packets:
        sys.exit("captured nothing")
    seqs = [struct.unpack_from(">H", p, 2)[0] for p in packets]
    for a, b in zip(seqs, seqs[1:]):
        if (a + 1) & 0xFFFF != b:
            sys.exit(f"capture lost or reordered packets ({a} -> {b})")
    write_packets(out, packets)
    print(f"captured {len(packets)} packets into {out}")


# Luminance and chrominance tables of the JPEG standard (Annex K), natural order.
LUMA = [16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55, 14, 13, 16, 24, 40, 57, 69, 56,
        14, 17, 22, 29, 51, 87, 80, 62, 18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
        49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99]
CHROMA = [17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99, 99, 99,
          47, 66, 99, 99, 99, 99, 99, 99] + [99] * 32
ZIGZAG = [0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12, 19, 26, 33, 40, 48, 41, 34, 27, 20,
          13, 6, 7, 14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52,
          45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63]


def q_tables(q):
    q = min(max(q, 1), 99)
    scale = 5000 // q if q < 50 else 200 - 2 * q
    def table(base):
        return bytes(min(max((scale * base[z] + 50) // 100, 1), 255) for z in ZIGZAG)
    return table(LUMA) + table(CHROMA)


def jpeg_fixed_q(q, src, dst):
    """Rewrites a stream with in-band tables (Q 255) into one that signals Q instead.

    GStreamer's and FFmpeg's payloaders always send their tables in-band. jpegenc's
    quality scaling is the one that receivers use to rebuild tables from Q, so when the
    in-band tables equal the tables for Q, dropping the table header and setting Q is
    exactly what a Q-signalling camera sends. Fragment offsets count scan data only,
    so they stay as they are."""
    out = []
    for p in read_packets(src):
        h = header_size(p)
        offset = int.from_bytes(p[h + 1:h + 4], "big")
        if p[h + 5] != 255:
            sys.exit("source stream does not carry in-band tables")
        if offset == 0:
            tables = p[h + 12:h + 140]
            if tables != q_tables(q):
                sys.exit(f"in-band tables are not the tables of Q={q}")
            p = p[:h + 5] + bytes([q]) + p[h + 6:h + 8] + p[h + 140:]
        else:
            p = p[:h + 5] + bytes([q]) + p[h + 6:]
        out.append(p)
    write_packets(dst, out)


def summary(path):
    """Packet-level facts of a stream: counts of packets, marker bits, payload kinds."""
    packets = read_packets(path)
    kinds = {}
    pictures = sum(1 for p in packets if p[1] & 0x80)
    for p in packets:
        pl = payload(p)
        kinds["padded"] = kinds.get("padded", 0) + (1 if p[0] & 0x20 else 0)
        kinds["max_payload"] = max(kinds.get("max_payload", 0), len(pl))
        kinds["payload_bytes"] = kinds.get("payload_bytes", 0) + len(pl)
    return {"packets": len(packets), "pictures": pictures, **kinds}


def h264_kinds(path):
    out = {}
    for p in read_packets(path):
        t = payload(p)[0] & 0x1F
        name = {24: "stap_a", 28: "fu_a"}.get(t, "single_nal")
        out[name] = out.get(name, 0) + 1
    return out


def jpeg_kinds(path):
    types, qs = set(), set()
    for p in read_packets(path):
        pl = payload(p)
        types.add(pl[4])
        qs.add(pl[5])
    return {"jpeg_types": sorted(types), "q": sorted(qs)}


def facts(path, extra_json, out):
    info = summary(path)
    codec = json.loads(extra_json)
    if codec.get("codec") == "h264":
        info.update(h264_kinds(path))
    if codec.get("codec") == "jpeg":
        info.update(jpeg_kinds(path))
    info.update(codec)
    with open(out, "w") as f:
        json.dump(info, f, indent=1, sort_keys=True)
        f.write("\n")


if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "capture":
        capture(int(sys.argv[2]), sys.argv[3], float(sys.argv[4]) if len(sys.argv) > 4 else 3.0)
    elif cmd == "jpeg-fixed-q":
        jpeg_fixed_q(int(sys.argv[2]), sys.argv[3], sys.argv[4])
    elif cmd == "facts":
        facts(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        sys.exit("usage: rtp_tool.py capture PORT OUT | jpeg-fixed-q Q IN OUT | facts RTP JSON OUT")
