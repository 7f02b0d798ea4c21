#!/usr/bin/env python3
"""The daemon as a service: stop to exit on SIGTERM with the stop request seen by the upstream,
the log lines a datagram-mode daemon writes while its consumer's port is closed, and the most
log that -m 64 leaves on disk in a run at a high log rate.

Prints a markdown section. Every run is bounded: each stop try waits at most 10 s for the
stream and 5 s for the exit; the flood and rotation runs last the seconds given.

usage: bench/service.py [--build DIR] [--tries N] [--flood-s S] [--rotate-s S]
"""

import os
import signal
import socket
import tempfile
import time

import common as c


def count_stops(events_path):
    try:
        with open(events_path, errors="replace") as f:
            return sum(1 for line in f if " stop len=9" in line)
    except FileNotFoundError:
        return 0


def wait_for(cond, timeout_s):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(0.005)
    return cond()


def stream_started(mode, http_port, sim_port, rx):
    """Blocks until the stream reaches the player (HTTP) or the receiver (datagrams); returns
    the player's socket (HTTP) or None. Raises on a time-out of 10 s."""
    if mode == "http":
        s = socket.create_connection(("127.0.0.1", http_port), timeout=10)
        s.sendall(f"GET /127.0.0.1-{sim_port}/sample HTTP/1.0\r\n\r\n".encode())
        got = 0
        while got < c.HTTP_HEAD_BYTES + 20 * c.PAYLOAD:
            chunk = s.recv(65536)
            if not chunk:
                raise RuntimeError("the player's stream ended early")
            got += len(chunk)
        return s
    rx.settimeout(10)
    rx.recv(2048)
    return None


def stop_tries(build_dir, mode, tries, work):
    """(exit times in ms, exit statuses, tries whose stop request reached the upstream)."""
    procs = c.Procs(work)
    times, statuses, seen = [], [], 0
    try:
        sim_port = c.free_port()
        events = os.path.join(work, f"events-{mode}")
        procs.start(c.sim_args(build_dir, sim_port, exit_after=tries * 20 + 30) +
                    ["--events", events], name=f"sim-{mode}")
        if not c.wait_for_text(procs.log_of(f"sim-{mode}"), "listening on", 5):
            raise RuntimeError("upstream-sim did not start")
        for i in range(tries):
            rx = None
            if mode == "http":
                http_port = c.free_port(socket.SOCK_STREAM)
                args = ["-h", str(http_port)]
            else:
                rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                rx.bind(("127.0.0.1", 0))
                http_port = 0
                args = ["-i", "127.0.0.1", "-r", str(sim_port), "-u", "sample", "-o", "127.0.0.1",
                        "-p", str(rx.getsockname()[1])]
            relay = procs.start([os.path.join(build_dir, "quarlin")] + args,
                                name=f"quarlin-{mode}-{i}")
            if mode == "http" and not c.wait_listening(http_port, 5):
                raise RuntimeError("quarlin did not listen")
            before = count_stops(events)
            player = stream_started(mode, http_port, sim_port, rx)
            t0 = time.monotonic()
            relay.send_signal(signal.SIGTERM)
            try:
                status = relay.wait(timeout=5)
            except Exception:
                status = None
            times.append((time.monotonic() - t0) * 1000 if status is not None else None)
            statuses.append(status)
            if wait_for(lambda: count_stops(events) > before, 2):
                seen += 1
            if player:
                player.close()
            if rx:
                rx.close()
            procs.children.remove(relay)
            c.Procs.stop(relay)
    finally:
        procs.stop_all()
    return times, statuses, seen


def log_bytes(path):
    """Bytes of the log file and its .1; a file renamed between the looks counts as missing
    (or twice, which errs on the large side)."""
    total = 0
    for p in (path, path + ".1"):
        try:
            total += os.path.getsize(p)
        except FileNotFoundError:
            pass
    return total


