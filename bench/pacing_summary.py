#!/usr/bin/env python3
"""Pacing over repeated runs: runs bench/pacing.py's datagram-mode measurement (the daemon's
send times against the stream's timestamps, its CPU and its peak resident memory) --repeats
times per bitrate and prints min / median / max of each figure as a markdown section.

usage: bench/pacing_summary.py [--build DIR] [--rates KBPS,...] [--seconds S] [--repeats N]
"""

import argparse
import os
import shutil
import sys
import tempfile

import common as c
import pacing


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=c.default_build())
    parser.add_argument("--rates", default="8000")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    if not 1 <= args.seconds <= pacing.RUN_CAP_S - pacing.START_UP_S:
        parser.error(f"--seconds must be between 1 and {pacing.RUN_CAP_S - pacing.START_UP_S}")
    if not 1 <= args.repeats <= 10:
        parser.error("--repeats must be between 1 and 10")
    build_dir = os.path.abspath(args.build)
    c.need_tools(build_dir, ("quarlin", "upstream-sim"))
    receiver = pacing.build_receiver(build_dir)
    load = c.load_text()
    work = tempfile.mkdtemp(prefix="quarlin-pacing-summary-")
    runs = {}
    try:
        for kbps in (int(r) for r in args.rates.split(",")):
            for rep in range(args.repeats):
                c.log(f"{kbps} kbit/s, repeat {rep + 1} ...")
                runs.setdefault(kbps, []).append(
                    pacing.run_once(build_dir, receiver, kbps, args.seconds, 0.0, work))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("### Pacing and memory (datagram mode)\n")
    print(f"Load average (1, 5, 15 min) before the runs: {load}. bench/pacing.py's measurement, "
          f"{args.seconds:g} s of stream per run, {args.repeats} runs per bitrate. Pacing error: "
          "a datagram's arrival at the consumer less its ideal time (its byte position over the "
          "bitrate), less the smallest such difference of the run.\n")
    print("| Stream | Gaps | Pacing error median µs | p99 µs | max µs | CPU s per stream min | "
          "Peak RSS MiB |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for kbps, rs in runs.items():
        col = lambda key, d=0: c.fmt3([r[key] for r in rs], d)  # noqa: E731
        print(f"| {kbps / 1000:g} Mbit/s | {col('gaps')} | {col('median')} | {col('p99')} | "
              f"{col('max')} | {col('cpu_per_min', 2)} | {col('hwm_mib', 1)} |")
    print("\n(min / median / max over the runs)\n")
    c.write_json(args.json, {"load": load, "runs": {str(k): v for k, v in runs.items()}})


if __name__ == "__main__":
    main()
