#!/usr/bin/env python3
"""Throughput and memory of agreement_ensemble.

Usage: ensemble.py ENSEMBLE [SEEDS [SAMPLES [GRID_SEEDS]]]

Runs SEEDS seeds (default 10000) at k = 0 with 1 thread and with the machine's hardware
threads, alternating, SAMPLES times each (default 3), in a scratch folder, and prints the
median seeds/s of each with its range and the speedup. Then, on every hardware thread, runs
the coupling grid --coupling 0:1:0.05 (21 values of k) for GRID_SEEDS seeds (default
10000) alternating with a run at k = 0 alone, SAMPLES times each, and prints the seed-runs/s
(seeds times values of k) of both: a grid should do the same work per seed-run. Last, the
peak resident memory (GNU time) of 1,000 and of 100,000 seeds, and of the grid for 1,000 and
10,000 seeds. Prints figures only; never fails on time.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

from peak import peak_kib


def timed(argv, folder):
    start = time.perf_counter()
    subprocess.run(argv, cwd=folder, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def rate_text(runs, times):
    rates = sorted(runs / t for t in times)
    return f"{statistics.median(rates):8.0f} (range {rates[0]:.0f}-{rates[-1]:.0f})"


def main():
    program = os.path.abspath(sys.argv[1])
    seeds = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    samples = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    grid_seeds = int(sys.argv[4]) if len(sys.argv) > 4 else 10000
    cores = os.cpu_count() or 1
    counts = sorted({1, cores})
    grid = ["--coupling", "0:1:0.05"]
    with tempfile.TemporaryDirectory(prefix="agreement_ensemble_bench_") as folder:
        times = {threads: [] for threads in counts}
        timed([program, "--seeds", "200"], folder)  # warm-up
        for _ in range(samples):
            for threads in counts:
                times[threads].append(
                    timed([program, "--seeds", str(seeds), "--threads", str(threads)], folder))
        print(f"agreement_ensemble, {seeds} seeds at k = 0, {samples} alternating samples per "
              f"thread count (seeds/s, median and range)")
        base = None
        for threads in counts:
            rate = seeds / statistics.median(times[threads])
            base = base or rate
            print(f"  {threads} thread{'s' if threads > 1 else ' '}: {rate_text(seeds, times[threads])}"
                  f"  ({rate / base:.2f}x one thread)")

        single, several = [], []
        for _ in range(samples):
            single.append(timed([program, "--seeds", str(grid_seeds)], folder))
            several.append(timed([program, "--seeds", str(grid_seeds)] + grid, folder))
        print(f"coupling grid, {grid_seeds} seeds on {cores} threads, {samples} alternating samples "
              f"(seed-runs/s, median and range)")
        print(f"  k = 0 alone:        {rate_text(grid_seeds, single)}")
        print(f"  0:1:0.05 (21 k):    {rate_text(21 * grid_seeds, several)}  "
              f"({21 * statistics.median(single) / statistics.median(several):.2f}x per seed-run)")

        figures = [("1,000 seeds", [program, "--seeds", "1000"]),
                   ("100,000 seeds", [program, "--seeds", "100000"]),
                   ("grid, 1,000 seeds", [program, "--seeds", "1000"] + grid),
                   ("grid, 10,000 seeds", [program, "--seeds", "10000"] + grid)]
        peaks = [(name, peak_kib(argv, folder)) for name, argv in figures]
        if any(peak is None for _, peak in peaks):
            print("  peak RSS: n/a (needs GNU time)")
        else:
            print("  peak RSS: " + ", ".join(f"{peak / 1024:.1f} MB for {name}" for name, peak in peaks))


if __name__ == "__main__":
    main()