def closed_port_flood(build_dir, seconds, work, extra=(), sample_sizes_of=None):
    """Runs a datagram-mode daemon whose consumer port is closed for `seconds`. Returns its
    standard output's lines, and the largest log size seen (bytes of log and log.1) when
    sample_sizes_of names the log file."""
    procs = c.Procs(work)
    biggest = 0
    try:
        sim_port = c.free_port()
        procs.start(c.sim_args(build_dir, sim_port, exit_after=seconds + 30, idle_s=60),
                    name="sim-flood")
        if not c.wait_for_text(procs.log_of("sim-flood"), "listening on", 5):
            raise RuntimeError("upstream-sim did not start")
        closed = c.free_port()
        out = os.path.join(work, "flood.out")
        with open(out, "w") as f:
            relay = procs.start([os.path.join(build_dir, "quarlin"), "-i", "127.0.0.1", "-r",
                                 str(sim_port), "-u", "sample", "-o", "127.0.0.1", "-p",
                                 str(closed)] + list(extra), stdout=f)
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                if sample_sizes_of:
                    biggest = max(biggest, log_bytes(sample_sizes_of))
                time.sleep(0.05)
            c.Procs.stop(relay)
        with open(sample_sizes_of if sample_sizes_of else out, errors="replace") as f:
            lines = f.read().splitlines()
    finally:
        procs.stop_all()
    return lines, biggest


def main():
    parser = c.bench_parser(__doc__)
    parser.add_argument("--tries", type=int, default=20)
    parser.add_argument("--flood-s", type=int, default=60)
    parser.add_argument("--rotate-s", type=int, default=120)
    args = parser.parse_args()
    build_dir = os.path.abspath(args.build)
    c.need_tools(build_dir, ("quarlin", "upstream-sim"))
    load = c.load_text()
    work = tempfile.mkdtemp(prefix="quarlin-service-")
    figures = {"load": load}
    try:
        for mode in ("http", "datagram"):
            c.log(f"{args.tries} stops in {mode} mode ...")
            figures[mode] = stop_tries(build_dir, mode, args.tries, work)
        c.log(f"{args.flood_s} s of sending to a closed port ...")
        lines, _ = closed_port_flood(build_dir, args.flood_s, work)
        figures["flood_lines"] = len(lines)
        figures["flood_bytes_per_s"] = sum(len(l) + 1 for l in lines) / args.flood_s
        figures["flood_send_errors"] = sum(1 for l in lines if l.startswith("!! Send error"))
        figures["flood_left_out"] = sum(int(l.split()[2]) for l in lines
                                        if l.startswith("left out "))
        c.log(f"{args.rotate_s} s with -m 64 at a high log rate ...")
        log_path = os.path.join(work, "rotate.log")
        _, biggest = closed_port_flood(build_dir, args.rotate_s, work,
                                       ("-l", log_path, "-m", "64"), log_path)
        figures["rotate_biggest"] = biggest
    finally:
        c.leave_work(work, args.keep)

    print("### Service: stop signals and the log's size\n")
    print(f"Load average (1, 5, 15 min) before the runs: {load}. Loopback, the simulator "
          f"serving the sample at its own rate (about 2 Mbit/s).\n")
    print("| Measure | Result |")
    print("|---|---:|")
    for mode in ("http", "datagram"):
        times, statuses, seen = figures[mode]
        ok = sum(1 for s in statuses if s == 0)
        print(f"| {mode}: SIGTERM to exit, ms (min / median / max) | {c.fmt3(times)} |")
        print(f"| {mode}: exit status 0 | {ok}/{len(statuses)} |")
        print(f"| {mode}: stop request (9 bytes) seen by the upstream | {seen}/{len(statuses)} |")
    print(f"| datagram mode to a closed port, {args.flood_s} s: log lines | "
          f"{figures['flood_lines']} |")
    print(f"| ... of them \"!! Send error\" / counted as left out | "
          f"{figures['flood_send_errors']} / {figures['flood_left_out']} |")
    print(f"| ... log written per second, bytes | {figures['flood_bytes_per_s']:.0f} |")
    print(f"| -m 64, {args.rotate_s} s to a closed port: most log on disk (log + .1), kB | "
          f"{figures['rotate_biggest'] / 1024:.1f} |")
    print()
    c.write_json(args.json, figures)


if __name__ == "__main__":
    main()
