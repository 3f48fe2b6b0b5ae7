#!/usr/bin/env python3
"""Throughput and memory of agreement_ensemble.

Usage: ensemble.py ENSEMBLE [SEEDS [SAMPLES]]

Runs SEEDS seeds (default 10000) with 1 thread and with the machine's hardware threads,
alternating, SAMPLES times each (default 3), in a scratch folder, and prints the median
seeds/s of each and the speedup. Then prints the peak resident memory (GNU time) of 1,000 and
of 100,000 seeds, which should not differ by more than a few MB. Prints figures only; never
fails on time.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time


def timed(argv, folder):
    start = time.perf_counter()
    subprocess.run(argv, cwd=folder, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def peak_kib(argv, folder):
    if not os.path.exists("/usr/bin/time"):
        return None
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, cwd=folder, check=True,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
    return int(out.strip().splitlines()[-1])


def main():
    program = os.path.abspath(sys.argv[1])
    seeds = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
    samples = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    cores = os.cpu_count() or 1
    counts = sorted({1, cores})
    with tempfile.TemporaryDirectory(prefix="agreement_ensemble_bench_") as folder:
        times = {threads: [] for threads in counts}
        timed([program, "--seeds", "200"], folder)  # warm-up
        for _ in range(samples):
            for threads in counts:
                times[threads].append(
                    timed([program, "--seeds", str(seeds), "--threads", str(threads)], folder))
        print(f"agreement_ensemble, {seeds} seeds, {samples} alternating samples per thread count")
        base = None
        for threads in counts:
            rate = seeds / statistics.median(times[threads])
            base = base or rate
            print(f"  {threads} thread{'s' if threads > 1 else ' '}: {rate:8.0f} seeds/s  "
                  f"({rate / base:.2f}x one thread)")
        small = peak_kib([program, "--seeds", "1000"], folder)
        large = peak_kib([program, "--seeds", "100000"], folder)
        if small is None or large is None:
            print("  peak RSS: n/a (needs GNU time)")
        else:
            print(f"  peak RSS: {small} KiB for 1,000 seeds, {large} KiB for 100,000 seeds "
                  f"({(large - small) / 1024:+.1f} MB)")


if __name__ == "__main__":
    main()
