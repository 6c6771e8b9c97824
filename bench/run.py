#!/usr/bin/env python3
"""Throughput and memory benchmark of aetconv.

Builds Release into build-bench/, generates traces into bench/out/, converts
each into /dev/null, a file and a pipe, and prints per trace and sink: input
and output MB/s, lines per second, user and system CPU, peak memory, and the
wall time over that of `cat` of the very same VCD into the same sink (for
pipes also into a pipe enlarged to 1 MiB, as aetconv enlarges its own).  A
reference row converts with one printf per line.  Traces with hostile dotted
names time the declarations alone.  Each trace and its VCD are deleted once
measured, and a run that completes removes bench/out/ with everything in it.

Every program is run --runs times, round-robin, so that the machine's drift
touches all alike.  Figures are medians; ratios are the median of the
per-round ratios, with their range over the rounds in brackets.  With
--baseline PATH another aetconv runs in the same rounds: "wall vs base" and
"cpu vs base" are our wall time and CPU time over its own (on the hostile
names it runs once, for at most a minute).

    python3 bench/run.py                 # the full benchmark (its largest trace is printed)
    python3 bench/run.py --smoke         # small traces, one round: checks that it works
    python3 bench/run.py --baseline OLD  # side by side with another build
"""
import argparse
import fcntl
import os
import random
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import threading
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
    # aetfst where the FST writer library is there to build it.
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "aetfst"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return os.path.join(BUILD, "bin")


def run_into(argv, sink, big_pipe=False, timeout=None):
    """One run of argv into a sink: null, file or pipe (read by cat; with
    big_pipe the pipe is enlarged to 1 MiB first).  GNU time is the small
    parent, so that the peak memory is the program's own; its rusage, which
    holds the program's, gives the CPU time to the microsecond.  Returns
    (wall s, user s, sys s, peak KiB), or None past the timeout."""
    figures = os.path.join(OUT, "figures")
    argv = ["/usr/bin/time", "-f", "%M", "-o", figures] + argv
    reader = None
    with open(os.devnull if sink != "file" else os.path.join(OUT, "sink.vcd"), "wb") as f:
        start = time.perf_counter()
        if sink == "pipe":
            reader = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=f)
            if big_pipe:
                fcntl.fcntl(reader.stdin.fileno(), F_SETPIPE_SZ, 1 << 20)
        proc = subprocess.Popen(argv, stdout=reader.stdin if reader else f, start_new_session=True)
        if reader:
            reader.stdin.close()
        timer = threading.Timer(timeout, os.killpg, (proc.pid, signal.SIGKILL)) if timeout else None
        if timer:
            timer.start()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = status = os.waitstatus_to_exitcode(status)
        if timer:
            timer.cancel()
        if reader:
            reader.wait()
        wall = time.perf_counter() - start
    if status == -signal.SIGKILL and timeout:
        return None
    if status != 0:
        sys.exit(f"{argv} failed with status {status}")
    with open(figures) as f:
        rss = int(f.read().split()[-1])
    return wall, usage.ru_utime, usage.ru_stime, rss


def rounds(programs, sink, runs):
    """Runs every (label, argv, big_pipe) once per round; returns label -> list of results."""
    results = {label: [] for label, _, _ in programs}
    for _ in range(runs):
        for label, argv, big_pipe in programs:
            results[label].append(run_into(argv, sink, big_pipe))
    return results


def ratio(ours, other, cpu=False):
    """Median and range of the per-round ratios of wall (or CPU) time."""
    r = [(a[1] + a[2]) / max(b[1] + b[2], 1e-6) if cpu else a[0] / b[0] for a, b in zip(ours, other)]
    return f"{statistics.median(r):5.2f} [{min(r):.2f}-{max(r):.2f}]"


def median(results, i):
    return statistics.median(r[i] for r in results)


def median_cpu(results):
    return statistics.median(r[1] + r[2] for r in results)


def count_lines(path):
    lines = 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 24):
            lines += chunk.count(b"\n")
    return lines


