"""The Python module against the programs' own files, and against itself."""
import ast
import inspect
import os
import pydoc
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import agreement_sweep as asw

SWEEP = os.environ["AGREEMENT_SWEEP_EXE"]
ENSEMBLE = os.environ["AGREEMENT_ENSEMBLE_EXE"]


def text(value, comma=False):
    # Python's six decimals are correctly rounded, ties to even, as the programs' are.
    field = "%.6f" % value
    return field.replace(".", ",") if comma else field


def test_run_writes_the_one_shot_files(tmp_path):
    (tmp_path / "data" / "1").mkdir(parents=True)
    subprocess.run([SWEEP], cwd=tmp_path, check=True)
    data = tmp_path / "data"
    one = asw.run(seed=1, coupling=0.0)
    assert (data / "signal_1.dat").read_text() == "".join(
        text(x) + " \n" for x in one["reference"])
    for q in (0, 1, 64, 127):
        assert (data / "1" / f"sign_{q + 1}").read_text() == "".join(
            text(x) + "\n" for x in one["signals"][q])
    fields = zip(one["agreement"], one["mean"], one["variance"], one["r"])
    assert (data / "tov.dat").read_text() == "".join(
        "\t".join(text(x, comma=True) for x in row) + "\n" for row in fields)
    assert (data / "sl.dat").read_text() == "".join(
        text(rho, True) + "\t" + text(bound, True) + "\n"
        for rho, bound in zip(one["rho"], one["bound"]))


def test_ensemble_and_per_seed_are_the_programs_doubles(tmp_path):
    couplings = [0.0, 0.35, 1.0]
    subprocess.run([ENSEMBLE, "--seeds", "300", "--first-seed", "4294966996", "--coupling",
                    "0,0.35,1", "--per-seed", "p.csv", "--threads", "2"],
                   cwd=tmp_path, check=True, stdout=subprocess.DEVNULL)
    tab = asw.ensemble(seeds=300, first_seed=4294966996, coupling=couplings)
    per = asw.per_seed(seeds=300, first_seed=4294966996, coupling=couplings)
    columns = ["mean_r", "sd_r", "r_q025", "r_q500", "r_q975", "mean_rho",
               "share_rho_band_excludes_zero", "law_r", "finite_law_r"]
    rows = [",".join([text(k), str(q), text(tab["agreement"][q])]
                     + [text(tab[name][c, q]) for name in columns])
            for c, k in enumerate(couplings) for q in range(128)]
    table = (tmp_path / "ensemble.csv").read_text().splitlines()
    assert table[0] == ",".join(["coupling", "q", "agreement"] + columns)
    assert table[1:] == rows
    rows = [",".join([text(k), str(seed), str(q)]
                     + [text(per[name][i, c, q]) for name in ("r", "rho", "bound")])
            for i, seed in enumerate(per["seed"]) for c, k in enumerate(couplings)
            for q in range(128)]
    assert (tmp_path / "p.csv").read_text().splitlines()[1:] == rows
    assert list(per["q"]) == list(range(128))
    assert list(per["agreement"]) == [(127 - q) / 127 for q in range(128)]
    # Where they overlap, bit for bit: one seed's table is its own r, and run() is that seed.
    last = per["seed"][-1]
    assert last == 4294967295
    alone = asw.run(seed=int(last), coupling=0.35)
    for name in ("r", "rho", "bound"):
        assert np.array_equal(per[name][-1, 1], alone[name])
    single = asw.ensemble(seeds=1, first_seed=int(last), coupling=0.35)
    assert np.array_equal(single["mean_r"][0], alone["r"])
    assert np.array_equal(single["r_q500"][0], alone["r"])


def test_the_same_doubles_on_any_thread_count():
    tabs = [asw.ensemble(seeds=700, coupling=[0, 1], threads=t) for t in (1, 3)]
    pers = [asw.per_seed(seeds=700, coupling=[0, 1], threads=t) for t in (1, 3)]
    for name in ("mean_r", "sd_r", "r_q025", "r_q500", "r_q975", "mean_rho"):
        assert np.array_equal(tabs[0][name], tabs[1][name]), name
    for name in ("seed", "r", "rho", "bound"):
        assert np.array_equal(pers[0][name], pers[1][name]), name
    assert list(asw.per_seed(seeds=3, first_seed=5, coupling=0.5)["seed"]) == [5, 6, 7]


