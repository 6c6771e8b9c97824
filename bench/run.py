#!/usr/bin/env python3
"""Throughput and memory benchmark of aetconv.

Builds Release into build-bench/, generates traces into bench/out/, converts
each into /dev/null, a file and a pipe, and prints per run: input and output
MB/s, lines per second, user and system CPU, peak memory and the ratio of the
wall time to `cat` of the very same VCD into the same sink (for pipes also
into a pipe enlarged to 1 MiB, as aetconv enlarges its own output pipe).  A reference row
converts with one printf per line.  Each figure is the best of --runs runs.

    python3 bench/run.py            # the full benchmark (about 5 GB of disk, a few minutes)
    python3 bench/run.py --smoke    # tiny traces, one run: checks that it works
"""
import argparse
import fcntl
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
OUT = os.path.join(ROOT, "bench", "out")
MB = 1e6


def build():
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DAET_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "aetconv", "aetgen", "naive"],
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(BUILD, "bin")


def measured(argv, stdout):
    """Starts argv under GNU time (a small parent, so that the peak memory is
    the converter's own); returns the process and the file of its figures."""
    figures = os.path.join(OUT, "figures")
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%U %S %M", "-o", figures] + argv,
                            stdout=stdout)
    return proc, figures


def finish(proc, figures, start):
    if proc.wait() != 0:
        sys.exit(f"{proc.args} failed with status {proc.returncode}")
    wall = time.perf_counter() - start
    with open(figures) as f:
        user, sys_, rss = f.read().split()
    return wall, float(user), float(sys_), int(rss)


F_SETPIPE_SZ = 1031


def run_into(argv, sink, big_pipe=False):
    """One run of argv into a sink: null, file or pipe (read by cat; with
    big_pipe the pipe is enlarged to 1 MiB first, as aetconv does for its own
    output).  Returns (wall s, user s, sys s, peak KiB)."""
    start = time.perf_counter()
    if sink == "null":
        with open(os.devnull, "wb") as f:
            return finish(*measured(argv, f), start)
    if sink == "file":
        path = os.path.join(OUT, "sink.vcd")
        with open(path, "wb") as f:
            r = finish(*measured(argv, f), start)
        os.unlink(path)
        return r
    with open(os.devnull, "wb") as null:
        reader = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=null)
        if big_pipe:
            fcntl.fcntl(reader.stdin.fileno(), F_SETPIPE_SZ, 1 << 20)
        proc, figures = measured(argv, reader.stdin)
        reader.stdin.close()
        r = finish(proc, figures, start)
        reader.wait()
        return time.perf_counter() - start, r[1], r[2], r[3]


def best(argv, sink, runs, big_pipe=False):
    results = [run_into(argv, sink, big_pipe) for _ in range(runs)]
    return min(results, key=lambda r: r[0])


def count_lines(path):
    lines = 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 24):
            lines += chunk.count(b"\n")
    return lines


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--smoke", action="store_true", help="tiny traces, one run")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    bins = build()
    os.makedirs(OUT, exist_ok=True)
    size = 1 if args.smoke else 100
    runs = 1 if args.smoke else args.runs

    # name: (mix, design bits, MB, format)
    traces = {
        "blend": ("blend", 20000, size, "a0"),
        "blend-c0": ("blend", 1000000, size, "c0"),
        "singles": ("singles", 20000, size, "a0"),
        "lists": ("lists", 20000, size, "a0"),
        "whole-200k": ("whole", 200000, size, "a0"),
    }
    print(f"machine: {os.cpu_count()} cores, {os.uname().release}; best of {runs} runs\n")
    header = (f"{'trace':<11} {'sink':<5} {'in MB/s':>8} {'out MB/s':>9} {'Mlines/s':>9} "
              f"{'user s':>7} {'sys s':>6} {'peak MiB':>8} {'vs cat':>7} {'vs cat 1M':>9}")
    print(header)
    print("-" * len(header))
    for name, (mix, bits, mb, fmt) in traces.items():
        trace = os.path.join(OUT, name + ".aet")
        vcd = os.path.join(OUT, name + ".vcd")
        with open(trace, "wb") as f:
            subprocess.run([os.path.join(bins, "aetgen"), mix, str(bits), str(mb), fmt, "7"],
                           stdout=f, check=True)
        with open(vcd, "wb") as f:
            subprocess.run([os.path.join(bins, "aetconv"), trace], stdout=f, check=True)
        in_bytes, out_bytes = os.path.getsize(trace), os.path.getsize(vcd)
        lines = count_lines(vcd)
        rows = [("aetconv", [os.path.join(bins, "aetconv"), trace])]
        if name == "blend":
            rows.append(("printf", [os.path.join(bins, "naive"), trace]))
        for sink in ("null", "file", "pipe"):
            cat = best(["cat", vcd], sink, runs)
            cat_big = best(["cat", vcd], sink, runs, big_pipe=True) if sink == "pipe" else None
            for label, argv in rows:
                if label == "printf" and sink != "pipe":
                    continue
                wall, user, sys_, rss = best(argv, sink, runs)
                tag = name if label == "aetconv" else "printf ref"
                print(f"{tag:<11} {sink:<5} {in_bytes / MB / wall:8.0f} {out_bytes / MB / wall:9.0f} "
                      f"{lines / 1e6 / wall:9.1f} {user:7.2f} {sys_:6.2f} {rss / 1024:8.1f} "
                      f"{wall / cat[0]:7.2f} " +
                      (f"{wall / cat_big[0]:9.2f}" if cat_big else f"{'':>9}"))
                if name == "blend" and sink == "pipe":
                    cpu = (user + sys_) / out_bytes * 1e9
                    if label == "aetconv":
                        ours = cpu
                    else:
                        print(f"\nCPU per output byte: aetconv {ours:.2f} ns, printf reference "
                              f"{cpu:.2f} ns (ratio {ours / cpu:.3f})\n")
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
        peaks.append(run_into([os.path.join(bins, "aetconv"), trace], "null")[3] / 1024)
        os.unlink(trace)
    print(f"\npeak memory, blend over 200,000 bits: {small} MB trace {peaks[0]:.2f} MiB, "
          f"{large} MB trace {peaks[1]:.2f} MiB (difference {peaks[1] - peaks[0]:+.2f} MiB)")
    shutil.rmtree(OUT, ignore_errors=True)


if __name__ == "__main__":
    main()
