#!/usr/bin/env python3
"""Writes docs/performance.md from the sections and figures the benchmarks left in a folder
(scripts/bench runs them with --json into it): machine, date, headline figures against the
project's goals, what limits the figures that miss, and every benchmark's own tables.

usage: bench/report.py RESULTS_DIR OUT_MD --started ISO_DATE --seconds S --settings TEXT
       [--plot FILE]
"""

import argparse
import json
import os
import statistics
import subprocess

import common as c

TOLERANCE = 0.05  # percentage points: differences below this are noise between two runs
SECTIONS = ["start_time", "takeover", "players", "loss", "loss_latency_20", "loss_latency_100",
            "cost", "ceiling", "ceiling_datagram", "pacing"]


def load(folder, name):
    try:
        with open(os.path.join(folder, f"{name}.json")) as f:
            return json.load(f)
    except (FileNotFoundError, json.JSONDecodeError):
        return None


def section(folder, name):
    try:
        with open(os.path.join(folder, f"{name}.md")) as f:
            return f.read().strip()
    except FileNotFoundError:
        return f"### {name}\n\n(not run or failed: see the log of scripts/bench)"


def med(values):
    vals = [v for v in values if v is not None]
    return statistics.median(vals) if vals else None


def yes_no(ok):
    return "–" if ok is None else ("**met**" if ok else "**missed**")


