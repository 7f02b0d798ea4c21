#!/usr/bin/env python3
"""Floods of connections, and the status pages beside a stream: a player's way in, measured
for one build or for a build before a change beside the one after it (--base).

Four runs a build, each with its own daemon and upstream simulator:
- quiet: /status and /metrics fetched 100 times while a player streams at 20 Mbit/s;
- flood: idle connections opened at --flood-rate a second from another process while players
  take the stream over one after another, a second apart: each one's wait from its connect to
  its first stream byte;
- load: --requests fetches of /status, --concurrency of them at a time (as `ab -c 200`),
  without a stream and beside one at 20 Mbit/s: latency from the start of the connect to the
  end of the answer, and the fetches that got none (every fetch started is accounted for);
- crowd: --connections idle connections opened as fast as the loopback allows, then a player:
  its wait, the daemon's most threads and resident memory, and whether it lived.

Prints a markdown section. Bounded: each run ends within about a minute, and the connections
it opens are counted (--connections, --flood-rate times the flood's seconds, --requests).

usage: bench/flood.py [--build DIR] [--base DIR] [--cap N] [--flood-rate N] [--players N]
                      [--requests N] [--concurrency N] [--connections N]
"""

import collections
import errno
import multiprocessing
import os
import resource
import select
import selectors
import socket
import statistics
import sys
import tempfile
import threading
import time

import common as c


def threads_of(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def pct(values, q):
    """The q-quantile of values (nearest rank), or None."""
    if not values:
        return None
    vals = sorted(values)
    return vals[min(len(vals) - 1, max(0, int(round(q * len(vals))) - 1))]


class Daemon:
    """The upstream simulator at 20 Mbit/s and the daemon in HTTP mode, for one run."""

    def __init__(self, build, cap, name):
        self.work = tempfile.mkdtemp(prefix=f"flood-{name}-")
        self.procs = c.Procs(self.work)
        self.sim_port, self.http_port = c.free_ports(2)
        self.procs.start(c.sim_args(build, self.sim_port, 20000, exit_after=120), name="sim")
        self.relay = self.procs.start([os.path.join(build, "quarlin"), "-h", str(self.http_port),
                                       "-c", str(cap)], name="quarlin")
        if not c.wait_listening(self.http_port, 5):
            raise RuntimeError("the daemon does not listen")

    def alive(self):
        return self.relay.poll() is None

    def stop(self):
        self.procs.stop_all()


def first_stream_byte(port, sim_port, timeout_s=20):
    """Seconds from the start of the connect to the first byte after the response head, and
    the socket (still open); None for the time when the stream did not come."""
    start = time.monotonic()
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout_s)
    s.sendall(f"GET /127.0.0.1-{sim_port}/sample HTTP/1.0\r\n\r\n".encode())
    got = 0
    while got <= c.HTTP_HEAD_BYTES:
        try:
            chunk = s.recv(65536)
        except socket.timeout:
            break
        if not chunk:
            break
        got += len(chunk)
    return (time.monotonic() - start if got > c.HTTP_HEAD_BYTES else None), s


def fetch_ms(port, path):
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
        while s.recv(65536):
            pass
    return (time.monotonic() - start) * 1000


def drain_player(sock, stop):
    sock.settimeout(0.2)
    while not stop.is_set():
        try:
            if not sock.recv(1 << 20):
                return
        except socket.timeout:
            pass
        except OSError:
            return


def run_quiet(build, cap):
    """Medians and maxima (ms) of /status and /metrics while a player streams at 20 Mbit/s."""
    d = Daemon(build, cap, "quiet")
    try:
        wait_s, p = first_stream_byte(d.http_port, d.sim_port)
        stop = threading.Event()
        reader = threading.Thread(target=drain_player, args=(p, stop))
        reader.start()
        time.sleep(1)  # the stream settles: the drain runs and pauses
        times = {"/status": [], "/metrics": []}
        for i in range(100):
            path = "/status" if i % 2 else "/metrics"
            times[path].append(fetch_ms(d.http_port, path))
            time.sleep(0.013)  # not in step with the drain's pauses
        stop.set()
        reader.join()
        p.close()
        return {k: (statistics.median(v), max(v)) for k, v in times.items()}
    finally:
        d.stop()


def flood(port, rate, seconds, keep, counts):
    """Another process: opens idle connections at rate a second for seconds (non-blocking, so
    a dropped handshake does not slow the flood), keeping the newest keep of them open."""
    open_socks = collections.deque()
    start = time.monotonic()
    n = 0
    while True:
        now = time.monotonic()
        if now - start >= seconds:
            break
        due = int((now - start) * rate) + 1
        while n < due:
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", port))
            open_socks.append(s)
            n += 1
            if len(open_socks) > keep:
                open_socks.popleft().close()
        time.sleep(max(0.0, start + n / rate - time.monotonic()))
    counts.value = n
    for s in open_socks:
        s.close()


