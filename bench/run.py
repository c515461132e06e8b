#!/usr/bin/env python3
"""Measures tcpconsole beside the OpenBSD netcat (nc), on loopback only.

    python3 bench/run.py build/tcpconsole [--quick] [--verify] [--size MiB] ...

Starts its own servers on 127.0.0.1 (ports picked by the system), runs each
client against them, interleaved (A B A B ...), and prints one table:
receive throughput, idle cost, send latency, start-up, and the cost of
standard input at its end. Receive and idle are measured beside the floors
of the client's design too: floor.c, compiled here with cc. Figures are
reported, never judged: the exit status is non-zero only when the
benchmark itself could not run.
Standard library only, and a C compiler for the floors; Linux only (/proc, pidfd).
"""

import argparse
import datetime
import os
import platform
import random
import re
import select
import shlex
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HOST = "127.0.0.1"
MIB = 1 << 20
MENU = "q:quit m:メッセージ送信 : ".encode()
PROMPT = "\n送信メッセージを入力してください : ".encode()


class BenchError(Exception):
    pass


# ---------------------------------------------------------------- children

CHILDREN = []  # every process started, so that each is ended by its PID


def spawn(argv, stdin, stdout, stderr):
    proc = subprocess.Popen(argv, stdin=stdin, stdout=stdout, stderr=stderr, close_fds=True)
    CHILDREN.append(proc)
    return proc


def reap(proc, timeout):
    """Waits at most `timeout` s for proc to end; returns (exit code, rusage,
    monotonic time seen). A child that does not end in time is killed and
    reported as a failure of the benchmark."""
    fd = os.pidfd_open(proc.pid)
    try:
        poller = select.poll()
        poller.register(fd, select.POLLIN)
        ended = poller.poll(timeout * 1000)
        seen = time.perf_counter()
        if not ended:
            os.kill(proc.pid, signal.SIGKILL)
        _, status, usage = os.wait4(proc.pid, 0)
    finally:
        os.close(fd)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if not ended:
        raise BenchError(f"{proc.args[0]} did not end within {timeout} s")
    return proc.returncode, usage, seen


def end(proc, timeout=2.0):
    """Ends proc (already asked to end, or not) and reaps it; never raises."""
    if proc.returncode is not None:
        return
    try:
        reap(proc, timeout)
    except BenchError:
        pass
    except OSError:
        proc.kill()
        proc.wait(timeout)


def end_all():
    for proc in CHILDREN:
        end(proc, 0.5)


def sample(pid):
    """CPU ns and context switches summed over all threads of pid."""
    cpu_ns = switches = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                cpu_ns += int(f.read().split()[0])
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if "ctxt_switches:" in line:  # voluntary and not
                        switches += int(line.split()[1])
        except FileNotFoundError:
            pass  # a thread that ended between listdir and open
    return cpu_ns, switches


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise BenchError("no VmHWM in /proc status")


# ---------------------------------------------------------------- servers

def listener():
    lsn = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    lsn.bind((HOST, 0))
    lsn.listen(4)
    return lsn


def accept(lsn, proc, timeout=10.0):
    deadline = time.perf_counter() + timeout
    while not select.select([lsn], [], [], 0.05)[0]:
        if proc.poll() is not None or time.perf_counter() > deadline:
            raise BenchError(f"{proc.args[0]} did not connect (exit status {proc.poll()})")
    conn, _ = lsn.accept()
    conn.settimeout(30)
    return conn


class Client:
    def __init__(self, name, argv, data_on_stderr):
        self.name, self.argv = name, argv
        self.data_on_stderr = data_on_stderr  # where received bytes are shown

    def command(self, port):
        return self.argv + [HOST, str(port)]


# ---------------------------------------------------------------- 1. receive

def make_block():
    """1 MiB without zero, newline or ASCII letters: every letter in a
    client's output is then its own text, never received data."""
    alphabet = bytes(b for b in range(1, 256)
                     if b != 10 and not (65 <= b <= 90 or 97 <= b <= 122))
    table = bytes(alphabet[i % len(alphabet)] for i in range(256))
    return random.Random(5).randbytes(MIB).translate(table)


