#!/usr/bin/env python3
"""Ceiling: the highest bitrate at which a relay with no configured loss stays byte-exact
(every payload, in order, nothing foreign) and keeps up (the player receives at least 99 % of
the nominal rate), found by doubling from --low until a run fails or --high is reached, then
bisecting until the bracket is narrower than --precision. Each probe is one run of --seconds
on loopback: upstream-sim --cbr R -> quarlin -h -> HTTP player, or with --mode datagram
upstream-sim --cbr R -> quarlin -o -p -> datagram consumer. --rates probes the listed bitrates
instead of searching.

Each probe also records what could limit it: the simulator's own rate (new datagrams sent per
second against the nominal rate) and CPU, the daemon's two threads' CPU (the event loop, which
drains the upstream socket and then sleeps 20 ms, and the client thread that runs the paced
sender), datagrams the kernel dropped on the daemon's upstream socket (its receive buffer
overflowing between drains), and how often the daemon suspended the upstream (its ring's
backlog reaching 4721 of 5120 slots) or dropped a datagram for a full ring.

Prints a markdown section. Probes are bounded: at most --max-probes, each capped at
--seconds + 30 s.

usage: bench/ceiling.py [--build DIR] [--mode http|datagram] [--seconds S] [--low KBPS]
                        [--high KBPS] [--precision F] [--max-probes N] [--rates KBPS,...]
"""

import os
import struct
import subprocess
import sys
import tempfile
import time

import common as c




def probe(build_dir, checker, kbps, seconds, work, mode="http"):
    procs = c.Procs(work)
    tag = f"ceiling-{kbps}"
    out = {"kbps": kbps}
    try:
        sim_port = c.free_port()
        sim = procs.start(c.sim_args(build_dir, sim_port, kbps, exit_after=int(seconds + 30)),
                          name=f"{tag}-sim")
        if not c.wait_for_text(procs.log_of(f"{tag}-sim"), "listening on", 5):
            raise RuntimeError("upstream-sim did not start")
        daemon = os.path.join(build_dir, "quarlin")
        check = ["--seconds", str(seconds), "--first-timeout", "10", "--idle", "5"]
        if mode == "http":
            http_port = c.free_port(c.socket.SOCK_STREAM)
            relay = procs.start([daemon, "-h", str(http_port)], name=f"{tag}-quarlin")
            if not c.wait_listening(http_port, 5):
                raise RuntimeError("quarlin did not listen")
            chk = procs.start([checker, c.SAMPLE, "--http",
                               f"127.0.0.1:{http_port}/127.0.0.1-{sim_port}/sample"] + check,
                              name=f"{tag}-check", stdout=subprocess.PIPE)
        else:
            chk = procs.start([checker, c.SAMPLE, "--udp", "0"] + check, name=f"{tag}-check",
                              stdout=subprocess.PIPE)
            line = c.read_until(chk, "port", 5)
            if line is None:
                raise RuntimeError("datagram consumer did not start")
            relay = procs.start([daemon, "-i", "127.0.0.1", "-r", str(sim_port), "-u", "sample",
                                 "-o", "127.0.0.1", "-p", line.split()[1]],
                                name=f"{tag}-quarlin")
        if c.read_until(chk, "first", 12) is None:
            out["error"] = "no stream"
            return out
        t0 = time.monotonic()
        sim0, threads0 = c.run_seconds(sim.pid), c.thread_cpu(relay.pid)
        threads0 = {tid: c.run_seconds_tid(relay.pid, tid) for tid in threads0}
        result = c.read_until(chk, "result", seconds + 20)
        t1 = time.monotonic()
        sim1 = c.run_seconds(sim.pid)
        threads1 = {tid: c.run_seconds_tid(relay.pid, tid) for tid in threads0}
        out["drops"] = c.udp_drops(relay.pid)
        if result is None:
            out["error"] = "player overran its time"
            return out
        out.update(c.kv(result))
        wall = t1 - t0
        out["sim_cpu"] = (sim1 - sim0) / wall
        loop = threads1.get(relay.pid, 0) - threads0.get(relay.pid, 0)
        others = sum(threads1[t] - threads0[t] for t in threads0 if t != relay.pid)
        out["loop_cpu"] = loop / wall
        out["sender_cpu"] = others / wall
    finally:
        procs.stop_all()
    sim_counters = c.counters(procs.log_of(f"{tag}-sim"), "upstream-sim counters:")
    log = procs.log_of(f"{tag}-quarlin")
    out["suspends"] = c.count_lines(log, "queue full")
    out["ring_full"] = c.count_lines(log, "!! ring full")
    out["idle_waits"] = c.count_lines(log, "sendpos ", " = curpos ")
    out["rebuffers"] = max(0, c.count_lines(log, "Sleeping to get buffer") - 1)
    out["retransmitted"] = sim_counters.get("retransmitted")
    if out.get("seconds"):
        out["rx_mbps"] = out["bytes"] * 8 / out["seconds"] / 1e6
    # The simulator's new datagrams over its session (from the request, about first_ms before
    # the first byte, to the stop when the player leaves) against the nominal rate.
    sent = sim_counters.get("sent", 0)
    span = out.get("seconds", 0) + out.get("first_ms", 0) / 1000
    out["sim_mbps"] = sent * c.PAYLOAD * 8 / 1e6 / span if sent and span else None
    out["ok"] = (out.get("payloads", 0) > 0 and out.get("missing") == 0 and
                 out.get("late") == 0 and out.get("garbage") == 0 and
                 out.get("rx_mbps", 0) >= 0.99 * kbps / 1000)
    return out