def throughput(bins, size, runs, baseline):
    ours = os.path.join(bins, "aetconv")
    # name: (mix, design bits, format)
    traces = {
        "blend": ("blend", 20000, "a0"),
        "blend-c0": ("blend", 1000000, "c0"),
        "singles": ("singles", 20000, "a0"),
        "lists": ("lists", 20000, "a0"),
        "whole-200k": ("whole", 200000, "a0"),
    }
    print(f"event streams of {size} MiB each\n")
    header = (f"{'trace':<11} {'sink':<5} {'in MB/s':>7} {'out MB/s':>8} {'Mlines/s':>8} "
              f"{'user s':>6} {'sys s':>6} {'peak MiB':>8} {'vs cat':>17} {'vs cat 1M':>17}"
              + (f" {'wall vs base':>17} {'cpu vs base':>17}" if baseline else ""))
    print(header)
    print("-" * len(header))
    for name, (mix, bits, fmt) in traces.items():
        trace = os.path.join(OUT, name + ".aet")
        vcd = os.path.join(OUT, name + ".vcd")
        with open(trace, "wb") as f:
            subprocess.run([os.path.join(bins, "aetgen"), mix, str(bits), str(size), fmt, "7"],
                           stdout=f, check=True)
        with open(vcd, "wb") as f:
            subprocess.run([ours, trace], stdout=f, check=True)
        in_bytes, out_bytes = os.path.getsize(trace), os.path.getsize(vcd)
        lines = count_lines(vcd)
        for sink in ("null", "file", "pipe"):
            programs = [("cat", ["cat", vcd], False), ("aetconv", [ours, trace], False)]
            if sink == "pipe":
                programs.append(("cat 1M", ["cat", vcd], True))
            if baseline:
                programs.append(("base", [baseline, trace], False))
            if name == "blend" and sink == "pipe":
                programs.append(("printf", [os.path.join(bins, "naive"), trace], False))
            res = rounds(programs, sink, runs)
            for label in [p[0] for p in programs if p[0] in ("aetconv", "printf")]:
                r = res[label]
                wall = median(r, 0)
                tag = name if label == "aetconv" else "printf ref"
                row = (f"{tag:<11} {sink:<5} {in_bytes / MB / wall:7.0f} {out_bytes / MB / wall:8.0f} "
                       f"{lines / 1e6 / wall:8.1f} {median(r, 1):6.3f} {median(r, 2):6.3f} "
                       f"{median(r, 3) / 1024:8.1f} {ratio(r, res['cat']):>17} "
                       + (f"{ratio(r, res['cat 1M']):>17}" if sink == "pipe" else f"{'':>17}"))
                if baseline and label == "aetconv":
                    row += f" {ratio(r, res['base']):>17} {ratio(r, res['base'], cpu=True):>17}"
                print(row)
            if name == "blend" and sink == "pipe":
                cpu = {k: (median(res[k], 1) + median(res[k], 2)) / out_bytes * 1e9
                       for k in ("aetconv", "printf")}
                print(f"\nCPU per output byte: aetconv {cpu['aetconv']:.2f} ns, printf reference "
                      f"{cpu['printf']:.2f} ns (ratio {cpu['aetconv'] / cpu['printf']:.3f})\n")
        os.unlink(vcd)
        os.unlink(trace)


def memory_growth(bins, small, large):
    """Peak memory must not grow with the trace's length."""
    peaks, sizes = [], []
    for mb in (small, large):
        trace = os.path.join(OUT, f"mem{mb}.aet")
        with open(trace, "wb") as f:
            subprocess.run([os.path.join(bins, "aetgen"), "blend", "200000", str(mb), "a0", "9"],
                           stdout=f, check=True)
        peaks.append(run_into([os.path.join(bins, "aetconv"), trace], "null")[3] / 1024)
        sizes.append(os.path.getsize(trace) / MB)
        os.unlink(trace)
    print(f"\npeak memory, blend over 200,000 bits: {sizes[0]:.0f} MB trace {peaks[0]:.2f} MiB, "
          f"{sizes[1]:.0f} MB trace {peaks[1]:.2f} MiB (difference {peaks[1] - peaks[0]:+.2f} MiB)")


