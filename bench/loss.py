#!/usr/bin/env python3
"""Loss recovery: the fraction of the sample's payloads that reach the consumer intact and in
order when lossy-link drops datagrams in both directions between the relay and its upstream,
for quarlin beside srt-live-transmit (Debian's srt-tools) over the same kind of link.

quarlin:  upstream-sim --cbr 8000 [--lead 0|1000] <- lossy-link -> quarlin -h -> HTTP player
peer:     udp_source (the simulator's payloads without its header, 8 Mbit/s)
            -> srt-live-transmit (listener) <- lossy-link -> srt-live-transmit (caller)
            -> file://con -> player

The player (bench/stream_check.cpp) matches the received bytes against the sample in 1316-byte
payloads, as the simulator cuts it, and counts the payloads missing between the first and the
last it received. Delivered = matched / (last - first + 1).

Retransmission overhead: re-sent over first-sent datagrams, from the simulator's counters
(retransmitted / sent) and from the srt sender's statistics (packetsRetransmitted /
packetsUnique). All payloads are 1316 bytes, so this is also the byte ratio.

The peer runs at its default latency (120 ms) and at the daemon's effective play-out margin:
the daemon's sender waits 1.5 x its round-trip estimate after a player's first packet before it
plays the stream out, and the simulator's lead adds to that. The estimate at that moment is
read from the daemon's log in a loss-free pilot start per round trip (it is the clamped 30 ms
floor, or the 60 ms initial value when the first keepalive's echo is not back yet); each run's
own value is reported too.

The daemon's playout-latency mode (-L) runs beside the peer at the same latency: at 120 ms and
at 4 x the round trip (--latencies), with and without the lead. Lost-request datagrams per
second are the simulator's count of lost requests received over the run's seconds.
In that mode the daemon's recovery line (once a minute and on SIGTERM) gives the slots it gave
up without a copy and the late copies, those that came after their slot was given up. Latency
mode alone (--modes latency) is bounded for the suite: 20 s runs two at a time take about 5 min
per round trip.
--modes picks the daemon's default pacing, the latency mode or both.

Bursts (the "burst" case) hit the data path only (lossy-link's down direction, the upstream's
or the srt sender's datagrams): counted in datagrams, a burst on the sparse way back would last
seconds. --latencies also takes "auto" (quarlin -L auto, no peer beside it): its latency in
force is read from /status once a second and reported as the run's median. --kbps sets the
stream's rate (the simulator's constant bitrate and udp_source's).

Prints a markdown section; --plot PNG also draws delivered fraction against loss rate with
gnuplot. Every run is bounded: its processes exit on their own after --seconds + 30 s at most.

usage: bench/loss.py [--build DIR] [--seconds S] [--repeats N] [--parallel N] [--kbps K]
                     [--cases LIST] [--rtts MS,...] [--modes default,latency]
                     [--latencies 120,4rtt,auto] [--no-peer] [--plot PNG] [--keep]
"""

import argparse
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import common as c

KBPS = 8000  # the stream's rate; --kbps changes it


def early():
    """Payloads in the stream's first second."""
    return round(KBPS * 1000 / 8 / c.PAYLOAD)
BURST = "0.2:25"  # lossy-link --*-burst: 0.2 % of datagrams start a burst of 25 (about 4.8 %)
CASES = {"0": (0.0, None), "0.1": (0.1, None), "1": (1.0, None), "5": (5.0, None), "10": (10.0, None),
         "burst": (0.0, BURST)}


def case_label(name):
    loss, burst = CASES[name]
    return f"bursts {burst}" if burst else f"{loss:g} %"






