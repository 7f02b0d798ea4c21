#!/usr/bin/env python3
"""Several players on one stream (-n): what each player costs. For N = 1, 2, 8 and 32 players
of one stream at 8 Mbit/s (one daemon and one simulator a run, loopback): the first player
starts the stream, the others join it a second later, one every 50 ms, and then a window of
--window seconds is measured:

- the sender's wake-ups per datagram: its thread's voluntary context switches (each one a
  sleep it woke from) over the datagrams the daemon received, in the window;
- CPU seconds of the whole daemon per GB it wrote to its players, in the window;
- whether every player got the sample byte-exact (no payload missing, late or foreign);
- the daemon's threads and resident memory (now and at its peak) at the window's end;
- each joiner's wait from its connect to its first stream byte (for N = 1, the first
  player's start).

With --base DIR the build before the change runs beside it where it applies: with one player
(it has no -n; a second player takes the stream over).

Prints a markdown section. Bounded: every process of a run ends within about --window + 20 s.

usage: bench/players.py [--build DIR] [--base DIR] [--window S] [--players 1,2,8,32]
"""

import os
import socket
import subprocess
import tempfile
import time

import common as c

KBPS = 8000




def status_of(pid):
    """Threads, VmRSS and VmHWM (kB) from /proc/PID/status."""
    out = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("Threads", "VmRSS", "VmHWM"):
                    out[key] = int(value.split()[0])
    except OSError:
        pass
    return out


def sender_tid(pid):
    """The sender's thread: of the threads other than the loop's (the main one), the one that
    has slept most often. Client threads end once they have handed their player over."""
    best, most = None, -1
    try:
        tids = [int(t) for t in os.listdir(f"/proc/{pid}/task")]
    except OSError:
        return None
    for tid in tids:
        if tid == pid:
            continue
        n = c.context_switches(pid, tid, kinds=("voluntary_ctxt_switches",))
        if n == n and n > most:
            best, most = tid, n
    return best


def run(build, checker, n, with_n, window_s, work):
    """One daemon with n players; the window's figures."""
    procs = c.Procs(work)
    name = f"{os.path.basename(os.path.dirname(build))}-{n}"
    players = []
    try:
        sim_port, http_port = c.free_ports(2)
        budget = window_s + 20 + n // 4
        procs.start(c.sim_args(build, sim_port, KBPS, exit_after=budget + 10), name=f"sim-{name}")
        if not c.wait_for_text(procs.log_of(f"sim-{name}"), "listening on", 5):
            raise RuntimeError("upstream-sim did not start")
        args = [os.path.join(build, "quarlin"), "-h", str(http_port)]
        if with_n:
            args += ["-n", str(n)]
        relay = procs.start(args, name=f"quarlin-{name}")
        if not c.wait_listening(http_port, 5):
            raise RuntimeError("quarlin did not listen")
        url = f"127.0.0.1:{http_port}/127.0.0.1-{sim_port}/sample"
        # Every player receives until the window's end and a little after.
        end = time.monotonic() + 1 + 0.05 * n + 3 + window_s + 1

        def player():
            seconds = max(1.0, end - time.monotonic())
            return subprocess.Popen([checker, c.SAMPLE, "--http", url, "--seconds",
                                     f"{seconds:.2f}", "--first-timeout", "10", "--idle", "5"],
                                    stdout=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)

        players.append(player())
        if c.read_until(players[0], "first", 10) is None:
            raise RuntimeError("the first player got no stream")
        time.sleep(1.0)
        for _ in range(n - 1):
            players.append(player())
            time.sleep(0.05)
        for p in players[1:]:
            c.read_until(p, "first", 10)
        time.sleep(2.0)  # the joins settled
        pid = relay.pid
        tid = sender_tid(pid)
        m0 = c.metrics(http_port)
        cpu0, sw0 = c.run_seconds(pid), c.context_switches(pid, tid, ("voluntary_ctxt_switches",))
        t0 = time.monotonic()
        time.sleep(window_s)
        cpu1, sw1 = c.run_seconds(pid), c.context_switches(pid, tid, ("voluntary_ctxt_switches",))
        t1 = time.monotonic()
        st = status_of(pid)  # before the page's own client thread exists
        m1 = c.metrics(http_port)
        results = []
        for p in players:
            try:
                out, _ = p.communicate(timeout=max(5.0, end - time.monotonic() + 10))
            except subprocess.TimeoutExpired:
                c.Procs.stop(p)
                out = ""
            lines = [l for l in out.strip().splitlines() if l.startswith("result")]
            results.append(c.kv(lines[-1]) if lines else {})
    finally:
        for p in players:
            c.Procs.stop(p)
        procs.stop_all()
    datagrams = m1.get("quarlin_datagrams_received_total", 0) - \
        m0.get("quarlin_datagrams_received_total", 0)
    out_bytes = m1.get("quarlin_bytes_sent_total", 0) - m0.get("quarlin_bytes_sent_total", 0)
    exact = sum(1 for r in results if r.get("payloads") and not r.get("timed_out", 1) and
                not r.get("missing", 1) and not r.get("late", 1) and not r.get("garbage", 1))
    firsts = [r.get("first_ms") for r in results]
    return {
        "n": n,
        "wakeups_per_datagram": (sw1 - sw0) / datagrams if datagrams > 0 else None,
        "cpu_s_per_gb": (cpu1 - cpu0) / (out_bytes / 1e9) if out_bytes > 0 else None,
        "out_mbps": out_bytes * 8 / (t1 - t0) / 1e6,
        "exact": exact,
        "players": len(results),
        "threads": st.get("Threads"),
        "rss_mb": st.get("VmRSS", 0) / 1024,
        "hwm_mb": st.get("VmHWM", 0) / 1024,
        "start_ms": firsts[0] if firsts else None,
        "join_ms": firsts[1:],
    }


