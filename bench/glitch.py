#!/usr/bin/env python3
"""A glitching upstream: one datagram stamped 5 s ahead, a flood of junk datagrams from the
upstream's address, and a run of impossible nanoseconds, each against a build before the stamp
checks (--old, by default e1768f4 built in a temporary folder) and the current one (--build),
in the default mode and with -L 200.

The upstream is this script, on loopback: it answers the daemon's stream request with data
datagrams (12-byte header: number, seconds, nanoseconds; 1316 bytes of payload, 2 Mbit/s,
numbers from 1, stamps on the wall clock), re-sends what a lost request names, echoes 12-byte
keepalives, and honours suspend and release as an upstream with a buffer does (it stops, then
sends what fell due meanwhile at once). A repeated stream request goes on with the same stream.
The payloads are synthetic 188-byte transport-stream packets, seven a payload, each carrying
its payload's number, so that the player (also this script, one HTTP connection fetching
/127.0.0.1-PORT/glitch) tells exactly which payloads came and when.

Dropped by the kernel: datagrams the kernel dropped on the daemon's full UDP sockets (junk and
stream alike). Delay: a payload's arrival at the player minus the time the upstream first sent it (one
process, one monotonic clock); each figure is the median over the payloads sent in a window:
"before" the 2 s before the glitch, "after" the last 2 s of the run but one. Lost: payloads sent
between the first one the player got and the run's last second that never reached it.

  a. far stamp: payload 760 (4 s in) is stamped 5 s ahead; 6 s more of stream.
  b. junk flood: from 4 s in, a child process sends copies of one 1316-byte datagram (every
     byte 0x58: number 0x58585858, impossible nanoseconds) from the upstream's own socket, as
     fast as it can for 5 s and at most 1,000,000 of them; the stream goes on beside it. The
     run ends 6 s after the flood, or 4 s after the player got the first payload sent after the
     flood, whichever is later, and at most 30 s after it. "Fresh" is the time from the flood's
     end to the arrival of the first payload sent after it.
  c. impossible nanoseconds: from 4 s in, 600 payloads (3.2 s) carry nanoseconds outside
     0..999,999,999 (drawn at random, the same ones every run, half of them negative); 5 s
     more. Output rate during the run: bytes the player got per 0.5 s.

Prints a markdown section. Loopback only; about 4 minutes.

usage: bench/glitch.py [--build DIR] [--old DIR | --old-rev REV] [--scenarios a,b,c]
                       [--modes default,latency] [--keep] [--json FILE]
"""

import os
import random
import re
import select
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import common as c

KBPS = 2000
STEP_S = c.PAYLOAD * 8 / (KBPS * 1000)  # 5.264 ms between datagrams
FIRST_SEQ = 1
LATENCY_MS = 200
GLITCH_AT_S = 4.0
FAR_AHEAD_S = 5
FLOOD_S = 5.0
FLOOD_MAX = 1000000
NSEC_RUN = 600
OLD_REV = "e1768f4"

MSG_LOST, MSG_REQUEST, MSG_KEEPALIVE, MSG_SUSPEND, MSG_RELEASE = 1, 2, 3, 4, 5
TS_MAGIC = b"QG"


def payload(k):
    """Payload k: seven 188-byte packets, each with its payload's number and its own index."""
    out = bytearray()
    for j in range(7):
        cc = (7 * k + j) & 0x0F
        out += bytes([0x47, 0x01, 0x00, 0x10 | cc]) + TS_MAGIC + struct.pack("<IB", k, j)
        out += b"\xa5" * (188 - 11)
    return bytes(out)


