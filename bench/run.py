#!/usr/bin/env python3
"""Throughput and memory benchmark of aetconv.

Builds Release into build-bench/, generates traces into bench/out/, converts
each into /dev/null, a file and a pipe, and prints per trace and sink: input
and output MB/s, lines per second, user and system CPU, peak memory, and the
wall time over that of `cat` of the very same VCD into the same sink (for
pipes also into a pipe enlarged to 1 MiB, as aetconv enlarges its own).  A
reference row converts with one printf per line.  Two traces with hostile
dotted names measure the declarations alone.

Every program is run --runs times, round-robin, so that the machine's drift
touches all alike.  Figures are medians; ratios are the median of the
per-round ratios, with their range over the rounds in brackets.  With
--baseline PATH another aetconv runs in the same rounds and "vs base" is our
wall time over its own.

    python3 bench/run.py                 # the full benchmark (about 2 GB of disk)
    python3 bench/run.py --smoke         # tiny traces, one round: checks that it works
    python3 bench/run.py --baseline OLD  # side by side with another build
"""
import argparse
import fcntl
import os
import shutil
import statistics
import struct
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
OUT = os.path.join(ROOT, "bench", "out")
MB = 1e6
F_SETPIPE_SZ = 1031


def build():
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DAET_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "aetconv", "aetgen", "naive"],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(BUILD, "bin")


def run_into(argv, sink, big_pipe=False):
    """One run of argv into a sink: null, file or pipe (read by cat; with
    big_pipe the pipe is enlarged to 1 MiB first).  GNU time is the small
    parent, so that the peak memory is the program's own.  Returns
    (wall s, user s, sys s, peak KiB)."""
    figures = os.path.join(OUT, "figures")
    argv = ["/usr/bin/time", "-f", "%U %S %M", "-o", figures] + argv
    start = time.perf_counter()
    if sink == "pipe":
        with open(os.devnull, "wb") as null:
            reader = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=null)
            if big_pipe:
                fcntl.fcntl(reader.stdin.fileno(), F_SETPIPE_SZ, 1 << 20)
            proc = subprocess.Popen(argv, stdout=reader.stdin)
            reader.stdin.close()
            status = proc.wait()
            reader.wait()
    else:
        path = os.devnull if sink == "null" else os.path.join(OUT, "sink.vcd")
        with open(path, "wb") as f:
            status = subprocess.run(argv, stdout=f).returncode
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{argv} failed with status {status}")
    with open(figures) as f:
        user, sys_, rss = f.read().split()
    return wall, float(user), float(sys_), int(rss)


def rounds(programs, sink, runs):
    """Runs every (label, argv, big_pipe) once per round; returns label -> list of results."""
    results = {label: [] for label, _, _ in programs}
    for _ in range(runs):
        for label, argv, big_pipe in programs:
            results[label].append(run_into(argv, sink, big_pipe))
    return results


def ratio(ours, other):
    """Median and range of the per-round wall-time ratios."""
    r = [a[0] / b[0] for a, b in zip(ours, other)]
    return f"{statistics.median(r):5.2f} [{min(r):.2f}-{max(r):.2f}]"


def median(results, i):
    return statistics.median(r[i] for r in results)


def count_lines(path):
    lines = 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 24):
            lines += chunk.count(b"\n")
    return lines


