#!/usr/bin/env python3
"""The Python module's time against the program's, for the same seeds, in alternating rounds.

Usage: PYTHONPATH=BUILD/python module.py ENSEMBLE [SEEDS [ROUNDS]]

Each round runs, in turn, the program ENSEMBLE for SEEDS seeds (default 100000) at k = 0
writing only its table, the module's ensemble() for the same seeds, the program writing the
per-seed file too, and the module's per_seed(); ROUNDS rounds (default 5), every hardware
thread. Prints the median seconds with the range of each, and the module's time over the
program's per round. Prints figures only; never fails on time.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

import agreement_sweep as asw


def seconds(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def summary(values):
    values = sorted(values)
    return f"{statistics.median(values):.3f} ({values[0]:.3f}-{values[-1]:.3f})"


def main():
    program = os.path.abspath(sys.argv[1])
    seeds = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    with tempfile.TemporaryDirectory(prefix="agreement_module_bench_") as folder:
        def program_run(*extra):
            subprocess.run([program, "--seeds", str(seeds), *extra], cwd=folder, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        times = {name: [] for name in ("program", "ensemble()", "program --per-seed",
                                       "per_seed()")}
        for _ in range(rounds):
            times["program"].append(seconds(lambda: program_run()))
            times["ensemble()"].append(seconds(lambda: asw.ensemble(seeds=seeds)))
            times["program --per-seed"].append(
                seconds(lambda: program_run("--per-seed", "p.csv")))
            times["per_seed()"].append(seconds(lambda: asw.per_seed(seeds=seeds)))
    print(f"{seeds} seeds at k = 0, every hardware thread, {rounds} alternating rounds "
          f"(seconds, median and range)")
    for name, values in times.items():
        print(f"  {name:20} {summary(values)}")
    for module, run in (("ensemble()", "program"), ("per_seed()", "program --per-seed")):
        ratios = [a / b for a, b in zip(times[module], times[run])]
        print(f"  {module} / {run}: {summary(ratios)}")


if __name__ == "__main__":
    main()
