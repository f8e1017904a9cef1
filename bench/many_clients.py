#!/usr/bin/env python3
"""Many clients against one `quarvent serve --max-clients N` on 127.0.0.1.

Scale: T TCP and U UDP clients at once (chat pattern 5 and browsing pattern 3,
alternately), each exchanging one request and its chunks every 100 ms for the
given time, then the end marker. Every session's bytes in and out as the
client counted them must equal serve's session line; chunk length words must
frame the stream exactly. serve's peak RSS, and its descriptors and threads
before and after, are printed.

Throughput: N concurrent TCP pattern-7 clients (`quarvent measure`) with serve
pinned to core 0 and the clients to core 1; the aggregate and Jain's fairness
index of the per-session throughputs.

Only 127.0.0.1 is used; ports come from the OS; every wait is bounded.
"""

import argparse
import json
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import time

from loopback import free_port  # a port free for TCP and UDP on 127.0.0.1

LOOPBACK = "127.0.0.1"
INTERVAL_TCP = {3: 8, 5: 1}  # chunks the server sends per request


def proc_counts(pid):
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    threads = len(os.listdir(f"/proc/{pid}/task"))
    hwm = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                hwm = int(line.split()[1]) // 1024
    return fds, threads, hwm


def start_serve(quarvent, port, max_clients, cpu=None):
    cmd = [quarvent, "serve", "--port", str(port), "--bind", LOOPBACK,
           "--max-clients", str(max_clients), "--idle-timeout", "30"]
    if cpu is not None:
        cmd = ["taskset", "-c", str(cpu)] + cmd
    proc = subprocess.Popen(cmd, stderr=subprocess.PIPE, text=True)
    lines = []
    deadline = time.time() + 30
    while time.time() < deadline:
        line = proc.stderr.readline()
        if not line:
            break
        lines.append(line)
        if "listening on port" in line:
            break
    reader = threading.Thread(target=lambda: lines.extend(proc.stderr), daemon=True)
    reader.start()
    return proc, lines, reader


def line_of(pattern):
    return b"QUARVENTOLIS-PIPEGAUGER 100:%d\0" % pattern


def recv_exact(sock, n):
    data = bytearray()
    while len(data) < n:
        part = sock.recv(n - len(data))
        if not part:
            raise ConnectionError("closed")
        data += part
    return bytes(data)


def tcp_client(port, pattern, seconds, result):
    s = socket.create_connection((LOOPBACK, port), timeout=30)
    line = line_of(pattern)
    s.sendall(line)
    reply = recv_exact(s, 24)
    sent, got = len(line), len(reply)
    end = time.time() + seconds
    while time.time() < end:
        s.sendall(struct.pack("<i", 4))
        sent += 4
        for _ in range(INTERVAL_TCP[pattern]):
            word = recv_exact(s, 4)
            size = struct.unpack("<i", word)[0]
            if not 4 <= size <= 65536:
                raise ValueError(f"length word {size}")
            recv_exact(s, size - 4)
            got += size
        time.sleep(0.1)
    s.sendall(struct.pack("<i", -1))
    sent += 4
    s.settimeout(30)
    if s.recv(1) != b"":
        raise ValueError("data after the end marker")
    result[("TCP", s.getsockname()[1])] = ("TCP", pattern, sent, got)
    s.close()


def udp_client(port, pattern, seconds, result):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(30)
    s.connect((LOOPBACK, port))
    line = line_of(pattern)
    s.send(line)
    got = len(s.recv(65536))
    sent = len(line)
    end = time.time() + seconds
    while time.time() < end:
        s.send(struct.pack("<i", 4))
        sent += 4
        chunk = s.recv(65536)
        if struct.unpack("<i", chunk[:4])[0] != len(chunk):
            raise ValueError("length word does not match the datagram")
        got += len(chunk)
        time.sleep(0.1)
    s.send(struct.pack("<i", -1))
    sent += 4
    result[("UDP", s.getsockname()[1])] = ("UDP", pattern, sent, got)
    s.close()


SESSION = re.compile(r"(TCP|UDP) session 127\.0\.0\.1:(\d+) pattern (\d+), (\d+) bytes in, "
                     r"(\d+) bytes out, [\d.]+ s: (.*)")