def quarlin_run(build_dir, checker, case, rtt, lead, seconds, seed, work, latency=0):
    tag = f"q-{case}-{rtt}-{lead}-{latency}-{seed}"
    loss, burst = CASES[case]
    procs = c.Procs(work)
    out = {"kind": "quarlin", "case": case, "rtt": rtt, "lead": lead, "latency": latency}
    try:
        sim_port, link_port = c.free_ports(2)
        http_port = c.free_port(c.socket.SOCK_STREAM)
        cap = int(seconds + 30)
        procs.start(c.sim_args(build_dir, sim_port, KBPS, lead_ms=lead, exit_after=cap),
                    name=f"{tag}-sim")
        procs.start(c.link_args(build_dir, link_port, sim_port, loss=loss, burst=burst,
                                rtt_ms=rtt, seed=seed, exit_after=cap, burst_up=False),
                    name=f"{tag}-link")
        if not (c.wait_for_text(procs.log_of(f"{tag}-sim"), "listening on", 5) and
                c.wait_for_text(procs.log_of(f"{tag}-link"), "listening on", 5)):
            raise RuntimeError("upstream-sim or lossy-link did not start")
        mode = ["-L", str(latency)] if latency else []
        relay = procs.start([os.path.join(build_dir, "quarlin"), "-h", str(http_port)] + mode,
                            name=f"{tag}-quarlin")
        if not c.wait_listening(http_port, 5):
            raise RuntimeError("quarlin did not listen")
        done = threading.Event()
        latencies = []
        watcher = threading.Thread(target=watch_latency, args=(http_port, done, latencies))
        if latency:
            watcher.start()
        try:
            chk = subprocess.run(
                [checker, c.SAMPLE, "--http",
                 f"127.0.0.1:{http_port}/127.0.0.1-{link_port}/sample", "--seconds",
                 str(seconds), "--first-timeout", "10", "--idle", "5", "--early", str(early())],
                capture_output=True, text=True, timeout=seconds + 25)
        finally:
            done.set()
            if latency:
                watcher.join()
        out["latency_in_force"] = c.summary(latencies)[1]
        out.update(c.kv(chk.stdout.strip().splitlines()[-1]) if chk.stdout.strip() else {})
        out["hwm_kib"] = c.vm_hwm_kib(relay.pid)
    finally:
        procs.stop_all()
    sim = c.counters(procs.log_of(f"{tag}-sim"), "upstream-sim counters:")
    link = c.counters(procs.log_of(f"{tag}-link"), "lossy-link counters:")
    log = procs.log_of(f"{tag}-quarlin")
    out["overhead"] = sim.get("retransmitted", 0) / sim["sent"] if sim.get("sent") else None
    out["lost_req_per_s"] = sim.get("lost-requests", 0) / seconds
    out["down_loss"] = (link.get("down-dropped", 0) / link["down-received"]
                        if link.get("down-received") else None)
    out["rtt_used"] = c.first_wait_rtt_ms(log)
    out["rebuffers"] = max(0, c.count_lines(log, "Sleeping to get buffer") - 1)
    out["ring_full"] = c.count_lines(log, "!! ring full")
    out.update(recovery_totals(log))
    return out


STATUS_LATENCY = re.compile(r"^playout latency: (\d+) ms$", re.M)


def watch_latency(http_port, done, out):
    """Appends the latency in force (ms) from /status once a second until done is set; the
    first reading is a second into the run."""
    while not done.wait(1.0):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{http_port}/status", timeout=1) as r:
                m = STATUS_LATENCY.search(r.read().decode(errors="replace"))
            if m:
                out.append(int(m.group(1)))
        except OSError:
            pass


RECOVERY = re.compile(r"^recovery: asked (\d+), recovered in time (\d+), late (\d+), never (\d+), "
                      r"duplicates (\d+);")


def recovery_totals(log_path):
    """The -L mode's counts summed over its recovery lines (once a minute and at the stop):
    numbers asked for, copies in time, copies late (after the slot was given up), slots given
    up, second copies. {} without the mode."""
    keys = ("asked", "in_time", "late_copies", "never", "duplicates")
    out = {}
    try:
        with open(log_path, errors="replace") as f:
            for line in f:
                m = RECOVERY.match(line)
                if m:
                    for k, v in zip(keys, m.groups()):
                        out[k] = out.get(k, 0) + int(v)
    except FileNotFoundError:
        pass
    return out


