#!/usr/bin/env python3
"""System calls, context switches and CPU time per round trip of the lock-step
TCP patterns, for quarvent, the ideal pair and sockperf, on 127.0.0.1.

Throughput on a shared machine moves with the load; what each side does per
round trip does not. Every process runs under `perf stat` (the kernel's
syscall tracepoints, so nothing is slowed down as under strace), pinned as in
run_bench.py, and the counts are divided by the client's sends after the
negotiation: one per request.

    python3 bench/round_trip_counts.py [--build build-bench] [--patterns 7,10]
                                       [--placements split,shared] [--seconds 2]

Needs perf (Debian linux-perf) and the right to use the tracepoints (root, or
kernel.perf_event_paranoid at most 1 with access to tracefs).
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loopback  # noqa: E402
from run_bench import PLACEMENTS, parse_list  # noqa: E402

EVENTS = ["syscalls:sys_enter_recvmsg", "syscalls:sys_enter_recvfrom",
          "syscalls:sys_enter_sendto", "context-switches", "task-clock"]
COLUMNS = ["recvmsg", "recvfrom", "sendto", "context-switches", "task-clock"]


def perf_argv(out):
    return ["perf", "stat", "-x,", "-o", out, "-e", ",".join(EVENTS), "--"]


def read_counts(path):
    """{event: value} from a perf stat -x, file (task-clock in ms)."""
    counts = {}
    with open(path) as f:
        for line in f:
            fields = line.strip().split(",")
            if len(fields) < 3 or not fields[0] or fields[0][0] not in "0123456789":
                continue
            name = fields[2].replace("syscalls:sys_enter_", "")
            counts[name] = float(fields[0])
    return counts


def child_pids(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def programs(build, kind, port, pattern, seconds):
    """(server argv, client argv, signal that stops the server). quarvent's
    client runs continuously and is interrupted after seconds by timeout, which
    signals it directly (perf stat would not pass a signal on)."""
    quarvent = os.path.join(build, "console", "quarvent")
    ideal = os.path.join(build, "bench", "ideal_pair")
    if kind == "quarvent":
        return ([quarvent, "serve", "--port", str(port)],
                ["timeout", "-s", "INT", str(seconds), quarvent, "measure", "--address",
                 loopback.LOOPBACK, "--port", str(port), "--pattern", str(pattern), "--duration",
                 "continuous", "--protocol", "tcp"], signal.SIGINT)
    if kind == "ideal":
        return ([ideal, "serve", str(port)],
                [ideal, "measure", str(port), str(pattern), "tcp", str(int(seconds * 1000))],
                signal.SIGTERM)
    size = min(loopback.ANSWER_SIZE[pattern][0], loopback.SOCKPERF_MAX)
    return (["sockperf", "server", "-i", loopback.LOOPBACK, "-p", str(port), "--tcp"],
            ["sockperf", "ping-pong", "-i", loopback.LOOPBACK, "-p", str(port), "-m", str(size),
             "-t", str(max(1, round(seconds))), "--tcp"], signal.SIGINT)


def count(build, kind, pattern, placement, seconds, tmp):
    """Per round trip counts of client and server, or None."""
    _, server_core, client_core = PLACEMENTS[placement]
    port = loopback.free_port()
    server_argv, client_argv, stop = programs(build, kind, port, pattern, seconds)
    files = {side: os.path.join(tmp, "%s-%s.csv" % (kind, side)) for side in ("client", "server")}
    server = subprocess.Popen(loopback.pinned(server_core, perf_argv(files["server"]) + server_argv),
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        if not loopback.wait_bound(port, udp_too=kind != "sockperf"):
            return None
        loopback.run_client(perf_argv(files["client"]) + client_argv, client_core, seconds)
    finally:
        # perf stat ends once the server it runs has ended.
        for pid in child_pids(server.pid):
            os.kill(pid, stop)
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
    try:
        client, srv = read_counts(files["client"]), read_counts(files["server"])
    except OSError:
        return None
    # The negotiation's send and, for the two protocol programs, the end marker.
    trips = client.get("sendto", 0) - (0 if kind == "sockperf" else 2)
    if trips <= 0:
        return None
    return trips, {side: {k: c.get(k, 0) / trips * (1000 if k == "task-clock" else 1)
                          for k in COLUMNS} for side, c in (("client", client), ("server", srv))}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build-bench")
    ap.add_argument("--patterns", type=lambda t: parse_list(t, 5, 10), default=[7, 10])
    ap.add_argument("--placements", default="split,shared")
    ap.add_argument("--seconds", type=float, default=2.0)
    args = ap.parse_args()
    if not shutil.which("perf"):
        sys.exit("perf not found (Debian package linux-perf)")
    kinds = ["quarvent", "ideal"] + (["sockperf"] if shutil.which("sockperf") else [])
    print("| Pattern | Placement | Program | Round trips | Side | recvmsg | recvfrom | sendto "
          "| context switches | CPU µs |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for placement in [p for p in args.placements.split(",") if p]:
            for pattern in args.patterns:
                for kind in kinds:
                    got = count(args.build, kind, pattern, placement, args.seconds, tmp)
                    if got is None:
                        print("| %d | %s | %s | failed | | | | | | |"
                              % (pattern, PLACEMENTS[placement][0].replace("|", "\\|"), kind))
                        continue
                    trips, sides = got
                    for side, c in sides.items():
                        print("| %d | %s | %s | %d | %s | %s |" % (
                            pattern, PLACEMENTS[placement][0].replace("|", "\\|"), kind, trips,
                            side, " | ".join("%.2f" % c[k] for k in COLUMNS)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
