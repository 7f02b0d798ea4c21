#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target under fuzz/corpus/ (run from anywhere).

The seeds are committed; rerun this after changing it. The intake target's input is a config
byte (bit 0 latency mode, bit 1 a stream in progress of 200 + 100 x bits 2-3 datagrams with the
sender bits 4-6 behind, bit 7 that stream from 4,000,000,000), then records: a 16-bit
little-endian head (bits 0-10 length, bit 11 take-over, bits 12-14 sender steps, bit 15 sender
skips to the newest), then the datagram. With a stream in progress a data datagram's number and
seconds are offsets from the stream's next datagram. The intake's regress-* seeds are inputs
that once broke a property, kept by hand (a config byte 0 was put in front of the older ones).
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
TAKEOVER, SKIP = 0x800, 0x8000
LATENCY, IN_PROGRESS = 0x01, 0x02


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


PLAIN = b"\0"  # config byte: the default mode, no stream in progress


def stream(seqs, first_flags=TAKEOVER, steps=1, size=188, sec0=1000):
    out = b""
    for i, s in enumerate(seqs):
        out += record(data(s, sec0 + i // 50, (i % 50) * 20000000, size),
                      first_flags if i == 0 else 0, steps)
    return out


write("intake_fuzz", "steady", PLAIN + stream(range(1, 13), steps=1, size=1328))
write("intake_fuzz", "no-sender", PLAIN + stream(range(1, 60), first_flags=0, steps=0))
write("intake_fuzz", "gaps-and-late",
      PLAIN + stream([1, 2, 3, 9, 10, 70, 71, 72, 4, 5, 6, 7, 8, 73] + list(range(74, 140))
                     + [11, 12, 2]))
write("intake_fuzz", "wrap-32-bits", PLAIN + stream(range(0xFFFFFFF0, 0xFFFFFFFF + 12), steps=1))
write("intake_fuzz", "renumbered", PLAIN + stream([1, 2, 3, 1000000, 1000001, 5, 1000002]))
write("intake_fuzz", "ring-full",
      PLAIN + stream([1])
      + stream([2000, 4000, 5119, 5120, 5121, 5200, 5122, 3], first_flags=0, steps=0))
write("intake_fuzz", "suspend-release",
      PLAIN + stream([1]) + stream([1600, 6300, 6301, 6302], first_flags=0, steps=0)
      + record(data(6303, 1001), SKIP) + record(data(6304, 1001)))
write("intake_fuzz", "keepalive-seconds",
      PLAIN + b"".join(record(data(i + 1, 9 + i * 10 // 4), TAKEOVER if i == 0 else 0, 1)
                       for i in range(60)))
write("intake_fuzz", "echoes-and-odd-lengths",
      PLAIN + record(data(1, 1000), TAKEOVER) + record(echo(1000, 5)) + record(echo(1000, 5, 11))
      + record(echo(-1, -1)) + record(b"") + record(b"\x03") + record(b"\x01\x00\x00\x00" * 20)
      + record(data(2, 1000, 0, 187)) + record(data(3, 1000, 0, 2000)) + record(data(4, 1000)))
write("intake_fuzz", "second-takeover",
      PLAIN + stream(range(100, 160)) + stream(range(7, 40), first_flags=TAKEOVER, steps=2))


# A stream in progress: the config byte, and its datagrams' offsets from the stream's next one.
STEP_NS = 5000000
FIRST_SEC = 1000
BEHIND = [0, 1, 2, 8, 40, 120, 180, 199]


def config(latency=False, length=200, behind=8, high=False):
    return bytes([(LATENCY if latency else 0) | IN_PROGRESS | ((length - 200) // 100) << 2
                  | BEHIND.index(behind) << 4 | (0x80 if high else 0)])


class Going:
    """Datagrams that go on with a stream of `length` datagrams, as offsets from its next one."""

    def __init__(self, length):
        self.length = length
        self.next_sec = FIRST_SEC + length * STEP_NS // 10**9
        self.j = 0

    def stamp(self, j, shift_ns=0):
        ns = FIRST_SEC * 10**9 + (self.length + j) * STEP_NS + shift_ns
        return ns // 10**9, ns % 10**9

    def raw(self, seq_off, sec, nsec, size=188, fill=None):
        payload = bytes([fill]) * (size - 12) if fill is not None else \
            bytes((seq_off + i) & 0xFF for i in range(size - 12))
        return struct.pack("<IiI", seq_off & 0xFFFFFFFF, sec - self.next_sec,
                           nsec & 0xFFFFFFFF) + payload

    def next(self, count=1, steps=1, shift_ns=0, nsec=None, seq_off=0):
        out = b""
        for _ in range(count):
            sec, ns = self.stamp(self.j, shift_ns)
            out += record(self.raw(self.j + seq_off, sec, ns if nsec is None else nsec),
                          steps=steps)
            self.j += 1
        return out

    def literal(self, head, size=1316, fill=0x58, steps=1):
        """A datagram whose header words are exactly `head` on the wire (number, sec, nsec)."""
        seq, sec, nsec = head
        d = struct.pack("<III", (seq - self.length - self.base) & 0xFFFFFFFF,
                        (sec - self.next_sec) & 0xFFFFFFFF, nsec) + bytes([fill]) * (size - 12)
        return record(d, steps=steps)


def going(length, high=False):
    g = Going(length)
    g.base = 4000000000 if high else 1000
    return g


g = going(200)
write("intake_fuzz", "stream-far-stamp",
      config(behind=8) + g.next(20) + g.next(1, shift_ns=5 * 10**9) + g.next(20)
      + g.next(1, shift_ns=-5 * 10**9) + g.next(10))
g = going(200)
write("intake_fuzz", "latency-far-stamp",
      config(latency=True, behind=40) + g.next(20) + g.next(1, shift_ns=5 * 10**9) + g.next(30))
g = going(300)
write("intake_fuzz", "latency-impossible-nanoseconds",
      config(latency=True, length=300, behind=40) + g.next(10)
      + g.next(10, nsec=1500000000) + g.next(5, nsec=-5) + g.next(5, nsec=0x58585858) + g.next(10))
g = going(200)
junk = (0x58585858, 0x58585858, 0x58585858)
write("intake_fuzz", "junk-flood-caught-up",
      config(behind=0) + g.next(5) + b"".join(g.literal(junk, steps=7) for _ in range(20))
      + g.next(10))
g = going(400)
write("intake_fuzz", "latency-junk-flood-behind",
      config(latency=True, length=400, behind=120)
      + g.next(5) + b"".join(g.literal(junk, steps=0) for _ in range(20)) + g.next(10))
g = going(200)
write("intake_fuzz", "renumbered-in-progress",
      config(behind=0) + g.next(5) + g.next(3, seq_off=20000, steps=7) + g.next(5, seq_off=20000))
g = going(200)
write("intake_fuzz", "renumbered-by-two-rings-less-one",
      config(behind=0) + g.next(5) + g.next(3, seq_off=2 * 5120 - 2, steps=7)
      + g.next(5, seq_off=2 * 5120 - 2))
g = going(500, high=True)
write("intake_fuzz", "latency-renumbered-near-wrap",
      config(latency=True, length=500, behind=2, high=True) + g.next(5)
      + g.next(3, seq_off=6000, steps=0) + g.next(3, seq_off=6000, steps=7))
g = going(300)
write("intake_fuzz", "ring-away-behind-and-ahead",
      config(behind=180, length=300) + g.next(3) + g.next(2, seq_off=-5200) + g.next(2)
      + g.next(1, seq_off=5120) + g.next(1, seq_off=5120 + 70) + g.next(3))

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
