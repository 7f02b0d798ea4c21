#!/usr/bin/env python3
"""Flood: 5,000 TCP connections opened as fast as the loopback allows and left idle, then a
player. Reports the player's wait from its connect to its first stream byte, the daemon's
highest thread count and resident memory while the connections pile up, and whether it lived.
A second row times /status and /metrics while a player streams at 20 Mbit/s.

Prints a markdown section. Bounded: 5,000 connections, about 30 s.

usage: bench/flood.py [--build DIR] [--connections N] [--cap N]
"""

import os
import resource
import select
import socket
import sys
import tempfile
import time

import common as c


def threads_of(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def player(port, sim_port, n_bytes, timeout_s=10):
    """Seconds from connect to the first stream byte, and the socket (still open)."""
    start = time.monotonic()
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout_s)
    s.sendall(f"GET /127.0.0.1-{sim_port}/sample HTTP/1.0\r\n\r\n".encode())
    got = b""
    while len(got) < c.HTTP_HEAD_BYTES + n_bytes:
        chunk = s.recv(65536)
        if not chunk:
            break
        got += chunk
    return time.monotonic() - start, s


def fetch_ms(port, path):
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(f"GET {path} HTTP/1.0\r\n\r\n".encode())
        while s.recv(65536):
            pass
    return (time.monotonic() - start) * 1000


def main():
    parser = c.bench_parser(__doc__)
    parser.add_argument("--connections", type=int, default=5000)
    parser.add_argument("--cap", type=int, default=64)
    args = parser.parse_args()
    c.need_tools(args.build, ["quarlin", "upstream-sim"])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, args.connections + 1024), hard))
    work = tempfile.mkdtemp(prefix="flood-")
    procs = c.Procs(work)
    try:
        sim_port, http_port = c.free_ports(2)
        procs.start(c.sim_args(args.build, sim_port, 20000, exit_after=120), name="sim")
        relay = procs.start([os.path.join(args.build, "quarlin"), "-h", str(http_port), "-c",
                             str(args.cap)], name="quarlin")
        c.wait_listening(http_port, 5)
        pid = relay.pid
        max_threads = threads_of(pid)
        pending, idle = [], []
        start = time.monotonic()
        while len(idle) + len(pending) < args.connections or pending:
            if len(idle) + len(pending) < args.connections and len(pending) < 256:
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", http_port))
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
        wait_s, p = player(http_port, sim_port, c.PAYLOAD)
        max_threads = max(max_threads, threads_of(pid))
        # The status pages while that player streams at 20 Mbit/s.
        times = []
        for i in range(100):
            p.recv(1 << 20)
            times.append(fetch_ms(http_port, "/status" if i % 2 else "/metrics"))
        max_threads = max(max_threads, threads_of(pid))
        max_rss = c.vm_hwm_kib(pid)  # the peak over the whole run
        alive = relay.poll() is None
        times.sort()
        for s in idle:
            s.close()
        p.close()
        print("## Flood of idle connections\n")
        print(f"{len(idle)} connections in {flood_s:.1f} s, cap {args.cap}, then a player.\n")
        print("| Figure | Goal | Measured |\n|---|---|---|")
        print(f"| first stream byte after connect | < 1 s | {wait_s * 1000:.0f} ms |")
        print(f"| most threads | about 70 | {max_threads} |")
        print(f"| most resident memory | < 16 MB | {max_rss / 1024:.1f} MB |")
        print(f"| daemon alive | yes | {'yes' if alive else 'no'} |")
        print(f"| /status, /metrics at 20 Mbit/s, median / max | < 10 ms | "
              f"{times[len(times) // 2]:.2f} / {times[-1]:.2f} ms |")
    finally:
        procs.stop_all()


if __name__ == "__main__":
    sys.exit(main())
