#!/usr/bin/env python3
"""Cost: CPU seconds per GB relayed, for quarlin in HTTP and in datagram mode, beside ffmpeg
re-streaming UDP as HTTP and socat copying UDP datagrams into TCP (the floor for a relay that
only copies), at several bitrates. The four relays of a bitrate run at the same time, each on
its own feed:

  quarlin, HTTP:      upstream-sim --cbr R -> quarlin -h -> HTTP player
  quarlin, datagram:  upstream-sim --cbr R -> quarlin -o -p -> datagram consumer
  ffmpeg:             udp_source R -> ffmpeg -i udp://... -c copy -f mpegts -listen 1 http://...
                      -> HTTP player
  socat:              udp_source R -> socat -u UDP-RECV:... TCP:... -> TCP consumer

(udp_source sends the simulator's payloads without its 12-byte header.) CPU is taken over a window that
opens --warmup seconds after the consumer's first stream byte and closes --seconds later; the
bytes are those the consumer received in that window. It is read two ways: the relay process's
utime + stime from /proc/PID/stat, in 10 ms clock ticks (at 2 Mbit/s a window holds only a few
of them, so that column is coarse), and the sum of its threads' run time from
/proc/PID/task/*/schedstat, in nanoseconds, which the main column uses. Wake-ups per datagram
are the relay's context switches over the same window (voluntary and involuntary, summed over
its threads from /proc/PID/task/*/status) divided by the 1316-byte datagrams of stream the
consumer received; unlike CPU time on a shared machine they hardly vary between runs. Peak
resident memory (VmHWM) of the daemon is read at the end of each run.

Each --build-b DIR (repeatable) is another daemon build (an older commit, say) whose two rows,
labelled B, C, ..., run beside the first on feeds of their own, so that the builds are compared
in the same run.

Prints a markdown section. Every process is bounded (--seconds + --warmup + 40 s).

usage: bench/cost.py [--build DIR] [--build-b DIR] [--rates KBPS,...] [--seconds S]
                     [--warmup S] [--repeats N]
"""

import os
import subprocess
import sys
import tempfile
import threading
import time

import common as c

RELAYS = ("quarlin, HTTP", "quarlin, datagram", "ffmpeg, UDP to HTTP", "socat, UDP to TCP")


def other_relays(builds_b):
    """[(daemon build, label, (HTTP row, datagram row))] of the --build-b builds."""
    return [(d, chr(ord("B") + i), (f"quarlin {chr(ord('B') + i)}, HTTP",
                                    f"quarlin {chr(ord('B') + i)}, datagram"))
            for i, d in enumerate(builds_b)]


def watch(checker_proc, relay_pid, timeout_s, out):
    """Reads the consumer's lines; samples the relay's CPU at its mark and at its result."""
    if c.read_until(checker_proc, "first", timeout_s) is None:
        out["error"] = "no stream"
        return
    mark = c.read_until(checker_proc, "mark", timeout_s)
    cpu0, run0 = c.cpu_seconds(relay_pid), c.run_seconds(relay_pid)
    switches0 = c.context_switches(relay_pid)
    forced0 = c.context_switches(relay_pid, kinds=("nonvoluntary_ctxt_switches",))
    tids = list(c.thread_cpu(relay_pid))
    main0 = c.run_seconds_tid(relay_pid, relay_pid)
    main_switches0 = c.context_switches(relay_pid, relay_pid)
    result = c.read_until(checker_proc, "result", timeout_s)
    cpu1, run1 = c.cpu_seconds(relay_pid), c.run_seconds(relay_pid)
    switches1 = c.context_switches(relay_pid)
    forced1 = c.context_switches(relay_pid, kinds=("nonvoluntary_ctxt_switches",))
    main1 = c.run_seconds_tid(relay_pid, relay_pid)
    main_switches1 = c.context_switches(relay_pid, relay_pid)
    out["threads"] = len(tids)
    if mark is None or result is None:
        out["error"] = "stream ended early"
        return
    out["bytes"] = c.kv(result)["bytes"] - c.kv(mark)["bytes"]
    out["cpu"] = cpu1 - cpu0
    out["run"] = run1 - run0
    out["switches"] = switches1 - switches0
    out["forced_switches"] = forced1 - forced0  # involuntary: put off a core by the scheduler
    out["main_switches"] = main_switches1 - main_switches0
    out["main_thread"] = main1 - main0  # quarlin: the event loop (intake); the rest: the sender
    out["hwm_kib"] = c.vm_hwm_kib(relay_pid)
    r = c.kv(result)
    out["intact"] = r.get("missing") == 0 and r.get("garbage") == 0 if "missing" in r else None


