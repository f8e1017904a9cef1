"""Processes of the loopback benchmark: servers and clients pinned to cores,
their CPU time taken from the kernel at exit (wait4), and the parsing of what
they print. Only 127.0.0.1 is ever used."""

import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time

MIB = 1024 * 1024
GIB = 1024 * MIB
LOOPBACK = "127.0.0.1"

# Chunk size of the streaming patterns 0 to 2 (what iperf3 is given with -l).
STREAM_CHUNK = {0: 4096, 1: 2048, 2: 1024}
# The lock-step patterns 5 to 10: the mean size of the answer to one request,
# by protocol, from which quarvent's round trips per second follow from its
# receive rate (exact for the fixed sizes 7 to 10, the mean for 5 and 6).
ANSWER_SIZE = {5: (34, 34), 6: (2080, 2080), 7: (8192, 8192), 8: (16384, 16384),
               9: (32768, 32768), 10: (65536, 65504)}
# What sockperf's ping-pong is given with -m: the same size, capped at its
# largest message, 65,507 bytes. Loopback carries at most 65,483 bytes of TCP
# payload in one segment, so sockperf's largest message takes two segments,
# as pattern 10's 65,536 bytes do; 65,000 would fit one and save a second
# segment and an immediate ACK per message, about a third of the round trip's
# cost there.
SOCKPERF_MAX = 65507


class Sample:
    """One client run: bytes per second received and moved (both ways), the
    bytes moved and the client's CPU seconds; ok is False when the run did
    not end with a full report."""

    def __init__(self, recv_rate=0.0, total_rate=0.0, moved=0.0, cpu=0.0, ok=False, note=""):
        self.recv_rate = recv_rate
        self.total_rate = total_rate
        self.moved = moved
        self.cpu = cpu
        self.ok = ok
        self.note = note


def free_port():
    """A port that is free for both TCP and UDP on the loopback address."""
    for _ in range(50):
        t = socket.socket()
        t.bind((LOOPBACK, 0))
        port = t.getsockname()[1]
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            u.bind((LOOPBACK, port))
            return port
        except OSError:
            continue
        finally:
            u.close()
            t.close()
    raise RuntimeError("no free port")


def _bound(port, table, want_state):
    """Whether /proc/net/<table> holds a socket on port (in state want_state)."""
    hexport = ":%04X" % port
    try:
        with open("/proc/net/" + table) as f:
            next(f)
            for line in f:
                fields = line.split()
                if fields[1].endswith(hexport) and (want_state is None or fields[3] == want_state):
                    return True
    except OSError:
        return True  # cannot tell: do not wait
    return False