class Watchers:
    """Players that keep reading their stream in threads of their own until stopped or taken
    over, so that the daemon's stream runs as it would for a real audience."""

    def __init__(self):
        self.stop = threading.Event()
        self.threads = []
        self.socks = []

    def add(self, sock):
        t = threading.Thread(target=drain_player, args=(sock, self.stop))
        t.start()
        self.threads.append(t)
        self.socks.append(sock)

    def end(self):
        self.stop.set()
        for t in self.threads:
            t.join()
        for s in self.socks:
            s.close()


def run_flood(build, cap, rate, players):
    """Each player's wait (s, None when it got nothing) during a flood while a stream runs, and
    the flood's count. Each player takes the stream over from the one before."""
    d = Daemon(build, cap, "flood")
    counts = multiprocessing.Value("i", 0)
    seconds = players + 3
    watchers = Watchers()
    f = multiprocessing.Process(target=flood, args=(d.http_port, rate, seconds, 1000, counts))
    try:
        _, p = first_stream_byte(d.http_port, d.sim_port)
        watchers.add(p)
        f.start()
        time.sleep(2)  # the flood is under way: the cap is full and closing
        waits = []
        for _ in range(players):
            t0 = time.monotonic()
            wait_s, p = first_stream_byte(d.http_port, d.sim_port)
            watchers.add(p)
            waits.append(wait_s)
            time.sleep(max(0.0, t0 + 1 - time.monotonic()))
        f.join(seconds + 10)
        return waits, counts.value, d.alive()
    finally:
        watchers.end()
        if f.is_alive():
            f.terminate()
            f.join()
        d.stop()


def status_load(port, total, concurrency, timeout_s=20, limit_s=90):
    """(latencies in ms of the answered fetches, count without an answer): total fetches of
    /status, concurrency of them at a time, each given up after timeout_s."""
    request = b"GET /status HTTP/1.0\r\n\r\n"
    sel = selectors.DefaultSelector()
    started = answered = failed = 0
    latencies = []
    deadline = time.monotonic() + limit_s

    def finish(s, ok, t0):
        nonlocal failed
        sel.unregister(s)
        s.close()
        if ok:
            latencies.append((time.monotonic() - t0) * 1000)
        else:
            failed += 1

    while len(latencies) + failed < total and time.monotonic() < deadline:
        while started < total and len(sel.get_map()) < concurrency:
            s = socket.socket()
            s.setblocking(False)
            t0 = time.monotonic()
            err = s.connect_ex(("127.0.0.1", port))
            started += 1
            if err not in (0, errno.EINPROGRESS):
                s.close()
                failed += 1
                continue
            sel.register(s, selectors.EVENT_WRITE, {"t0": t0, "sent": False, "got": 0})
        for key, _ in sel.select(0.05):
            s, st = key.fileobj, key.data
            if not st["sent"]:
                if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                    finish(s, False, st["t0"])
                    continue
                try:
                    s.send(request)
                except OSError:
                    finish(s, False, st["t0"])
                    continue
                st["sent"] = True
                sel.modify(s, selectors.EVENT_READ, st)
                continue
            try:
                data = s.recv(65536)
            except BlockingIOError:
                continue
            except OSError:
                data = None
            if data:
                st["got"] += len(data)
                continue
            finish(s, data is not None and st["got"] > 0, st["t0"])
        now = time.monotonic()
        for key in list(sel.get_map().values()):
            if now - key.data["t0"] > timeout_s:
                finish(key.fileobj, False, key.data["t0"])
    for key in list(sel.get_map().values()):
        finish(key.fileobj, False, key.data["t0"])
    return latencies, failed


def run_load(build, cap, total, concurrency, streaming):
    d = Daemon(build, cap, "load")
    watchers = Watchers()
    try:
        if streaming:
            _, p = first_stream_byte(d.http_port, d.sim_port)
            watchers.add(p)
            time.sleep(1)
        start = time.monotonic()
        latencies, failed = status_load(d.http_port, total, concurrency)
        took = time.monotonic() - start
        return {"p50": pct(latencies, 0.5), "p95": pct(latencies, 0.95),
                "max": max(latencies) if latencies else None, "failed": failed,
                "seconds": took, "alive": d.alive()}
    finally:
        watchers.end()
        d.stop()


def run_crowd(build, cap, connections):
    """The bench's first flood: connections idle connections as fast as the loopback allows,
    then a player."""
    d = Daemon(build, cap, "crowd")
    try:
        pid = d.relay.pid
        max_threads = threads_of(pid)
        pending, idle = [], []
        start = time.monotonic()
        while len(idle) + len(pending) < connections or pending:
            if len(idle) + len(pending) < connections and len(pending) < 256:
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", d.http_port))
                pending.append(s)
                continue
            poller = select.poll()
            for s in pending:
                poller.register(s, select.POLLOUT)
            ready = {fd for fd, _ in poller.poll(50)}
            for s in [s for s in pending if s.fileno() in ready]:
                pending.remove(s)
                idle.append(s)
            max_threads = max(max_threads, threads_of(pid))
            if time.monotonic() - start > 60:
                break
        flood_s = time.monotonic() - start
        wait_s, p = first_stream_byte(d.http_port, d.sim_port)
        max_threads = max(max_threads, threads_of(pid))
        max_rss = c.vm_hwm_kib(pid)
        alive = d.alive()
        for s in idle + pending:
            s.close()
        p.close()
        return {"opened": len(idle), "seconds": flood_s, "wait_s": wait_s,
                "threads": max_threads, "rss_mb": max_rss / 1024, "alive": alive}
    finally:
        d.stop()


