#!/usr/bin/env python3
"""The plot step on a real run's output and on broken inputs: the figures through matplotlib's
own objects (the data each line holds, the keys), the command line end to end.
Usage: plot_test.py PROGRAM PLOT_SCRIPT; exits 77 (skipped) without matplotlib or NumPy."""
import contextlib
import hashlib
import importlib.machinery
import importlib.util
import io
import logging
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # nothing lands in the source tree
PROGRAM, SCRIPT = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
ME = "agreement-sweep-plot"
# summary.csv of seed 1's run as the gnuplot-era plot step wrote it: the table's bytes stay.
SUMMARY_CSV_SHA256 = "bcead1a00013adf4e54118802599b8adf4b45bacb5e55245fa0ada5eb582bce2"
HEADER = ("coupling,q,agreement,mean_r,sd_r,r_q025,r_q500,r_q975,mean_rho,"
          "share_rho_band_excludes_zero,law_r,finite_law_r")


def load_step():
    loader = importlib.machinery.SourceFileLoader("plot_step", SCRIPT)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("plot_step", loader))
    loader.exec_module(module)
    return module


def ensemble_rows(couplings):
    """A made-up table, column 4 mean r, 6 and 8 its band, 11 and 12 the laws; at k = 1 the
    long-signal law is the step +1, 0 .. 0, -1."""
    rows = []
    for k in couplings:
        for q in range(128):
            f = (127 - q) / 127
            mean = (0.9 + k) * (f - 0.5)
            law = (1 if q == 0 else -1 if q == 127 else 0) if k == 1 else mean
            rows.append(f"{k:.6f},{q},{f:.6f},{mean:.6f},0.078000,{mean - 0.15:.6f},{mean:.6f},"
                        f"{mean + 0.15:.6f},0.000100,0.237000,{law:.6f},{mean + 0.001:.6f}")
    return rows


def notes(figure):
    """The figure's texts other than its title."""
    return [text.get_text() for text in figure.texts if not text.get_text().startswith("Agreement")]


def by_label(axes):
    return {line.get_label(): line for line in axes.get_lines()}


def keys(legend):
    return [text.get_text() for text in legend.get_texts()]


class PlotTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # One real run, copied into a fresh folder for every case.
        cls.run_folder = tempfile.mkdtemp(prefix="agreement_sweep_plot_")
        os.makedirs(os.path.join(cls.run_folder, "data", "1"))
        subprocess.run([PROGRAM], cwd=cls.run_folder, check=True)
        cls.step = load_step()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.run_folder)

    def setUp(self):
        """A fresh folder holding the run's two summaries (again for each subtest)."""
        self.tearDown()
        self.folder = tempfile.mkdtemp(prefix="agreement_sweep_plot_case_")
        shutil.copytree(os.path.join(self.run_folder, "data"), self.path("data"),
                        ignore=shutil.ignore_patterns("1"))

    def tearDown(self):
        if getattr(self, "folder", None):
            shutil.rmtree(self.folder)
            self.folder = None

    def path(self, name):
        return os.path.join(self.folder, name)

    def read(self, name):
        with open(self.path(name), "rb") as source:
            return source.read()

    def read_lines(self, name):
        return self.read(name).decode().split("\n")[:-1]

    def write(self, name, lines, end="\n"):
        with open(self.path(name), "wb") as target:
            target.write("".join(line + end for line in lines).encode())

    def summary(self, name, column, count=128):
        """One column of data/NAME, read here on its own."""
        return [float(line.replace(",", ".").split("\t")[column])
                for line in self.read_lines("data/" + name)[:count]]

    def plot(self, *arguments, env=None, folder=None):
        return subprocess.run([sys.executable, SCRIPT, *(arguments or [folder or self.folder])],
                              capture_output=True, text=True, env=env, cwd=self.folder, timeout=120)

    def main(self, *arguments):
        """The step's main in this process: its exit status and what it wrote on stderr."""
        errors = io.StringIO()
        with contextlib.redirect_stderr(errors):
            status = self.step.main(list(arguments))
        return status, errors.getvalue()

    def expect_drawn(self, env=None):
        result = self.plot(env=env)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))
        return result

    def png_size(self, name):
        data = self.read(name)
        self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
        return struct.unpack(">II", data[16:24])  # the IHDR chunk comes first

    def test_summary_figure_holds_the_run(self):
        self.write("ensemble.csv", [HEADER] + ensemble_rows([0.0]))
        figure = self.step.plot_figures.summary_figure(self.step.read_folder(self.folder))
        top, bottom = figure.axes
        self.assertEqual(len(figure.axes), 2)
        f, r = self.summary("tov.dat", 0), self.summary("tov.dat", 3)
        lines = by_label(top)
        seed = lines["seed 1: r with the reference signal"]
        self.assertEqual((list(seed.get_xdata()), list(seed.get_ydata())), (f, r))
        # Seed 1's least-squares line, over the agreement range, and its zero marked.
        mf, mr = sum(f) / 128, sum(r) / 128
        slope = sum((a - mf) * (b - mr) for a, b in zip(f, r)) / sum((a - mf) ** 2 for a in f)
        intercept = mr - slope * mf
        fit = lines[f"seed 1's least-squares line: r = {slope:.3f} f - {-intercept:.3f}"]
        for x, y, want in zip(fit.get_xdata(), fit.get_ydata(), (1, 0)):
            self.assertAlmostEqual(x, want)
            self.assertAlmostEqual(y, slope * want + intercept)
        self.assertEqual(f"{slope:.3f} {intercept:.3f}", "0.892 -0.446", "the README's line")
        zero = lines[f"seed 1's line crosses zero at f = {-intercept / slope:.3f}"]
        self.assertAlmostEqual(zero.get_xdata()[0], -intercept / slope)
        # The ensemble's k = 0 rows behind seed 1, every mark in the key, in drawing order.
        table = [row.split(",") for row in ensemble_rows([0.0])]
        for label, column in (("ensemble: mean r (broad grey)", 3),
                              ("long-signal limit (grey dashes)", 10),
                              ("finite-length law (thin black)", 11)):
            self.assertEqual(list(lines[label].get_ydata()), [float(row[column]) for row in table])
        self.assertEqual(keys(top.get_legend()), [
            "ensemble: 2.5-97.5 % of single-run r", "ensemble: mean r (broad grey)",
            "seed 1: r with the reference signal", fit.get_label(),
            "long-signal limit (grey dashes)", "finite-length law (thin black)", zero.get_label()])
        # The bottom panel is seed 1's rho alone, its band rho +- bound.
        rho, bound = self.summary("sl.dat", 0), self.summary("sl.dat", 1)
        line = by_label(bottom)["seed 1: rho, rank correlation of each coupled signal with time"]
        self.assertEqual((list(line.get_xdata()), list(line.get_ydata())), (f, rho))
        band = bottom.collections[0].get_paths()[0].vertices
        self.assertAlmostEqual(max(band[:, 1]), max(a + b for a, b in zip(rho, bound)))
        self.assertAlmostEqual(min(band[:, 1]), min(a - b for a, b in zip(rho, bound)))
        self.assertEqual(keys(bottom.get_legend()),
                         ["seed 1: rho ± its 95 % bound 1.96 · |1 − rho| / √126", line.get_label()])
        self.assertEqual(notes(figure), [], "a full run has no note")

    def test_short_run_is_drawn_with_a_note_and_its_own_line(self):
        for count, rank_count, crossing in ((90, 90, True), (40, 39, False)):
            with self.subTest(passes=count):
                self.setUp()
                self.write("data/tov.dat", self.read_lines("data/tov.dat")[:count])
                self.write("data/sl.dat", self.read_lines("data/sl.dat")[:rank_count])
                figure = self.step.plot_figures.summary_figure(self.step.read_folder(self.folder))
                note = f"run stopped early: {count} of 128 passes"
                note += f" ({rank_count} in data/sl.dat)" if rank_count != count else ""
                self.assertEqual(notes(figure), [note])
                lines = by_label(figure.axes[0])
                fit = next(line for label, line in lines.items() if "least-squares" in label)
                self.assertEqual(list(fit.get_xdata()), [1, round((128 - count) / 127, 6)])
                # The line crosses zero near f = 0.5: inside 90 passes' range, not 40's.
                self.assertEqual(any("crosses zero" in label for label in lines), crossing)
                rho = by_label(figure.axes[1])["seed 1: rho, rank correlation of each coupled "
                                                "signal with time"]
                self.assertEqual(len(rho.get_xdata()), rank_count)
                # The table keeps every pass of either summary, a missing half left empty.
                table = self.step.summary_table(self.step.read_folder(self.folder)).split(b"\n")
                self.assertEqual((len(table), table[-2].count(b","), table[-2].endswith(b",")),
                                 (count + 2, 6 - (rank_count < count), rank_count < count))

    def test_coupling_figure_for_several_k(self):
        self.write("ensemble.csv", [HEADER] + ensemble_rows([0.0, 0.3, 0.5, 1.0]))
        run = self.step.read_folder(self.folder)
        figure = self.step.plot_figures.coupling_figure(run)
        panels = [axes for axes in figure.axes
                  if any(t.get_text().startswith("k = ") for t in axes.texts)]
        # The table's k nearest 0, 0.25, 0.5, 0.75 and 1, each once.
        self.assertEqual([next(t.get_text() for t in axes.texts) for axes in panels],
                         ["k = 0.00", "k = 0.30", "k = 0.50", "k = 1.00"])
        self.assertEqual(len(figure.axes), 2 + len(panels), "the heat map and its colour bar")
        self.assertEqual(keys(figure.legends[0]), [
            "2.5-97.5 % of single-run r over the seeds", "mean r over the seeds",
            "long-signal limit", "finite-length law (128 levels)",
            "long-signal limit at k = 1: ±1 at the ends, 0 between"])
        table = [row.split(",") for row in ensemble_rows([1.0])]
        lines = by_label(panels[-1])
        self.assertEqual(list(lines["mean r over the seeds"].get_ydata()),
                         [float(row[3]) for row in table])
        # The step at k = 1: its ends as points, the zero between as a line.
        ends = lines["long-signal limit at k = 1: ±1 at the ends, 0 between"]
        self.assertEqual((list(ends.get_xdata()), list(ends.get_ydata())), ([1, 0], [1, -1]))
        self.assertEqual(set(lines["long-signal limit"].get_ydata()), {0})
        self.assertEqual(len(lines["long-signal limit"].get_ydata()), 126)
        self.assertEqual(panels[0].get_ylim(), (-1.15, 1.15))
        self.assertEqual(figure.axes[0].get_ylim(), (0, 1), "the heat map spans the table's k")

    def test_older_and_wider_tables(self):
        rows = [row.split(",") for row in ensemble_rows([0.0])]
        cases = (  # header, rows, the laws' keys
            ("q,agreement,mean_r,sd_r,r_q025,r_q500,r_q975,mean_rho,share_rho_band_excludes_zero",
             [r[1:10] for r in rows], []),
            (HEADER.rsplit(",", 1)[0], [r[:11] for r in rows], ["long-signal law (thin black)"]),
            ("coupling,q,agreement,mean_r,sd_r,r_q001,r_q025,r_q500,r_q975,r_q999,mean_rho,"
             "share_rho_band_excludes_zero,law_r", [r[:5] + ["-0.99"] + r[5:8] + ["0.99"] + r[8:11]
                                                    for r in rows], ["long-signal law (thin black)"]))
        for header, table, laws in cases:
            with self.subTest(header=header):
                self.write("ensemble.csv", [header] + [",".join(row) for row in table])
                top = self.step.plot_figures.summary_figure(self.step.read_folder(self.folder)).axes[0]
                labels = keys(top.get_legend())
                self.assertEqual(labels[:2], ["ensemble: 2.5-97.5 % of single-run r",
                                              "ensemble: mean r (broad grey)"])
                self.assertEqual([label for label in labels if "law" in label], laws)
                band = top.collections[0].get_paths()[0].vertices[:, 1]
                self.assertAlmostEqual(max(band), float(rows[0][7]))

    def test_real_run_end_to_end_silent_and_the_same_bytes(self):
        # Silent in every locale and with a home matplotlib can't use; the same bytes each run.
        os.mkdir(self.path("tmp"))
        self.write("home", [])
        environments = [{"LANG": "C"}, {"LC_ALL": "POSIX"}, {"LANG": "de_DE.UTF-8",
                                                           "LC_ALL": "de_DE.UTF-8"},
                        {"HOME": self.path("home"), "XDG_CONFIG_HOME": "", "XDG_CACHE_HOME": "",
                         "MPLCONFIGDIR": "", "TMPDIR": self.path("tmp")}]
        drawn = set()
        for change in environments:
            with self.subTest(environment=change):
                self.expect_drawn(env={**os.environ, **change})
                drawn.add(tuple(self.read(name) for name in ("summary.svg", "summary.png",
                                                             "summary.csv")))
        self.assertEqual(len(drawn), 1, "every run writes the same bytes")
        self.assertEqual(os.listdir(self.path("tmp")), [], "the stand-in config folder goes")
        # That stand-in is the step's own: where HOME takes no folder, it names one for
        # matplotlib before matplotlib looks (which would warn, then make its own).
        saved = dict(os.environ)
        try:
            os.environ.update(environments[-1])
            self.step.quiet_matplotlib()
            stand_in = os.environ["MPLCONFIGDIR"]
            self.assertTrue(os.path.basename(stand_in).startswith("agreement-sweep-plot-"))
            self.assertTrue(os.access(stand_in, os.W_OK))
            os.rmdir(stand_in)
            # Nor may its notice on a font cache slow to build (after 5 s) reach stderr.
            self.assertGreaterEqual(logging.getLogger("matplotlib").getEffectiveLevel(),
                                    logging.ERROR)
        finally:
            os.environ.clear()
            os.environ.update(saved)
        self.assertEqual(self.png_size("summary.png"), (900, 900))
        self.assertEqual(hashlib.sha256(self.read("summary.csv")).hexdigest(), SUMMARY_CSV_SHA256)
        # Windows line ends give the same table.
        for name in ("data/tov.dat", "data/sl.dat"):
            self.write(name, self.read_lines(name), end="\r\n")
        self.expect_drawn()
        self.assertEqual(hashlib.sha256(self.read("summary.csv")).hexdigest(), SUMMARY_CSV_SHA256)

    def test_staged_replacement(self):
        # Several k: the coupling figure, replacing an earlier file and a FIFO in its place.
        self.write("ensemble.csv", [HEADER] + ensemble_rows([0.0, 1.0]))
        self.write("coupling.svg", ["earlier"])
        os.mkfifo(self.path("coupling.png"))
        self.expect_drawn()
        self.assertEqual(self.png_size("coupling.png"), (900, 1400))
        self.assertTrue(self.read("coupling.svg").startswith(b"<?xml"))
        self.assertLess(len(self.read("coupling.svg")), 400_000, "the heat map as an image")
        # One k: an earlier coupling figure goes; so it does without a table.
        for rows in (ensemble_rows([0.0]), None):
            if rows:
                self.write("ensemble.csv", [HEADER] + rows)
            else:
                os.remove(self.path("ensemble.csv"))
            self.write("coupling.svg", ["earlier"])
            self.expect_drawn()
            self.assertEqual(sorted(os.listdir(self.folder)),
                             sorted(["data", "summary.csv", "summary.png", "summary.svg"]
                                    + (["ensemble.csv"] if rows else [])))
        # A failure part way: the output staged before it goes too.
        with self.assertRaises(self.step.Failure):
            self.step.replace_all(self.folder, {"first": b"1", "no/such": b"2"}, ())
        self.assertNotIn("first", "".join(os.listdir(self.folder)))

    def test_broken_inputs_write_nothing(self):
        rows = ensemble_rows([0.0])
        cases = (  # file, its new lines (None: removed), the message after the folder
            ("data/sl.dat", None, "cannot read {}/data/sl.dat: No such file or directory"),
            ("data/tov.dat", [], "{}/data/tov.dat holds no passes: nothing to draw"),
            ("data/tov.dat", lambda l: l[:4] + [l[4].rsplit("\t", 1)[0]] + l[5:],
             "{}/data/tov.dat line 5: expected 4 tab-separated fields, found 3"),
            ("data/sl.dat", lambda l: l[:9] + ["0,105435\tabc"] + l[10:],
             '{}/data/sl.dat line 10: field 2 is not a number: "abc"'),
            ("data/tov.dat", lambda l: l + l[:1], "{}/data/tov.dat line 129: more than 128 passes"),
            ("ensemble.csv", rows, "{}/ensemble.csv line 1: not an ensemble table (header expected)"),
            ("ensemble.csv", [HEADER.replace("r_q025", "r_q010").replace("r_q975", "r_q990")] + rows,
             "{}/ensemble.csv line 1: an ensemble table without the r_q025 and r_q975 columns "
             "the band needs"),
            ("ensemble.csv", [HEADER] + rows[:5] + ["0.000000,5,0.960630,abc"] + rows[6:],
             "{}/ensemble.csv line 7: expected 12 comma-separated fields, found 4"),
            ("ensemble.csv", [HEADER] + rows[:5] + [rows[5].replace(",0.960630,", ",x,")] + rows[6:],
             '{}/ensemble.csv line 7: field 3 is not a number: "x"'),
            ("ensemble.csv", [HEADER] + rows[:5] + rows[6:],
             "{}/ensemble.csv line 7: pass 6 out of order: expected 5 for coupling 0.000000"),
            ("ensemble.csv", [HEADER] + rows[:-1],
             "{}/ensemble.csv holds 127 passes for coupling 0.000000, not 128"),
            ("summary.png", "folder", "cannot write {}/summary.png: it is a folder"))
        for name, change, message in cases:
            with self.subTest(message=message):
                self.setUp()
                if change is None:
                    os.remove(self.path(name))
                elif change == "folder":
                    os.mkdir(self.path(name))
                else:
                    self.write(name, change(self.read_lines(name)) if callable(change) else change)
                before = sorted(os.listdir(self.folder))
                self.assertEqual(self.main(self.folder), (1, f"{ME}: {message.format(self.folder)}\n"))
                self.assertEqual(sorted(os.listdir(self.folder)), before)

    def test_a_folder_that_takes_no_file(self):
        # Root writes anywhere, so the step then runs as nobody.
        as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] \
            if os.geteuid() == 0 else []
        if as_nobody and shutil.which("setpriv") is None:
            self.skipTest("running as root without setpriv to drop to nobody")
        os.chmod(self.folder, 0o555)
        try:
            result = subprocess.run(as_nobody + [sys.executable, SCRIPT, self.folder],
                                    capture_output=True, text=True)
        finally:
            os.chmod(self.folder, 0o755)
        self.assertEqual((result.returncode, result.stderr),
                         (1, f"{ME}: cannot write {self.folder}/summary.svg: Permission denied\n"))
        self.assertEqual(os.listdir(self.folder), ["data"])

    def test_help_version_and_unknown_options(self):
        result = self.plot("--help")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertTrue(result.stdout.startswith(f"Usage: {ME} [--help | --version | FOLDER]\n"))
        self.assertIn("matplotlib", result.stdout)
        # The script in the source tree takes its version from the project's CMakeLists.txt.
        with open(os.path.join(os.path.dirname(SCRIPT), "..", "CMakeLists.txt")) as listing:
            version = re.search(r"project\(agreement_sweep VERSION ([0-9.]+)", listing.read()).group(1)
        self.assertEqual(self.plot("--version").stdout, f"{ME} {version}\n")
        for arguments, named in ((["--frobnicate"], "--frobnicate"), (["-x", "data"], "-x"),
                                 ([".", "."], "one folder")):
            status, errors = self.main(*arguments)
            self.assertEqual(status, 2, arguments)
            self.assertRegex(errors, rf"\A{ME}: [^\n]*{named}[^\n]*\n\Z")
        self.assertEqual(os.listdir(self.folder), ["data"])
        self.assertEqual(self.main("--", self.folder), (0, ""))
        os.remove(self.path("summary.csv"))
        # Without matplotlib: one line saying what to install, nothing drawn.
        os.makedirs(self.path("lacking/matplotlib"))
        self.write("lacking/matplotlib/__init__.py", ["raise ImportError(name='matplotlib')"])
        result = self.plot(env={**os.environ, "PYTHONPATH": self.path("lacking")})
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stderr, rf"\A{ME}: [^\n]*matplotlib[^\n]*apt-get install "
                                        r"python3-matplotlib python3-numpy[^\n]*\n\Z")
        self.assertNotIn("summary.csv", os.listdir(self.folder))

    def test_help_and_version_to_a_full_output(self):
        if os.geteuid() != 0:
            self.skipTest("making a full device needs root")
        full = self.path("full")
        os.mknod(full, stat.S_IFCHR | 0o666, os.makedev(1, 7))
        for option in ("--help", "--version"):
            with open(full, "w") as output:
                result = subprocess.run([sys.executable, SCRIPT, option], stdout=output,
                                        stderr=subprocess.PIPE, text=True)
            self.assertEqual((result.returncode, result.stderr),
                             (1, f"{ME}: cannot write the {option[2:].replace('help', 'usage')}\n"))


if __name__ == "__main__":
    if not all(importlib.util.find_spec(name) for name in ("matplotlib", "numpy")):
        print("plot tests skipped: matplotlib or NumPy not found "
              "(Debian: apt-get install python3-matplotlib python3-numpy)")
        sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