def run_rate(build_dir, builds_b, checker, source, kbps, seconds, warmup, work):
    procs = c.Procs(work)
    tag = f"cost-{kbps}"
    cap = int(seconds + warmup + 40)
    others = other_relays(builds_b)
    relays = RELAYS + tuple(n for _, _, names in others for n in names)
    results = {name: {} for name in relays}
    watchers = []
    try:
        def check(args, name):
            return procs.start([checker, c.SAMPLE] + args +
                               ["--seconds", str(seconds + warmup), "--warmup", str(warmup),
                                "--first-timeout", str(cap - 5), "--idle", "5"],
                               name=name, stdout=subprocess.PIPE)

        def sim(name):
            port = c.free_port()
            procs.start(c.sim_args(build_dir, port, kbps, exit_after=cap), name=name)
            if not c.wait_for_text(procs.log_of(name), "listening on", 5):
                raise RuntimeError("upstream-sim did not start")
            return port

        def quarlin(daemon_dir, label, names):
            sim_a = sim(f"{tag}-sim-http{label}")
            http_port = c.free_port(c.socket.SOCK_STREAM)
            qa = procs.start([os.path.join(daemon_dir, "quarlin"), "-h", str(http_port)],
                             name=f"{tag}-quarlin-http{label}")
            if not c.wait_listening(http_port, 5):
                raise RuntimeError("quarlin did not listen")
            ca = check(["--http", f"127.0.0.1:{http_port}/127.0.0.1-{sim_a}/sample"],
                       f"{tag}-check-http{label}")
            watchers.append((ca, qa, results[names[0]]))

            sim_b = sim(f"{tag}-sim-dgram{label}")
            cb = check(["--udp", "0"], f"{tag}-check-dgram{label}")
            line = c.read_until(cb, "port", 5)
            if line is None:
                raise RuntimeError("datagram consumer did not start")
            qb = procs.start([os.path.join(daemon_dir, "quarlin"), "-i", "127.0.0.1", "-r",
                              str(sim_b), "-u", "sample", "-o", "127.0.0.1", "-p",
                              line.split()[1]], name=f"{tag}-quarlin-dgram{label}")
            watchers.append((cb, qb, results[names[1]]))

        quarlin(build_dir, "", RELAYS[:2])
        for daemon_dir, label, names in others:
            quarlin(daemon_dir, f"-{label}", names)

        # ffmpeg
        in_port = c.free_port()
        out_port = c.free_port(c.socket.SOCK_STREAM)
        ff = procs.start(["ffmpeg", "-nostdin", "-loglevel", "error", "-i",
                          f"udp://127.0.0.1:{in_port}", "-c", "copy", "-f", "mpegts",
                          "-listen", "1", f"http://127.0.0.1:{out_port}"], name=f"{tag}-ffmpeg")
        procs.start([source, c.SAMPLE, "127.0.0.1", str(in_port), str(kbps), str(cap)],
                    name=f"{tag}-source-ffmpeg")
        cc = check(["--http", f"127.0.0.1:{out_port}/", "--connect-timeout", "20", "--no-match"],
                   f"{tag}-check-ffmpeg")
        watchers.append((cc, ff, results[RELAYS[2]]))

        # socat
        cd = check(["--tcp-listen", "0", "--no-match"], f"{tag}-check-socat")
        line = c.read_until(cd, "port", 5)
        if line is None:
            raise RuntimeError("TCP consumer did not start")
        in_port2 = c.free_port()
        so = procs.start(["socat", "-u", f"UDP-RECV:{in_port2},bind=127.0.0.1",
                          f"TCP:127.0.0.1:{line.split()[1]}"], name=f"{tag}-socat")
        time.sleep(0.2)
        procs.start([source, c.SAMPLE, "127.0.0.1", str(in_port2), str(kbps), str(cap)],
                    name=f"{tag}-source-socat")
        watchers.append((cd, so, results[RELAYS[3]]))

        threads = [threading.Thread(target=watch, args=(chk, relay.pid, cap, out))
                   for chk, relay, out in watchers]
        for t in threads:
            t.start()
        for t in threads:
            t.join(cap + 10)
    finally:
        procs.stop_all()
    logs = [(RELAYS[0], f"{tag}-quarlin-http"), (RELAYS[1], f"{tag}-quarlin-dgram")]
    for _, label, names in others:
        logs += [(names[0], f"{tag}-quarlin-http-{label}"),
                 (names[1], f"{tag}-quarlin-dgram-{label}")]
    for name, log in logs:
        results[name]["suspend_lines"] = c.count_lines(procs.log_of(log), "queue full")
        results[name]["ring_full_lines"] = c.count_lines(procs.log_of(log), "!! ring full")
    return results




