#!/usr/bin/env python3
"""Start time: how long a player waits from its connect to its first stream byte (the first
byte after the daemon's 66-byte response head) when nobody held the stream before, with the
upstream about 0 ms and 50 ms round trip away. Each run starts a fresh daemon, so no earlier
holder and no earlier round-trip estimate exist. The 50 ms round trip is lossy-link delaying
each direction by 25 ms.

Beside it, the peer srt-live-transmit (Debian's srt-tools) at its default latency: a sender
already runs (bench/udp_source.cpp -> srt-live-transmit, listener); the time is from starting
the receiver (srt-live-transmit, caller, to file://con) to its first output byte, over the same
link.

With --latency MS (or auto) the daemon also runs in its playout-latency mode (-L MS or -L auto),
in rows of its own beside the default ones.

Prints a markdown section. Each run is bounded (10 s to the first byte).

usage: bench/start_time.py [--build DIR] [--runs N] [--rtts MS,...] [--latency MS|auto]
                           [--no-peer]
"""

import os
import select
import subprocess
import sys
import tempfile
import time

import common as c

KBPS = 8000  # the simulator's constant bitrate while measuring


def daemon_runs(build_dir, checker, rtt_ms, runs, work, latency=0):
    """first-byte times (ms) of `runs` fresh daemons; also the rtt each used for its wait.
    latency: the daemon's -L, 0 for its default pacing."""
    procs = c.Procs(work)
    times, waits = [], []
    try:
        sim_port, link_port = c.free_ports(2)
        # Each run's session is short: bounded in datagrams and idle time, so the sessions of
        # ended daemons do not pile up.
        sim = f"sim-{rtt_ms}-{latency}"
        procs.start(c.sim_args(build_dir, sim_port, KBPS, exit_after=runs * 10 + 30, idle_s=2,
                               extra=("--max-datagrams", "2000")), name=sim)
        if not c.wait_for_text(procs.log_of(sim), "listening on", 5):
            raise RuntimeError("upstream-sim did not start")
        up = sim_port
        if rtt_ms:
            link = f"link-{rtt_ms}-{latency}"
            procs.start(c.link_args(build_dir, link_port, sim_port, rtt_ms=rtt_ms,
                                    exit_after=runs * 10 + 30), name=link)
            if not c.wait_for_text(procs.log_of(link), "listening on", 5):
                raise RuntimeError("lossy-link did not start")
            up = link_port
        for i in range(runs):
            http_port = c.free_port(c.socket.SOCK_STREAM)
            name = f"quarlin-{rtt_ms}-{latency}-{i}"
            relay = c.Procs(work)
            mode = ["-L", str(latency)] if latency else []
            try:
                d = relay.start([os.path.join(build_dir, "quarlin"), "-h", str(http_port)] + mode,
                                name=name)
                if not c.wait_listening(http_port, 5):
                    raise RuntimeError("quarlin did not listen")
                chk = subprocess.run(
                    [checker, c.SAMPLE, "--http", f"127.0.0.1:{http_port}/127.0.0.1-{up}/sample",
                     "--seconds", "0.3", "--first-timeout", "10"],
                    capture_output=True, text=True, timeout=20)
                r = c.kv(chk.stdout.splitlines()[-1]) if chk.stdout else {}
                if r.get("timed_out", 1) or r.get("head") != c.HTTP_HEAD_BYTES:
                    times.append(None)
                else:
                    times.append(r["first_ms"])
            finally:
                relay.stop_all()
            waits.append(c.first_wait_rtt_ms(procs.log_of(name)))
            time.sleep(0.2)  # let the simulator's session for the old socket lapse quietly
    finally:
        procs.stop_all()
    return times, waits




