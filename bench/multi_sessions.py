#!/usr/bin/env python3
"""`quarvent measure` with many sessions in one process, on 127.0.0.1.

CPU per GiB: the measuring process's CPU time (user + system, from wait4) per
GiB moved (received + sent, from its JSON), for one session against
--sessions 64, TCP pattern 7 for 15 s each against one
`quarvent serve --max-clients 64`. The sessions share the process; the per-pass
loop of each is the same code as one run's, so any difference is the cost of
running 64 of them at once (threads, scheduling), not of the mix.

Scale: --sessions 1024 of pattern 5 over UDP and over TCP against
`serve --max-clients 1024`: the process's peak RSS (ru_maxrss) and its most
threads (sampled from /proc while it runs), and whether every session ended
with a full report.

Only 127.0.0.1 is used; ports come from the OS; every wait is bounded.
"""

import argparse
import json
import os
import subprocess
import threading
import time

from loopback import free_port  # a port free for TCP and UDP on 127.0.0.1


def start_serve(quarvent, port, max_clients):
    proc = subprocess.Popen(
        [quarvent, "serve", "--port", str(port), "--bind", "127.0.0.1",
         "--max-clients", str(max_clients)], stderr=subprocess.PIPE, text=True)
    deadline = time.time() + 30
    while time.time() < deadline:
        line = proc.stderr.readline()
        if not line or "listening on port" in line:
            break
    # serve's further lines are not read: drain them so it never blocks.
    subprocess.Popen(["cat"], stdin=proc.stderr, stdout=subprocess.DEVNULL)
    return proc


def run_measure(quarvent, port, args):
    """Runs measure --json; returns (document, rusage, most threads seen)."""
    proc = subprocess.Popen([quarvent, "measure", "--port", str(port), "--json"] + args,
                            stdout=subprocess.PIPE, text=True)
    threads = 0
    chunks = []
    reader = threading.Thread(target=lambda: chunks.append(proc.stdout.read()), daemon=True)
    reader.start()
    # The document comes at the end; until then, sample the thread count
    # (wait4 with WNOHANG reaps the process with its resource usage).
    deadline = time.time() + 120
    while time.time() < deadline:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid != 0:
            break
        try:
            threads = max(threads, len(os.listdir(f"/proc/{proc.pid}/task")))
        except FileNotFoundError:
            pass
        time.sleep(0.2)
    else:
        proc.kill()
        pid, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    reader.join(timeout=30)
    return json.loads("".join(chunks)), usage, threads, proc.returncode


def moved(doc):
    end = doc["whole"]["end"] if "whole" in doc else doc["runs"][0]["end"]
    return end["bytes_received"] + end["bytes_sent"]


def cpu_per_gib(quarvent, sessions):
    port = free_port()
    serve = start_serve(quarvent, port, max(sessions, 2))
    try:
        args = ["--pattern", "7", "-t", "15"]
        if sessions > 1:
            args += ["--sessions", str(sessions)]
        doc, usage, threads, code = run_measure(quarvent, port, args)
    finally:
        serve.terminate()
        serve.wait(timeout=30)
    cpu = usage.ru_utime + usage.ru_stime
    gib = moved(doc) / 2**30
    print(f"TCP pattern 7, {sessions:4d} session(s): {gib:8.2f} GiB moved, "
          f"CPU {cpu:6.2f} s (user {usage.ru_utime:.2f}, sys {usage.ru_stime:.2f}), "
          f"{cpu / gib:.3f} CPU-s/GiB, exit {code}")


def scale(quarvent, protocol, sessions):
    port = free_port()
    serve = start_serve(quarvent, port, sessions)
    try:
        args = ["--pattern", "5", "-t", "15", "--sessions", str(sessions), "--protocol", protocol]
        doc, usage, threads, code = run_measure(quarvent, port, args)
    finally:
        serve.terminate()
        serve.wait(timeout=30)
    whole = doc["whole"]
    print(f"{protocol.upper()} pattern 5, {sessions} sessions: peak RSS "
          f"{usage.ru_maxrss / 1024:.1f} MiB, most threads {threads}, "
          f"{whole['full']} full / {whole['failed']} failed, exit {code}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("quarvent", help="path to the quarvent program")
    parser.add_argument("--sessions", type=int, default=1024)
    args = parser.parse_args()
    for sessions in (1, 64):
        cpu_per_gib(args.quarvent, sessions)
    for protocol in ("udp", "tcp"):
        scale(args.quarvent, protocol, args.sessions)


if __name__ == "__main__":
    main()