SRT_SEND = re.compile(r'"send":\{[^}]*"packets":(\d+),"packetsUnique":(\d+),[^}]*'
                      r'"packetsRetransmitted":(\d+)')


def peer_run(build_dir, checker, source, case, rtt, latency, seconds, seed, work):
    tag = f"p-{case}-{rtt}-{latency}-{seed}"
    loss, burst = CASES[case]
    procs = c.Procs(work)
    out = {"kind": "peer", "case": case, "rtt": rtt, "latency": latency}
    stats = os.path.join(work, f"{tag}-stats.json")
    try:
        src_port, srt_port, link_port = c.free_ports(3)
        cap = int(seconds + 30)
        # -f: the statistics are running totals, so the last record holds the whole run.
        procs.start(["srt-live-transmit", "-q", "-t", str(cap), "-s:500", "-f", "-pf:json",
                     f"-statsout:{stats}", f"udp://127.0.0.1:{src_port}",
                     f"srt://127.0.0.1:{srt_port}?mode=listener&latency={latency}"],
                    name=f"{tag}-send")
        procs.start(c.link_args(build_dir, link_port, srt_port, loss=loss, burst=burst,
                                rtt_ms=rtt, seed=seed, exit_after=cap, burst_up=False),
                    name=f"{tag}-link")
        if not c.wait_for_text(procs.log_of(f"{tag}-link"), "listening on", 5):
            raise RuntimeError("lossy-link did not start")
        procs.start([source, c.SAMPLE, "127.0.0.1", str(src_port), str(KBPS), str(cap)],
                    name=f"{tag}-source")
        rx = procs.start(["srt-live-transmit", "-q", "-t", str(cap),
                          f"srt://127.0.0.1:{link_port}?mode=caller&latency={latency}",
                          "file://con"], name=f"{tag}-recv", stdout=subprocess.PIPE, text=False)
        chk = subprocess.run([checker, c.SAMPLE, "--stdin", "--seconds", str(seconds),
                              "--first-timeout", "10", "--idle", "5", "--early", str(early())],
                             stdin=rx.stdout,
                             capture_output=True, text=True, timeout=seconds + 25)
        out.update(c.kv(chk.stdout.strip().splitlines()[-1]) if chk.stdout.strip() else {})
    finally:
        procs.stop_all()
    try:
        with open(stats, errors="replace") as f:
            found = SRT_SEND.findall(f.read())
        if found:
            _, unique, retrans = (int(x) for x in found[-1])
            out["overhead"] = retrans / unique if unique else None
    except FileNotFoundError:
        pass
    link = c.counters(procs.log_of(f"{tag}-link"), "lossy-link counters:")
    out["down_loss"] = (link.get("down-dropped", 0) / link["down-received"]
                        if link.get("down-received") else None)
    return out


def retried(fn, *args):
    """fn(*args), tried once more when its processes could not start (a port picked as free
    may be taken by someone else's socket before the process binds it)."""
    try:
        return fn(*args)
    except RuntimeError as e:
        c.log(f"{e}; trying again")
        return fn(*args)


def pilot_rtt(build_dir, checker, rtt, work):
    """The round-trip estimate (ms) a fresh daemon's first wait uses over a loss-free link."""
    procs = c.Procs(work)
    tag = f"pilot-{rtt}"
    try:
        sim_port, link_port = c.free_ports(2)
        http_port = c.free_port(c.socket.SOCK_STREAM)
        procs.start(c.sim_args(build_dir, sim_port, KBPS, exit_after=20), name=f"{tag}-sim")
        procs.start(c.link_args(build_dir, link_port, sim_port, rtt_ms=rtt, exit_after=20),
                    name=f"{tag}-link")
        if not (c.wait_for_text(procs.log_of(f"{tag}-sim"), "listening on", 5) and
                c.wait_for_text(procs.log_of(f"{tag}-link"), "listening on", 5)):
            raise RuntimeError("upstream-sim or lossy-link did not start")
        procs.start([os.path.join(build_dir, "quarlin"), "-h", str(http_port)],
                    name=f"{tag}-quarlin")
        if not c.wait_listening(http_port, 5):
            raise RuntimeError("quarlin did not listen")
        subprocess.run([checker, c.SAMPLE, "--http",
                        f"127.0.0.1:{http_port}/127.0.0.1-{link_port}/sample", "--seconds", "0.5"],
                       capture_output=True, timeout=15)
    finally:
        procs.stop_all()
    return c.first_wait_rtt_ms(procs.log_of(f"{tag}-quarlin"))


