#!/usr/bin/env bash
# Soak: HTTP streaming through a lossy path for MINUTES (default 30), with a take-over every
# 10 s and now and then a slow client. Once a minute it records the daemon's resident memory,
# open descriptors and threads, and prints a markdown table and whether they stayed flat.
#
#   bench/soak.sh          # 30 minutes
#   bench/soak.sh 3        # a short check
#
# Everything runs on 127.0.0.1: the upstream simulator on the bundled sample (a second ahead
# of play-out, so that losses can be asked for again in time), the daemon in
# HTTP mode, and the players in this script. Loss is 5 % each way: through build/lossy-link when
# that tool is built (the simulator then runs clean), else the simulator's own --loss-out and
# --loss-in. Exit status 0 when flat, 1 when not, 2 when the daemon died.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-30}
if [ ! -x build/quarlin ] || [ ! -x build/upstream-sim ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target quarlin upstream-sim >/dev/null
fi
exec python3 - "$minutes" <<'PY'
import os, signal, socket, subprocess, sys, tempfile, threading, time

MINUTES = float(sys.argv[1])
ROUND_S = 10            # a new player takes the stream over every 10 s
SLOW_EVERY = 5          # every 5th player reads slowly (about 40 kB/s, a sixth of the stream)
SAMPLE = "media/sample-2mbps-20s.ts"
HEAD_BYTES = 66
work = tempfile.mkdtemp(prefix="quarlin-soak-")
procs = []


def free_port(kind):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def start(argv, name):
    out = open(os.path.join(work, name + ".log"), "wb")
    p = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    procs.append(p)
    return p


def stop_all():
    for p in reversed(procs):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
    for p in procs:
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()


def wait_tcp(port, seconds=5):
    end = time.time() + seconds
    while time.time() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


sim_port = free_port(socket.SOCK_DGRAM)
http_port = free_port(socket.SOCK_STREAM)
sim_args = ["build/upstream-sim", "--port", str(sim_port), "--stream", "sample=" + SAMPLE,
            "--default", SAMPLE, "--lead", "1000"]
if os.access("build/lossy-link", os.X_OK):
    path_port = free_port(socket.SOCK_DGRAM)
    start(sim_args, "upstream-sim")
    start(["build/lossy-link", "--listen", str(path_port), "--target",
           "127.0.0.1:%d" % sim_port, "--up-loss", "5", "--down-loss", "5"], "lossy-link")
    lossy = "lossy-link, 5 % each way"
else:
    path_port = sim_port
    start(sim_args + ["--loss-out", "5", "--loss-in", "5", "--seed", "11"], "upstream-sim")
    lossy = "upstream-sim --loss-out 5 --loss-in 5"
time.sleep(0.3)
relay = start(["build/quarlin", "-h", str(http_port)], "quarlin")
if not wait_tcp(http_port):
    stop_all()
    sys.exit("soak: the daemon did not start listening")
pid = relay.pid
request = ("GET /127.0.0.1-%d/sample HTTP/1.0\r\nHost: soak\r\n\r\n" % path_port).encode()
sample = open(SAMPLE, "rb").read()

stats_lock = threading.Lock()
stats = {"players": 0, "with_stream": 0, "exact_start": 0, "bytes": 0, "slow": 0}


def player(slow, until):
    s = socket.socket()
    if slow:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
    got = bytearray()
    try:
        s.connect(("127.0.0.1", http_port))
        s.sendall(request)
        s.settimeout(0.5)
        # Reads until the relay closes it at the next take-over (or the round ends).
        while time.time() < until + 3:
            try:
                chunk = s.recv(4096 if slow else 65536)
            except socket.timeout:
                continue
            if not chunk:
                break
            got += chunk
            if slow:
                time.sleep(0.1)
    except OSError:
        pass
    finally:
        s.close()
    body = bytes(got[HEAD_BYTES:])
    n = min(len(body), 1316 * 100)
    with stats_lock:
        stats["players"] += 1
        stats["slow"] += slow
        stats["bytes"] += len(body)
        stats["with_stream"] += len(body) > 0
        stats["exact_start"] += n == 1316 * 100 and body[:n] == sample[:n]


def usage():
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
    return rss, len(os.listdir("/proc/%d/fd" % pid)), len(os.listdir("/proc/%d/task" % pid))


rows = []
threads = []
t0 = time.time()
rounds = int(MINUTES * 60 / ROUND_S)
for r in range(rounds):
    round_end = t0 + (r + 1) * ROUND_S
    slow = r % SLOW_EVERY == SLOW_EVERY - 1
    th = threading.Thread(target=player, args=(slow, round_end), daemon=True)
    th.start()
    threads.append(th)
    # The minute's figures, at the same point of a round each time (a second before its end).
    time.sleep(max(0, round_end - 1 - time.time()))
    if relay.poll() is not None:
        break
    if (r + 1) % (60 // ROUND_S) == 0:
        rows.append(((r + 1) * ROUND_S // 60,) + usage())
    time.sleep(max(0, round_end - time.time()))
    threads = [t for t in threads if t.is_alive()]

alive = relay.poll() is None
for t in threads:
    t.join(timeout=5)
stop_all()

print("## Soak: %g minutes, take-over every %d s, loss via %s\n" % (MINUTES, ROUND_S, lossy))
print("| minute | resident kB | descriptors | threads |")
print("|---:|---:|---:|---:|")
for m, rss, fds, thr in rows:
    print("| %d | %d | %d | %d |" % (m, rss, fds, thr))
print()
print("players %d (%d slow), %d got stream bytes, %d got the sample's first 100 payloads exactly; "
      "%.1f MB streamed" % (stats["players"], stats["slow"], stats["with_stream"],
                              stats["exact_start"], stats["bytes"] / 1e6))
if not alive:
    print("\n**The daemon died** (logs in %s)" % work)
    sys.exit(2)
# Flat: after the first minute (the ring's pages are touched then) memory grows by less than
# 1 MB, and descriptors and threads vary by at most one player in flight.
base = rows[1:] if len(rows) > 2 else rows
flat = bool(rows)
if rows:
    rss_growth = base[-1][1] - min(r[1] for r in base)
    fd_span = max(r[2] for r in base) - min(r[2] for r in base)
    thr_span = max(r[3] for r in base) - min(r[3] for r in base)
    flat = rss_growth < 1024 and fd_span <= 2 and thr_span <= 2
    print("resident memory %+d kB since minute %d; descriptors within %d; threads within %d"
          % (rss_growth, base[0][0], fd_span, thr_span))
print("**flat**" if flat else "**NOT flat**", "(logs in %s)" % work)
sys.exit(0 if flat else 1)
PY
