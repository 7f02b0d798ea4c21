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

usage: bench/pacing.py [--build DIR] [--seconds S] [--rates KBPS,...] [--loss P] [--json FILE]
  --build DIR     build folder holding quarlin, upstream-sim and lossy-link (default: build)
  --seconds S     stream seconds measured per run (default 40, at most 55)
  --rates LIST    bitrates in kbit/s to stamp the sample at (default 2000,8000)
  --loss P        also run each rate through lossy-link dropping P% of the upstream's
                  datagrams (default 0: no such runs)
  --keep          keep the arrival lists and logs, and say where
  --json FILE     also write each run's figures to FILE
"""

import os
import statistics
import subprocess
import tempfile
import time

import common as c

SAMPLE = c.SAMPLE
RUN_CAP_S = 60
START_UP_S = 5  # allowance for the daemon's 2 s buffering and start-up within the cap


def percentile(sorted_values, p):
    if not sorted_values:
        return float("nan")
    k = min(len(sorted_values) - 1, max(0, round(p / 100 * (len(sorted_values) - 1))))
    return sorted_values[k]


def build_receiver(build_dir):
    return c.helper(build_dir, "pacing_receiver")


def run_once(build_dir, receiver, kbps, seconds, loss, work):
    """One relay run; returns a dict of results."""
    sim_port = c.free_port()
    procs = c.Procs(work)
    tag = f"{kbps}-{loss}"
    try:
        procs.start(c.sim_args(build_dir, sim_port, kbps=kbps, exit_after=RUN_CAP_S),
                    f"sim-{tag}")
        if not c.wait_for_text(procs.log_of(f"sim-{tag}"), "listening on", 5):
            raise RuntimeError("upstream-sim did not start")
        upstream_port = sim_port
        if loss > 0:
            upstream_port = c.free_port()
            procs.start([os.path.join(build_dir, "lossy-link"), "--listen", str(upstream_port),
                         "--target", f"127.0.0.1:{sim_port}", "--down-loss", str(loss),
                         "--seed", "1", "--exit-after", str(RUN_CAP_S)], f"link-{tag}")
            if not c.wait_for_text(procs.log_of(f"link-{tag}"), "listening on", 5):
                raise RuntimeError("lossy-link did not start")

        arrivals = os.path.join(work, f"arrivals-{tag}.txt")
        rx = procs.start([receiver, SAMPLE, str(seconds), "10", arrivals],
                         stdout=subprocess.PIPE)
        line = c.read_line(rx, 5)
        if not line or not line.startswith("port "):
            raise RuntimeError("receiver did not start")
        rx_port = int(line.split()[1])

        relay = procs.start(
            [os.path.join(build_dir, "quarlin"), "-i", "127.0.0.1", "-r", str(upstream_port),
             "-u", "sample", "-o", "127.0.0.1", "-p", str(rx_port)], f"relay-{tag}")

        if c.read_line(rx, 15) != "first":
            raise RuntimeError("nothing relayed")
        cpu0, t0 = c.cpu_seconds(relay.pid), time.monotonic()
        remaining = RUN_CAP_S - START_UP_S
        try:
            rx.wait(timeout=min(seconds + 12, remaining))
        except subprocess.TimeoutExpired:
            raise RuntimeError("receiver overran the run's time cap")
        cpu1, t1 = c.cpu_seconds(relay.pid), time.monotonic()
        hwm = c.vm_hwm_kib(relay.pid)
        summary = rx.stdout.read().strip()
    finally:
        procs.stop_all()

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
    parser = c.bench_parser(__doc__)
    parser.add_argument("--seconds", type=float, default=40)
    parser.add_argument("--rates", default="2000,8000")
    parser.add_argument("--loss", type=float, default=0)
    args = parser.parse_args()
    if not 1 <= args.seconds <= RUN_CAP_S - START_UP_S:
        parser.error(f"--seconds must be between 1 and {RUN_CAP_S - START_UP_S}")
    build_dir = os.path.abspath(args.build)
    tools = ("quarlin", "upstream-sim") + (("lossy-link",) if args.loss > 0 else ())
    c.need_tools(build_dir, tools)
    receiver = build_receiver(build_dir)

    runs = []
    for kbps in (int(r) for r in args.rates.split(",")):
        runs.append((kbps, 0.0))
        if args.loss > 0:
            runs.append((kbps, args.loss))

    load = os.getloadavg()[0]
    work = tempfile.mkdtemp(prefix="quarlin-pacing-")
    rows, figures = [], []
    try:
        for kbps, loss in runs:
            c.log(f"{kbps} kbit/s, loss {loss}% ...")
            r = run_once(build_dir, receiver, kbps, args.seconds, loss, work)
            figures.append({"kbps": kbps, "loss": loss, **r})
            link = f", {loss:g}% upstream loss" if loss > 0 else ""
            rows.append(
                f"| {kbps / 1000:g} Mbit/s{link} | {r['datagrams']} | {r['gaps']} | "
                f"{r['stream_s']:.1f} | {r['median']:.0f} | {r['p99']:.0f} | {r['max']:.0f} | "
                f"{r['cpu_per_min']:.2f} | {r['hwm_mib']:.1f} |")
    finally:
        c.leave_work(work, args.keep, "arrivals and logs")

    print(f"quarlin datagram pacing: {os.cpu_count()} CPUs, load average {load:.1f} at the start, "
          "sample stamped at a constant bitrate\n")
    print("| Stream | Datagrams | Gaps | Stream s | Pacing error median µs | p99 µs | max µs "
          "| CPU s per stream min | Peak RSS MiB |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for row in rows:
        print(row)
    c.write_json(args.json, {"load": load, "runs": figures})


if __name__ == "__main__":
    main()