def pct(v):
    return None if v is None else 100 * v


def delivered(r):
    span = r.get("span")
    return r["payloads"] / span if span else None


def main():
    global KBPS
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=c.default_build())
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--parallel", type=int, default=1,
                        help="runs of one case and round trip at once (default 1)")
    parser.add_argument("--cases", default="0.1,1,5,10,burst")
    parser.add_argument("--rtts", default="20,100")
    parser.add_argument("--leads", default="0,1000")
    parser.add_argument("--modes", default="default,latency",
                        help="the daemon's default pacing, its -L mode, or both")
    parser.add_argument("--latencies", default="120,4rtt",
                        help="-L values: milliseconds, Nrtt for N x the round trip, or auto")
    parser.add_argument("--kbps", type=int, default=KBPS, help="the stream's rate")
    parser.add_argument("--no-peer", action="store_true")
    parser.add_argument("--plot", help="write delivered fraction against loss rate here (PNG)")
    parser.add_argument("--keep", action="store_true", help="keep the logs and say where")
    parser.add_argument("--json", help="also write every run's figures to this file")
    args = parser.parse_args()
    KBPS = args.kbps
    if not 1 <= args.seconds <= 120:
        parser.error("--seconds must be between 1 and 120")
    if not 1 <= args.repeats <= 10:
        parser.error("--repeats must be between 1 and 10")
    cases = args.cases.split(",")
    for name in cases:
        if name not in CASES:
            parser.error(f"unknown case {name}; known: {', '.join(CASES)}")
    rtts = [int(x) for x in args.rtts.split(",")]
    leads = [int(x) for x in args.leads.split(",")]
    modes = set(args.modes.split(","))
    if not modes or not modes <= {"default", "latency"}:
        parser.error("--modes takes default, latency or both")

    def latencies_at(rtt):
        if "latency" not in modes:
            return []
        out = []
        for x in args.latencies.split(","):
            out.append(x if x == "auto" else int(x[:-3]) * rtt if x.endswith("rtt") else int(x))
        return list(dict.fromkeys(out))
    build_dir = os.path.abspath(args.build)
    c.need_tools(build_dir, ("quarlin", "upstream-sim", "lossy-link"))
    if not args.no_peer:
        c.need_commands(["srt-live-transmit"])
    if args.plot:
        c.need_commands(["gnuplot"])
    checker = c.helper(build_dir, "stream_check")
    source = c.helper(build_dir, "udp_source")

    load = c.load_text()
    work = tempfile.mkdtemp(prefix="quarlin-loss-")
    results = []
    margins = {}
    started = time.monotonic()
    try:
        for rtt in rtts:
            used = pilot_rtt(build_dir, checker, rtt, work) if "default" in modes else 60
            margins[rtt] = {lead: round(1.5 * (used if used else 60) + lead) for lead in leads}
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.parallel)) as pool:
            for rep in range(args.repeats):
                for case in cases:
                    for rtt in rtts:
                        seed = 1 + rep
                        c.log(f"loss {case_label(case)}, rtt {rtt} ms, repeat {rep + 1} ...")
                        jobs = [] if "default" not in modes else [
                            pool.submit(retried, quarlin_run, build_dir, checker, case, rtt,
                                        lead, args.seconds, seed, work) for lead in leads]
                        jobs += [pool.submit(retried, quarlin_run, build_dir, checker, case, rtt,
                                             lead, args.seconds, seed, work, lat)
                                 for lat in latencies_at(rtt) for lead in leads]
                        if not args.no_peer:
                            latencies = [120] if "default" in modes else []
                            if "default" in modes:
                                latencies += [margins[rtt][lead] for lead in leads]
                            latencies += [x for x in latencies_at(rtt) if x != "auto"]
                            jobs += [pool.submit(retried, peer_run, build_dir, checker, source,
                                                 case, rtt, lat, args.seconds, seed, work)
                                     for lat in dict.fromkeys(latencies)]
                        for j in jobs:
                            try:
                                results.append(j.result())
                            except Exception as e:  # a failed run is reported, not fatal
                                c.log(f"run failed: {e}")
    finally:
        c.leave_work(work, args.keep)
    elapsed = time.monotonic() - started

    def pick(kind, case, rtt, key, value, latency=0):
        return [r for r in results if r["kind"] == kind and r["case"] == case and
                r["rtt"] == rtt and r.get(key) == value and
                (kind != "quarlin" or r.get("latency", 0) == latency)]

    print("### Loss recovery" + ("" if "default" in modes else
                                 f", playout-latency mode, RTT {args.rtts} ms") + "\n")
    print(f"Load average (1, 5, 15 min) before the runs: {load}. Stream: the sample stamped at "
          f"{KBPS // 1000} Mbit/s; {args.seconds:g} s measured per run from the first stream byte; "
          f"{args.repeats} repeat(s) per cell (lossy-link seeds 1..{args.repeats}); up to "
          f"{args.parallel} runs of a row at once; {elapsed / 60:.1f} min in all. Loss is applied "
          f"in each direction; bursts {BURST} (on the data path only) means 0.2 % of datagrams start a burst of 25 "
          "dropped ones (about 4.8 % of the datagrams).\n")
    plot_rows = []
    if "default" in modes:
        if not args.no_peer:
            for rtt in rtts:
                line = ", ".join(f"{margins[rtt][lead]} ms with a lead of {lead} ms" for lead in leads)
                print(f"- Effective play-out margin of the daemon at RTT {rtt} ms (1.5 x the estimate "
                      f"its first wait used in a loss-free pilot, plus the lead): {line}.")
            print()
        print("Delivered payloads, % (min / median / max over the repeats):\n")
        head = "| Loss each way | RTT ms | " + " | ".join(f"quarlin, lead {l} ms" for l in leads)
        if not args.no_peer:
            head += " | srt, latency 120 ms | " + " | ".join(
                f"srt, latency = margin at lead {l} ms" for l in leads)
        print(head + " |")
        print("|---|---:|" + "---:|" * (len(leads) + (0 if args.no_peer else 1 + len(leads))))
        for case in cases:
            for rtt in rtts:
                cells = []
                qvals = []
                for lead in leads:
                    vals = [pct(delivered(r)) for r in pick("quarlin", case, rtt, "lead", lead)]
                    cells.append(c.fmt3(vals, 2))
                    qvals.append(c.summary(vals)[1])
                pvals = []
                if not args.no_peer:
                    for lat in [120] + [margins[rtt][lead] for lead in leads]:
                        vals = [pct(delivered(r)) for r in pick("peer", case, rtt, "latency", lat)]
                        cells.append(c.fmt3(vals, 2) + (f" ({lat} ms)" if lat != 120 else ""))
                        pvals.append(c.summary(vals)[1])
                print(f"| {case_label(case)} | {rtt} | " + " | ".join(cells) + " |")
                if CASES[case][1] is None:
                    plot_rows.append((CASES[case][0], rtt, qvals, pvals))
        print()

    if "latency" in modes:
        print("Playout-latency mode: quarlin -L beside srt-live-transmit at the same latency, "
              "delivered payloads, % (min / median / max over the repeats; three decimals, since "
              "the goals sit at 99.9 and 100.00):\n")
        head = "| Loss each way | RTT ms | Latency ms | " + " | ".join(
            f"quarlin -L, lead {l} ms" for l in leads)
        print(head + ("" if args.no_peer else " | srt-live-transmit") + " |")
        print("|---|---:|---:|" + "---:|" * (len(leads) + (0 if args.no_peer else 1)))
        for case in cases:
            for rtt in rtts:
                for lat in latencies_at(rtt):
                    cells = [c.fmt3([pct(delivered(r)) for r in
                                     pick("quarlin", case, rtt, "lead", l, lat)], 3)
                             for l in leads]
                    if not args.no_peer:
                        cells.append(c.fmt3([pct(delivered(r)) for r in
                                             pick("peer", case, rtt, "latency", lat)], 3))
                    print(f"| {case_label(case)} | {rtt} | {lat} | " + " | ".join(cells) + " |")
        print()

    print("Missing payloads per run, retransmission overhead and what the daemon did "
          "(medians over the repeats):\n")
    print("| Loss each way | RTT ms | Relay | Missing | of which in the first second | "
          "Out of order at the player | Late copies | Given up | Measured down loss % | "
          "Re-sent / sent % | rtt at first wait ms | Re-buffers | Ring-full drops | "
          "Lost requests /s |")
    print("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for case in cases:
        for rtt in rtts:
            groups = [] if "default" not in modes else [
                (f"quarlin, lead {l} ms", pick("quarlin", case, rtt, "lead", l)) for l in leads]
            groups += [(f"quarlin -L {lat}, lead {l} ms",
                        pick("quarlin", case, rtt, "lead", l, lat))
                       for lat in latencies_at(rtt) for l in leads]
            if not args.no_peer:
                peer_lats = ([120] + [margins[rtt][l] for l in leads]) if "default" in modes \
                    else []
                groups += [(f"srt, latency {lat} ms", pick("peer", case, rtt, "latency", lat))
                           for lat in dict.fromkeys(peer_lats + latencies_at(rtt))
                           if lat != "auto"]
            for label, rs in groups:
                med = lambda key, f=lambda v: v: c.summary([f(r.get(key)) if r.get(key) is not None else None for r in rs])[1]  # noqa: E731
                quar = label.startswith("quarlin")
                print(f"| {case_label(case)} | {rtt} | {label} | {c.fmt(med('missing'), 0)} | "
                      f"{c.fmt(med('missing_early'), 0)} | {c.fmt(med('late'), 0)} | "
                      f"{c.fmt(med('late_copies'), 0)} | {c.fmt(med('never'), 0)} | "
                      f"{c.fmt(med('down_loss', lambda v: 100 * v), 2)} | "
                      f"{c.fmt(med('overhead', lambda v: 100 * v), 2)} | "
                      f"{c.fmt(med('rtt_used'), 0) if quar else '–'} | "
                      f"{c.fmt(med('rebuffers'), 0) if quar else '–'} | "
                      f"{c.fmt(med('ring_full'), 0) if quar else '–'} | "
                      f"{c.fmt(med('lost_req_per_s'), 1) if quar else '–'} |")
    print()
    if "latency" in modes:
        print_goal_cells(results, cases, rtts, latencies_at, pick, args.no_peer)
    hwm = [r.get("hwm_kib") for r in results if r["kind"] == "quarlin" and r.get("hwm_kib")]
    if hwm:
        print(f"Peak resident memory of the daemon in these runs (VmHWM): "
              f"{c.fmt3([h / 1024 for h in hwm], 1)} MiB.\n")

    c.write_json(args.json, {"load": load, "seconds": args.seconds, "repeats": args.repeats,
                             "margins": margins, "results": results})
    if args.plot and plot_rows:
        draw(args.plot, plot_rows, rtts, leads, margins, args.no_peer, work_dir=None)


def print_goal_cells(results, cases, rtts, latencies_at, pick, no_peer):
    """Per cell of the playout-latency mode: missing payloads per seed (median) for quarlin and
    the peer at the same latency, quarlin's delivered share out of all payloads sent, those
    missing in the first second, re-sent bytes over the measured loss of the data path, and
    (-L auto) the median latency in force."""
    print("Per cell, the figures the goals name (seeds in order; medians in brackets):\n")
    print("| Loss each way | RTT ms | Latency ms | quarlin missing | peer missing | "
          "quarlin delivered % | missing in the first second | re-sent / loss | "
          "latency in force ms |")
    print("|---|---:|---:|---|---|---:|---:|---:|---:|")

    def per_seed(rs, key):
        vals = [r.get(key) for r in rs]
        med = c.summary(vals)[1]
        return " / ".join("–" if v is None else f"{v:g}" for v in vals) + \
            (f" ({med:g})" if med is not None else "")

    for case in cases:
        for rtt in rtts:
            for lat in latencies_at(rtt):
                q = pick("quarlin", case, rtt, "lead", 0, lat)
                p = [] if no_peer or lat == "auto" else pick("peer", case, rtt, "latency", lat)
                ratio = [r["overhead"] / r["down_loss"] for r in q
                         if r.get("overhead") is not None and r.get("down_loss")]
                early = [r.get("missing_early") for r in q]
                inforce = [r.get("latency_in_force") for r in q]
                print(f"| {case_label(case)} | {rtt} | {lat} | {per_seed(q, 'missing')} | "
                      f"{per_seed(p, 'missing') if p else '–'} | "
                      f"{c.fmt(c.summary([pct(delivered(r)) for r in q])[1], 3)} | "
                      f"{c.fmt(c.summary(early)[2], 0)} | {c.fmt(c.summary(ratio)[1], 2)} | "
                      f"{c.fmt(c.summary(inforce)[1], 0) if lat == 'auto' else '–'} |")
    print()


def draw(png, rows, rtts, leads, margins, no_peer, work_dir=None):
    """Delivered % against loss rate (log scale), one panel per round trip."""
    tmp = tempfile.mkdtemp(prefix="quarlin-plot-")
    try:
        script = [
            "set terminal pngcairo size 1200,520 font 'sans,10'" if pngcairo() else
            "set terminal png size 1200,520",
            f"set output '{png}'",
            f"set multiplot layout 1,{len(rtts)} title 'Payloads delivered intact and in order, "
            f"{KBPS // 1000} Mbit/s, random loss in each direction (medians)'",
            "set logscale x", "set xrange [0.07:14]", "set xtics (0.1, 1, 5, 10)",
            "set xlabel 'loss rate each way, %'", "set ylabel 'delivered, %'",
            "set key bottom left", "set grid",
        ]
        for rtt in rtts:
            path = os.path.join(tmp, f"rtt{rtt}.dat")
            with open(path, "w") as f:
                for loss, r, qvals, pvals in sorted(rows):
                    if r != rtt:
                        continue
                    vals = qvals + pvals
                    f.write(f"{loss:g} " + " ".join("nan" if v is None else f"{v:.4f}"
                                                     for v in vals) + "\n")
            series = [f"'{path}' using 1:{2 + i} with linespoints lw 2 pt 7 title "
                      f"'quarlin, lead {lead} ms'" for i, lead in enumerate(leads)]
            if not no_peer:
                lats = [120] + [margins[rtt][lead] for lead in leads]
                series += [f"'{path}' using 1:{2 + len(leads) + i} with linespoints lw 2 dt 2 "
                           f"pt 5 title 'srt-live-transmit, latency {lat} ms'"
                           for i, lat in enumerate(lats)]
            script += [f"set title 'RTT {rtt} ms'", "plot " + ", ".join(series)]
        script.append("unset multiplot")
        subprocess.run(["gnuplot"], input="\n".join(script) + "\n", text=True, check=True,
                       timeout=60)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def pngcairo():
    try:
        out = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True, text=True,
                             timeout=10)
        return "pngcairo" in (out.stdout + out.stderr)
    except (OSError, subprocess.TimeoutExpired):
        return False


if __name__ == "__main__":
    main()