# Each row: a call and what it raises. Wrong types are TypeError, values out of range (NaN
# too) ValueError, with the argument named; a bool is never a count.
@pytest.mark.parametrize("call, error, words", [
    (lambda: asw.ensemble(seeds=0), ValueError, "seeds must be a whole number from 1"),
    (lambda: asw.ensemble(seeds=2, first_seed=4294967295), ValueError,
     "seeds 4294967295 to 4294967296 go beyond"),
    (lambda: asw.per_seed(first_seed=-1), ValueError, "first_seed must be a whole number from 0"),
    (lambda: asw.run(seed=2**32), ValueError, "seed must be a whole number from 0"),
    (lambda: asw.ensemble(seeds=5, threads=0), ValueError, "threads must be a whole number from 1 to 256"),
    (lambda: asw.ensemble(seeds=5, threads=257), ValueError, "threads must be a whole number"),
    # Beyond any C++ integer: still the argument's range, not an overflow.
    (lambda: asw.ensemble(seeds=5, threads=2**70), ValueError, "threads must be a whole number"),
    (lambda: asw.ensemble(seeds=2**70), ValueError, "seeds must be a whole number"),
    (lambda: asw.per_seed(seeds=5, max_bytes=-1), ValueError, "max_bytes must be 0 or more"),
    (lambda: asw.ensemble(seeds=True), TypeError, "seeds must be an int, not bool"),
    (lambda: asw.ensemble(seeds=5, first_seed=False), TypeError, "first_seed must be an int"),
    (lambda: asw.ensemble(seeds=5, threads=True), TypeError, "threads must be an int"),
    (lambda: asw.per_seed(seeds=np.bool_(True)), TypeError, "seeds must be an int"),
    (lambda: asw.run(seed=True), TypeError, "seed must be an int"),
    (lambda: asw.ensemble(seeds=5, threads=1.5), TypeError, "threads must be an int"),
    (lambda: asw.ensemble(seeds="5"), TypeError, "seeds must be an int, not str"),
    (lambda: asw.ensemble(seeds=5, coupling=[0, 1.5]), ValueError, "coupling value '1.5' lies outside"),
    (lambda: asw.run(coupling=float("nan")), ValueError, "coupling value 'nan' lies outside"),
    (lambda: asw.ensemble(seeds=5, coupling=[]), ValueError, "coupling needs at least one value"),
    (lambda: asw.ensemble(seeds=5, coupling=[0.5] * 1002), ValueError, "more than 1001 values"),
    (lambda: asw.per_seed(seeds=5, coupling="0.5"), TypeError, "coupling must be a real number"),
    (lambda: asw.per_seed(seeds=5, coupling=["0.5"]), TypeError, "not str in a sequence"),
    (lambda: asw.per_seed(seeds=5, coupling=[0.5, None]), TypeError, "NoneType in a sequence"),
    (lambda: asw.per_seed(seeds=5, coupling=[[0.5]]), TypeError, "flat sequence"),
    (lambda: asw.per_seed(seeds=5, coupling=[[0], [1, 2]]), TypeError, "ragged"),
    (lambda: asw.run(coupling=[0.5]), TypeError, "coupling must be a real number"),
    (lambda: asw.law(1.5, 0), ValueError, "f must lie in"),
    (lambda: asw.law(1, 2), ValueError, "k must lie in"),
    (lambda: asw.law(-1, 0), ValueError, "f must lie in"),
    (lambda: asw.law(0.5, float("nan")), ValueError, "k must lie in"),
    (lambda: asw.law([0, 1], [0, 1, 0.5]), ValueError, r"shape \(2,\) and k of shape \(3,\)"),
    (lambda: asw.law("0.5", 0), TypeError, "f must be a real number"),
    (lambda: asw.law(0.5, [True]), TypeError, "k must be a real number"),
    (lambda: asw.finite_law(1.5), ValueError, "k must lie in"),
    (lambda: asw.finite_law(float("nan")), ValueError, "k must lie in"),
    (lambda: asw.finite_law("0.5"), TypeError, "k must be a real number"),
    # Three doubles per seed, coupling and pass, and the seed numbers.
    (lambda: asw.per_seed(seeds=10**6, coupling=[0, 1]), ValueError,
     "%.2f GiB" % (10**6 * (3 * 2 * 128 * 8 + 8) / 2**30)),
    # The default seeds, the program's 10,000, in the size it would take.
    (lambda: asw.per_seed(max_bytes=0), ValueError, r"\(%d bytes\)" % (10**4 * (3 * 128 * 8 + 8))),
])
def test_bad_arguments_raise_and_name_the_problem(call, error, words):
    with pytest.raises(error, match=words):
        call()