def version(cmd):
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=10)
        lines = (out.stdout + out.stderr).strip().splitlines()
        hits = [l.strip() for l in lines if "version" in l.lower()] or lines or ["?"]
        return hits[0].split(" Copyright")[0]
    except (OSError, subprocess.TimeoutExpired):
        return "not installed"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("results")
    parser.add_argument("out")
    parser.add_argument("--started", required=True)
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--settings", default="")
    parser.add_argument("--machine", default="", help="machine lines taken at the start, '|'-joined")
    parser.add_argument("--commit", default="")
    parser.add_argument("--plot", default="")
    args = parser.parse_args()
    d = args.results

    rows = []  # (figure, goal, measured, met)
    notes = []

    st = load(d, "start_time")
    if st:
        for r in st["runs"]:
            m = med(r["times"])
            lo, _, hi = c.summary(r["times"])
            who = "quarlin" if r["relay"] == "quarlin" else "srt-live-transmit (latency 120 ms)"
            goal = "median < 150 ms" if r["relay"] == "quarlin" and r["rtt"] == 0 else "–"
            met = (m is not None and m < 150) if goal != "–" else None
            rows.append((f"Start time, {who}, RTT {r['rtt']} ms", goal,
                         f"{c.fmt(m)} ms ({c.fmt(lo)}–{c.fmt(hi)})", met))
    to = load(d, "takeover")
    if to:
        m = med(to["times"])
        lo, _, hi = c.summary(to["times"])
        rows.append(("Take-over time", "median < 300 ms", f"{c.fmt(m)} ms ({c.fmt(lo)}–{c.fmt(hi)})",
                     m is not None and m < 300))

    loss = load(d, "loss")
    if loss:
        res = loss["results"]
        margins = {int(k): {int(l): v for l, v in m.items()} for k, m in loss["margins"].items()}

        def q(case, rtt, lead):
            return [r for r in res if r["kind"] == "quarlin" and r["case"] == case and
                    r["rtt"] == rtt and r["lead"] == lead and r.get("span")]

        def p(case, rtt, lat):
            return [r for r in res if r["kind"] == "peer" and r["case"] == case and
                    r["rtt"] == rtt and r["latency"] == lat and r.get("span")]

        def frac(rs):
            return [100 * r["payloads"] / r["span"] for r in rs]

        lead1 = q("5", 100, 1000)
        if lead1:
            miss = [r["missing"] for r in lead1]
            early = [r.get("missing_early", 0) for r in lead1]
            rows.append(("Loss 5 % each way, RTT 100 ms, lead 1 s: missing payloads per run",
                         "0", f"{', '.join(str(m) for m in miss)} (of which in the stream's first "
                         f"second: {', '.join(str(e) for e in early)})", max(miss) == 0))
        lead0 = q("5", 100, 0)
        if lead0:
            f = frac(lead0)
            rows.append(("Loss 5 % each way, RTT 100 ms, no lead: delivered", "> 99.6 %",
                         f"{c.fmt(med(f), 2)} % ({c.fmt(min(f), 2)}–{c.fmt(max(f), 2)})",
                         min(f) > 99.6))
        worse, total, examples = 0, 0, []
        for case in sorted({r["case"] for r in res}):
            for rtt in sorted(margins):
                for lead, lat in margins[rtt].items():
                    qs, ps = frac(q(case, rtt, lead)), frac(p(case, rtt, lat))
                    if not qs or not ps:
                        continue
                    total += 1
                    if med(qs) < med(ps) - TOLERANCE:
                        worse += 1
                        examples.append(f"{case} % / RTT {rtt} / lead {lead} ms: "
                                        f"{med(qs):.2f} vs {med(ps):.2f}")
        if total:
            rows.append(("Delivered, quarlin against srt-live-transmit at the same margin "
                         f"(medians; fewer = by more than {TOLERANCE:g} points)",
                         "never fewer", f"fewer in {worse} of {total} cells" +
                         (f" ({'; '.join(examples[:4])})" if examples else ""), worse == 0))
        ov = [r["overhead"] for r in lead0 + lead1 if r.get("overhead") is not None]
        if ov:
            rows.append(("Retransmission overhead at 5 % loss each way, RTT 100 ms", "–",
                         f"{100 * med(ov):.2f} % re-sent / sent", None))

    cost = load(d, "cost")
    if cost:
        per = {}
        for item in cost["runs"]:
            rs = [r for r in item["runs"] if r.get("run") is not None and r.get("stream_bytes")]
            per[(item["kbps"], item["relay"])] = (
                med([r["run"] / (r["stream_bytes"] / 1e9) for r in rs]),
                med([r["switches"] / (r["stream_bytes"] / c.PAYLOAD) for r in rs
                     if r.get("switches") is not None]))
        # HTTP mode at most half of socat's plain copy; datagram mode, paced per datagram, at
        # most socat's.
        goals = [(kbps, "quarlin, HTTP", 0.5) for kbps in (2000, 8000, 20000)] + \
                [(kbps, "quarlin, datagram", 1.0) for kbps in (8000, 20000)]
        for kbps, relay, share in goals:
            floor, v = per.get((kbps, "socat, UDP to TCP")), per.get((kbps, relay))
            if v is None or floor is None:
                continue
            bound = "half of socat's" if share < 1 else "socat's"
            for i, (what, unit, digits) in enumerate((("CPU per GB", "s/GB", 1),
                                                       ("Wake-ups per datagram", "", 2))):
                if v[i] is None or floor[i] is None:
                    continue
                rows.append((f"{what} at {kbps // 1000} Mbit/s, {relay}",
                             f"at most {bound} ({floor[i]:.{digits}f} {unit})".replace(" )", ")"),
                             f"{v[i]:.{digits}f} {unit}".strip(), v[i] <= share * floor[i]))

    ce = load(d, "ceiling")
    if ce:
        text = f"{ce['good'] / 1000:g} Mbit/s" if ce.get("good") else "none byte-exact"
        if ce.get("bad"):
            text += f" (fails at {ce['bad'] / 1000:g})"
        rows.append(("Ceiling: highest byte-exact HTTP rate", "not below 566 Mbit/s", text,
                     bool(ce.get("good")) and ce["good"] >= 566000))
    ced = load(d, "ceiling_datagram")
    if ced:
        probes = sorted(ced["probes"], key=lambda x: x["kbps"])
        rows.append(("Datagram mode byte-exact at " +
                     " / ".join(f"{x['kbps'] / 1000:g}" for x in probes) + " Mbit/s", "all",
                     " / ".join("yes" if x.get("ok") else "no" for x in probes),
                     all(x.get("ok") for x in probes)))

    pa = load(d, "pacing")
    hwms = []
    if pa:
        for kbps, rs in pa["runs"].items():
            p99 = [r["p99"] for r in rs]
            if int(kbps) == 8000:
                rows.append(("Pacing error p99, datagram mode, 8 Mbit/s", "< 1 ms",
                             f"{c.fmt(med(p99), 0)} µs ({c.fmt(min(p99), 0)}–{c.fmt(max(p99), 0)})",
                             med(p99) < 1000))
            hwms += [r["hwm_mib"] for r in rs]
    if cost:
        hwms += [r["hwm_kib"] / 1024 for item in cost["runs"] if item["relay"].startswith("quarlin")
                 for r in item["runs"] if r.get("hwm_kib")]
    if loss:
        hwms += [r["hwm_kib"] / 1024 for r in loss["results"] if r.get("hwm_kib")]
    if hwms:
        top = max(hwms)
        rows.append(("Peak resident memory while streaming (highest VmHWM of any run)",
                     "< 12 MB", f"{top:.1f} MiB = {top * 1.048576:.1f} MB", top * 1.048576 < 12))

    out = []
    out.append("# quarlin performance\n")
    out.append(f"Written by `scripts/bench` (the whole suite, {args.seconds / 60:.1f} min) on "
               f"{args.started}. Every figure comes from a script in `bench/` that runs alone; "
               "each section below names its script and settings.\n")
    out.append("## Machine\n")
    for line in args.machine.split("|") if args.machine else c.machine_lines():
        out.append(f"- {line}")
    out.append(f"- Daemon built from: {args.commit or '?'} (RelWithDebInfo, `build-bench/`)")
    out.append(f"- Peers: {version(['ffmpeg', '-version'])}; "
               f"{version(['srt-live-transmit', '-version'])}; {version(['socat', '-V'])}"
               .replace("\n", " "))
    out.append("- Everything runs on loopback; other work on the machine may have loaded it: "
               "each section gives the load average before its runs.\n")
    out.append("## Headline figures\n")
    out.append("| Figure | Goal | Measured: median (min–max) | Goal |")
    out.append("|---|---|---|---|")
    for fig, goal, meas, met in rows:
        out.append(f"| {fig} | {goal} | {meas} | {yes_no(met)} |")
    out.append("")
    if args.plot:
        out.append(f"![Delivered fraction against loss rate]({args.plot})\n")
    out.append("## What limits the figures\n")
    out.append(limits(st, to, loss, cost, ce, pa, hwms) + "\n")
    out.append("## How the suite ran\n")
    out.append(args.settings.strip() + "\n")
    out.append("## Details\n")
    names = {"start_time": "bench/start_time.py", "takeover": "bench/takeover.py",
             "players": "bench/players.py",
             "loss": "bench/loss.py", "loss_latency_20": "bench/loss.py --modes latency",
             "loss_latency_100": "bench/loss.py --modes latency", "cost": "bench/cost.py",
             "ceiling": "bench/ceiling.py", "ceiling_datagram": "bench/ceiling.py --mode datagram",
             "pacing": "bench/pacing_summary.py (bench/pacing.py's measurement)"}
    for name in SECTIONS:
        out.append(section(d, name).replace("\n\n", f"\n\nScript: `{names[name]}`.\n\n", 1))
        out.append("")
    # The soak runs on its own (bench/soak.sh): keep the section it left in the last report.
    soak = previous_section(args.out, "## Soak")
    if soak:
        out.append(soak)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        f.write("\n".join(out).rstrip() + "\n")