def main():
    parser = c.bench_parser(__doc__)
    parser.add_argument("--base", help="the build before the change, run beside it")
    parser.add_argument("--window", type=float, default=8.0)
    parser.add_argument("--players", default="1,2,8,32")
    args = parser.parse_args()
    counts = [int(x) for x in args.players.split(",")]
    if not 1 <= args.window <= 60 or not all(1 <= n <= 64 for n in counts):
        parser.error("--window is 1 to 60 s, --players 1 to 64 each")
    build = os.path.abspath(args.build)
    c.need_tools(build, ("quarlin", "upstream-sim"))
    checker = c.helper(build, "stream_check")
    builds = [("after", build, True)]
    if args.base:
        base = os.path.abspath(args.base)
        c.need_tools(base, ("quarlin", "upstream-sim"))
        builds.insert(0, ("before", base, False))
    load = c.load_text()
    work = tempfile.mkdtemp(prefix="quarlin-players-")
    rows = []
    for label, path, with_n in builds:
        for n in counts:
            if not with_n and n > 1:
                continue
            c.log(f"{label}: {n} player(s) ...")
            r = run(path, checker, n, with_n, args.window, work)
            r["build"] = label
            rows.append(r)
    if not args.keep:
        subprocess.run(["rm", "-rf", work])
    print("### Several players on one stream\n")
    print(f"Load average (1, 5, 15 min) before the runs: {load}. The simulator at "
          f"{KBPS // 1000} Mbit/s, no lead, loopback; the first player starts the stream, the "
          f"others join it a second later, 50 ms apart; figures over a window of "
          f"{args.window:g} s once all play. \"before\" is the build before the change, which "
          f"serves one player.\n")
    print("| Build | Players | Sender wake-ups per datagram | CPU s per GB out | Out Mbit/s | "
          "Byte-exact | Threads | RSS MB (peak) | First byte ms (start; joins min / median / "
          "max) |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---|")
    for r in rows:
        joins = c.fmt3(r["join_ms"]) if r["join_ms"] else "–"
        print(f"| {r['build']} | {r['n']} | {c.fmt(r['wakeups_per_datagram'], 3)} | "
              f"{c.fmt(r['cpu_s_per_gb'], 2)} | {c.fmt(r['out_mbps'], 1)} | "
              f"{r['exact']}/{r['players']} | {r['threads']} | "
              f"{r['rss_mb']:.1f} ({r['hwm_mb']:.1f}) | {c.fmt(r['start_ms'])}; {joins} |")
    print()
    c.write_json(args.json, {"load": load, "rows": rows})


if __name__ == "__main__":
    main()
