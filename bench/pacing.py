#!/usr/bin/env python3
"""Measures how closely quarlin's datagram output follows the stream's timestamps, and what it
costs: relays the bundled sample from upstream-sim through the daemon to a receiver that
stamps every arrival, and prints a markdown table.

The simulator stamps the sample at a constant bitrate (--cbr), so the ideal send time of each
datagram is its byte position in the looping stream divided by the bitrate. A datagram's
pacing error is its arrival time minus its ideal time, less the smallest such difference in
the run (the constant offset of buffering and transit), so 0 is the best any datagram did.
CPU is the daemon's utime + stime (from /proc/PID/stat) per minute of streaming, taken from
the first arrival to the end; peak memory is VmHWM from /proc/PID/status.

Everything runs on 127.0.0.1. Each run takes --seconds of stream plus about 3 s of start-up
and is capped at 60 s.

usage: bench/pacing.py [--build DIR] [--seconds S] [--rates KBPS,...] [--loss P]
  --build DIR     build folder holding quarlin, upstream-sim and lossy-link (default: build)
  --seconds S     stream seconds measured per run (default 40, at most 55)
  --rates LIST    bitrates in kbit/s to stamp the sample at (default 2000,8000)
  --loss P        also run each rate through lossy-link dropping P% of the upstream's
                  datagrams (default 0: no such runs)
  --keep          keep the arrival lists and logs, and say where
"""

import argparse
import os
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "media", "sample-2mbps-20s.ts")
RUN_CAP_S = 60
START_UP_S = 5  # allowance for the daemon's 2 s buffering and start-up within the cap


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_text(path, text, timeout_s):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        with open(path, "r", errors="replace") as f:
            if text in f.read():
                return True
        time.sleep(0.02)
    return False


def read_line(proc, timeout_s):
    """A line of the child's standard output, or None after the time-out."""
    ready, _, _ = select.select([proc.stdout], [], [], timeout_s)
    if not ready:
        return None
    return proc.stdout.readline().strip()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15; fields[0] here is field 3 (the state).
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def vm_hwm_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def percentile(sorted_values, p):
    if not sorted_values:
        return float("nan")
    k = min(len(sorted_values) - 1, max(0, round(p / 100 * (len(sorted_values) - 1))))
    return sorted_values[k]


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def build_receiver(build_dir):
    source = os.path.join(ROOT, "bench", "pacing_receiver.cpp")
    binary = os.path.join(build_dir, "bench-pacing-receiver")
    if not os.path.exists(binary) or os.path.getmtime(binary) < os.path.getmtime(source):
        cxx = os.environ.get("CXX", "c++")
        subprocess.run([cxx, "-O2", "-std=c++20", "-Wall", "-Wextra", "-o", binary, source],
                       check=True)
    return binary