def receive(client, block, mib, out_path=None):
    """One transfer of `mib` MiB; returns (MB/s from accept to exit, CPU s)."""
    lsn = listener()
    result = {}

    def serve(conn):
        try:
            with conn:
                result["start"] = time.perf_counter()
                for _ in range(mib):
                    conn.sendall(block)
                result["sent"] = True
        except OSError as err:
            result["error"] = err

    with lsn, open(out_path or os.devnull, "wb") as out:
        data, other = (subprocess.DEVNULL, out) if client.data_on_stderr else (out, subprocess.DEVNULL)
        proc = spawn(client.command(lsn.getsockname()[1]), subprocess.DEVNULL, data, other)
        try:
            sender = threading.Thread(target=serve, args=(accept(lsn, proc),))
            sender.start()
            code, usage, stop = reap(proc, 60 + mib)
        finally:
            end(proc)
        sender.join(35)
    if not result.get("sent"):
        raise BenchError(f"{client.name}: transfer broke: {result.get('error', 'sender hung')}")
    if code != 0:
        raise BenchError(f"{client.name}: exit status {code} after a transfer")
    return mib * MIB / (stop - result["start"]) / 1e6, usage.ru_utime + usage.ru_stime


def received_bytes(client, raw):
    """The data bytes in a client's output, its own texts and inserted
    newlines removed."""
    if not client.data_on_stderr:
        return raw
    if raw.count(MENU) != 1:
        raise BenchError("tcpconsole: the menu is not in its output exactly once")
    raw = raw.replace(MENU, b"")
    own = re.search(rb"[A-Za-z]", raw)  # its closing lines
    chunks = raw[:own.start() if own else len(raw)].split(b"\n")
    if chunks[-1] != b"":
        raise BenchError("tcpconsole: the last chunk has no newline")
    if max(len(c) for c in chunks) > 1024:
        raise BenchError("tcpconsole: a chunk longer than 1024 bytes")
    return b"".join(chunks)


def verify(client, block, mib):
    with tempfile.TemporaryDirectory(prefix="tcpconsole-bench-") as tmp:
        path = os.path.join(tmp, "out")
        receive(client, block, mib, path)
        with open(path, "rb") as f:
            got = received_bytes(client, f.read())
    if got != block * mib:
        raise BenchError(f"{client.name}: received {len(got)} bytes of {mib * MIB}, "
                         "or not the bytes sent")
    return f"{client.name}: all {mib * MIB} bytes arrived intact"


# ---------------------------------------------------------------- 2 and 5: sitting still

def sit(client, seconds, stdin_open):
    """Connected to a silent server for `seconds`; standard input an open,
    silent pipe (a user not typing) or /dev/null (input at its end).
    Returns (CPU s, context switches/s, peak RSS KiB)."""
    with listener() as lsn:
        stdin = subprocess.PIPE if stdin_open else subprocess.DEVNULL
        proc = spawn(client.command(lsn.getsockname()[1]), stdin,
                     subprocess.DEVNULL, subprocess.DEVNULL)
        try:
            with accept(lsn, proc):
                time.sleep(0.3)  # past start-up
                cpu0, sw0 = sample(proc.pid)
                t0 = time.perf_counter()
                time.sleep(seconds)
                cpu1, sw1 = sample(proc.pid)
                t1 = time.perf_counter()
                rss = peak_rss_kib(proc.pid)
                if proc.poll() is not None:
                    raise BenchError(f"{client.name} ended while it should sit connected")
            if proc.stdin:
                proc.stdin.close()
        finally:
            end(proc)
    return (cpu1 - cpu0) / 1e9, (sw1 - sw0) / (t1 - t0), rss


# ---------------------------------------------------------------- 3. send latency

