"""agreement_ensemble_mpi against agreement_ensemble: the same bytes in every file on 1 to 4
ranks, and a job that fails as one: a bad option refused once, an output that can't be
written, a rank killed mid-run.

Usage: mpi_test.py MPIEXEC ENSEMBLE ENSEMBLE_MPI (ranks beyond the cores with --oversubscribe;
as root with Open MPI's own permission, which the test gives itself)."""
import os
import signal
import subprocess
import sys
import tempfile
import time

MPIEXEC, ENSEMBLE, ENSEMBLE_MPI = sys.argv[1:4]
ENV = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
           OMPI_MCA_rmaps_base_oversubscribe="1")


def mpirun(ranks, arguments, folder, **options):
    return subprocess.run([MPIEXEC, "-n", str(ranks), ENSEMBLE_MPI] + arguments, cwd=folder,
                          env=ENV, capture_output=True, text=True, timeout=300, **options)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    failures = []

    def check(condition, what):
        if not condition:
            failures.append(what)
            print("FAIL:", what)

    with tempfile.TemporaryDirectory() as folder:
        study = ["--seeds", "3001", "--first-seed", "17", "--coupling", "0,0.4,1", "--threads", "1"]
        subprocess.run([ENSEMBLE] + study + ["--output", "one.csv", "--per-seed", "one.per",
                                             "--state", "one.state"],
                       cwd=folder, check=True, stdout=subprocess.DEVNULL)
        for ranks in (1, 2, 3, 4):
            done = mpirun(ranks, study + ["--output", f"r{ranks}.csv", "--per-seed",
                                          f"r{ranks}.per", "--state", f"r{ranks}.state"], folder)
            check(done.returncode == 0, f"{ranks} ranks: status {done.returncode}: {done.stderr}")
            for suffix in ("csv", "per", "state"):
                check(read(os.path.join(folder, f"r{ranks}.{suffix}")) ==
                      read(os.path.join(folder, f"one.{suffix}")), f"{ranks} ranks: .{suffix}")
            on = f" on {ranks} ranks of 1 thread in " if ranks > 1 else " on 1 thread in "
            check(done.stdout.startswith("3001 seeds (17 to 3017) at 3 couplings" + on),
                  f"{ranks} ranks: the summary {done.stdout[:80]!r}")
        done = mpirun(2, ["--version"], folder)
        check(done.stdout == "agreement_ensemble_mpi 1.2.0\n", f"--version: {done.stdout!r}")

        # A bad option: refused once, by rank 0, with status 2; nothing written.
        done = mpirun(3, ["--seeds", "abc", "--output", "bad.csv"], folder)
        check(done.returncode == 2, f"a bad option: status {done.returncode}")
        check(done.stderr.count("agreement_ensemble: --seeds must be a whole number") == 1,
              f"a bad option said once: {done.stderr}")
        check(not os.path.exists(os.path.join(folder, "bad.csv")), "a bad option wrote nothing")

        # An output that can't be written: rank 0's message, status 1, the earlier file kept.
        with open(os.path.join(folder, "kept.csv"), "w") as earlier:
            earlier.write("earlier\n")
        done = mpirun(2, ["--seeds", "2000", "--output", "kept.csv", "--state",
                          "no-such-folder/s.state"], folder)
        check(done.returncode == 1, f"an unwritable output: status {done.returncode}")
        check("cannot open no-such-folder/s.state" in done.stderr, done.stderr)
        check(read(os.path.join(folder, "kept.csv")) == b"earlier\n", "the earlier file kept")

        # A rank killed mid-run ends the job with a non-zero status and no temporary files.
        job = subprocess.Popen([MPIEXEC, "-n", "3", ENSEMBLE_MPI, "--seeds", "2000000",
                                "--threads", "1", "--output", "kept.csv"], cwd=folder, env=ENV,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 60
        while time.time() < deadline and not any(name.endswith(".tmp")
                                                 for name in os.listdir(folder)):
            time.sleep(0.05)
        time.sleep(0.5)
        ranks = subprocess.run(["pgrep", "-f", "-n", ENSEMBLE_MPI + " --seeds 2000000"],
                               capture_output=True, text=True).stdout.split()
        check(len(ranks) == 1, "a rank to kill")
        if ranks:
            os.kill(int(ranks[0]), signal.SIGKILL)
        status = job.wait(timeout=120)
        check(status != 0, f"a killed rank: status {status}")
        check(not any(name.endswith(".tmp") for name in os.listdir(folder)),
              f"no temporary file left: {os.listdir(folder)}")
        check(read(os.path.join(folder, "kept.csv")) == b"earlier\n", "the earlier file kept")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