def run_once(build_dir, receiver, kbps, seconds, loss, work):
    """One relay run; returns a dict of results."""
    sim_port = free_udp_port()
    children = []
    logs = {name: os.path.join(work, f"{name}-{kbps}-{loss}.log")
            for name in ("sim", "link", "relay")}
    try:
        sim = subprocess.Popen(
            [os.path.join(build_dir, "upstream-sim"), "--port", str(sim_port), "--stream",
             f"sample={SAMPLE}", "--cbr", str(kbps), "--exit-after", str(RUN_CAP_S)],
            stdout=subprocess.DEVNULL, stderr=open(logs["sim"], "w"))
        children.append(sim)
        if not wait_for_text(logs["sim"], "listening on", 5):
            raise RuntimeError("upstream-sim did not start")
        upstream_port = sim_port
        if loss > 0:
            upstream_port = free_udp_port()
            link = subprocess.Popen(
                [os.path.join(build_dir, "lossy-link"), "--listen", str(upstream_port),
                 "--target", f"127.0.0.1:{sim_port}", "--down-loss", str(loss), "--seed", "1",
                 "--exit-after", str(RUN_CAP_S)],
                stdout=subprocess.DEVNULL, stderr=open(logs["link"], "w"))
            children.append(link)
            if not wait_for_text(logs["link"], "listening on", 5):
                raise RuntimeError("lossy-link did not start")

        arrivals = os.path.join(work, f"arrivals-{kbps}-{loss}.txt")
        rx = subprocess.Popen([receiver, SAMPLE, str(seconds), "10", arrivals],
                              stdout=subprocess.PIPE, text=True)
        children.append(rx)
        line = read_line(rx, 5)
        if not line or not line.startswith("port "):
            raise RuntimeError("receiver did not start")
        rx_port = int(line.split()[1])

        relay = subprocess.Popen(
            [os.path.join(build_dir, "quarlin"), "-i", "127.0.0.1", "-r", str(upstream_port),
             "-u", "sample", "-o", "127.0.0.1", "-p", str(rx_port)],
            stdout=open(logs["relay"], "w"), stderr=subprocess.STDOUT)
        children.append(relay)

        if read_line(rx, 15) != "first":
            raise RuntimeError("nothing relayed")
        cpu0, t0 = cpu_seconds(relay.pid), time.monotonic()
        remaining = RUN_CAP_S - START_UP_S
        try:
            rx.wait(timeout=min(seconds + 12, remaining))
        except subprocess.TimeoutExpired:
            raise RuntimeError("receiver overran the run's time cap")
        cpu1, t1 = cpu_seconds(relay.pid), time.monotonic()
        hwm = vm_hwm_kib(relay.pid)
        summary = rx.stdout.read().strip()
    finally:
        for child in reversed(children):
            stop(child)

    positions, times = [], []
    with open(arrivals) as f:
        for line in f:
            pos, ns, _ = line.split()
            if int(pos) >= 0:
                positions.append(int(pos))
                times.append(int(ns))
    if not times:
        raise RuntimeError("no datagram matched the sample")
    offsets = [ns - pos * 8e9 / (kbps * 1000) for pos, ns in zip(positions, times)]
    base = min(offsets)
    errors_us = sorted((o - base) / 1000 for o in offsets)
    stream_s = (positions[-1] - positions[0]) * 8 / (kbps * 1000)
    gaps = sum(1 for a, b in zip(positions, positions[1:]) if b - a != 1316)
    return {
        "datagrams": len(times),
        "unmatched": int(summary.split()[-1]) if summary else -1,
        "gaps": gaps,
        "stream_s": stream_s,
        "median": statistics.median(errors_us),
        "p99": percentile(errors_us, 99),
        "max": errors_us[-1],
        "cpu_per_min": (cpu1 - cpu0) / (t1 - t0) * 60,
        "hwm_mib": hwm / 1024,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--seconds", type=float, default=40)
    parser.add_argument("--rates", default="2000,8000")
    parser.add_argument("--loss", type=float, default=0)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    if not 1 <= args.seconds <= RUN_CAP_S - START_UP_S:
        parser.error(f"--seconds must be between 1 and {RUN_CAP_S - START_UP_S}")
    build_dir = os.path.abspath(args.build)
    for tool in ("quarlin", "upstream-sim") + (("lossy-link",) if args.loss > 0 else ()):
        if not os.access(os.path.join(build_dir, tool), os.X_OK):
            sys.exit(f"pacing.py: {tool} is not built in {build_dir}")
    receiver = build_receiver(build_dir)

    runs = []
    for kbps in (int(r) for r in args.rates.split(",")):
        runs.append((kbps, 0.0))
        if args.loss > 0:
            runs.append((kbps, args.loss))

    load = os.getloadavg()[0]
    work = tempfile.mkdtemp(prefix="quarlin-pacing-")
    rows = []
    try:
        for kbps, loss in runs:
            print(f"pacing.py: {kbps} kbit/s, loss {loss}% ...", file=sys.stderr)
            r = run_once(build_dir, receiver, kbps, args.seconds, loss, work)
            link = f", {loss:g}% upstream loss" if loss > 0 else ""
            rows.append(
                f"| {kbps / 1000:g} Mbit/s{link} | {r['datagrams']} | {r['gaps']} | "
                f"{r['stream_s']:.1f} | {r['median']:.0f} | {r['p99']:.0f} | {r['max']:.0f} | "
                f"{r['cpu_per_min']:.2f} | {r['hwm_mib']:.1f} |")
    finally:
        if args.keep:
            print(f"pacing.py: arrivals and logs kept in {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)

    print(f"quarlin datagram pacing: {os.cpu_count()} CPUs, load average {load:.1f} at the start, "
          "sample stamped at a constant bitrate\n")
    print("| Stream | Datagrams | Gaps | Stream s | Pacing error median µs | p99 µs | max µs "
          "| CPU s per stream min | Peak RSS MiB |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for row in rows:
        print(row)


if __name__ == "__main__":
    main()