def scale(args):
    port = free_port()
    total = args.tcp + args.udp
    serve, lines, reader = start_serve(args.quarvent, port, max(args.tcp, args.udp))
    time.sleep(0.5)
    base_fds, base_threads, _ = proc_counts(serve.pid)
    threading.stack_size(256 * 1024)
    result, errors = {}, []

    def run(fn, pattern):
        try:
            fn(port, pattern, args.seconds, result)
        except Exception as e:  # noqa: BLE001 - every failure is counted
            errors.append(repr(e))

    clients = [threading.Thread(target=run, args=(tcp_client, 5 if i % 2 else 3))
               for i in range(args.tcp)]
    clients += [threading.Thread(target=run, args=(udp_client, 5 if i % 2 else 3))
                for i in range(args.udp)]
    started = time.time()
    for c in clients:
        c.start()
    peak_rss = 0
    while any(c.is_alive() for c in clients) and time.time() < started + args.seconds + 120:
        peak_rss = max(peak_rss, proc_counts(serve.pid)[2])
        time.sleep(1)
    for c in clients:
        c.join(timeout=300)
    deadline = time.time() + 60
    while time.time() < deadline:
        ends = sum(1 for l in list(lines) if ": end marker" in l)
        if ends >= len(result) and proc_counts(serve.pid)[1] <= base_threads:
            break
        time.sleep(0.5)
    after_fds, after_threads, hwm = proc_counts(serve.pid)
    serve.send_signal(signal.SIGTERM)
    serve.wait(timeout=60)
    reader.join(timeout=10)
    exact = mismatched = unrecorded = 0
    for l in lines:
        m = SESSION.search(l)
        if not m or m.group(6).strip() != "end marker":
            continue
        want = result.get((m.group(1), int(m.group(2))))
        if not want:
            unrecorded += 1  # the client had not finished its own bookkeeping
            continue
        if want[0] == m.group(1) and (want[2], want[3]) == (int(m.group(4)),
                                                                    int(m.group(5))):
            exact += 1
        else:
            mismatched += 1
    print(f"scale: {args.tcp} TCP + {args.udp} UDP clients for {args.seconds} s")
    print(f"  sessions completed by clients: {len(result)} of {total}; client errors: "
          f"{len(errors)} {errors[:3]}")
    print(f"  sessions whose bytes match serve's line exactly: {exact}; mismatched: {mismatched}; "
          f"ended at serve but not yet recorded by a client: {unrecorded}")
    print(f"  serve peak RSS (VmHWM): {max(peak_rss, hwm)} MB")
    print(f"  descriptors {base_fds} before, {after_fds} after; threads {base_threads} before, "
          f"{after_threads} after")


def measure_rate(quarvent, port, seconds):
    out = subprocess.run(["taskset", "-c", "1", quarvent, "measure", "--port", str(port),
                          "--pattern", "7", "--duration", str(seconds), "--json"],
                         capture_output=True, text=True, timeout=seconds + 120)
    try:
        doc = json.loads(out.stdout)
    except ValueError:
        return 0.0
    intervals = doc["runs"][0]["intervals"]
    moved = sum(i["bytes_received"] for i in intervals)
    span = intervals[-1]["end_s"] if intervals else 0
    return moved / span if span else 0.0


def throughput(args):
    for n in args.throughput:
        port = free_port()
        serve, lines, _ = start_serve(args.quarvent, port, max(n, 2), cpu=0)
        rates = [0.0] * n

        def one(i):
            rates[i] = measure_rate(args.quarvent, port, args.throughput_seconds)

        ts = [threading.Thread(target=one, args=(i,)) for i in range(n)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        serve.send_signal(signal.SIGTERM)
        serve.wait(timeout=60)
        agg = sum(rates)
        jain = agg * agg / (n * sum(r * r for r in rates)) if agg else 0.0
        print(f"throughput N={n}: aggregate {agg / 1e6:.1f} MB/s, Jain {jain:.3f}")


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--quarvent", default="build/console/quarvent")
    p.add_argument("--tcp", type=int, default=500)
    p.add_argument("--udp", type=int, default=500)
    p.add_argument("--seconds", type=int, default=60)
    p.add_argument("--throughput", type=lambda s: [int(x) for x in s.split(",") if x],
                   default=[1, 8, 64])
    p.add_argument("--throughput-seconds", type=int, default=15)
    p.add_argument("--skip-scale", action="store_true")
    args = p.parse_args()
    if not args.skip_scale:
        scale(args)
    if args.throughput:
        throughput(args)


if __name__ == "__main__":
    main()