def test_numpy_integers_are_ints_and_k_runs_as_the_program_runs_it():
    plain = asw.per_seed(seeds=3, first_seed=7, coupling=[1, 0.5], threads=2)
    numpy = asw.per_seed(seeds=np.int64(3), first_seed=np.uint32(7), coupling=np.array([1, 0.5]),
                         threads=np.int8(2), max_bytes=np.int64(10**9))
    for name in ("seed", "r", "rho", "bound"):
        assert np.array_equal(plain[name], numpy[name]), name
    assert np.array_equal(asw.run(seed=np.int16(7), coupling=np.float32(0.5))["r"], plain["r"][0, 1])
    # The double nearest the six-decimal text, as --coupling takes it; the caller's order and
    # repeats kept, so that row c is the caller's c-th k.
    tab = asw.ensemble(seeds=20, coupling=[0.1234567, 1, 0.1 + 0.2, 0.123457])
    assert list(tab["coupling"]) == [0.123457, 1.0, 0.3, 0.123457]
    assert np.array_equal(tab["mean_r"][0], tab["mean_r"][3])
    assert np.array_equal(asw.run(seed=5, coupling=0.1234567)["r"],
                          asw.run(seed=5, coupling=0.123457)["r"])
    # The finite-length law: one k's passes, or one row per k, as the table's column holds
    # them at six decimals.
    assert asw.finite_law(0.3).shape == (128,)
    laws = asw.finite_law([[0.3], [1.0]])
    assert laws.shape == (2, 1, 128)
    assert np.array_equal(np.round(laws[:, 0], 6), np.round(tab["finite_law_r"][1:3][::-1], 6))


def test_the_stub_and_the_arrays_follow_the_tables_columns():
    # Each column the module's docstring lists from the table's columns, the stub lists too,
    # and ensemble() returns its arrays in that order, the quantile family named by the list.
    stub = ast.parse(open(os.path.join(os.path.dirname(asw.__file__), "agreement_sweep.pyi")).read())
    stubbed = next(node for node in stub.body
                   if isinstance(node, ast.FunctionDef) and node.name == "ensemble")
    words = " ".join(ast.get_docstring(stubbed).split())
    documented = " ".join(asw.ensemble.__doc__.split())
    tab = asw.ensemble(seeds=2, quantiles=[0.1, 0.9])  # one coupling: K is 1
    names = []
    for name, shape, meaning in asw._TABLE_COLUMNS:
        entry = " ".join(f"{name} {shape}: {meaning}.".split())
        assert entry in words, name
        assert entry in documented, name
        names += ["r_q100", "r_q900"] if name == "r_qXXX" else [name]
        array = tab[names[-1]]
        kind = "" if array.dtype == np.float64 else f", {array.dtype}"
        assert str(array.shape) + kind == shape.replace("K", "1"), name
    assert [name for name, value in tab.items() if isinstance(value, np.ndarray)] == names


def test_help_shows_each_signature_as_the_stub_types_it():
    stub = ast.parse(open(os.path.join(os.path.dirname(asw.__file__), "agreement_sweep.pyi")).read())
    stubbed = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    assert sorted(stubbed) == ["ensemble", "finite_law", "law", "merge", "per_seed", "run"]
    for name, node in stubbed.items():
        function = getattr(asw, name)
        signature = inspect.signature(function)
        defaults = [None] * (len(node.args.args) - len(node.args.defaults)) + node.args.defaults
        assert [(p.name, p.default) for p in signature.parameters.values()] == [
            (a.arg, inspect.Parameter.empty if d is None else ast.literal_eval(d))
            for a, d in zip(node.args.args, defaults)], name
        text = pydoc.render_doc(function, renderer=pydoc.plaintext)
        assert name + str(signature) in text
        assert ": object" not in text and "PyCapsule" not in text, text
        assert all(p.annotation is not inspect.Parameter.empty
                   for p in signature.parameters.values()), name
    assert "coupling: float | collections.abc.Sequence[float] = 0.0" in pydoc.render_doc(
        asw.ensemble)