class Player:
    """One HTTP player: the payload numbers it got and when, and every read's size and time."""

    def __init__(self, http_port, up_port):
        self.sock = socket.create_connection(("127.0.0.1", http_port), timeout=5)
        self.sock.sendall(f"GET /127.0.0.1-{up_port}/glitch HTTP/1.0\r\n\r\n".encode())
        self.sock.setblocking(False)
        self.head = None
        self.buf = bytearray()
        self.arrived = {}  # payload number -> first arrival (monotonic)
        self.reads = []    # (time, bytes) of every read after the head
        self.duplicates = 0
        self.skipped_bytes = 0
        self.closed = False
        self.fresh_from = None  # the first payload number sent after some moment ...
        self.fresh_at = None    # ... and when the first payload from it on arrived

    def read(self, now):
        try:
            chunk = self.sock.recv(1 << 16)
        except BlockingIOError:
            return
        except OSError:
            chunk = b""
        if not chunk:
            self.closed = True
            return
        if self.head is None:
            self.buf += chunk
            end = self.buf.find(b"\r\n\r\n")
            if end < 0:
                return
            self.head = bytes(self.buf[:end + 4])
            chunk = bytes(self.buf[end + 4:])
            self.buf = bytearray()
        self.reads.append((now, len(chunk)))
        self.buf += chunk
        self.parse(now)

    def parse(self, now):
        pos, buf = 0, self.buf
        while len(buf) - pos >= 188:
            if buf[pos] == 0x47 and buf[pos + 4:pos + 6] == TS_MAGIC:
                k, j = struct.unpack_from("<IB", buf, pos + 6)
                if j == 6:
                    if k in self.arrived:
                        self.duplicates += 1
                    else:
                        self.arrived[k] = now
                        if self.fresh_at is None and self.fresh_from is not None and \
                                k >= self.fresh_from:
                            self.fresh_at = now
                pos += 188
                continue
            # Out of step (a partial write): on to the next packet start.
            nxt = buf.find(TS_MAGIC, pos + 5)
            new_pos = nxt - 4 if nxt >= 4 else len(buf)
            self.skipped_bytes += new_pos - pos
            pos = new_pos
        del buf[:pos]

    def close(self):
        self.sock.close()