class Stream:
    """Reads a child's pipe, waiting (bounded) for expected bytes."""

    def __init__(self, fd):
        self.fd, self.buf = fd, b""

    def expect(self, text, timeout=5.0):
        deadline = time.perf_counter() + timeout
        while text not in self.buf:
            left = deadline - time.perf_counter()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise BenchError(f"waited {timeout} s for {text!r}")
            chunk = os.read(self.fd, 65536)
            if not chunk:
                raise BenchError(f"stream ended while waiting for {text!r}")
            self.buf += chunk
        self.buf = self.buf[self.buf.index(text) + len(text):]


def latency(client, count, rng):
    """Sends `count` lines; returns each one's delay in s from the write to
    the client's standard input to the last message byte at the server."""
    delays = []
    with listener() as lsn:
        stderr = subprocess.PIPE if client.data_on_stderr else subprocess.DEVNULL
        proc = spawn(client.command(lsn.getsockname()[1]), subprocess.PIPE,
                     subprocess.DEVNULL, stderr)
        try:
            with accept(lsn, proc) as conn:
                shown = Stream(proc.stderr.fileno()) if client.data_on_stderr else None
                if shown:
                    shown.expect(MENU)
                arrived = b""
                for i in range(count):
                    message = b"message %06d" % i
                    if shown:
                        # A pipe read may take several lines: the message
                        # goes only after the prompt shows that "m" was read.
                        proc.stdin.write(b"m\n")
                        proc.stdin.flush()
                        shown.expect(PROMPT)
                    time.sleep(rng.uniform(0, 0.010))  # typed at no fixed phase
                    t0 = time.perf_counter()
                    proc.stdin.write(message + b"\n")
                    proc.stdin.flush()
                    while message not in arrived:
                        chunk = conn.recv(4096)
                        if not chunk:
                            raise BenchError(f"{client.name} closed the connection")
                        arrived += chunk
                    delays.append(time.perf_counter() - t0)
                    arrived = arrived[arrived.index(message) + len(message):]
                    if shown:
                        shown.expect(MENU)
            proc.stdin.close()
        finally:
            end(proc)
    return delays


# ---------------------------------------------------------------- 4. start-up

def start_connected(client):
    """From exec to the server's accept, in s."""
    with listener() as lsn:
        t0 = time.perf_counter()
        proc = spawn(client.command(lsn.getsockname()[1]), subprocess.DEVNULL,
                     subprocess.DEVNULL, subprocess.DEVNULL)
        try:
            conn = accept(lsn, proc)
            t1 = time.perf_counter()
            conn.close()
            reap(proc, 5)
        finally:
            end(proc)
    return t1 - t0


def exec_to_exit(argv):
    """(exit status, s from exec to exit)."""
    t0 = time.perf_counter()
    proc = spawn(argv, subprocess.DEVNULL, subprocess.DEVNULL, subprocess.DEVNULL)
    try:
        code, _, t1 = reap(proc, 5)
    finally:
        end(proc)
    return code, t1 - t0