def sim_alone(build_dir, kbps, seconds, work):
    """What the simulator sends on its own at kbps: a bare client asks for the stream, reads
    nothing, and stops it after `seconds`. Returns (Mbit/s of new datagrams, CPU share)."""
    procs = c.Procs(work)
    tag = f"sim-alone-{kbps}"
    try:
        port = c.free_port()
        sim = procs.start(c.sim_args(build_dir, port, kbps, exit_after=int(seconds + 20)),
                          name=tag)
        if not c.wait_for_text(procs.log_of(tag), "listening on", 5):
            raise RuntimeError("upstream-sim did not start")
        with c.socket.socket(c.socket.AF_INET, c.socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            request = struct.pack("<I", 2) + b"sample\0" + bytes(4)
            s.sendto(request, ("127.0.0.1", port))
            cpu0, t0 = c.run_seconds(sim.pid), time.monotonic()
            time.sleep(seconds)
            cpu1, t1 = c.run_seconds(sim.pid), time.monotonic()
            s.sendto(struct.pack("<I", 2) + bytes(5), ("127.0.0.1", port))  # stop
            time.sleep(0.2)
    finally:
        procs.stop_all()
    sent = c.counters(procs.log_of(tag), "upstream-sim counters:").get("sent", 0)
    return sent * c.PAYLOAD * 8 / 1e6 / (t1 - t0), (cpu1 - cpu0) / (t1 - t0)


def main():
    parser = c.bench_parser(__doc__)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--low", type=int, default=100000)
    parser.add_argument("--high", type=int, default=1600000)
    parser.add_argument("--precision", type=float, default=1.15)
    parser.add_argument("--max-probes", type=int, default=7)
    parser.add_argument("--mode", choices=("http", "datagram"), default="http")
    parser.add_argument("--rates", help="probe these bitrates (kbit/s) instead of searching")
    args = parser.parse_args()
    if not 1 <= args.seconds <= 60:
        parser.error("--seconds must be between 1 and 60")
    if not 0 < args.low < args.high or args.precision <= 1 or not 1 <= args.max_probes <= 12:
        parser.error("need 0 < --low < --high, --precision > 1, 1 <= --max-probes <= 12")
    build_dir = os.path.abspath(args.build)
    c.need_tools(build_dir, ("quarlin", "upstream-sim"))
    checker = c.helper(build_dir, "stream_check")

    load = c.load_text()
    work = tempfile.mkdtemp(prefix="quarlin-ceiling-")
    probes = []
    good, bad = None, None
    try:
        rate = args.low
        listed = [int(r) for r in args.rates.split(",")][:args.max_probes] if args.rates else []
        for rate in listed:
            c.log(f"probe {rate} kbit/s ...")
            p = probe(build_dir, checker, rate, args.seconds, work, args.mode)
            probes.append(p)
            if p.get("ok"):
                good = rate if good is None else max(good, rate)
            elif bad is None or rate < bad:
                bad = rate
        while not listed and len(probes) < args.max_probes:
            c.log(f"probe {rate} kbit/s ...")
            p = probe(build_dir, checker, rate, args.seconds, work, args.mode)
            probes.append(p)
            if p.get("ok"):
                good = rate
            else:
                bad = rate
            if bad is None:
                if rate >= args.high:
                    break
                rate = min(rate * 2, args.high)
            elif good is None:
                rate = rate // 2
                if rate < 1000:
                    break
            else:
                if bad / good <= args.precision:
                    break
                rate = int(round((good * bad) ** 0.5 / 1000)) * 1000
        alone = None
        if bad is not None:
            c.log(f"the simulator alone at {bad} kbit/s ...")
            alone = sim_alone(build_dir, bad, 5, work)
    finally:
        c.leave_work(work, args.keep)

    c.write_json(args.json, {"load": load, "good": good, "bad": bad, "probes": probes,
                             "sim_alone": alone})
    print("### Ceiling" + (" (datagram mode)" if args.mode == "datagram" else "") + "\n")
    how = (f"the listed rates" if listed else
           f"doubling from {args.low / 1000:g} Mbit/s, then bisecting to a bracket narrower "
           f"than x{args.precision:g} (at most {args.max_probes} probes)")
    print(f"Load average (1, 5, 15 min) before the runs: {load}. "
          f"{'HTTP' if args.mode == 'http' else 'Datagram'} mode, loopback, no configured loss, "
          f"{args.seconds:g} s per probe; {how}.\n")
    if good is not None:
        upper = f", failing at {bad / 1000:g} Mbit/s" if bad else f" (the highest rate tried)"
        print(f"**Highest byte-exact rate found: {good / 1000:g} Mbit/s{upper}.**\n")
    else:
        print("**No probe was byte-exact.**\n")
    print("| Nominal Mbit/s | Byte-exact and kept up | Received Mbit/s | Missing payloads | "
          "Simulator sent Mbit/s | Simulator CPU % | Event loop CPU % | Sender thread CPU % | "
          "Upstream socket drops | Suspend lines logged | Ring-full lines logged | Sender idle waits | "
          "Sender re-buffers | Re-sent datagrams |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for p in sorted(probes, key=lambda p: p["kbps"]):
        if "error" in p:
            print(f"| {p['kbps'] / 1000:g} | no: {p['error']} |" + " |" * 12)
            continue
        pctf = lambda v: c.fmt(None if v is None else 100 * v, 0)  # noqa: E731
        print(f"| {p['kbps'] / 1000:g} | {'yes' if p['ok'] else 'no'} | "
              f"{c.fmt(p.get('rx_mbps'), 1)} | {p.get('missing', '–')} | "
              f"{c.fmt(p.get('sim_mbps'), 1)} | {pctf(p.get('sim_cpu'))} | "
              f"{pctf(p.get('loop_cpu'))} | {pctf(p.get('sender_cpu'))} | {p.get('drops', '–')} | "
              f"{p.get('suspends')} | {p.get('ring_full')} | {p.get('idle_waits')} | "
              f"{p.get('rebuffers')} | {p.get('retransmitted', '–')} |")
    print()
    if alone:
        print(f"The simulator alone at {bad / 1000:g} Mbit/s (a bare client asks for the stream "
              f"and reads nothing, 5 s): it sent {alone[0]:.0f} Mbit/s of new datagrams using "
              f"{100 * alone[1]:.0f} % of a core.\n")


if __name__ == "__main__":
    main()