def name_trace(path, piece, times, sharing):
    """A trace of `sharing` one-bit facilities that all have one name: `piece`
    repeated `times` times, then "x"."""
    names = piece * times + b"x\0"
    head = bytearray(164)
    head[0] = 0xA0
    head[60:76] = struct.pack(">iiii", 1, 0, sharing, len(names))
    with open(path, "wb") as f:
        f.write(head)
        f.write(b"".join(struct.pack(">IHHii", 0, 1, 1, i, 0) for i in range(sharing)))
        f.write(names)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--smoke", action="store_true", help="tiny traces, one round")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--baseline", help="another aetconv to compare with, side by side")
    args = ap.parse_args()
    began = time.perf_counter()
    bins = build()
    os.makedirs(OUT, exist_ok=True)
    size = 1 if args.smoke else 100
    runs = 1 if args.smoke else args.runs
    ours = os.path.join(bins, "aetconv")

    # name: (mix, design bits, MB, format)
    traces = {
        "blend": ("blend", 20000, size, "a0"),
        "blend-c0": ("blend", 1000000, size, "c0"),
        "singles": ("singles", 20000, size, "a0"),
        "lists": ("lists", 20000, size, "a0"),
        "whole-200k": ("whole", 200000, size, "a0"),
    }
    print(f"machine: {os.cpu_count()} cores, {os.uname().release}; medians of {runs} rounds, "
          "ratios as median [range]\n")
    header = (f"{'trace':<11} {'sink':<5} {'in MB/s':>7} {'out MB/s':>8} {'Mlines/s':>8} "
              f"{'user s':>6} {'sys s':>5} {'peak MiB':>8} {'vs cat':>17} {'vs cat 1M':>17}"
              + (f" {'vs base':>17}" if args.baseline else ""))
    print(header)
    print("-" * len(header))
    for name, (mix, bits, mb, fmt) in traces.items():
        trace = os.path.join(OUT, name + ".aet")
        vcd = os.path.join(OUT, name + ".vcd")
        with open(trace, "wb") as f:
            subprocess.run([os.path.join(bins, "aetgen"), mix, str(bits), str(mb), fmt, "7"],
                           stdout=f, check=True)
        with open(vcd, "wb") as f:
            subprocess.run([ours, trace], stdout=f, check=True)
        in_bytes, out_bytes = os.path.getsize(trace), os.path.getsize(vcd)
        lines = count_lines(vcd)
        for sink in ("null", "file", "pipe"):
            programs = [("cat", ["cat", vcd], False), ("aetconv", [ours, trace], False)]
            if sink == "pipe":
                programs.append(("cat 1M", ["cat", vcd], True))
            if args.baseline:
                programs.append(("base", [args.baseline, trace], False))
            if name == "blend" and sink == "pipe":
                programs.append(("printf", [os.path.join(bins, "naive"), trace], False))
            res = rounds(programs, sink, runs)
            for label in [p[0] for p in programs if p[0] in ("aetconv", "printf")]:
                r = res[label]
                wall = median(r, 0)
                tag = name if label == "aetconv" else "printf ref"
                row = (f"{tag:<11} {sink:<5} {in_bytes / MB / wall:7.0f} {out_bytes / MB / wall:8.0f} "
                       f"{lines / 1e6 / wall:8.1f} {median(r, 1):6.2f} {median(r, 2):5.2f} "
                       f"{median(r, 3) / 1024:8.1f} {ratio(r, res['cat']):>17} "
                       + (f"{ratio(r, res['cat 1M']):>17}" if sink == "pipe" else f"{'':>17}"))
                if args.baseline and label == "aetconv":
                    row += f" {ratio(r, res['base']):>17}"
                print(row)
            if name == "blend" and sink == "pipe":
                cpu = {k: (median(res[k], 1) + median(res[k], 2)) / out_bytes * 1e9
                       for k in ("aetconv", "printf")}
                print(f"\nCPU per output byte: aetconv {cpu['aetconv']:.2f} ns, printf reference "
                      f"{cpu['printf']:.2f} ns (ratio {cpu['aetconv'] / cpu['printf']:.3f})\n")
        os.unlink(vcd)
        os.unlink(trace)

    # Peak memory must not grow with the trace's length.
    small, large = (1, 10) if args.smoke else (10, 1000)
    peaks = []
    for mb in (small, large):
        trace = os.path.join(OUT, f"mem{mb}.aet")
        with open(trace, "wb") as f:
            subprocess.run([os.path.join(bins, "aetgen"), "blend", "200000", str(mb), "a0", "9"],
                           stdout=f, check=True)
        peaks.append(run_into([ours, trace], "null")[3] / 1024)
        os.unlink(trace)
    print(f"\npeak memory, blend over 200,000 bits: {small} MB trace {peaks[0]:.2f} MiB, "
          f"{large} MB trace {peaks[1]:.2f} MiB (difference {peaks[1] - peaks[0]:+.2f} MiB)")

    # Declarations of hostile names: time and memory follow the name table.
    scale = 100 if args.smoke else 1
    print()
    for label, piece, times, sharing in (
            ("one name of 20,000,000 dots", b".", 20000000 // scale, 1),
            ("20,000 facilities sharing a name of 500,000 pieces", b"a.", 499999 // scale, 20000)):
        trace = os.path.join(OUT, "names.aet")
        name_trace(trace, piece, times, sharing)
        res = rounds([("aetconv", [ours, trace], False)], "null", runs)["aetconv"]
        print(f"{label}: {os.path.getsize(trace) / MB:.1f} MB trace, {median(res, 0):.2f} s "
              f"[{min(r[0] for r in res):.2f}-{max(r[0] for r in res):.2f}], "
              f"peak {median(res, 3) / 1024:.1f} MiB")
        os.unlink(trace)
    shutil.rmtree(OUT, ignore_errors=True)
    print(f"\nbenchmark took {time.perf_counter() - began:.0f} s")


if __name__ == "__main__":
    main()