def start_refused(client):
    """From exec to exit when the connection is refused, in s."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as closed:
        closed.bind((HOST, 0))  # bound, not listening: connect() is refused
        code, seconds = exec_to_exit(client.command(closed.getsockname()[1]))
    if code == 0:
        raise BenchError(f"{client.name}: exit status 0 on a refused connection")
    return seconds


# ---------------------------------------------------------------- report

def machine():
    with open("/proc/cpuinfo") as f:
        model = next((line.split(":", 1)[1].strip() for line in f
                      if line.startswith("model name")), "unknown CPU")
    return (f"{datetime.date.today().isoformat()}, {os.cpu_count()} x {model}, "
            f"Linux {platform.release()}, Python {platform.python_version()}")


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def spread(values, fmt):
    if len(values) == 1:
        return fmt % values[0]
    return (fmt + " (" + fmt + "-" + fmt + ")") % (statistics.median(values), min(values), max(values))


def p99(values):
    ordered = sorted(values)
    return ordered[max(0, -(-99 * len(ordered) // 100) - 1)]


def build_floor(tmp):
    """floor.c compiled into tmp; None where no C compiler builds it."""
    cc, out = shutil.which("cc"), os.path.join(tmp, "floor")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "floor.c")
    if cc and subprocess.run([cc, "-O2", "-pthread", "-o", out, source]).returncode == 0:
        return out
    return None


def table(rows, names):
    """rows: (figure, target, [(value, text) per client], (value, text) of the
    floor or None). Ratios are of the first client to the floor and to the
    last client (nc), where the divisor is above zero."""
    has_nc, has_floor = names[-1] == "nc", any(r[3] for r in rows)
    head = (["figure"] + names + (["tcpconsole/nc"] if has_nc else [])
            + (["floor", "tcpconsole/floor"] if has_floor else []) + ["target"])
    ratio = lambda a, b: "%.2f" % (a / b) if b else "-"
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for figure, target, cells, floor in rows:
        row = [figure] + [text for _, text in cells]
        if has_nc:
            row.append(ratio(cells[0][0], cells[-1][0]))
        if has_floor:
            row += [floor[1], ratio(cells[0][0], floor[0])] if floor else ["-", "-"]
        lines.append("| " + " | ".join(row + [target]) + " |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("tcpconsole", nargs="+", help="tcpconsole binary (more than one: compared side by side)")
    ap.add_argument("--quick", action="store_true", help="a smoke run in well under a minute")
    ap.add_argument("--verify", action="store_true", help="also check every received byte")
    ap.add_argument("--size", type=int, help="MiB per receive run (default 256, quick 16)")
    ap.add_argument("--runs", type=int, help="receive runs per client (default 5, quick 3)")
    ap.add_argument("--nc", default=shutil.which("nc"), help="netcat to compare with (default: nc on PATH)")
    ap.add_argument("--no-nc", dest="nc", action="store_const", const=None, help="measure tcpconsole alone")
    ap.add_argument("--wrap", default="", help="command put before tcpconsole, e.g. 'strace -c -f -o FILE'")
    ap.add_argument("--only", default="receive,idle,latency,startup,eof",
                    help="comma-separated subset of receive,idle,latency,startup,eof")
    args = ap.parse_args()

    quick = args.quick
    mib = args.size or (16 if quick else 256)
    runs = args.runs or (3 if quick else 5)
    idle_s, eof_s = (2.0, 1.0) if quick else (10.0, 5.0)
    messages = 30 if quick else 200
    starts = 5 if quick else 20
    only = set(args.only.split(","))

    clients = []
    for path in args.tcpconsole:
        if not os.access(path, os.X_OK):
            raise BenchError(f"not an executable: {path}")
        name = "tcpconsole" if len(args.tcpconsole) == 1 else f"tcpconsole {path}"
        clients.append(Client(name, shlex.split(args.wrap) + [os.path.abspath(path)], True))
    if args.nc:
        # -n: numeric address, no name service asked.
        clients.append(Client("nc", [args.nc, "-n"], False))
    names = [c.name for c in clients]
    rows, notes = [], []
    began = time.perf_counter()
    load_before = load()
    note = lambda text: print(text, file=sys.stderr, flush=True)
    tmp = tempfile.TemporaryDirectory(prefix="tcpconsole-bench-")
    floor = build_floor(tmp.name) if only & {"receive", "idle"} else None
    if floor:
        notes.append("Floor: bench/floor.c, built with cc -O2 -pthread")
    elif only & {"receive", "idle"}:
        notes.append("Floor: not measured (no cc, or it could not build bench/floor.c)")
    floors = lambda mode: [Client("floor", [floor, mode], True)] if floor else []

    def add(figure, target, per_name, fmt, with_floor=False):
        """per_name: a figure, or a list of them (median and range), by name."""
        cell = lambda v: ((statistics.median(v), spread(v, fmt)) if isinstance(v, list)
                          else (v, fmt % v))
        rows.append((figure, target, [cell(per_name[n]) for n in names],
                     cell(per_name["floor"]) if with_floor and "floor" in per_name else None))

    if "receive" in only:
        block = make_block()
        note(f"receive: {runs} x {mib} MiB per client")
        rate = {c.name: [] for c in clients + floors("receive")}
        cpu = {name: [] for name in rate}
        for _ in range(runs):
            for c in clients + floors("receive"):
                mbs, sec = receive(c, block, mib)
                rate[c.name].append(mbs)
                cpu[c.name].append(sec / (mib / 1024))
        add(f"receive {mib} MiB, MB/s, median (range)", ">= 0.15 x nc", rate, "%.0f", True)
        add("receive, CPU s per GiB, median (range)", "", cpu, "%.2f", True)
        if args.verify:
            for c in clients:
                notes.append("Verified: " + verify(c, block, mib))

    if "idle" in only:
        note(f"idle: {idle_s:.0f} s per client")
        idle = {c.name: sit(c, idle_s, True) for c in clients + floors("idle")}
        add(f"idle {idle_s:.0f} s, CPU % of one core", "< 0.5",
            {n: v[0] / idle_s * 100 for n, v in idle.items()}, "%.3f", True)
        add("idle, context switches/s (all threads)", "<= ~200",
            {n: v[1] for n, v in idle.items()}, "%.0f", True)
        add("idle, peak RSS (VmHWM), MiB", "< 4", {n: v[2] / 1024 for n, v in idle.items()}, "%.2f")

    if "latency" in only:
        note(f"latency: {messages} messages per client")
        rng = random.Random(3)
        delays = {c.name: [] for c in clients}
        for _ in range(2):  # two halves, interleaved
            for c in clients:
                delays[c.name] += latency(c, messages // 2, rng)
        add(f"send latency, median of {messages}, ms", "",
            {n: statistics.median(d) * 1e3 for n, d in delays.items()}, "%.2f")
        add(f"send latency, p99 of {messages}, ms", "< 12",
            {n: p99(d) * 1e3 for n, d in delays.items()}, "%.2f")

    if "startup" in only:
        note(f"start-up: {starts} connected and {starts} refused per client")
        up, refused = ({c.name: [] for c in clients} for _ in range(2))
        started = []
        for _ in range(starts):
            started.append(exec_to_exit(["true"])[1] * 1e3)  # any process's cost here
            for c in clients:
                up[c.name].append(start_connected(c) * 1e3)
                refused[c.name].append(start_refused(c) * 1e3)
        add(f"start-up, exec to accept, ms, median of {starts}", "",
            {n: statistics.median(v) for n, v in up.items()}, "%.2f")
        add(f"refused, exec to exit, ms, median of {starts}", "",
            {n: statistics.median(v) for n, v in refused.items()}, "%.2f")
        notes.append(f"Start-up floor here (exec of true to its exit), median: "
                     f"{statistics.median(started):.2f} ms")

    if "eof" in only:
        note(f"stdin at its end: {eof_s:.0f} s per client")
        eof = {c.name: sit(c, eof_s, False) for c in clients}
        add("stdin at end (/dev/null), CPU s per 5 s", "< 0.1",
            {n: v[0] * 5 / eof_s for n, v in eof.items()}, "%.4f")
        add("stdin at end, context switches/s", "", {n: v[1] for n, v in eof.items()}, "%.0f")
    tmp.cleanup()

    print(table(rows, names))
    print()
    for line in notes:
        print(line)
    print(f"Machine: {machine()}; load average {load_before} before, {load()} after")
    print(f"nc: {args.nc} -n" if args.nc else "nc: not measured (not installed, or --no-nc)")
    print(f"Run time: {time.perf_counter() - began:.1f} s{' (quick)' if quick else ''}")


if __name__ == "__main__":
    try:
        main()
    except (BenchError, OSError) as err:
        print(f"bench: {err}", file=sys.stderr)
        sys.exit(1)
    finally:
        end_all()
