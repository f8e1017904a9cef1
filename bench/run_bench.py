#!/usr/bin/env python3
"""What quarvent costs compared with the path it measures, on 127.0.0.1.

For every pattern and protocol, `quarvent measure` against `quarvent serve`
and the ideal pair (bench/ideal_pair: same wire protocol, same system calls per
message, nothing else) run interleaved in the same cell, pinned with taskset in
two placements: server on core 0 and client on core 1, and both on core 0.
The table shows the medians of the repetitions, the median of the per-repetition
ratio quarvent / ideal, and the CPU seconds (client + server, from wait4) per
GiB moved in both directions. For context, the reference tools run beside
them: for the streaming patterns 0 to 2 over TCP iperf3 with the same chunk
size (after the cell's repetitions), and for the lock-step patterns 5 to 10
over TCP and UDP sockperf's ping-pong with the pattern's answer size (65,507
bytes, sockperf's largest, where that is larger), interleaved with the other two in every
repetition; that column gives sockperf's round trips per second and the median
of the per-repetition ratios of quarvent's round trips to sockperf's.
MB = 2^20 bytes.

    ./run.sh bench [--reps 3] [--seconds 2] [--patterns 0-10] [--protocols tcp,udp]
                   [--placements split,shared] [--no-iperf] [--no-sockperf] [--micro]
                   [--raw FILE]
                   [--dialog | --dialog-only] [--dialog-seconds 15] [--dialog-chart]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loopback  # noqa: E402

# (name, server core, client core)
PLACEMENTS = {"split": ("0|1", 0, 1), "shared": ("0|0", 0, 0)}


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def parse_list(text, lo, hi):
    """'0-2,7' -> [0, 1, 2, 7]."""
    out = []
    for part in text.split(","):
        if not part:
            continue
        a, _, b = part.partition("-")
        out.extend(range(int(a), int(b or a) + 1))
    if not out or any(v < lo or v > hi for v in out):
        raise argparse.ArgumentTypeError("values must lie in %d-%d" % (lo, hi))
    return out


def machine_line():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")),
                         model)
    except OSError:
        pass
    return "%d cores (%s), Linux %s" % (os.cpu_count() or 1, model, os.uname().release)


def busy_warning(label, threshold=0.10):
    """Samples the machine for a second; returns a warning line or None."""
    busy, load1 = loopback.machine_load()
    cores = os.cpu_count() or 1
    log("%s: CPU %.0f%% busy over 1 s, load average %.2f on %d cores" % (label, busy * 100, load1,
                                                                          cores))
    # The sampled second decides; the load average lags (it still counts the
    # previous benchmark), so only a load above the core count counts.
    if busy > threshold or load1 > cores:
        return ("WARNING (%s): the machine was busy (CPU %.0f%% busy, load average %.2f on %d "
                "cores); the figures are noisy." % (label, busy * 100, load1, cores))
    return None


def measure_cell(args, pattern, proto, placement):
    """Interleaved repetitions of quarvent and the ideal pair with fresh
    servers; returns a dict of medians and CPU per GiB."""
    _, server_core, client_core = PLACEMENTS[placement]
    port_q, port_i = loopback.free_port(), loopback.free_port()
    servers = {"q": loopback.product_server(args.build, port_q, server_core,
                                            args.serve_args.split()),
               "i": loopback.ideal_server(args.build, port_i, server_core)}
    runs = {"q": [], "i": []}
    clients = {"q": (loopback.product_client, port_q), "i": (loopback.ideal_client, port_i)}
    order = ["q", "i"]
    sockperf = []  # round trips per second, one per repetition (None: failed)
    if args.sockperf and pattern in loopback.ANSWER_SIZE:
        port_s = loopback.free_port()
        servers["s"] = loopback.sockperf_server(port_s, server_core, proto)
        order.append("s")
    try:
        for rep in range(args.reps):
            # ABBA order, so that a drift of the machine's load favours none.
            for key in order if rep % 2 == 0 else order[::-1]:
                servers[key].ready()
                if key == "s":
                    sockperf.append(loopback.sockperf_client(port_s, pattern, proto, args.seconds,
                                                             client_core))
                    continue
                fn, port = clients[key]
                runs[key].append(fn(args.build, port, pattern, proto, args.seconds, client_core))
    finally:
        server_cpu = {key: s.stop() for key, s in servers.items()}
    cell = {"pattern": pattern, "protocol": proto, "placement": placement, "notes": []}
    for key in ("q", "i"):
        ok = [s for s in runs[key] if s.ok]
        cell["notes"] += [s.note for s in runs[key] if not s.ok]
        moved = sum(s.moved for s in runs[key])
        cpu = sum(s.cpu for s in runs[key]) + server_cpu[key]
        cell[key] = {
            "client_cpu": sum(s.cpu for s in runs[key]),
            "server_cpu": server_cpu[key],
            "moved": moved,
            "recv": statistics.median(s.recv_rate for s in ok) if ok else None,
            "total": statistics.median(s.total_rate for s in ok) if ok else None,
            "cpu_per_gib": cpu / (moved / loopback.GIB) if moved > 0 else None,
            "reps": [s.recv_rate if s.ok else None for s in runs[key]],
        }
    ratios = [q.recv_rate / i.recv_rate for q, i in zip(runs["q"], runs["i"])
              if q.ok and i.ok and i.recv_rate > 0]
    cell["ratio"] = statistics.median(ratios) if ratios else None
    cell["sockperf"] = cell["sockperf_ratio"] = None
    if sockperf:
        size = loopback.ANSWER_SIZE[pattern][proto == "udp"]
        ok = [r for r in sockperf if r]
        cell["sockperf"] = statistics.median(ok) if ok else None
        cell["sockperf_reps"] = sockperf
        pairs = [q.recv_rate / size / s for q, s in zip(runs["q"], sockperf) if q.ok and s]
        cell["sockperf_ratio"] = statistics.median(pairs) if pairs else None
    cell["iperf3"] = None
    if proto == "tcp" and pattern in loopback.STREAM_CHUNK and args.iperf:
        rates = [loopback.iperf3_run(pattern, args.seconds, server_core, client_core)
                 for _ in range(args.reps)]
        rates = [r for r in rates if r]
        cell["iperf3"] = statistics.median(rates) if rates else None
    return cell


def fmt_rate(rate):
    if rate is None:
        return "—"
    mb = rate / loopback.MIB
    return "%.0f" % mb if mb >= 100 else "%.1f" % mb if mb >= 10 else "%.2f" % mb if mb >= 0.1 \
        else "%.4f" % mb


def fmt_cell(cell):
    q, i = cell["q"], cell["i"]
    rates = "%s (%s)" % (fmt_rate(q["recv"]), fmt_rate(q["total"]))
    ideal = "%s (%s)" % (fmt_rate(i["recv"]), fmt_rate(i["total"]))
    ratio = "—" if cell["ratio"] is None else "%.2f" % cell["ratio"]
    if cell["ratio"] is not None and cell["ratio"] < 0.95:
        ratio = "**%s**" % ratio
    cpu = "%s / %s" % tuple("—" if x["cpu_per_gib"] is None else "%.2f" % x["cpu_per_gib"]
                            for x in (q, i))
    context = fmt_rate(cell["iperf3"]) if cell["iperf3"] else ""
    if cell.get("sockperf"):
        sratio = "—" if cell["sockperf_ratio"] is None else "%.2f" % cell["sockperf_ratio"]
        if cell["sockperf_ratio"] is not None and cell["sockperf_ratio"] < 1.0:
            sratio = "**%s**" % sratio
        context = "%.0f (%s)" % (cell["sockperf"], sratio)
    return [rates, ideal, ratio, cpu, context]


def print_table(cells, placements, out):
    by_key = {(c["pattern"], c["protocol"], c["placement"]): c for c in cells}
    head = ["Pattern", "Proto"]
    for p in placements:
        tag = PLACEMENTS[p][0].replace("|", "\\|")  # a bare | would split the cell
        head += ["%s quarvent MB/s recv (total)" % tag, "%s ideal MB/s recv (total)" % tag,
                 "%s ratio" % tag, "%s CPU s/GiB q / ideal" % tag,
                 "%s iperf3 MB/s; sockperf round trips/s (q / sockperf)" % tag]
    print("| " + " | ".join(head) + " |", file=out)
    print("|" + "|".join("---" for _ in head) + "|", file=out)
    rows = sorted({(c["pattern"], c["protocol"]) for c in cells})
    for pattern, proto in rows:
        row = [str(pattern), proto.upper()]
        for p in placements:
            cell = by_key.get((pattern, proto, p))
            row += fmt_cell(cell) if cell else [""] * 5
        print("| " + " | ".join(row) + " |", file=out)


def run_micro(build, out):
    """Google Benchmark micro-benchmarks (bench/micro_bench), the median of
    five repetitions each: the run-pass pair is a two-thread pipeline whose
    single samples move by half from one repetition to the next."""
    exe = os.path.join(build, "bench", "micro_bench")
    if not os.access(exe, os.X_OK):
        log("micro_bench not built (%s)" % exe)
        return
    log("== micro-benchmarks")
    res = subprocess.run([exe, "--benchmark_format=json", "--benchmark_min_time=0.2",
                          "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true"],
                         capture_output=True, text=True, check=False)
    try:
        data = json.loads(res.stdout)
    except ValueError:
        print(res.stdout + res.stderr, file=out)
        return
    print("\n| Micro-benchmark (median of 5) | Time per op | CPU per op | Rate |", file=out)
    print("|---|---|---|---|", file=out)
    for b in data.get("benchmarks", []):
        if b.get("aggregate_name", "median") != "median":
            continue
        rate = b.get("bytes_per_second")
        rate = "%.0f MB/s" % (rate / loopback.MIB) if rate else ""
        print("| %s | %.1f %s | %.1f %s | %s |" % (b["run_name"], b["real_time"], b["time_unit"],
                                                  b["cpu_time"], b["time_unit"], rate), file=out)


def dialog_vs_console(args, out):
    """A pattern-7 TCP run of the client dialog (offscreen, bench/dialog_bench
    clicking through it as a user would) against `quarvent measure --duration
    15` on the same server, interleaved; both 15 s unless --dialog-seconds
    says otherwise. With --dialog-chart the dialog's グラフ window is open
    and drawing through the run. The dialog's run must cost the measurement
    nothing."""
    exe = os.path.join(args.build, "bench", "dialog_bench")
    if not os.access(exe, os.X_OK):
        print("\n(dialog vs console: %s is not built; configure with the dialogs)" % exe, file=out)
        return
    log("== dialog%s vs console, pattern 7 over TCP, %g s runs"
        % (" with its chart open" if args.dialog_chart else "", args.dialog_seconds))
    os.environ["QT_QPA_PLATFORM"] = "offscreen"
    _, server_core, client_core = PLACEMENTS["split"]
    port = loopback.free_port()
    server = loopback.product_server(args.build, port, server_core)
    seconds = args.dialog_seconds
    console_argv = [os.path.join(args.build, "console", "quarvent"), "measure", "--port",
                    str(port), "--pattern", "7", "--protocol", "tcp", "--duration", "15"]
    dialog_argv = [exe] + (["--chart"] if args.dialog_chart else []) + [str(port), "7", "tcp"]
    if seconds != 15:
        # Both run the 15-second mode; the dialog's length is given, the
        # console is cut short by its abort, which still gives a full report.
        console_argv[-1] = "continuous"
        dialog_argv.append(str(seconds))
    rates = {"console": [], "dialog": []}
    try:
        for rep in range(args.reps):
            for key in ("console", "dialog") if rep % 2 == 0 else ("dialog", "console"):
                server.ready()
                argv = console_argv if key == "console" else dialog_argv
                interrupt = seconds if (key == "console" and seconds != 15) else None
                text, _, code = loopback.run_client(argv, client_core, seconds, interrupt)
                parsed = loopback.parse_report(text)
                rates[key].append(parsed[0] if parsed and code == 0 else None)
    finally:
        server.stop()
    pairs = [d / c for c, d in zip(rates["console"], rates["dialog"]) if c and d]
    ratio = statistics.median(pairs) if pairs else None
    med = {k: statistics.median([r for r in v if r]) if any(v) else None for k, v in rates.items()}
    dialog = "dialog + グラフ" if args.dialog_chart else "dialog"
    print("\n| Pattern 7, TCP, %g s, placement 0\\|1 | console MB/s recv | %s MB/s recv "
          "| ratio %s / console |" % (seconds, dialog, dialog), file=out)
    print("|---|---|---|---|", file=out)
    print("| median of %d | %s | %s | %s |" % (args.reps, fmt_rate(med["console"]),
                                             fmt_rate(med["dialog"]),
                                             "—" if ratio is None else "%.2f" % ratio), file=out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build-bench", help="build directory (Release)")
    ap.add_argument("--reps", type=int, default=5, help="repetitions per cell (median)")
    ap.add_argument("--seconds", type=float, default=2.0, help="seconds per run")
    ap.add_argument("--patterns", type=lambda t: parse_list(t, 0, 10), default=list(range(11)))
    ap.add_argument("--protocols", default="tcp,udp")
    ap.add_argument("--placements", default="split,shared")
    ap.add_argument("--no-iperf", dest="iperf", action="store_false")
    ap.add_argument("--no-sockperf", dest="sockperf", action="store_false")
    ap.add_argument("--micro", action="store_true", help="also run the micro-benchmarks")
    ap.add_argument("--micro-only", action="store_true", help="only the micro-benchmarks")
    ap.add_argument("--dialog", action="store_true",
                    help="also compare a run of the client dialog with the console's")
    ap.add_argument("--dialog-only", action="store_true", help="only the dialog comparison")
    ap.add_argument("--dialog-seconds", type=float, default=15.0,
                    help="length of each run of the dialog comparison")
    ap.add_argument("--dialog-chart", action="store_true",
                    help="run the dialog with its chart window open")
    ap.add_argument("--raw", help="write every cell as JSON to this file")
    ap.add_argument("--serve-args", default="",
                    help="options for quarvent serve, e.g. '--max-clients 64' (the concurrent "
                    "server with one client)")
    args = ap.parse_args()
    protocols = [p for p in args.protocols.split(",") if p]
    placements = [p for p in args.placements.split(",") if p]
    if any(p not in ("tcp", "udp") for p in protocols) or \
            any(p not in PLACEMENTS for p in placements):
        ap.error("protocols are tcp/udp, placements split/shared")
    if (os.cpu_count() or 1) < 2 and "split" in placements:
        log("one core only: the split placement is left out")
        placements.remove("split")
    if args.iperf and not shutil.which("iperf3"):
        log("iperf3 not found: its column stays empty")
        args.iperf = False
    if args.sockperf and not shutil.which("sockperf"):
        log("sockperf not found: its column stays empty")
        args.sockperf = False
    out = sys.stdout

    if args.micro_only:
        run_micro(args.build, out)
        return 0
    if args.dialog_only:
        dialog_vs_console(args, out)
        return 0
    warnings = [w for w in [busy_warning("before")] if w]
    cells = []
    for placement in placements:
        for proto in protocols:
            for pattern in args.patterns:
                log("== pattern %d %s, placement %s" % (pattern, proto, PLACEMENTS[placement][0]))
                cell = measure_cell(args, pattern, proto, placement)
                for note in cell["notes"]:
                    log("   note:", note)
                log("   quarvent %s, ideal %s, ratio %s" % (fmt_rate(cell["q"]["recv"]),
                                                           fmt_rate(cell["i"]["recv"]),
                                                           cell["ratio"]))
                if cell["sockperf"]:
                    log("   sockperf %.0f round trips/s, quarvent / sockperf %s"
                        % (cell["sockperf"], cell["sockperf_ratio"]))
                cells.append(cell)
    warnings += [w for w in [busy_warning("after")] if w]

    print("Loopback 127.0.0.1 on %s; %d reps x %.1f s per cell, medians; placement "
          "server|client core; MB = 2^20 bytes." % (machine_line(), args.reps, args.seconds),
          file=out)
    print(file=out)
    print_table(cells, placements, out)
    for w in warnings:
        print("\n" + w, file=out)
    if args.raw:
        with open(args.raw, "w") as f:
            json.dump(cells, f, indent=1)
    if args.micro:
        run_micro(args.build, out)
    if args.dialog:
        dialog_vs_console(args, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