def test_law_is_vectorised():
    f = np.array([[1.0], [0.5], [0.0]])
    k = np.array([0.0, 1.0])
    r = asw.law(f, k)
    assert r.shape == (3, 2)
    assert r[0, 0] == pytest.approx(1 / np.sqrt(5))
    assert list(r[:, 1]) == [1.0, 0.0, -1.0]


def test_ctrl_c_stops_a_long_call_and_the_interpreter_goes_on():
    script = (
        "import sys, time, agreement_sweep as asw\n"
        "print('started', flush=True)\n"
        "try:\n"
        "    asw.ensemble(seeds=4_000_000_000, threads=2)\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', time.monotonic(), flush=True)\n"
        "print('usable', asw.run(seed=1)['r'][0], flush=True)\n")
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "started\n"
    time.sleep(0.5)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=20)
    lines = out.splitlines()
    assert lines[0].startswith("interrupted")
    assert float(lines[0].split()[1]) - sent < 0.5
    assert lines[1].startswith("usable 0.35675")  # seed 1's r in pass 0, as tov.dat has it


def _split_study(first, counts):
    """States of consecutive parts of a study, part i holding counts[i] seeds."""
    states = []
    for count in counts:
        states.append(asw.ensemble(seeds=count, first_seed=first, coupling=[0.0, 0.6],
                                   state=True, threads=1)["state"])
        first += count
    return states


def test_a_study_split_over_processes_merges_to_one_call(tmp_path):
    from concurrent.futures import ProcessPoolExecutor
    whole = asw.ensemble(seeds=240, first_seed=9, coupling=[0.0, 0.6], state=True)
    with ProcessPoolExecutor(max_workers=2) as pool:
        states = list(pool.map(_split_study, [9, 89, 169], [[80], [80], [30, 50]]))
    parts = [s for group in states for s in group]
    merged = asw.merge(parts[::-1], state=True)
    for name, value in whole.items():
        if isinstance(value, np.ndarray):
            assert np.array_equal(value, merged[name], equal_nan=True), name
        else:
            assert value == merged[name], name
    # The state is the program's: merged by the program, the same table.
    for i, part in enumerate(parts):
        (tmp_path / f"{i}.state").write_bytes(part)
    subprocess.run([ENSEMBLE, "merge", *(f"{i}.state" for i in range(len(parts))),
                    "--output", "m.csv", "--state", "m.state"], cwd=tmp_path, check=True,
                   stdout=subprocess.DEVNULL)
    assert (tmp_path / "m.state").read_bytes() == whole["state"]
    assert merged["seed_ranges"] == [(9, 248)]


def test_quantiles_state_and_merge_arguments():
    tab = asw.ensemble(seeds=50, quantiles=[0.999, 0.001, 0.5])
    assert [name for name in tab if name.startswith("r_q")] == ["r_q001", "r_q500", "r_q999"]
    assert "state" not in tab
    per = asw.per_seed(seeds=50)
    direct = np.quantile(per["r"][:, 0, :], 0.001, axis=0)
    assert np.allclose(tab["r_q001"][0], direct, rtol=0, atol=1e-15)
    assert list(asw.ensemble(seeds=5, quantiles=[0.1 + 0.2, -0.0])) == list(
        asw.ensemble(seeds=5, quantiles=[0, 0.3]))
    for bad, error in ((dict(quantiles=[1.5]), ValueError), (dict(quantiles=[]), ValueError),
                       (dict(quantiles=[0.1234567]), ValueError),
                       (dict(quantiles=[0.0000004]), ValueError),
                       (dict(quantiles=list(np.linspace(0.1, 0.9, 10))), ValueError),
                       (dict(quantiles="0.5"), TypeError)):
        with pytest.raises(error):
            asw.ensemble(seeds=5, **bad)
    one = asw.ensemble(seeds=20, state=True)["state"]
    other = asw.ensemble(seeds=20, first_seed=100, coupling=0.5, state=True)["state"]
    for states, says in (([one, one], "covers seeds"), ([one, other], "other coupling"),
                         ([one[:-1]], "truncated"), ([], "no state")):
        with pytest.raises(ValueError, match=says):
            asw.merge(states)
    with pytest.raises(TypeError):
        asw.merge(one)
    with pytest.raises(TypeError):
        asw.merge(["text"])
