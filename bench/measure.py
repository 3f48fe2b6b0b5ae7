#!/usr/bin/env python3
"""Times agreement_sweep against the floor program that only creates its 131 files.

Usage: measure.py PROGRAM FLOOR [RUNS]

Both run in the same scratch folder holding data/1, alternating, after a warm-up. Prints the
median CPU time (user + system, from the kernel's accounting of each child) and the median
wall time of each, their ratios, the program's peak memory, and its user-space instruction
count from callgrind when valgrind is installed. Prints figures only; never fails on time.
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def run_once(argv, folder):
    """Runs argv in folder; returns (wall seconds, cpu seconds)."""
    # posix_spawn starts the child without copying this interpreter, so the child's usage
    # and peak memory are its own. The spawn happens in the scratch folder.
    os.chdir(folder)
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"{argv[0]} exited with status {code}")
    return wall, usage.ru_utime + usage.ru_stime


def file_sizes(folder):
    data = os.path.join(folder, "data")
    names = (["signal_1.dat"] + [os.path.join("1", f"sign_{n}") for n in range(1, 129)]
             + ["tov.dat", "sl.dat"])
    return [str(os.path.getsize(os.path.join(data, name))) for name in names]


def peak_memory(argv, folder):
    """Peak resident KiB from GNU time, which starts the child from its own small image (the
    kernel counts the image a child replaces at exec in its peak)."""
    if not os.path.exists("/usr/bin/time"):
        return None
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, cwd=folder,
                         capture_output=True, text=True).stderr
    return int(out.strip().splitlines()[-1])


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
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 40
    home = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="agreement_sweep_bench_") as folder:
        os.makedirs(os.path.join(folder, "data", "1"))
        run_once([program], folder)
        floor_argv = [floor] + file_sizes(folder)
        for _ in range(5):  # warm-up: page cache, dentries, the binaries themselves
            run_once([program], folder)
            run_once(floor_argv, folder)
        samples = {"program": [], "floor": []}
        for _ in range(runs):
            samples["program"].append(run_once([program], folder))
            samples["floor"].append(run_once(floor_argv, folder))
        figures = {"program": (peak_memory([program], folder), instructions([program], folder)),
                   "floor": (peak_memory(floor_argv, folder), instructions(floor_argv, folder))}
        os.chdir(home)

    def median(name, index):
        return statistics.median(sample[index] for sample in samples[name])

    print(f"{runs} alternating runs each, after 5 warm-up runs")
    print(f"{'':10} {'CPU median':>12} {'wall median':>12} {'peak RSS':>10} {'instructions':>14}")
    for name in ("program", "floor"):
        peak, ir = figures[name]
        peak_text = f"{peak} KiB" if peak is not None else "n/a"
        ir_text = f"{ir:,}" if ir is not None else "n/a"
        print(f"{name:10} {median(name, 1) * 1e3:9.3f} ms {median(name, 0) * 1e3:9.3f} ms "
              f"{peak_text:>10} {ir_text:>14}")
    print(f"ratio      {median('program', 1) / median('floor', 1):9.2f} x  "
          f"{median('program', 0) / median('floor', 0):9.2f} x")


if __name__ == "__main__":
    main()