def name_trace(path, names, picks, offsets=None):
    """A trace of one-bit facilities, the i-th named names[picks[i]], or at
    offsets[i] of the name table when offsets are given."""
    table, starts = bytearray(), []
    for name in names:
        starts.append(len(table))
        table += name + b"\0"
    offsets = offsets or [starts[k] for k in picks]
    head = bytearray(164)
    head[0] = 0xA0
    head[60:76] = struct.pack(">iiii", 1, 0, len(offsets), len(table))
    with open(path, "wb") as f:
        f.write(head)
        f.write(b"".join(struct.pack(">IHHii", 0, 1, 1, i, o) for i, o in enumerate(offsets)))
        f.write(table)


def hostile_names(bins, scale, runs, baseline):
    """Declarations of names shaped to cost: time and memory must follow the
    name table, whatever the shape."""
    rng = random.Random(1)
    pieces, facilities, dots = 300000 // scale, 100000 // scale, 20000000 // scale
    million = 1000000 // scale
    scopes = [b"top.u%d.core%d.blk%d.sig" % (k // 10000, k // 100 % 100, k % 100) for k in range(million)]
    shuffled = list(range(million))
    rng.shuffle(shuffled)
    shapes = [
        (f"{facilities:,} facilities alternating two names of {pieces:,} pieces, empty and 'unnamed'",
         [b"." * pieces + b"x", b"unnamed." * pieces + b"x"], [i % 2 for i in range(facilities)], None),
        (f"{2 * facilities:,} facilities picking at random among forty names of {pieces // 3 + 1:,} pieces "
         "that read alike",
         [b"." * k + b"unnamed." + b"." * (pieces // 3) + b"x" for k in range(40)],
         [rng.randrange(40) for _ in range(2 * facilities)], None),
        (f"one name of {dots:,} dots", [b"." * dots + b"x"], [0], None),
        (f"{facilities:,} facilities sharing a name of {5 * pieces // 3:,} pieces",
         [b"a." * (5 * pieces // 3) + b"x"], [0] * facilities, None),
        (f"{facilities:,} facilities, each a suffix one piece shorter of a name of {10 * pieces // 3:,} pieces",
         [b"a." * (10 * pieces // 3) + b"x"], [], [2 * i for i in range(facilities)]),
        (f"the same with pieces of 64 bytes: {2 * facilities // 5:,} facilities",
         [b"a" * 63 + b"." + (b"a" * 63 + b".") * (2 * facilities // 5) + b"x"], [],
         [64 * i for i in range(2 * facilities // 5)]),
        (f"{million:,} one-bit facilities, each in a scope of its own (top.u<i>.core<j>.blk<k>.sig)",
         scopes, list(range(million)), None),
        (f"{million:,} distinct short names, offsets out of order",
         [b"s%d" % k for k in range(million)], shuffled, None),
    ]
    print()
    for label, names, picks, offsets in shapes:
        trace = os.path.join(OUT, "names.aet")
        name_trace(trace, names, picks, offsets)
        res = rounds([("aetconv", [os.path.join(bins, "aetconv"), trace], False)], "null", runs)["aetconv"]
        line = (f"{label}: {os.path.getsize(trace) / MB:.1f} MB trace, cpu {median_cpu(res):.2f} s "
                f"[{min(r[1] + r[2] for r in res):.2f}-{max(r[1] + r[2] for r in res):.2f}], "
                f"peak {median(res, 3) / 1024:.1f} MiB")
        if baseline:
            base = run_into([baseline, trace], "null", timeout=60)
            line += (f"; base cpu {base[1] + base[2]:.2f} s, peak {base[3] / 1024:.1f} MiB"
                     if base else "; base over 60 s")
        print(line)
        os.unlink(trace)


def fst_routes(bins, size, runs):
    """aetfst T F against the VCD route, aetconv T | vcd2fst -v - -f F, on
    every mix: CPU of all the processes of each route (the shell reaps them,
    so its rusage holds theirs), wall time, the FST sizes and aetfst's peak
    memory; then that peak for a short and a long trace."""
    aetfst = os.path.join(bins, "aetfst")
    if not os.path.exists(aetfst) or not shutil.which("vcd2fst"):
        print("\nFST rows skipped: aetfst or vcd2fst missing")
        return
    mixes = {"blend": ("blend", 20000, "a0"), "blend-c0": ("blend", 1000000, "c0"),
             "singles": ("singles", 20000, "a0"), "lists": ("lists", 20000, "a0"),
             "whole-200k": ("whole", 200000, "a0")}
    print(f"\nFST from event streams of {size} MiB: aetfst against aetconv | vcd2fst, ratios ours / route's\n")
    header = (f"{'trace':<11} {'cpu s':>6} {'route cpu s':>11} {'cpu ratio':>17} {'wall ratio':>17} "
              f"{'FST MB':>7} {'route FST MB':>12} {'peak MiB':>8}")
    print(header)
    print("-" * len(header))
    fst, other = os.path.join(OUT, "t.fst"), os.path.join(OUT, "v.fst")
    for name, (mix, bits, fmt) in mixes.items():
        trace = os.path.join(OUT, name + ".aet")
        with open(trace, "wb") as f:
            subprocess.run([os.path.join(bins, "aetgen"), mix, str(bits), str(size), fmt, "7"],
                           stdout=f, check=True)
        route = ["/bin/sh", "-c", '"$0" "$1" | vcd2fst -v - -f "$2" >/dev/null',
                 os.path.join(bins, "aetconv"), trace, other]
        # aetfst's notices (the generated streams go back in time and name
        # identifiers no facility declares) are not figures.
        quiet = ["/bin/sh", "-c", 'exec "$0" "$@" 2>/dev/null', aetfst, trace, fst]
        res = rounds([("aetfst", quiet, False), ("route", route, False)], "null", runs)
        ours, theirs = res["aetfst"], res["route"]
        print(f"{name:<11} {median_cpu(ours):6.2f} {median_cpu(theirs):11.2f} "
              f"{ratio(ours, theirs, cpu=True):>17} {ratio(ours, theirs):>17} "
              f"{os.path.getsize(fst) / MB:7.1f} {os.path.getsize(other) / MB:12.1f} "
              f"{median(ours, 3) / 1024:8.1f}")
        for path in (trace, fst, other):
            os.unlink(path)
    peaks = []
    for mb in (size // 5, 2 * size):
        trace = os.path.join(OUT, f"mem{mb}.aet")
        with open(trace, "wb") as f:
            subprocess.run([os.path.join(bins, "aetgen"), "blend", "200000", str(mb), "a0", "9"],
                           stdout=f, check=True)
        quiet = ["/bin/sh", "-c", 'exec "$0" "$@" 2>/dev/null', aetfst, trace, fst]
        peaks.append((os.path.getsize(trace) / MB, run_into(quiet, "null")[3] / 1024))
        os.unlink(trace)
    os.unlink(fst)
    print(f"\naetfst peak memory, blend over 200,000 bits: {peaks[0][0]:.0f} MB trace {peaks[0][1]:.1f} MiB, "
          f"{peaks[1][0]:.0f} MB trace {peaks[1][1]:.1f} MiB")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--smoke", action="store_true", help="small traces, one round")
    ap.add_argument("--runs", type=int, default=9)
    ap.add_argument("--baseline", help="another aetconv to compare with, side by side")
    args = ap.parse_args()
    began = time.perf_counter()
    bins = build()
    os.makedirs(OUT, exist_ok=True)
    runs = 1 if args.smoke else args.runs
    load = os.getloadavg()[0]
    print(f"machine: {os.cpu_count()} cores, {os.uname().release}, load {load:.2f} at the start; "
          f"medians of {runs} rounds, ratios as median [range]")
    throughput(bins, 1 if args.smoke else 100, runs, args.baseline)
    memory_growth(bins, *((1, 10) if args.smoke else (10, 1000)))
    fst_routes(bins, 1 if args.smoke else 20, runs)
    hostile_names(bins, 100 if args.smoke else 1, runs, args.baseline)
    shutil.rmtree(OUT, ignore_errors=True)
    print(f"\nbenchmark took {time.perf_counter() - began:.0f} s, load {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
