#!/usr/bin/env python3
"""Throughput, instructions and memory of agreement_ensemble, per kernel path.

Usage: ensemble.py ENSEMBLE [SEEDS [SAMPLES [GRID_SEEDS [BIG_SEEDS [BASELINE]]]]]

Finds the kernel paths this build has (from its --help) and this processor runs,
then, in rounds that alternate every path and thread count, runs SEEDS seeds (default
20000; a tenth of them on the plain path) at k = 0 on 1 thread and on every
hardware thread, SAMPLES rounds (default 5), and prints each path's median seeds/s with its
range, the speedup of all threads over one, and the ratio to the plain path measured in
the same rounds. On the widest path it then alternates the coupling grid --coupling
0:1:0.05 (21 values of k) for GRID_SEEDS seeds (default 2000) with k = 0 alone, as
seed-runs/s, and a run that writes the per-seed file with one that doesn't. Under valgrind
(callgrind) it counts user-space instructions per seed on the widest path valgrind runs and
on the plain path, from the difference between two seed counts, so that start-up and the
final table don't count. Last, the peak resident memory (GNU time) of 1,000 and of BIG_SEEDS
seeds (default 1000000) at k = 0 and of the grid for 1,000 and 10,000 seeds. Prints
figures only; never fails on time.
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from peak import peak_kib


def run(argv, folder, isa):
    environment = dict(os.environ, AGREEMENT_ENSEMBLE_ISA=isa)
    return subprocess.run(argv, cwd=folder, env=environment, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode


def timed(argv, folder, isa):
    start = time.perf_counter()
    status = run(argv, folder, isa)
    if status != 0:
        raise SystemExit(f"{' '.join(argv)} exited with {status}")
    return time.perf_counter() - start


def rate_text(rates):
    rates = sorted(rates)
    return f"{statistics.median(rates):8.0f} (range {rates[0]:.0f}-{rates[-1]:.0f})"


def instructions(program, folder, isa, seeds):
    """User-space instructions of a one-thread run, from callgrind; None without valgrind."""
    if shutil.which("valgrind") is None:
        return None
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", program,
         "--seeds", str(seeds), "--threads", "1"],
        cwd=folder, env=dict(os.environ, AGREEMENT_ENSEMBLE_ISA=isa),
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
    found = re.search(r"Collected : (\d+)", out)
    return int(found.group(1)) if found else None


def main():
    program = os.path.abspath(sys.argv[1])
    seeds = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    samples = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    grid_seeds = int(sys.argv[4]) if len(sys.argv) > 4 else 2000
    big_seeds = int(sys.argv[5]) if len(sys.argv) > 5 else 1000000
    baseline = os.path.abspath(sys.argv[6]) if len(sys.argv) > 6 else None
    cores = os.cpu_count() or 1
    counts = sorted({1, cores})
    grid = ["--coupling", "0:1:0.05"]
    with tempfile.TemporaryDirectory(prefix="agreement_ensemble_bench_") as folder:
        # The paths the build has, widest first, as its help names them.
        shown = subprocess.run([program, "--help"], capture_output=True, text=True).stdout
        built = re.search(r"^AGREEMENT_ENSEMBLE_ISA=([a-z0-9|]+) ", shown, re.M).group(1)
        paths = [isa for isa in built.split("|")
                 if run([program, "--seeds", "16"], folder, isa) == 0]
        widest = paths[0]
        print(f"agreement_ensemble on {cores} hardware threads; paths here: {', '.join(paths)}")
        base_paths = []
        if baseline is not None:
            shown = subprocess.run([baseline, "--help"], capture_output=True, text=True).stdout
            built = re.search(r"^AGREEMENT_ENSEMBLE_ISA=([a-z0-9|]+) ", shown, re.M).group(1)
            base_paths = [isa for isa in built.split("|") if isa != "plain"
                          and run([baseline, "--seeds", "16"], folder, isa) == 0]
        against = {isa: [] for isa in base_paths if isa in paths}
        widest_against = []

        # Every round runs every path and thread count once, so that a drift in the machine's
        # speed reaches them all alike.
        rates = {(isa, threads): [] for isa in paths for threads in counts}
        ratios = {(isa, threads): [] for isa in paths for threads in counts}
        for _ in range(samples):
            this_round = {}
            for isa in paths:
                count = seeds if isa != "plain" else max(1, seeds // 10)
                for threads in counts:
                    t = timed([program, "--seeds", str(count), "--threads", str(threads)],
                              folder, isa)
                    this_round[isa, threads] = count / t
                    rates[isa, threads].append(count / t)
            for isa in paths:
                for threads in counts:
                    ratios[isa, threads].append(this_round[isa, threads] /
                                                this_round["plain", threads])
            base_round = {}
            for isa in base_paths:
                base_round[isa] = seeds / timed([baseline, "--seeds", str(seeds), "--threads",
                                                 "1"], folder, isa)
                if isa in against:
                    against[isa].append(this_round[isa, 1] / base_round[isa])
            if base_paths:
                widest_against.append(this_round[widest, 1] / base_round[base_paths[0]])
        print(f"k = 0, {seeds} seeds ({max(1, seeds // 10)} on plain), {samples} rounds "
              f"(seeds/s, median and range)")
        for isa in paths:
            for threads in counts:
                line = f"  {isa:7} {threads} thread{'s' if threads > 1 else ' '}: "
                line += rate_text(rates[isa, threads])
                if threads != 1:
                    speedup = sorted(a / b for a, b in zip(rates[isa, threads], rates[isa, 1]))
                    line += f"  {statistics.median(speedup):.2f}x one thread " \
                            f"({speedup[0]:.2f}-{speedup[-1]:.2f})"
                if isa != "plain":
                    r = sorted(ratios[isa, threads])
                    line += f"  {statistics.median(r):.1f}x plain ({r[0]:.1f}-{r[-1]:.1f})"
                print(line)

        if base_paths:
            print(f"against {baseline}, one thread, same rounds (this build / that one)")
            for isa, r in against.items():
                r = sorted(r)
                print(f"  {isa:7} {statistics.median(r):.2f}x ({r[0]:.2f}-{r[-1]:.2f})")
            r = sorted(widest_against)
            print(f"  widest ({widest} / {base_paths[0]}) {statistics.median(r):.2f}x "
                  f"({r[0]:.2f}-{r[-1]:.2f})")

        single, several, plain, with_rows = [], [], [], []
        for _ in range(samples):
            single.append(grid_seeds / timed([program, "--seeds", str(grid_seeds)], folder, widest))
            several.append(21 * grid_seeds /
                           timed([program, "--seeds", str(grid_seeds)] + grid, folder, widest))
            plain.append(seeds / timed([program, "--seeds", str(seeds)], folder, widest))
            with_rows.append(seeds / timed([program, "--seeds", str(seeds), "--per-seed",
                                            "rows.csv"], folder, widest))
        print(f"{widest}, every hardware thread, {samples} alternating samples")
        print(f"  k = 0 alone, {grid_seeds} seeds:      {rate_text(single)} seed-runs/s")
        print(f"  0:1:0.05 (21 k), {grid_seeds} seeds: {rate_text(several)} seed-runs/s  "
              f"({statistics.median(several) / statistics.median(single):.2f}x per seed-run)")
        print(f"  {seeds} seeds, table only:    {rate_text(plain)} seeds/s")
        print(f"  {seeds} seeds, per-seed file: {rate_text(with_rows)} seeds/s  "
              f"({statistics.median(with_rows) / statistics.median(plain):.2f}x)")

        counted = [isa for isa in paths if isa != "avx512"]
        for isa in (counted[0], "plain") if counted[0] != "plain" else ("plain",):
            few, more = (160, 480) if isa != "plain" else (16, 48)
            low = instructions(program, folder, isa, few)
            high = instructions(program, folder, isa, more)
            if low is None or high is None:
                print("  instructions per seed: n/a (needs valgrind)")
                break
            print(f"  instructions per seed, {isa}, one thread (callgrind, {more} - {few} seeds): "
                  f"{(high - low) / (more - few) / 1e6:.3f} M")

        figures = [("1,000 seeds", [program, "--seeds", "1000"]),
                   (f"{big_seeds:,} seeds", [program, "--seeds", str(big_seeds)]),
                   ("grid, 1,000 seeds", [program, "--seeds", "1000"] + grid),
                   ("grid, 10,000 seeds", [program, "--seeds", "10000"] + grid)]
        peaks = [(name, peak_kib(argv, folder)) for name, argv in figures]
        if any(peak is None for _, peak in peaks):
            print("  peak RSS: n/a (needs GNU time)")
        else:
            print("  peak RSS: " + ", ".join(f"{peak / 1024:.1f} MB for {name}"
                                             for name, peak in peaks))


if __name__ == "__main__":
    main()
