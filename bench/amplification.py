#!/usr/bin/env python3
"""What one UDP source can draw from `quarvent serve`, per pattern.

For each pattern a source negotiates and then sends REQUESTS requests of the
smallest size the server answers (4 bytes; with --strict-requests, the
smallest request the pattern's client sends), and counts the bytes it sent
(negotiation line included) and the bytes it got back. Prints the table of
SECURITY.md: bytes in, bytes out, bytes out per byte in, the largest chunk.

Only 127.0.0.1 is used; the port comes from the OS; every wait is bounded.
"""

import argparse
import signal
import socket
import struct
import subprocess

from loopback import free_port

LOOPBACK = "127.0.0.1"
IDENTIFIER = b"QUARVENTOLIS-PIPEGAUGER"
# The smallest request the client sends over UDP, per pattern.
SMALLEST_REQUEST = [4, 4, 4, 256, 192, 4, 64, 8192, 16384, 32768, 65504]


def draw(port, pattern, size, requests, wait):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(2)
        s.connect((LOOPBACK, port))
        line = IDENTIFIER + b" 100:%d\0" % pattern
        s.send(line)
        sent, got, largest = len(line), len(s.recv(65536)), 0
        request = struct.pack("<i", size) + b"q" * (size - 4)
        s.settimeout(wait)
        for _ in range(requests):
            s.send(request)
            sent += len(request)
            try:
                n = len(s.recv(65536))
            except socket.timeout:
                continue  # left unanswered
            got += n
            largest = max(largest, n)
        s.send(struct.pack("<i", -1))
        return sent, got, largest


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--quarvent", default="build/console/quarvent")
    p.add_argument("--requests", type=int, default=300)
    p.add_argument("--strict", action="store_true", help="serve with --strict-requests and "
                   "send each pattern's smallest client request as well as 4-byte ones")
    args = p.parse_args()
    port = free_port()
    cmd = [args.quarvent, "serve", "--port", str(port), "--bind", LOOPBACK, "--max-clients", "16"]
    if args.strict:
        cmd.append("--strict-requests")
    serve = subprocess.Popen(cmd, stderr=subprocess.PIPE, text=True)
    try:
        for line in serve.stderr:
            if "listening on port" in line:
                break
        print("| Pattern | Request | Bytes in | Bytes out | Out per byte in | Largest chunk |")
        print("|---|---:|---:|---:|---:|---:|")
        for pattern in range(11):
            sizes = sorted({4, SMALLEST_REQUEST[pattern]}) if args.strict else [4]
            for size in sizes:
                # A request expected to go unanswered is waited for briefly.
                unanswered = args.strict and size < SMALLEST_REQUEST[pattern]
                requests = min(args.requests, 20) if unanswered else args.requests
                sent, got, largest = draw(port, pattern, size, requests, 0.2 if unanswered else 2)
                print(f"| {pattern} | {size} | {sent:,} | {got:,} | {got / sent:,.1f} | "
                      f"{largest:,} |")
    finally:
        serve.send_signal(signal.SIGTERM)
        serve.wait(timeout=60)


if __name__ == "__main__":
    main()