def wait_bound(port, udp_too=True, timeout=5.0, tcp_too=True):
    """Waits until a server listens on port (TCP, unless tcp_too is False)
    and, with udp_too, has the UDP port bound. Probing by connecting would
    start a session, so the kernel's socket tables are read instead."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        # A dual-stack server's sockets are in the IPv6 tables.
        if (not tcp_too or _bound(port, "tcp", "0A") or _bound(port, "tcp6", "0A")) and \
                (not udp_too or _bound(port, "udp", None) or _bound(port, "udp6", None)):
            return True
        time.sleep(0.01)
    return False


def pinned(core, argv):
    return ["taskset", "-c", str(core)] + argv


def reap(proc, timeout):
    """Waits for proc (killing it after timeout seconds) and returns its
    rusage CPU seconds (user + system). The wait blocks in the kernel rather
    than polling, so that the harness takes no CPU from the pinned processes
    while they run."""
    killer = threading.Timer(timeout, _kill_quietly, (proc.pid,))
    killer.daemon = True
    killer.start()
    try:
        _, status, usage = os.wait4(proc.pid, 0)
    finally:
        killer.cancel()
    proc.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime


def _kill_quietly(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


class Server:
    """A server process started fresh for one cell; stop() returns its CPU
    seconds over the whole cell."""

    def __init__(self, argv, core, port, udp_too=True, stop_signal=signal.SIGINT, tcp_too=True):
        self.port = port
        self.udp_too = udp_too
        self.tcp_too = tcp_too
        self.stop_signal = stop_signal
        self.proc = subprocess.Popen(pinned(core, argv), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_bound(port, udp_too, tcp_too=tcp_too):
            self.stop()
            raise RuntimeError("server did not start: " + " ".join(argv))

    def ready(self):
        return wait_bound(self.port, self.udp_too, timeout=3.0, tcp_too=self.tcp_too)

    def stop(self):
        if self.proc.returncode is None:
            os.kill(self.proc.pid, self.stop_signal)  # a zombie until reaped: never reused
        return reap(self.proc, 5.0)


_ELAPSED = re.compile(r"経過時間 : (?:(\d+) )?([0-9:]+)\.(\d{3})")
_RATE = re.compile(r"(トータル|受信)スループット : ([0-9.]+) \[(MB|KB)/s\]")


def parse_report(text):
    """Receive and total bytes per second and the elapsed seconds of a
    quarvent report, or None when it has no full report."""
    m = _ELAPSED.search(text)
    rates = {kind: float(value) * (MIB if unit == "MB" else 1024)
             for kind, value, unit in _RATE.findall(text)}
    if not m or "受信" not in rates:
        return None
    elapsed = int(m.group(1) or 0) * 86400
    seconds = 0
    for part in (int(x) for x in m.group(2).split(":")):  # [hh:][mm:]ss
        seconds = seconds * 60 + part
    elapsed += seconds + int(m.group(3)) / 1000.0
    recv = rates["受信"]
    return recv, rates.get("トータル", recv), max(elapsed, 1e-3)


def run_client(argv, core, seconds, interrupt_after=None):
    """Runs a client pinned to core; returns (stdout text, CPU seconds, exit code)."""
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(pinned(core, argv), stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.DEVNULL)
        if interrupt_after is not None:
            time.sleep(interrupt_after)
            os.kill(proc.pid, signal.SIGINT)  # Popen.send_signal would reap it first
        cpu = reap(proc, seconds + 15.0)
        out.seek(0)
        return out.read().decode("utf-8", "replace"), cpu, proc.returncode


def product_client(build, port, pattern, proto, seconds, core):
    """quarvent measure in continuous mode, aborted with SIGINT after seconds:
    its full report starts with the abort line."""
    argv = [os.path.join(build, "console", "quarvent"), "measure", "--address", LOOPBACK,
            "--port", str(port), "--pattern", str(pattern), "--duration", "continuous",
            "--protocol", proto]
    text, cpu, code = run_client(argv, core, seconds, interrupt_after=seconds)
    parsed = parse_report(text)
    if parsed is None or code != 0:
        return Sample(cpu=cpu, note="quarvent exit %s: %s" % (code, text.strip()[-120:]))
    recv, total, elapsed = parsed
    return Sample(recv, total, total * elapsed, cpu, ok=True)


def ideal_client(build, port, pattern, proto, seconds, core):
    argv = [os.path.join(build, "bench", "ideal_pair"), "measure", str(port), str(pattern), proto,
            str(int(seconds * 1000))]
    text, cpu, code = run_client(argv, core, seconds)
    try:
        received, sent, elapsed = (float(x) for x in text.split()[:3])
    except ValueError:
        return Sample(cpu=cpu, note="ideal_pair exit %s" % code)
    elapsed = max(elapsed, 1e-3)
    return Sample(received / elapsed, (received + sent) / elapsed, received + sent, cpu,
                  ok=code == 0)


def product_server(build, port, core, extra=()):
    return Server([os.path.join(build, "console", "quarvent"), "serve", "--port", str(port),
                   *extra], core, port)


def ideal_server(build, port, core):
    return Server([os.path.join(build, "bench", "ideal_pair"), "serve", str(port)], core, port,
                  stop_signal=signal.SIGTERM)


def iperf3_run(pattern, seconds, server_core, client_core):
    """iperf3 over TCP with the pattern's chunk size; bytes per second received."""
    port = free_port()
    server = Server(["iperf3", "-s", "-1", "-B", LOOPBACK, "-p", str(port)], server_core, port,
                    udp_too=False)
    argv = ["iperf3", "-c", LOOPBACK, "-p", str(port), "-t", str(max(1, round(seconds))),
            "-l", str(STREAM_CHUNK[pattern]), "-J"]
    text, _, _ = run_client(argv, client_core, seconds)
    server.stop()
    try:
        end = json.loads(text)["end"]["sum_received"]
        return end["bytes"] / end["seconds"]
    except (ValueError, KeyError, ZeroDivisionError):
        return None


def sockperf_server(port, core, proto):
    argv = ["sockperf", "server", "-i", LOOPBACK, "-p", str(port)]
    if proto == "tcp":
        argv.append("--tcp")
    return Server(argv, core, port, udp_too=proto == "udp", tcp_too=proto == "tcp")


_SOCKPERF_VALID = re.compile(r"\[Valid Duration\] RunTime=([0-9.]+) sec;.*ReceivedMessages=(\d+)")


def sockperf_client(port, pattern, proto, seconds, core):
    """sockperf ping-pong with the pattern's answer size (at most
    SOCKPERF_MAX bytes); round trips per second over its measured time, or None."""
    size = min(ANSWER_SIZE[pattern][proto == "udp"], SOCKPERF_MAX)
    argv = ["sockperf", "ping-pong", "-i", LOOPBACK, "-p", str(port), "-m", str(size),
            "-t", str(max(1, round(seconds)))]
    if proto == "tcp":
        argv.append("--tcp")
    text, _, code = run_client(argv, core, seconds)
    m = _SOCKPERF_VALID.search(text)
    if not m or code != 0 or float(m.group(1)) <= 0:
        return None
    return int(m.group(2)) / float(m.group(1))


def cpu_sample():
    """(busy, total) jiffies of all CPUs from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    return sum(fields) - idle, sum(fields)


def machine_load(interval=1.0):
    """(share of CPU time busy over interval, 1-minute load average)."""
    busy0, total0 = cpu_sample()
    time.sleep(interval)
    busy1, total1 = cpu_sample()
    with open("/proc/loadavg") as f:
        load1 = float(f.read().split()[0])
    return (busy1 - busy0) / max(1, total1 - total0), load1