def previous_section(path, heading):
    try:
        with open(path) as f:
            text = f.read()
    except OSError:
        return ""
    start = text.find("\n" + heading + "\n")
    if start < 0:
        return ""
    end = text.find("\n## ", start + len(heading) + 2)
    return text[start + 1:end if end >= 0 else len(text)].rstrip() + "\n"


def limits(st, to, loss, cost, ce, pa, hwms):
    """The mechanisms behind the figures, with the measurements of this run that show them."""
    p = []
    if st:
        q0 = [r for r in st["runs"] if r["relay"] == "quarlin" and r["rtt"] == 0]
        q50 = [r for r in st["runs"] if r["relay"] == "quarlin" and r["rtt"] == 50]
        text = ("**Start time.** A newcomer's first byte waits for the client thread's poll for "
                "the stream's first datagram (every 30 ms), then for the sender's first wait of "
                "1.5 × the round-trip estimate, which is clamped to at least 30 ms (45 ms wait) "
                "and is the initial 60 ms (90 ms wait) while the first keepalive's echo is not "
                "back yet.")
        if q0 and q50:
            text += (f" Measured: the estimate the first wait used was "
                     f"{c.fmt(med(q0[0]['rtt_used']), 0)} ms at RTT 0 and "
                     f"{c.fmt(med(q50[0]['rtt_used']), 0)} ms at RTT 50, so the 50 ms round trip "
                     f"costs its own 50 ms plus 45 ms more wait "
                     f"({c.fmt(med(q0[0]['times']))} → {c.fmt(med(q50[0]['times']))} ms).")
        p.append(text)
    if to:
        p.append("**Take-over time.** The newcomer asks the holder to stop and looks every 20 ms "
                 "whether it has; the holder's sender sees the request at its next iteration, "
                 "sends the upstream a stop and closes its socket; the newcomer then opens its "
                 "own socket, asks for the stream and waits 1.5 × the round-trip estimate, which "
                 "by then is measured (30 ms floor, so 45 ms). Median "
                 f"{c.fmt(med(to['times']))} ms.")
    if loss:
        res = loss["results"]
        margins = {int(k): {int(l): v for l, v in m.items()} for k, m in loss["margins"].items()}
        m0 = margins.get(100, {}).get(0)

        def cell(kind, case, rtt, key, value, field):
            return med([r.get(field) for r in res if r["kind"] == kind and r["case"] == case and
                        r["rtt"] == rtt and r.get(key) == value and r.get("span")])

        def frac(kind, case, rtt, key, value):
            return med([100 * r["payloads"] / r["span"] for r in res if r["kind"] == kind and
                        r["case"] == case and r["rtt"] == rtt and r.get(key) == value and
                        r.get("span")])

        d20 = frac("quarlin", "5", 20, "lead", 0)
        d100 = frac("quarlin", "5", 100, "lead", 0)
        dl = cell("quarlin", "5", 100, "lead", 0, "down_loss")
        ov = cell("quarlin", "5", 100, "lead", 0, "overhead")
        s20 = frac("peer", "5", 20, "latency", margins.get(20, {}).get(0))
        text = ("**Loss recovery without a lead.** After a player's start the daemon plays the "
                "stream out 1.5 × its round-trip estimate behind the first datagram: "
                f"{m0} ms here (the estimate is still the initial 60 ms when the wait starts). "
                "A missing datagram is asked for only once it is 51 sequence numbers behind the "
                "newest (67 ms of stream at 8 Mbit/s), by a scan that runs at every 20th newest "
                "datagram (up to 26 ms more), after the intake's 20 ms pause between drains; the "
                "re-sent copy then needs a round trip. Even at RTT 20 ms that is more than the "
                "margin, and the sender steps over a slot that is still empty when its time "
                "comes (late copies are stored but never played). The measurements show it: "
                f"at 5 % loss each way ({c.fmt(100 * dl if dl is not None else None, 2)} % "
                "of the data measured dropped) the daemon delivers "
                f"{c.fmt(d20, 2)} % at RTT 20 and {c.fmt(d100, 2)} % at RTT 100 — about "
                "everything the link let through the first time — while the upstream re-sends "
                f"{c.fmt(100 * ov if ov is not None else None, 2)} % of what it sent: the "
                "requests go out, the copies come too late. srt-live-transmit with the same "
                f"{margins.get(20, {}).get(0)} ms latency at RTT 20 delivers {c.fmt(s20, 2)} %: it "
                "reports a gap as soon as the next packet shows it.")
        p.append(text)
        lead = [r for r in res if r["kind"] == "quarlin" and r.get("lead", 0) > 0 and
                r.get("span")]
        miss = sum(r["missing"] for r in lead)
        early = sum(r.get("missing_early", 0) for r in lead)
        p.append("**Loss recovery with a 1 s lead.** The lead makes the upstream send a second of "
                 "stream at once and every later datagram a second before its time, so from the "
                 "second second on each datagram has the lead plus the first wait to be "
                 "recovered. But the sender starts playing from the first datagram after its "
                 "first wait alone, so the stream's first datagrams have the same short margin as "
                 f"without a lead. Over all lead runs {miss} payloads were missing, {early} of "
                 "them in the stream's first second (the gaps are listed by "
                 "bench/stream_check.cpp).")
    if cost:
        per = {}
        for item in cost["runs"]:
            for r in item["runs"]:
                if r.get("run") is not None and r.get("stream_bytes"):
                    per.setdefault((item["kbps"], item["relay"]), []).append(r)
        lines = []
        for kbps in (2000, 20000):
            for relay in ("quarlin, HTTP", "quarlin, datagram"):
                rs = [r for r in per.get((kbps, relay), []) if r.get("main_switches") is not None]
                if not rs:
                    continue
                n = [r["stream_bytes"] / c.PAYLOAD for r in rs]
                loop = med([r["main_switches"] / k for r, k in zip(rs, n)])
                snd = med([(r["switches"] - r["main_switches"]) / k for r, k in zip(rs, n)])
                lines.append(f"{relay} at {kbps // 1000} Mbit/s: event loop {loop:.2f}, sender "
                             f"{snd:.2f}")
        text = ("**Cost.** The event loop wakes once per drain (a receive of up to 32 datagrams, "
                "then its 20 ms pause), so its share of wake-ups per datagram falls as the "
                "bitrate rises. In HTTP mode the sender wakes once per batch write (every 50 ms "
                "or 51,200 bytes), in datagram mode once per datagram, since each datagram is "
                "sent at its own time; socat wakes once per datagram it copies. Wake-ups per "
                "datagram by thread (medians): " + "; ".join(lines) + ". CPU per GB on this "
                "shared machine varies far more between runs than wake-ups do (see min / max).")
        p.append(text)
    if ce and ce.get("good"):
        bad = [x for x in ce["probes"] if x["kbps"] == ce.get("bad")]
        good = [x for x in ce["probes"] if x["kbps"] == ce.get("good")]
        text = (f"**Ceiling.** HTTP mode stays byte-exact up to {ce['good'] / 1000:g} Mbit/s")
        if bad and good:
            b, g = bad[0], good[0]
            ring_ms = 4721 * 1316 * 8 / (ce["bad"] * 1000) * 1000
            text += (f" and breaks down at {ce['bad'] / 1000:g} Mbit/s. It is not the CPU: at "
                     f"{ce['good'] / 1000:g} Mbit/s the event loop used "
                     f"{c.fmt(100 * g.get('loop_cpu', 0), 0)} % and the sender thread "
                     f"{c.fmt(100 * g.get('sender_cpu', 0), 0)} % of a core. It is not the "
                     "simulator: ")
            if ce.get("sim_alone"):
                text += (f"alone it sends {ce['sim_alone'][0]:.0f} Mbit/s at "
                         f"{ce['bad'] / 1000:g} Mbit/s nominal with "
                         f"{100 * ce['sim_alone'][1]:.0f} % of a core. ")
            text += ("It is the fixed ring: its 4,721 slots before the upstream is suspended "
                     f"hold only {ring_ms:.0f} ms of stream at {ce['bad'] / 1000:g} Mbit/s. The "
                     "first wait's backlog reaches that, the daemon suspends the upstream, and "
                     "while nothing arrives the event loop checks the backlog for a release only "
                     "when its 100 ms poll times out; the sender empties the ring before that, "
                     "idles 400 ms, re-buffers 0.9 s, and the upstream's catch-up burst on release "
                     "overflows the upstream socket's receive buffer and the ring. The failing "
                     f"probe shows each step: {b.get('suspends')} suspend lines, "
                     f"{b.get('idle_waits')} idle waits, {b.get('rebuffers')} re-buffers, "
                     f"{b.get('drops')} datagrams dropped by the kernel on the upstream socket, "
                     f"{b.get('ring_full')} ring-full lines. The intake's 20 ms pause is not the "
                     "limit below that: the upstream socket dropped nothing at "
                     f"{ce['good'] / 1000:g} Mbit/s.")
        p.append(text)
    if pa or hwms:
        text = "**Pacing and memory.** "
        if pa:
            rs = pa["runs"].get("8000", [])
            if rs:
                text += (f"At 8 Mbit/s the datagram-mode p99 pacing error is "
                         f"{c.fmt(med([r['p99'] for r in rs]), 0)} µs: the sender sleeps until "
                         "each datagram's time (at least 100 µs a sleep) and sends late ones at "
                         "once. ")
        if hwms:
            text += (f"Peak resident memory is at most {max(hwms):.1f} MiB "
                     f"({max(hwms) * 1.048576:.1f} MB): the ring of 5,120 slots × 1,536 bytes "
                     "(7.9 MB) is most of it; it is allocated zeroed and its pages are touched "
                     "only as the stream fills it, so slow streams stay lower until the ring "
                     "has wrapped once.")
        p.append(text)
    return "\n\n".join(p)


if __name__ == "__main__":
    main()
