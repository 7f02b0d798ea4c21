#!/usr/bin/env python3
"""Head CPU: what one oversized request head costs the daemon. A client sends a 1 MB head over
loopback ("GET /x HTTP/1.0", then 1,000-byte header lines up to 1 MB, then the empty line)
and waits for the daemon to close the connection; the daemon's CPU time (utime + stime from
/proc/PID/stat, which keeps the time of threads that have ended) is read before and after.
Each --build-b DIR (repeatable) is another daemon build (an older commit, say) measured the
same way, so that the builds are compared in the same run.

Prints a markdown section. Every head is bounded (20 s), every daemon is ended by PID.

usage: bench/head_cpu.py [--build DIR] [--build-b DIR] [--repeats N] [--repeats-b N] [--mb SIZE]
"""

import argparse
import os
import socket
import tempfile
import time

import common as c


def make_head(size):
    start = b"GET /x HTTP/1.0\r\n"
    line = b"X-Pad: " + b"p" * 991 + b"\r\n"  # 1,000 bytes
    count = max(0, (size - len(start) - 2) // len(line))
    return start + line * count + b"\r\n"


def one_head(port, head, timeout_s=20):
    """Sends head, then waits for the daemon's close. Returns (bytes sent before the close, seconds)."""
    started = time.monotonic()
    sent = 0
    with socket.create_connection(("127.0.0.1", port), timeout=timeout_s) as s:
        try:
            while sent < len(head):
                sent += s.send(head[sent:sent + 65536])
        except (BrokenPipeError, ConnectionResetError):
            pass
        try:
            s.shutdown(socket.SHUT_WR)
            while s.recv(4096):
                pass
        except (OSError, socket.timeout):
            pass
    return sent, time.monotonic() - started


def measure(build_dir, head, repeats, work, label):
    procs = c.Procs(work)
    try:
        port = c.free_port(socket.SOCK_STREAM)
        relay = procs.start([os.path.join(build_dir, "quarlin"), "-h", str(port)],
                            name=f"quarlin-{label}")
        if not c.wait_listening(port, 5):
            raise RuntimeError(f"{build_dir}: quarlin did not listen")
        cpus, walls, sents = [], [], []
        total0 = c.cpu_seconds(relay.pid)
        for _ in range(repeats):
            cpu0 = c.cpu_seconds(relay.pid)
            sent, wall = one_head(port, head)
            time.sleep(0.05)  # the connection's thread ends just after its close
            cpus.append(c.cpu_seconds(relay.pid) - cpu0)
            walls.append(wall)
            sents.append(sent)
        # Summed over the run, the 10 ms ticks resolve a cost far below one tick per head.
        mean = (c.cpu_seconds(relay.pid) - total0) / repeats
        return mean, cpus, walls, sents
    finally:
        procs.stop_all()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=c.default_build())
    ap.add_argument("--build-b", action="append", default=[])
    ap.add_argument("--repeats", type=int, default=100,
                    help="heads sent to the --build daemon")
    ap.add_argument("--repeats-b", type=int, default=5,
                    help="heads sent to each --build-b daemon (an old one takes seconds a head)")
    ap.add_argument("--mb", type=float, default=1.0)
    args = ap.parse_args()
    builds = [args.build] + args.build_b
    for b in builds:
        c.need_tools(b, ["quarlin"])
    head = make_head(int(args.mb * 1024 * 1024))
    rows = []
    with tempfile.TemporaryDirectory(prefix="quarlin-head-cpu-") as work:
        for i, b in enumerate(builds):
            label = chr(ord("A") + i)
            repeats = args.repeats if i == 0 else args.repeats_b
            c.log(f"build {label} ({b}): {repeats} heads of {len(head)} bytes")
            rows.append((label, b, repeats) + measure(b, head, repeats, work, label))
    print("## CPU of one oversized request head\n")
    print(f"One head of {len(head):,} bytes over loopback, N times per build; the daemon's "
          "utime + stime from /proc/PID/stat (10 ms ticks) around each head, and around all N "
          "(the mean, which resolves costs below one tick).\n")
    for line in c.machine_lines():
        print(f"- {line}")
    print()
    print("| build | N | CPU ms per head, mean | CPU s per head (min / median / max) "
          "| wall s per head (min / median / max) | bytes sent before the close (median) |")
    print("| --- | --- | --- | --- | --- | --- |")
    for label, b, repeats, mean, cpus, walls, sents in rows:
        print(f"| {label}: {b} | {repeats} | {mean * 1000:.2f} | {c.fmt3(cpus, 3)} "
              f"| {c.fmt3(walls, 3)} | {int(c.summary(sents)[1]):,} |")


if __name__ == "__main__":
    main()
