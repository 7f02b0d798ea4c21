#!/usr/bin/env python3
"""Take-over time: how long a newcomer waits from its connect to its first stream byte while
another player streams. One daemon and one simulator (8 Mbit/s, no lead, loopback); a chain of
players, each connecting while the one before it has streamed for about a second. Also checks
that the earlier holder's stream ends (the daemon closes it) and that the newcomer's stream
matches the sample.

Prints a markdown section. Each player is bounded (10 s to the first byte, 60 s in all).

usage: bench/takeover.py [--build DIR] [--runs N]
"""

import os
import subprocess
import sys
import tempfile
import time

import common as c

KBPS = 8000
HOLD_S = 1.0  # how long each holder streams before the next player connects


def run(build_dir, checker, runs, work):
    """First-byte times (ms) of `runs` newcomers, and how many earlier holders' streams were
    faulty or not closed."""
    procs = c.Procs(work)
    times, faults = [], 0
    try:
        sim_port = c.free_port()
        http_port = c.free_port(c.socket.SOCK_STREAM)
        procs.start(c.sim_args(build_dir, sim_port, KBPS, exit_after=runs * 5 + 30), name="sim")
        if not c.wait_for_text(procs.log_of("sim"), "listening on", 5):
            raise RuntimeError("upstream-sim did not start")
        procs.start([os.path.join(build_dir, "quarlin"), "-h", str(http_port)], name="quarlin")
        if not c.wait_listening(http_port, 5):
            raise RuntimeError("quarlin did not listen")
        url = f"127.0.0.1:{http_port}/127.0.0.1-{sim_port}/sample"

        def player(seconds):
            # The checker times its first stream byte from its own connect.
            return subprocess.Popen([checker, c.SAMPLE, "--http", url, "--seconds", str(seconds),
                                     "--first-timeout", "10", "--idle", "10"],
                                    stdout=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)

        def result_of(p, timeout):
            """The player's result once its stream has ended, or None (then it is ended)."""
            try:
                out, _ = p.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                c.Procs.stop(p)
                return None
            lines = [l for l in out.strip().splitlines() if l.startswith("result")]
            return c.kv(lines[-1]) if lines else None

        def judge(result, newcomer):
            nonlocal faults
            if newcomer:
                ok = result is not None and not result.get("timed_out", 1)
                times.append(result["first_ms"] if ok else None)
            if result is None or result.get("missing", 1) or result.get("late", 1) or \
                    result.get("garbage", 1) or not result.get("payloads"):
                faults += 1

        holder = player(60)
        if c.read_until(holder, "first", 10) is None:
            raise RuntimeError("the first player got no stream")
        holder_is_newcomer = False
        for i in range(runs):
            time.sleep(HOLD_S)
            last = i == runs - 1
            newcomer = player(HOLD_S if last else 60)
            got = c.read_until(newcomer, "first", 10)
            # The daemon closes the old holder's stream: its checker ends on its own.
            judge(result_of(holder, 5), holder_is_newcomer)
            holder, holder_is_newcomer = newcomer, True
            if got is None:
                break
        judge(result_of(holder, HOLD_S + 15), True)
    finally:
        procs.stop_all()
    return times, faults


def main():
    parser = c.bench_parser(__doc__)
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()
    if not 1 <= args.runs <= 100:
        parser.error("--runs must be between 1 and 100")
    build_dir = os.path.abspath(args.build)
    c.need_tools(build_dir, ("quarlin", "upstream-sim"))
    checker = c.helper(build_dir, "stream_check")
    load = c.load_text()
    work = tempfile.mkdtemp(prefix="quarlin-takeover-")
    try:
        c.log(f"{args.runs} take-overs ...")
        times, faults = run(build_dir, checker, args.runs, work)
    finally:
        c.leave_work(work, args.keep)
    ok = sum(1 for t in times if t is not None)
    print("### Take-over time\n")
    print(f"Load average (1, 5, 15 min) before the runs: {load}. One daemon, a chain of "
          f"{args.runs} newcomers, each connecting after its predecessor streamed for "
          f"{HOLD_S:g} s; simulator at {KBPS // 1000} Mbit/s, no lead, RTT about 0.\n")
    print("| Measure | Runs ok | min / median / max |")
    print("|---|---:|---:|")
    print(f"| Newcomer's connect to its first stream byte, ms | {ok}/{len(times)} | "
          f"{c.fmt3(times)} |")
    print(f"\nEarlier holders whose stream had a gap, a late payload or foreign bytes, or was not "
          f"closed within 5 s of the newcomer's first byte: {faults} of {args.runs + 1} players.\n")
    c.write_json(args.json, {"load": load, "times": times, "faults": faults})


if __name__ == "__main__":
    main()
