"""Exhausted memory, under an address-space limit: the program stops with one line and status 1
leaving the earlier files, the module raises MemoryError and the interpreter goes on.

The sanitizers and an emulator can't live under a small limit; neither build has the module,
so these tests don't run there."""
import os
import subprocess
import sys

import pytest

import agreement_sweep as asw

ENSEMBLE = os.environ["AGREEMENT_ENSEMBLE_EXE"]

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="the address-space limit is Linux's ulimit -v")


def test_the_program_stops_cleanly_wherever_memory_runs_out(tmp_path):
    # 101 couplings' histograms take 53 MB: from 20 MB up, the limit falls in the histograms,
    # the net's bin flags, the work window, the threads' stacks and the net as it fills, until
    # the run has room enough.
    limits = range(20_000, 400_000, 6_000)
    failed = 0
    for limit in limits:
        (tmp_path / "t.csv").write_text("earlier table\n")
        (tmp_path / "p.csv").write_text("earlier rows\n")
        done = subprocess.run(
            ["sh", "-c", f'ulimit -v {limit}; exec "$0" "$@"', ENSEMBLE, "--seeds", "20",
             "--coupling", "0:1:0.01", "--threads", "2", "--output", "t.csv",
             "--per-seed", "p.csv"],
            cwd=tmp_path, capture_output=True, text=True)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["p.csv", "t.csv"], limit
        if done.returncode == 0:
            assert (tmp_path / "t.csv").read_text().startswith("coupling,"), limit
            break
        assert (done.returncode, done.stderr) == (
            1, "agreement_ensemble: stopped: out of memory\n"), limit
        assert (tmp_path / "t.csv").read_text() == "earlier table\n", limit
        assert (tmp_path / "p.csv").read_text() == "earlier rows\n", limit
        failed += 1
    assert 5 <= failed < len(limits), "the run needs more than 50 MB and less than 400 MB"


def test_the_module_raises_memory_error_and_the_interpreter_goes_on():
    # The limit sits this many MB above what the interpreter has mapped: in the histograms, in
    # the work window or the threads' start, and in the net as it fills. Nothing runs before,
    # so that no thread's stack is kept for reuse below the limit.
    script = (
        "import resource, numpy as np, agreement_sweep as asw\n"
        "mapped = next(int(line.split()[1]) * 1024 for line in open('/proc/self/status')\n"
        "              if line.startswith('VmSize:'))\n"
        "for extra in (20, 60, 84):\n"
        "    resource.setrlimit(resource.RLIMIT_AS, (mapped + (extra << 20), -1))\n"
        "    try:\n"
        "        asw.ensemble(seeds=2000, coupling=np.linspace(0, 1, 101), threads=2)\n"
        "        print('ran', extra)\n"
        "    except MemoryError:\n"
        "        print('MemoryError', extra)\n"
        "    resource.setrlimit(resource.RLIMIT_AS, (-1, -1))\n"
        "print(*(x.hex() for x in asw.ensemble(seeds=3, coupling=[0, 1])['r_q500'][:, 5]))\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    assert lines[:3] == ["MemoryError 20", "MemoryError 60", "MemoryError 84"]
    here = asw.ensemble(seeds=3, coupling=[0, 1])["r_q500"][:, 5]
    assert lines[3] == " ".join(float(x).hex() for x in here), "the same doubles afterwards"