def main():
    parser = c.bench_parser(__doc__)
    parser.add_argument("--build-b", action="append", default=[],
                        help="another daemon build whose two rows run beside (repeatable)")
    parser.add_argument("--rates", default="2000,8000,20000,50000")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--warmup", type=float, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    if not 1 <= args.seconds <= 120 or not 0 <= args.warmup <= 20:
        parser.error("--seconds must be 1..120 and --warmup 0..20")
    if not 1 <= args.repeats <= 10:
        parser.error("--repeats must be between 1 and 10")
    build_dir = os.path.abspath(args.build)
    c.need_tools(build_dir, ("quarlin", "upstream-sim"))
    c.need_commands(["ffmpeg", "socat"])
    checker = c.helper(build_dir, "stream_check")
    source = c.helper(build_dir, "udp_source")
    rates = [int(r) for r in args.rates.split(",")]
    builds_b = [os.path.abspath(d) for d in args.build_b]
    for d in builds_b:
        c.need_tools(d, ("quarlin",))
    others = other_relays(builds_b)
    relays = RELAYS + tuple(n for _, _, names in others for n in names)

    load = c.load_text()
    work = tempfile.mkdtemp(prefix="quarlin-cost-")
    runs = {(kbps, name): [] for kbps in rates for name in relays}
    try:
        for rep in range(args.repeats):
            for kbps in rates:
                c.log(f"{kbps} kbit/s, repeat {rep + 1} ...")
                res = run_rate(build_dir, builds_b, checker, source, kbps, args.seconds,
                               args.warmup, work)
                for name in relays:
                    runs[(kbps, name)].append(res[name])
    finally:
        c.leave_work(work, args.keep)

    tick = 1 / os.sysconf("SC_CLK_TCK")
    # ffmpeg's re-multiplexed output leaves out the sample's null packets: its bytes are
    # counted as the input bytes they stand for.
    nulls = c.null_share()
    for (kbps, name), rs in runs.items():
        for r in rs:
            if r.get("bytes"):
                r["stream_bytes"] = r["bytes"] / (1 - nulls) if name.startswith("ffmpeg") \
                    else r["bytes"]
    c.write_json(args.json, {"load": load, "runs": [{"kbps": k, "relay": n, "runs": v}
                                                   for (k, n), v in runs.items()]})
    print("### Cost\n")
    print(f"Load average (1, 5, 15 min) before the runs: {load}. The {len(relays)} relays of a "
          "bitrate "
          f"run at once; window {args.seconds:g} s from {args.warmup:g} s after the first stream "
          f"byte; {args.repeats} repeats. GB = 10^9 bytes of the stream; ffmpeg's output leaves out "
          f"the sample's null packets ({100 * nulls:.1f} % of it), so its bytes are scaled up to "
          "the input they stand for." +
          "".join(f" quarlin {label} is the build in {d}." for d, label, _ in others) + "\n")
    print("| Bitrate Mbit/s | Relay | CPU s per GB (schedstat), min / median / max | "
          "Wake-ups per datagram, min / median / max | of them involuntary (median) | utime+stime s per GB (median) | ticks in the window (median) | Received Mbit/s "
          "(median) | Stream intact | Daemon: event loop / sender thread s per GB (median) | "
          "Daemon: event loop / sender thread wake-ups per datagram (median) | "
          "Daemon's suspend / ring-full log lines (median) |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|---|---|---|---|")
    hwm = []
    for kbps in rates:
        for name in relays:
            rs = [r for r in runs[(kbps, name)] if "cpu" in r and r.get("bytes")]
            wakes = [r["switches"] / (r["stream_bytes"] / c.PAYLOAD) for r in rs]
            forced = [r["forced_switches"] / (r["stream_bytes"] / c.PAYLOAD) for r in rs]
            per_gb = [r["run"] / (r["stream_bytes"] / 1e9) for r in rs]
            per_gb_ticks = [r["cpu"] / (r["stream_bytes"] / 1e9) for r in rs]
            rate = [r["stream_bytes"] * 8 / args.seconds / 1e6 for r in rs]
            ticks = [round(r["cpu"] / tick) for r in rs]
            intact = [r.get("intact") for r in rs if r.get("intact") is not None]
            intact_text = ("–" if not intact else
                           f"{sum(intact)}/{len(intact)} runs")
            errors = [r["error"] for r in runs[(kbps, name)] if "error" in r]
            flow = split = wake_split = "–"
            if name.startswith("quarlin"):
                loop = [r["main_thread"] / (r["stream_bytes"] / 1e9) for r in rs]
                sender = [(r["run"] - r["main_thread"]) / (r["stream_bytes"] / 1e9) for r in rs]
                split = f"{c.fmt(c.summary(loop)[1], 2)} / {c.fmt(c.summary(sender)[1], 2)}"
                n = [r["stream_bytes"] / c.PAYLOAD for r in rs]
                loop_w = [r["main_switches"] / k for r, k in zip(rs, n)]
                sender_w = [(r["switches"] - r["main_switches"]) / k for r, k in zip(rs, n)]
                wake_split = (f"{c.fmt(c.summary(loop_w)[1], 2)} / "
                              f"{c.fmt(c.summary(sender_w)[1], 2)}")
                flow = (f"{c.fmt(c.summary([r.get('suspend_lines') for r in rs])[1], 0)} / "
                        f"{c.fmt(c.summary([r.get('ring_full_lines') for r in rs])[1], 0)}")
            note = f" ({len(errors)} failed: {errors[0]})" if errors else ""
            print(f"| {kbps / 1000:g} | {name}{note} | {c.fmt3(per_gb, 2)} | "
                  f"{c.fmt3(wakes, 2)} | {c.fmt(c.summary(forced)[1], 2)} | "
                  f"{c.fmt(c.summary(per_gb_ticks)[1], 2)} | {c.fmt(c.summary(ticks)[1], 0)} | "
                  f"{c.fmt(c.summary(rate)[1], 2)} | {intact_text} | {split} | {wake_split} | {flow} |")
            if name.startswith("quarlin"):
                hwm += [(kbps, name, r["hwm_kib"]) for r in rs if r.get("hwm_kib")]
    print()
    if hwm:
        print("Peak resident memory of the daemon (VmHWM, MiB), min / median / max: " +
              "; ".join(f"{name} at {kbps / 1000:g} Mbit/s {c.fmt3([h / 1024 for k, n, h in hwm if k == kbps and n == name])}"
                        for kbps in rates for name in relays if name.startswith("quarlin")
                        if any(k == kbps and n == name for k, n, _ in hwm)) + ".\n")


if __name__ == "__main__":
    main()