def peer_runs(build_dir, source, rtt_ms, runs, work, latency=120):
    procs = c.Procs(work)
    times = []
    try:
        src_port, srt_port, link_port = c.free_ports(3)
        budget = runs * 8 + 30
        procs.start(["srt-live-transmit", "-q", "-t", str(budget), f"udp://127.0.0.1:{src_port}",
                     f"srt://127.0.0.1:{srt_port}?mode=listener&latency={latency}"],
                    name=f"srt-send-{rtt_ms}")
        procs.start([source, c.SAMPLE, "127.0.0.1", str(src_port), str(KBPS), str(budget)],
                    name=f"source-{rtt_ms}")
        target = srt_port
        if rtt_ms:
            procs.start(c.link_args(build_dir, link_port, srt_port, rtt_ms=rtt_ms,
                                    exit_after=budget), name=f"srt-link-{rtt_ms}")
            if not c.wait_for_text(procs.log_of(f"srt-link-{rtt_ms}"), "listening on", 5):
                raise RuntimeError("lossy-link did not start")
            target = link_port
        time.sleep(1.0)  # the sender is up and its source flowing
        for i in range(runs):
            t0 = time.monotonic()
            rx = subprocess.Popen(
                ["srt-live-transmit", "-q", "-t", "15",
                 f"srt://127.0.0.1:{target}?mode=caller&latency={latency}", "file://con"],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            try:
                ready, _, _ = select.select([rx.stdout], [], [], 10)
                t1 = time.monotonic()
                got = ready and os.read(rx.stdout.fileno(), 1)
                times.append((t1 - t0) * 1000 if got else None)
            finally:
                c.Procs.stop(rx)
            time.sleep(0.5)  # the listener is back to listening
    finally:
        procs.stop_all()
    return times


def main():
    parser = c.bench_parser(__doc__)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--rtts", default="0,50")
    parser.add_argument("--latency", default="0",
                        help="also run the daemon with -L MS or -L auto (default 0: only without)")
    parser.add_argument("--no-peer", action="store_true")
    args = parser.parse_args()
    if not 1 <= args.runs <= 100:
        parser.error("--runs must be between 1 and 100")
    if args.latency != "auto" and not args.latency.isdigit():
        parser.error("--latency takes milliseconds or auto")
    if args.latency == "0":
        args.latency = None
    build_dir = os.path.abspath(args.build)
    c.need_tools(build_dir, ("quarlin", "upstream-sim", "lossy-link"))
    if not args.no_peer:
        c.need_commands(["srt-live-transmit"])
    checker = c.helper(build_dir, "stream_check")
    source = c.helper(build_dir, "udp_source")
    rtts = [int(r) for r in args.rtts.split(",")]

    load = c.load_text()
    work = tempfile.mkdtemp(prefix="quarlin-start-")
    rows, figures = [], []
    try:
        for rtt in rtts:
            c.log(f"quarlin, rtt {rtt} ms, {args.runs} runs ...")
            times, waits = daemon_runs(build_dir, checker, rtt, args.runs, work)
            rows.append((f"quarlin, RTT {rtt} ms", times,
                         "rtt used for the first wait: " + c.fmt3(waits, 0) + " ms"))
            figures.append({"relay": "quarlin", "rtt": rtt, "times": times, "rtt_used": waits})
            if args.latency:
                c.log(f"quarlin -L {args.latency}, rtt {rtt} ms, {args.runs} runs ...")
                times, _ = daemon_runs(build_dir, checker, rtt, args.runs, work, args.latency)
                rows.append((f"quarlin -L {args.latency}, RTT {rtt} ms", times,
                             "played out a latency after the first datagram arrived"))
                figures.append({"relay": "quarlin", "latency": args.latency, "rtt": rtt,
                                 "times": times})
            if not args.no_peer:
                c.log(f"srt-live-transmit, rtt {rtt} ms, {args.runs} runs ...")
                ptimes = peer_runs(build_dir, source, rtt, args.runs, work)
                rows.append((f"srt-live-transmit (latency 120 ms), RTT {rtt} ms", ptimes,
                             "receiver start to first output byte"))
                figures.append({"relay": "srt", "rtt": rtt, "times": ptimes})
    finally:
        c.leave_work(work, args.keep)

    print("### Start time\n")
    print(f"Load average (1, 5, 15 min) before the runs: {load}. {args.runs} runs per row; "
          f"the simulator stamps the sample at {KBPS // 1000} Mbit/s with no lead.\n")
    print("| Player and upstream | Runs ok | First stream byte ms, min / median / max | Note |")
    print("|---|---:|---:|---|")
    for label, times, note in rows:
        ok = sum(1 for t in times if t is not None)
        print(f"| {label} | {ok}/{len(times)} | {c.fmt3(times)} | {note} |")
    print()
    c.write_json(args.json, {"load": load, "runs": figures})


if __name__ == "__main__":
    main()
