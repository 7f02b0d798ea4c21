"""Shared pieces of the benchmarks in bench/: building the helpers, starting and ending the
processes of a run (bounded, by PID), reading /proc, and summing up repeated runs.

Every benchmark prints a markdown section on standard output; scripts/bench gathers them into
docs/performance.md.
"""

import json
import os
import platform
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "media", "sample-2mbps-20s.ts")
PAYLOAD = 1316
HTTP_HEAD_BYTES = 66  # the daemon's response head


def null_share(path=SAMPLE):
    """Share of the sample's 188-byte packets that are null packets (PID 0x1FFF)."""
    with open(path, "rb") as f:
        data = f.read()
    n = len(data) // 188
    nulls = sum(1 for i in range(n)
                if ((data[i * 188 + 1] & 0x1F) << 8 | data[i * 188 + 2]) == 0x1FFF)
    return nulls / n if n else 0.0


def default_build():
    return os.path.join(ROOT, "build")


def leave_work(work, keep, what="logs"):
    """The run's folder: kept, and said where, with --keep; removed otherwise."""
    if keep:
        log(f"{what} kept in {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)


def write_json(path, figures, **dump_args):
    """The figures as JSON at path (--json); nothing without a path."""
    if path:
        with open(path, "w") as f:
            json.dump(figures, f, **dump_args)


def log(msg):
    print(f"{os.path.basename(sys.argv[0])}: {msg}", file=sys.stderr, flush=True)


def need_tools(build_dir, tools):
    for tool in tools:
        if not os.access(os.path.join(build_dir, tool), os.X_OK):
            sys.exit(f"{os.path.basename(sys.argv[0])}: {tool} is not built in {build_dir}")


def need_commands(commands):
    missing = [c for c in commands if not any(
        os.access(os.path.join(d, c), os.X_OK) for d in os.environ.get("PATH", "").split(":"))]
    if missing:
        sys.exit(f"{os.path.basename(sys.argv[0])}: missing {', '.join(missing)} "
                 "(scripts/bench installs them: apt-get install ffmpeg srt-tools gnuplot socat)")


def helper(build_dir, name):
    """BUILD/bench-NAME, the helper built from bench/NAME.cpp; (re)built through CMake when
    missing or older than its source."""
    source = os.path.join(ROOT, "bench", f"{name}.cpp")
    binary = os.path.join(build_dir, f"bench-{name}")
    if not os.path.exists(binary) or os.path.getmtime(binary) < os.path.getmtime(source):
        subprocess.run(["cmake", "--build", build_dir, "--target", f"bench-{name}"], check=True,
                       stdout=subprocess.DEVNULL)
    return binary


def free_port(kind=socket.SOCK_DGRAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_ports(count):
    """count distinct free port numbers, good for UDP and TCP alike at the time of asking."""
    ports = set()
    while len(ports) < count:
        p = free_port(socket.SOCK_DGRAM)
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                s.bind(("127.0.0.1", p))
        except OSError:
            continue
        ports.add(p)
    return list(ports)


def wait_for_text(path, text, timeout_s):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        try:
            with open(path, "r", errors="replace") as f:
                if text in f.read():
                    return True
        except FileNotFoundError:
            pass
        time.sleep(0.01)
    return False


def tcp_listening(port):
    """Whether some socket listens on TCP port (any address), from /proc/net/tcp{,6}."""
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(name) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except FileNotFoundError:
            pass
    return False


def wait_listening(port, timeout_s):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if tcp_listening(port):
            return True
        time.sleep(0.005)
    return False


def udp_drops(pid):
    """Datagrams the kernel dropped on the UDP sockets of process pid (full receive buffers)."""
    inodes = set()
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
            except OSError:
                continue
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
    except OSError:
        return 0
    drops = 0
    for name in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(name) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[9] in inodes:
                        drops += int(fields[-1])
        except FileNotFoundError:
            pass
    return drops


def cpu_seconds(pid, tid=None):
    path = f"/proc/{pid}/task/{tid}/stat" if tid else f"/proc/{pid}/stat"
    try:
        with open(path) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return float("nan")
    # utime and stime are fields 14 and 15; fields[0] here is field 3 (the state).
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run_seconds(pid):
    """CPU time of all live threads of pid from /proc/PID/task/*/schedstat (nanosecond
    resolution, unlike the 10 ms ticks of /proc/PID/stat); threads that already ended are not
    counted, so use it for windows in which the threads stay the same."""
    total = 0
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return float("nan")
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total / 1e9


def run_seconds_tid(pid, tid):
    """Run time (s) of one thread from its schedstat; 0 when it has gone."""
    try:
        with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
            return int(f.read().split()[0]) / 1e9
    except (OSError, ValueError, IndexError):
        return 0.0


def context_switches(pid, tid=None, kinds=("voluntary_ctxt_switches",
                                           "nonvoluntary_ctxt_switches")):
    """Voluntary plus involuntary context switches summed over pid's live threads (or of the
    one thread tid), from /proc/PID/task/*/status: each is one time a thread went to sleep or
    was put off a core. kinds picks the lines counted."""
    try:
        tids = [tid] if tid else os.listdir(f"/proc/{pid}/task")
    except OSError:
        return float("nan")
    total = 0
    for t in tids:
        try:
            with open(f"/proc/{pid}/task/{t}/status") as f:
                total += sum(int(line.split()[1]) for line in f
                             if line.startswith(kinds))
        except (OSError, ValueError, IndexError):
            pass
    return total


def thread_cpu(pid):
    """{tid: cpu seconds} of every thread of pid."""
    out = {}
    try:
        for tid in os.listdir(f"/proc/{pid}/task"):
            out[int(tid)] = cpu_seconds(pid, tid)
    except OSError:
        pass
    return out


def vm_hwm_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def kv(line):
    """key=value words of a line as a dict; numbers become int or float."""
    out = {}
    for word in line.split():
        if "=" not in word:
            continue
        k, v = word.split("=", 1)
        try:
            out[k] = int(v)
        except ValueError:
            try:
                out[k] = float(v)
            except ValueError:
                out[k] = v
    return out


def read_line(proc, timeout_s):
    """A line of the child's standard output, or None after the time-out or at its end."""
    ready, _, _ = select.select([proc.stdout], [], [], max(0.0, timeout_s))
    if not ready:
        return None
    line = proc.stdout.readline()
    return line.strip() if line else None


def read_until(proc, prefix, timeout_s):
    """The first line starting with prefix within timeout_s, or None."""
    deadline = time.monotonic() + timeout_s
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        line = read_line(proc, left)
        if line is None:
            if proc.poll() is not None:
                return None
            continue
        if line.startswith(prefix):
            return line


class Procs:
    """The processes of one run; stop_all() ends them (SIGTERM, then SIGKILL) by PID, newest
    first, so every run cleans up after itself whatever happens."""

    def __init__(self, work):
        self.work = work
        self.children = []

    def start(self, args, name=None, stdout=None, stdin=None, text=True):
        err = open(os.path.join(self.work, f"{name}.log"), "w") if name else subprocess.DEVNULL
        p = subprocess.Popen(args, stdout=stdout if stdout is not None else err,
                             stderr=err if stdout is not None else subprocess.STDOUT,
                             stdin=stdin if stdin is not None else subprocess.DEVNULL, text=text)
        p.log_path = err.name if name else None
        self.children.append(p)
        return p

    def log_of(self, name):
        return os.path.join(self.work, f"{name}.log")

    @staticmethod
    def stop(p, grace_s=5):
        if p.poll() is None:
            try:
                p.send_signal(signal.SIGTERM)
                p.wait(timeout=grace_s)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
            except ProcessLookupError:
                pass

    def stop_all(self):
        for p in reversed(self.children):
            self.stop(p)
        self.children = []


def sim_args(build_dir, port, kbps=None, lead_ms=0, exit_after=120, idle_s=30, extra=()):
    """The simulator serving the sample as "sample". The daemon's keepalives come every 10 s
    of stream time, so idle_s below that ends sessions that are still in use."""
    args = [os.path.join(build_dir, "upstream-sim"), "--port", str(port), "--stream",
            f"sample={SAMPLE}", "--idle-timeout", str(idle_s), "--exit-after", str(exit_after)]
    if kbps:
        args += ["--cbr", str(kbps)]
    if lead_ms:
        args += ["--lead", str(lead_ms)]
    return args + list(extra)


def link_args(build_dir, listen, target_port, loss=0.0, burst=None, rtt_ms=0, seed=1,
              exit_after=120, burst_up=True):
    args = [os.path.join(build_dir, "lossy-link"), "--listen", str(listen), "--target",
            f"127.0.0.1:{target_port}", "--seed", str(seed), "--exit-after", str(exit_after)]
    if loss:
        args += ["--up-loss", str(loss), "--down-loss", str(loss)]
    if burst:
        args += (["--up-burst", burst] if burst_up else []) + ["--down-burst", burst]
    if rtt_ms:
        half = f"{rtt_ms / 2:g}"
        args += ["--up-delay", half, "--down-delay", half]
    return args


def counters(log_path, prefix):
    """The key=value counters of the line starting with prefix in a log, or {}."""
    try:
        with open(log_path, errors="replace") as f:
            for line in f:
                if line.startswith(prefix):
                    return kv(line[len(prefix):])
    except FileNotFoundError:
        pass
    return {}


def summary(values):
    """(min, median, max) of the values that are numbers; Nones when there are none."""
    vals = [v for v in values if v is not None and v == v]
    if not vals:
        return (None, None, None)
    return (min(vals), statistics.median(vals), max(vals))


def fmt(v, digits=1):
    if v is None:
        return "–"
    if isinstance(v, int):
        return str(v)
    return f"{v:.{digits}f}"


def fmt3(values, digits=1):
    """'min / median / max' of values."""
    lo, med, hi = summary(values)
    if med is None:
        return "–"
    return f"{fmt(lo, digits)} / {fmt(med, digits)} / {fmt(hi, digits)}"


def load_text():
    one, five, fifteen = os.getloadavg()
    return f"{one:.2f}, {five:.2f}, {fifteen:.2f}"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def machine_lines():
    return [f"CPU: {cpu_model()}, {os.cpu_count()} logical cores",
            f"Kernel: {platform.system()} {platform.release()} ({platform.machine()})",
            f"Load average (1, 5, 15 min) at the start: {load_text()}"]


def count_lines(path, prefix, within=""):
    """Lines of a daemon log that start with prefix (and contain within)."""
    try:
        with open(path, errors="replace") as f:
            return sum(1 for line in f if line.startswith(prefix) and within in line)
    except FileNotFoundError:
        return 0


def first_wait_rtt_ms(log_path):
    """The rtt (ms) the sender's first buffering wait used, from the daemon's log."""
    try:
        with open(log_path, errors="replace") as f:
            for line in f:
                if line.startswith("Sleeping to get buffer"):
                    return int(line.rsplit("rtt=", 1)[1]) / 1e6
    except (FileNotFoundError, ValueError, IndexError):
        pass
    return None


def bench_parser(doc):
    """The options every benchmark script shares: where the build is, keeping logs, JSON out."""
    import argparse
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--build", default=default_build())
    parser.add_argument("--keep", action="store_true", help="keep the logs and say where")
    parser.add_argument("--json", help="also write the figures to this file")
    return parser


def metrics(port, timeout_s=5):
    """The daemon's /metrics as {name: value}; {} when it does not answer."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout_s) as s:
            s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
    except OSError:
        return {}
    out = {}
    for line in data.decode(errors="replace").split("\r\n\r\n", 1)[-1].splitlines():
        if line and not line.startswith("#"):
            name, _, value = line.partition(" ")
            try:
                out[name] = float(value)
            except ValueError:
                pass
    return out
