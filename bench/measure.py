#!/usr/bin/env python3
"""Times agreement_sweep against the floor program that only creates its 131 files.

Usage: measure.py PROGRAM FLOOR [SAMPLES [RUNS]]

Both run in the same scratch folder holding data/1, after a warm-up. Each sample is a loop of
RUNS runs (default 50) of one program; samples of the program and the floor alternate, SAMPLES
(default 10) of each. Prints the median per-run CPU time (user + system, from the kernel's
accounting of each child) and wall time of each with their ranges, their ratios, the peak
memory, and the user-space instruction count from callgrind when valgrind is installed.
Prints figures only; never fails on time.
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


def run_loop(argv, folder, runs):
    """Runs argv in folder `runs` times in a row; returns the per-run wall, CPU (user +
    system), user and system seconds.

    A single run lasts a few milliseconds, near the resolution of the kernel's CPU-time
    accounting, so each sample is a loop of many runs and its totals are divided out."""
    # posix_spawn starts each child without copying this interpreter, so the children's
    # usage is their own. The spawn happens in the scratch folder.
    os.chdir(folder)
    user = 0.0
    system = 0.0
    start = time.perf_counter()
    for _ in range(runs):
        pid = os.posix_spawn(argv[0], argv, os.environ)
        _, status, usage = os.wait4(pid, 0)
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            sys.exit(f"{argv[0]} exited with status {code}")
        user += usage.ru_utime
        system += usage.ru_stime
    wall = time.perf_counter() - start
    return wall / runs, (user + system) / runs, user / runs, system / runs


def file_sizes(folder):
    data = os.path.join(folder, "data")
    names = (["signal_1.dat"] + [os.path.join("1", f"sign_{n}") for n in range(1, 129)]
             + ["tov.dat", "sl.dat"])
    return [str(os.path.getsize(os.path.join(data, name))) for name in names]


def instructions(argv, folder):
    if shutil.which("valgrind") is None:
        return None
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
                         + argv, cwd=folder, capture_output=True, text=True).stderr
    found = re.search(r"Collected\s*:\s*(\d+)", out)
    return int(found.group(1)) if found else None


def main():
    program = os.path.abspath(sys.argv[1])
    floor = os.path.abspath(sys.argv[2])
    samples_wanted = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    runs = int(sys.argv[4]) if len(sys.argv) > 4 else 50
    home = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="agreement_sweep_bench_") as folder:
        os.makedirs(os.path.join(folder, "data", "1"))
        run_loop([program], folder, 1)
        floor_argv = [floor] + file_sizes(folder)
        # Warm-up: page cache, dentries, the binaries themselves.
        run_loop([program], folder, 10)
        run_loop(floor_argv, folder, 10)
        samples = {"program": [], "floor": []}
        for _ in range(samples_wanted):
            samples["program"].append(run_loop([program], folder, runs))
            samples["floor"].append(run_loop(floor_argv, folder, runs))
        figures = {"program": (peak_kib([program], folder), instructions([program], folder)),
                   "floor": (peak_kib(floor_argv, folder), instructions(floor_argv, folder))}
        os.chdir(home)

    def median(name, index):
        return statistics.median(sample[index] for sample in samples[name])

    def spread(name, index):
        values = [sample[index] * 1e3 for sample in samples[name]]
        return f"{min(values):.2f}-{max(values):.2f}"

    print(f"{samples_wanted} samples each, program and floor alternating; a sample is a loop of "
          f"{runs} runs; times per run")
    print(f"{'':10} {'CPU median':>12} {'(range)':>13} {'wall median':>12} {'(range)':>13} "
          f"{'peak RSS':>10} {'instructions':>14}")
    for name in ("program", "floor"):
        peak, ir = figures[name]
        peak_text = f"{peak} KiB" if peak is not None else "n/a"
        ir_text = f"{ir:,}" if ir is not None else "n/a"
        print(f"{name:10} {median(name, 1) * 1e3:9.3f} ms {spread(name, 1):>13} "
              f"{median(name, 0) * 1e3:9.3f} ms {spread(name, 0):>13} "
              f"{peak_text:>10} {ir_text:>14}")
    print(f"ratio      {median('program', 1) / median('floor', 1):9.2f} x  {'':13} "
          f"{median('program', 0) / median('floor', 0):9.2f} x")
    user = (median('program', 2) - median('floor', 2)) * 1e3
    system = (median('program', 3) - median('floor', 3)) * 1e3
    print(f"above the floor, per run: {user:.2f} ms user CPU (the program's own computing), "
          f"{system:.2f} ms system CPU")


if __name__ == "__main__":
    main()
