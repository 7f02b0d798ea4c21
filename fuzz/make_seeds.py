#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target under fuzz/corpus/ (run from anywhere).

The seeds are committed; rerun this after changing it. Record layout of the intake target:
16-bit little-endian head (bits 0-10 length, bit 11 take-over, bits 12-14 sender steps,
bit 15 sender skips to the newest), then the datagram.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
TAKEOVER, SKIP = 0x800, 0x8000


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- intake -------------------------------------------------------------------------------

def record(datagram, flags=0, steps=0):
    return struct.pack("<H", len(datagram) | flags | (steps << 12)) + datagram


def data(seq, sec, nsec=0, size=188):
    seq &= 0xFFFFFFFF
    payload = bytes((seq + i) & 0xFF for i in range(size - 12))
    return struct.pack("<Iii", seq, sec, nsec) + payload


def echo(sec, nsec, size=12):
    return (struct.pack("<Iii", 3, sec, nsec) + bytes(200))[:size]


def stream(seqs, first_flags=TAKEOVER, steps=1, size=188, sec0=1000):
    out = b""
    for i, s in enumerate(seqs):
        out += record(data(s, sec0 + i // 50, (i % 50) * 20000000, size),
                      first_flags if i == 0 else 0, steps)
    return out


write("intake_fuzz", "steady", stream(range(1, 13), steps=1, size=1328))
write("intake_fuzz", "no-sender", stream(range(1, 60), first_flags=0, steps=0))
write("intake_fuzz", "gaps-and-late",
      stream([1, 2, 3, 9, 10, 70, 71, 72, 4, 5, 6, 7, 8, 73] + list(range(74, 140)) + [11, 12, 2]))
write("intake_fuzz", "wrap-32-bits", stream(range(0xFFFFFFF0, 0xFFFFFFFF + 12), steps=1))
write("intake_fuzz", "renumbered", stream([1, 2, 3, 1000000, 1000001, 5, 1000002]))
write("intake_fuzz", "ring-full",
      stream([1]) + stream([2000, 4000, 5119, 5120, 5121, 5200, 5122, 3], first_flags=0, steps=0))
write("intake_fuzz", "suspend-release",
      stream([1]) + stream([1600, 6300, 6301, 6302], first_flags=0, steps=0)
      + record(data(6303, 1001), SKIP) + record(data(6304, 1001)))
write("intake_fuzz", "keepalive-seconds",
      b"".join(record(data(i + 1, 9 + i * 10 // 4), TAKEOVER if i == 0 else 0, 1) for i in range(60)))
write("intake_fuzz", "echoes-and-odd-lengths",
      record(data(1, 1000), TAKEOVER) + record(echo(1000, 5)) + record(echo(1000, 5, 11))
      + record(echo(-1, -1)) + record(b"") + record(b"\x03") + record(b"\x01\x00\x00\x00" * 20)
      + record(data(2, 1000, 0, 187)) + record(data(3, 1000, 0, 2000)) + record(data(4, 1000)))
write("intake_fuzz", "second-takeover",
      stream(range(100, 160)) + stream(range(7, 40), first_flags=TAKEOVER, steps=2))

# --- request head ---------------------------------------------------------------------------

heads = {
    "get-full": b"GET /127.0.0.1-5000/sample HTTP/1.0\r\nHost: box\r\nUser-Agent: player/1\r\n\r\n",
    "get-simple": b"GET /127.0.0.1-5000/chan-7\r\n",
    "head": b"HEAD /10.1.2.3-1234/a-b-c HTTP/1.1\r\nReferer: http://x/\r\n\r\n",
    "escapes-and-bar": b"GET /127.0.0.1-5%30/str%2Bx+y%zz|extra%41 HTTP/1.0\r\n\r\n",
    "bad-method": b"POST /x HTTP/1.0\r\n\r\n",
    "no-colon": b"GET /a-1/b HTTP/1.0\r\nnonsense\r\n\r\n",
    "cut-off": b"GET /127.0.0.1-5000/sample HTTP/1.0\r\nHost: b",
    "long-line": b"GET /127.0.0.1-5000/" + b"n" * 1200 + b" HTTP/1.0\r\n\r\n",
    "bare-lf": b"GET /1-2/3 HTTP/1.0\nhost:\tz\n\n",
}
for name, head in heads.items():
    write("http_request_fuzz", name, head)

lines = [b"\x00GET /127.0.0.1-5000/sample HTTP/1.0", b"\x00HEAD  /x", b"\x00GET  ",
         b"\x01Host: box", b"\x01user-agent:   p/3", b"\x01REFERER:", b"\x01x", b"\x00/a%41+b%2",
         b"\x00%-1%+f% 9%0x%%%", b"\x01Name-longer-than-kept: v"]
for i, line in enumerate(lines):
    write("http_text_fuzz", "line-%d" % i, line)

# --- timespec -------------------------------------------------------------------------------

pairs = [((5, 200000000), (3, 500000000)), ((3, 500000000), (5, 200000000)),
         ((1, 900000000), (0, -300000000)), ((0, -300000000), (0, 800000000)),
         ((0, -300000000), (0, -500000000)), ((2147483647, 999999999), (-2147483648, -999999999)),
         ((-2147483648, 0), (1, 0)), ((0, 0), (0, 0))]
for i, (a, b) in enumerate(pairs):
    write("timespec_fuzz", "pair-%d" % i, struct.pack("<iiii", *a, *b))