class Upstream:
    """The scripted upstream on one UDP socket; stamp_hook(k, sec, nsec) may change the stamp
    of payload k."""

    def __init__(self, stamp_hook=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.peer = None
        self.start_mono = None
        self.start_wall_ns = None
        self.next_k = 0
        self.suspended = False
        self.sent_at = {}   # payload number -> first send (monotonic)
        self.history = {}   # number -> datagram, for lost requests
        self.stamp_hook = stamp_hook
        self.counts = {"requests": 0, "lost_requests": 0, "resent": 0, "keepalives": 0,
                       "suspends": 0, "releases": 0, "stops": 0, "unknown": 0, "send_failed": 0}

    def due(self, k):
        return self.start_mono + k * STEP_S

    def build(self, k):
        ns = self.start_wall_ns + round(k * STEP_S * 1e9)
        sec, nsec = ns // 10**9, ns % 10**9
        if self.stamp_hook:
            sec, nsec = self.stamp_hook(k, sec, nsec)
        return struct.pack("<Iii", FIRST_SEQ + k, sec, nsec) + payload(k)

    def on_message(self, data, addr, now):
        kind = struct.unpack_from("<I", data)[0] if len(data) >= 4 else 0
        if kind == MSG_REQUEST:
            url = data[4:].split(b"\0", 1)[0]
            if not url:
                self.counts["stops"] += 1
                self.peer = None
                return
            self.counts["requests"] += 1
            self.peer = addr
            if self.start_mono is None:  # a live stream: a repeated request goes on with it
                self.start_mono = now
                self.start_wall_ns = time.time_ns()
        elif kind == MSG_LOST:
            self.counts["lost_requests"] += 1
            count = struct.unpack_from("<I", data, 4)[0] if len(data) >= 8 else 0
            for i in range(min(count, (len(data) - 8) // 4)):
                seq = struct.unpack_from("<I", data, 8 + 4 * i)[0]
                d = self.history.get(seq)
                if d is not None and self.peer:
                    self.counts["resent"] += 1
                    self.send(d)
        elif kind == MSG_KEEPALIVE:
            if len(data) == 12 and self.peer:
                self.counts["keepalives"] += 1
                self.send(data)
        elif kind in (MSG_SUSPEND, MSG_RELEASE):
            self.suspended = kind == MSG_SUSPEND
            self.counts["suspends" if self.suspended else "releases"] += 1
        else:
            self.counts["unknown"] += 1

    def send(self, d):
        """Sends d, waiting up to 0.1 s for room: the flood shares the socket's send buffer,
        and a datagram of the stream that never left would count as lost."""
        for _ in range(20):
            try:
                self.sock.sendto(d, self.peer)
                return
            except BlockingIOError:
                select.select([], [self.sock], [], 0.005)
            except OSError:
                break
        self.counts["send_failed"] += 1

    def pump(self, now):
        """Sends what has fallen due, at most 64 at a time (a catch-up burst in slices)."""
        if self.peer is None or self.start_mono is None or self.suspended:
            return
        for _ in range(64):
            if self.due(self.next_k) > now:
                return
            d = self.build(self.next_k)
            self.history[FIRST_SEQ + self.next_k] = d
            self.sent_at.setdefault(self.next_k, now)
            self.send(d)
            self.next_k += 1

    def drain(self, now):
        for _ in range(256):
            try:
                data, addr = self.sock.recvfrom(2048)
            except BlockingIOError:
                return
            self.on_message(data, addr, now)


def flood(sock, peer, seconds, limit):
    """Forks a child that sends copies of one junk datagram on the upstream's own socket (so
    from its address) to the daemon for `seconds`, at most `limit` of them. Returns (pid, read
    end of a pipe on which the child writes how many it sent)."""
    rd, wr = os.pipe()
    pid = os.fork()
    if pid == 0:
        sent = 0
        try:
            os.close(rd)
            junk = b"\x58" * c.PAYLOAD
            end = time.monotonic() + seconds
            while sent < limit:
                if sent % 1024 == 0 and time.monotonic() >= end:
                    break
                try:
                    sock.sendto(junk, socket.MSG_DONTWAIT, peer)
                    sent += 1
                except OSError:
                    pass
            os.write(wr, str(sent).encode())
        finally:
            os._exit(0)
    os.close(wr)
    return pid, rd


def median_delay(up, player, t0, t1):
    """Median delay (ms) of the payloads first sent in [t0, t1) that reached the player."""
    vals = [(player.arrived[k] - t) * 1000 for k, t in up.sent_at.items()
            if t0 <= t < t1 and k in player.arrived]
    return statistics.median(vals) if vals else None


def longest_silence(player, t0, t1):
    """Longest time (ms) without a read at the player within [t0, t1]."""
    times = [t0] + [t for t, _ in player.reads if t0 <= t <= t1] + [t1]
    return max(b - a for a, b in zip(times, times[1:])) * 1000


def rate_windows(player, t0, t1, width=0.5):
    """kB/s the player got in each window of `width` s from t0 to t1."""
    out = []
    t = t0
    while t + width <= t1 + 1e-9:
        got = sum(n for tr, n in player.reads if t <= tr < t + width)
        out.append(got / width / 1000)
        t += width
    return out


def metric(port, name):
    value = c.metrics(port, timeout_s=2).get(name)
    return int(value) if value is not None else None


def run(binary, scenario, latency, work, tag):
    """One run of one scenario against one daemon; its figures as a dict."""
    procs = c.Procs(work)
    out = {"scenario": scenario, "latency": latency}
    glitch_k = round(GLITCH_AT_S / STEP_S)
    rng = random.Random(23)
    impossible = [rng.randrange(10**9, 2**31) * rng.choice((1, -1)) for _ in range(NSEC_RUN)]

    def stamp_hook(k, sec, nsec):
        if scenario == "a" and k == glitch_k:
            return sec + FAR_AHEAD_S, nsec
        if scenario == "c" and glitch_k <= k < glitch_k + NSEC_RUN:
            return sec, impossible[k - glitch_k]
        return sec, nsec

    up = Upstream(stamp_hook)
    player = None
    flood_pid, flood_rd = None, None
    try:
        http_port = c.free_port(socket.SOCK_STREAM)
        args = [binary, "-h", str(http_port)] + (["-L", str(latency)] if latency else [])
        relay = procs.start(args, name=tag)
        if not c.wait_listening(http_port, 5):
            raise RuntimeError(f"{binary} did not listen")
        up.sock.setblocking(False)
        player = Player(http_port, up.port)
        deadline = time.monotonic() + 60  # bound on the whole run, whatever happens
        flood_start = flood_end = None
        end_at = None
        while time.monotonic() < deadline and not player.closed:
            now = time.monotonic()
            if up.start_mono is not None:
                t = now - up.start_mono
                if scenario == "a" and end_at is None:
                    end_at = up.start_mono + GLITCH_AT_S + 6
                if scenario == "c" and end_at is None:
                    end_at = up.start_mono + GLITCH_AT_S + NSEC_RUN * STEP_S + 5
                if scenario == "b":
                    if flood_pid is None and t >= GLITCH_AT_S:
                        flood_start = now
                        flood_pid, flood_rd = flood(up.sock, up.peer, FLOOD_S, FLOOD_MAX)
                    if flood_pid is not None and flood_end is None:
                        done, _ = os.waitpid(flood_pid, os.WNOHANG)
                        if done:
                            flood_end = now
                            player.fresh_from = up.next_k
                            out["junk_sent"] = int(os.read(flood_rd, 64) or b"0")
                            os.close(flood_rd)
                    if flood_end is not None:
                        end_at = max(flood_end + 6, (player.fresh_at or flood_end + 26) + 4)
                        end_at = min(end_at, flood_end + 30)
                if end_at is not None and now >= end_at:
                    break
            wait = STEP_S
            if up.start_mono is not None and up.peer and not up.suspended:
                wait = max(0.0, min(wait, up.due(up.next_k) - now))
            ready, _, _ = select.select([up.sock, player.sock], [], [], wait)
            now = time.monotonic()
            if up.sock in ready:
                up.drain(now)
            if player.sock in ready:
                player.read(now)
            up.pump(now)
        out["unrecovered"] = metric(http_port, "quarlin_unrecovered_total")
        out["kernel_drops"] = c.udp_drops(relay.pid)
        end = time.monotonic()
    finally:
        if flood_pid is not None:
            try:
                os.waitpid(flood_pid, 0)
            except ChildProcessError:
                pass
        if player:
            player.close()
        procs.stop_all()
        up.sock.close()
    if up.start_mono is None:
        raise RuntimeError("the daemon never asked for the stream")

    g0 = up.start_mono + GLITCH_AT_S
    log = procs.log_of(tag)
    out["lost_sending"] = c.count_lines(log, "!!! Lost sending")
    out["ring_full"] = c.count_lines(log, "!! ring full")
    out["suspends"] = up.counts["suspends"]
    out["requests"] = up.counts["requests"]
    out["resent"] = up.counts["resent"]
    out["send_failed"] = up.counts["send_failed"]
    out["duplicates"] = player.duplicates
    out["delay_before"] = median_delay(up, player, g0 - 2, g0)
    out["delay_after"] = median_delay(up, player, end - 3, end - 1)
    got = sorted(player.arrived)
    last_k = max((k for k, t in up.sent_at.items() if t < end - 1), default=-1)
    out["lost"] = (sum(1 for k in range(got[0], last_k + 1) if k not in player.arrived)
                   if got else None)
    out["silence"] = longest_silence(player, g0, end)
    if scenario == "b" and flood_end is not None:
        out["flood_s"] = flood_end - flood_start
        out["fresh"] = (player.fresh_at - flood_end) * 1000 if player.fresh_at else None
        out["silence_after"] = longest_silence(player, flood_end, end)
    if scenario == "c":
        c_end = g0 + NSEC_RUN * STEP_S
        rates = rate_windows(player, g0, c_end)
        out["rate_mean"] = statistics.mean(rates) if rates else None
        out["rate_min"] = min(rates) if rates else None
        out["delay_1s"] = median_delay(up, player, c_end, c_end + 1)
    return out


def build_old(rev, work):
    """Builds the daemon of `rev` in a folder of its own under work; returns its binary."""
    src = os.path.join(work, f"src-{rev}")
    os.makedirs(src)
    archive = subprocess.run(["git", "-C", c.ROOT, "archive", rev], check=True,
                             capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
    build = os.path.join(src, "build")
    subprocess.run(["cmake", "-S", src, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                    "-DQUARLIN_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "quarlin"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "quarlin")


def f(v, digits=0):
    if isinstance(v, float) and round(v, digits) == 0:
        v = 0.0  # not "-0"
    return c.fmt(v, digits) if v is not None else "–"


def secs(ms):
    return "–" if ms is None else f"{ms / 1000:.2f}"


def mode_name(latency):
    return f"-L {latency}" if latency else "default"


def tables(results, old_name, new_name):
    lines = []
    name = {"old": old_name, "new": new_name}
    a = [r for r in results if r["scenario"] == "a"]
    if a:
        lines += ["**One datagram stamped 5 s ahead** (4 s into the stream; 6 s more):", "",
                  "| Mode | Build | Payloads lost | \"Lost sending\" lines | Unrecovered (counter) "
                  "| Delay before, ms | Delay after, ms | Longest silence, ms |",
                  "|---|---|---:|---:|---:|---:|---:|---:|"]
        for r in a:
            lines.append(f"| {mode_name(r['latency'])} | {name[r['build']]} | {f(r['lost'])} "
                         f"| {r['lost_sending']} | {f(r['unrecovered'])} "
                         f"| {f(r['delay_before'])} | {f(r['delay_after'])} "
                         f"| {f(r['silence'])} |")
        lines.append("")
    b = [r for r in results if r["scenario"] == "b"]
    if b:
        lines += ["**A flood of junk from the upstream's address** (copies of one 1,316-byte "
                  "datagram, every byte 0x58, for 5 s from 4 s into the stream):", "",
                  "| Mode | Build | Junk sent | Flood end → fresh payload, s "
                  "| Longest silence after the flood, s | Delay before, ms | Delay after, ms "
                  "| Added delay, ms | Suspends | Stream requests | Dropped by the kernel "
                  "| Payloads lost |",
                  "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for r in b:
            added = (r["delay_after"] - r["delay_before"]
                     if r["delay_after"] is not None and r["delay_before"] is not None else None)
            lines.append(f"| {mode_name(r['latency'])} | {name[r['build']]} "
                         f"| {r.get('junk_sent', 0):,} | {secs(r.get('fresh'))} "
                         f"| {secs(r.get('silence_after'))} | {f(r['delay_before'])} "
                         f"| {f(r['delay_after'])} | {f(added)} | {r['suspends']} "
                         f"| {r['requests']} | {r['kernel_drops']:,} | {f(r['lost'])} |")
        lines.append("")
    cc = [r for r in results if r["scenario"] == "c"]
    if cc:
        lines += ["**600 datagrams with impossible nanoseconds** (from 4 s into the stream, "
                  "3.2 s of it; the stream's rate is 250 kB/s):", "",
                  "| Mode | Build | Delay before, ms "
                  "| Output during the run, kB/s: mean / lowest 0.5 s "
                  "| Delay in the second after, ms | Delay at the end, ms | Payloads lost |",
                  "|---|---|---:|---:|---:|---:|---:|"]
        for r in cc:
            lines.append(f"| {mode_name(r['latency'])} | {name[r['build']]} "
                         f"| {f(r['delay_before'])} "
                         f"| {f(r['rate_mean'])} / {f(r['rate_min'])} | {f(r['delay_1s'])} "
                         f"| {f(r['delay_after'])} | {f(r['lost'])} |")
        lines.append("")
    return lines


def main():
    parser = c.bench_parser(__doc__)
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--old", help="a build folder of the earlier daemon (holds quarlin)")
    group.add_argument("--old-rev", default=OLD_REV,
                       help=f"build this revision for the comparison (default {OLD_REV})")
    parser.add_argument("--scenarios", default="a,b,c")
    parser.add_argument("--modes", default="default,latency")
    args = parser.parse_args()
    c.need_tools(args.build, ["quarlin"])
    scenarios = args.scenarios.split(",")
    modes = [0 if m == "default" else LATENCY_MS for m in args.modes.split(",")]
    work = tempfile.mkdtemp(prefix="glitch-")
    started = time.monotonic()
    load = c.load_text()
    try:
        if args.old:
            old_bin, old_name = os.path.join(args.old, "quarlin"), "before"
        else:
            c.log(f"building {args.old_rev} ...")
            old_bin, old_name = build_old(args.old_rev, work), args.old_rev
        new_name = subprocess.run(["git", "-C", c.ROOT, "rev-parse", "--short", "HEAD"],
                                  capture_output=True, text=True).stdout.strip() or "current"
        builds = [("old", old_bin), ("new", os.path.join(args.build, "quarlin"))]
        results = []
        for scenario in scenarios:
            for latency in modes:
                for build, binary in builds:
                    tag = f"{scenario}-{mode_name(latency).replace(' ', '')}-{build}"
                    c.log(f"run {tag}")
                    r = run(binary, scenario, latency, work, tag)
                    r["build"] = build
                    results.append(r)
    finally:
        c.leave_work(work, args.keep)
    print("### Glitching upstream")
    print()
    print(f"Script: `bench/glitch.py`. Load average (1, 5, 15 min) before the runs: {load}; "
          f"{time.monotonic() - started:.0f} s in all. {old_name} is the build before the stamp "
          f"checks, {new_name} the current one.")
    print()
    print("\n".join(tables(results, old_name, new_name)))
    c.write_json(args.json, results, indent=1)


if __name__ == "__main__":
    sys.exit(main())