def measure(build, args):
    c.log(f"{build}: quiet")
    quiet = run_quiet(build, args.cap)
    c.log(f"{build}: flood of {args.flood_rate}/s")
    waits, flooded, flood_alive = run_flood(build, args.cap, args.flood_rate, args.players)
    load = {}
    for streaming in (False, True):
        c.log(f"{build}: {args.requests} fetches of /status, {args.concurrency} at a time"
              + (", beside a stream" if streaming else ""))
        load[streaming] = run_load(build, args.cap, args.requests, args.concurrency, streaming)
    c.log(f"{build}: crowd of {args.connections}")
    crowd = run_crowd(build, args.cap, args.connections)
    return {"quiet": quiet, "waits": waits, "flooded": flooded, "flood_alive": flood_alive,
            "load": load[False], "load_streaming": load[True], "crowd": crowd,
            "alive": flood_alive and load[False]["alive"] and load[True]["alive"]
            and crowd["alive"]}


def ms(v):
    return "none" if v is None else f"{v * 1000:.0f}"


def rows(r, args):
    waits = r["waits"]
    got = [w for w in waits if w is not None]
    c_ = r["crowd"]
    out = [
        ("/status at 20 Mbit/s, median / max", "< 10 ms",
         "{:.1f} / {:.1f} ms".format(*r["quiet"]["/status"])),
        ("/metrics at 20 Mbit/s, median / max", "< 10 ms",
         "{:.1f} / {:.1f} ms".format(*r["quiet"]["/metrics"])),
        (f"flood of {args.flood_rate}/s: each player's first stream byte", "< 500 ms each",
         ", ".join(ms(w) for w in waits) + " ms"),
        ("flood: slowest player", "< 500 ms", f"{ms(max(got)) if got else 'none'} ms"
         + ("" if len(got) == len(waits) else f" ({len(waits) - len(got)} got nothing)")),
    ]
    for key, where in (("load", "no stream"), ("load_streaming", "a stream at 20 Mbit/s")):
        ld = r[key]
        out += [
            (f"{args.requests} × /status, {args.concurrency} at a time, {where}: "
             "p50 / p95 / max", "p95 < 100 ms",
             " / ".join("–" if v is None else f"{v:.0f}" for v in
                        (ld["p50"], ld["p95"], ld["max"])) + f" ms (in {ld['seconds']:.1f} s)"),
            ("the same: fetches without an answer", "0", str(ld["failed"])),
        ]
    out += [
        (f"crowd of {args.connections} idle connections, then a player: its first stream byte",
         "< 1 s", f"{ms(c_['wait_s'])} ms ({c_['opened']} opened in {c_['seconds']:.1f} s)"),
        ("crowd: most threads", "bounded: cap + 256 slots, and threads leaving",
         str(c_["threads"])),
        ("crowd: most resident memory", "< 16 MB", f"{c_['rss_mb']:.1f} MB"),
        ("daemon alive after every run", "yes", "yes" if r["alive"] else "no"),
    ]
    return out


def main():
    parser = c.bench_parser(__doc__)
    parser.add_argument("--base", help="a build of the tree before the change, run beside it")
    parser.add_argument("--cap", type=int, default=64)
    parser.add_argument("--flood-rate", type=int, default=800)
    parser.add_argument("--players", type=int, default=6)
    parser.add_argument("--requests", type=int, default=4000)
    parser.add_argument("--concurrency", type=int, default=200)
    parser.add_argument("--connections", type=int, default=5000)
    args = parser.parse_args()
    builds = ([("before", args.base)] if args.base else []) + [("after", args.build)]
    for _, build in builds:
        c.need_tools(build, ["quarlin", "upstream-sim"])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = max(args.connections, args.concurrency + 1000) + 1024
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, want), hard))
    results = {name: measure(build, args) for name, build in builds}
    table = {name: rows(r, args) for name, r in results.items()}
    names = [name for name, _ in builds]
    print("## Floods of connections\n")
    print(f"Cap {args.cap}. " + "; ".join(f"{n}: `{b}`" for n, b in builds) + ".\n")
    print("| Figure | Goal | " + " | ".join(names) + " |")
    print("|---|---|" + "---|" * len(names))
    for i, (figure, goal, _) in enumerate(table[names[-1]]):
        print(f"| {figure} | {goal} | " + " | ".join(table[n][i][2] for n in names) + " |")
    c.write_json(args.json, results, indent=1)


if __name__ == "__main__":
    sys.exit(main())
