#!/usr/bin/env python3
"""The plot step on a real run's output and on broken summaries.

Usage: plot_test.py PROGRAM PLOT_SCRIPT. Exits 77 (skipped) when gnuplot isn't installed.
"""
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

PROGRAM, SCRIPT = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
SVG = "{http://www.w3.org/2000/svg}"


def top_and_bottom(svg_path):
    """The curves of a drawn figure's two panels, each as {key title: SVG group}."""
    panels = {"a": {}, "b": {}}
    for group in ElementTree.parse(svg_path).getroot().iter(SVG + "g"):
        name = group.get("id", "")
        if name.startswith("gnuplot_plot_"):
            panels[name[-1]][group.find(SVG + "title").text] = group
    return panels["a"], panels["b"]


def pixels(group):
    """A curve's points in pixels, without its key sample (a short level piece of path)."""
    pieces = [[(float(x), float(y)) for x, y in re.findall(r"([\d.]+),([\d.]+)", piece)]
              for path in group.iter(SVG + "path") for piece in path.get("d").split("M")]
    return max((p for p in pieces if p), key=lambda p: (len(p), p[0][1] != p[-1][1]))


def text_height(svg_path, start):
    """Where the text starting with `start` stands, in pixels from the top."""
    for group in ElementTree.parse(svg_path).getroot().iter(SVG + "g"):
        if "".join(group.itertext()).strip().startswith(start) and "translate" in group.get("transform", ""):
            return float(re.search(r",([\d.]+)\)", group.get("transform")).group(1))


class PlotTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # One real run, copied into a fresh folder for every case.
        cls.run_folder = tempfile.mkdtemp(prefix="agreement_sweep_plot_")
        os.makedirs(os.path.join(cls.run_folder, "data", "1"))
        subprocess.run([PROGRAM], cwd=cls.run_folder, check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.run_folder)

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="agreement_sweep_plot_case_")
        os.makedirs(os.path.join(self.folder, "data"))
        for name in ("tov.dat", "sl.dat"):
            shutil.copy(os.path.join(self.run_folder, "data", name),
                        os.path.join(self.folder, "data", name))

    def tearDown(self):
        shutil.rmtree(self.folder)

    def summary_lines(self, name):
        with open(os.path.join(self.folder, "data", name), "rb") as summary:
            return summary.read().split(b"\n")[:-1]

    def write_summary(self, name, lines, end=b"\n"):
        with open(os.path.join(self.folder, "data", name), "wb") as summary:
            summary.write(b"".join(line + end for line in lines))

    def plot(self):
        return subprocess.run([SCRIPT, self.folder], capture_output=True, text=True)

    def picture(self, name):
        return os.path.join(self.folder, name)

    def expect_drawn(self):
        result = self.plot()
        self.assertEqual(result.returncode, 0, result.stderr)
        root = ElementTree.parse(self.picture("summary.svg")).getroot()
        self.assertTrue(root.tag.endswith("svg"), root.tag)
        with open(self.picture("summary.png"), "rb") as png:
            data = png.read()
        self.assertEqual(data[:8], PNG_SIGNATURE)
        width, height = struct.unpack(">II", data[16:24])  # the IHDR chunk comes first
        self.assertEqual((width, height), (900, 900))
        self.assertGreater(len(data), 20000, "a picture with two panels of 128 points")
        return ElementTree.tostring(root, encoding="unicode")

    def expect_refused(self, *words):
        result = self.plot()
        self.assertNotEqual(result.returncode, 0)
        for word in words:
            self.assertIn(word, result.stderr)
        self.assertFalse(os.path.exists(self.picture("summary.svg")), "no picture on bad input")
        self.assertFalse(os.path.exists(self.picture("summary.png")), "no picture on bad input")

    def test_real_run(self):
        svg = self.expect_drawn()
        self.assertNotIn("run stopped early", svg)
        # The line the README quotes: seed 1's r falls from +0.36 to -0.35, crossing zero
        # near the middle of the sweep.
        self.assertRegex(svg, r"least-squares line: r = 0\.[0-9]{3} f - 0\.[0-9]{3}")
        self.assertIn("crosses zero at f = 0.50", svg)
        # The bottom panel is seed 1's alone, and its key says so.
        _, bottom = top_and_bottom(self.picture("summary.svg"))
        titles = [title for title in bottom if not title.startswith("gnuplot_plot_")]
        self.assertEqual(len(titles), 2)
        self.assertTrue(all(title.startswith("seed 1") for title in titles), titles)
        # The table beside the pictures: both summaries, side by side, with decimal points.
        with open(self.picture("summary.csv")) as table:
            rows = table.read().splitlines()
        self.assertEqual(rows[0], "q,agreement,mean,variance,r,rho,bound")
        self.assertEqual(len(rows), 129)
        self.assertEqual(rows[1], "0,1.000000,4.672334,239.860020,0.356753,0.105435,0.156201")
        self.assertTrue(rows[128].startswith("127,0.000000,"))

    def test_windows_line_ends(self):
        for name in ("tov.dat", "sl.dat"):
            self.write_summary(name, self.summary_lines(name), end=b"\r\n")
        self.expect_drawn()

    def test_short_run_is_drawn_with_a_note(self):
        for name in ("tov.dat", "sl.dat"):
            self.write_summary(name, self.summary_lines(name)[:40])
        svg = self.expect_drawn()
        self.assertIn("run stopped early: 40 of 128 passes", svg)
        # The note sits between the figure's title and the top panel's highest curve, where
        # it meets neither text nor data (the keys are below the panels).
        svg_path = self.picture("summary.svg")
        note = text_height(svg_path, "run stopped early")
        self.assertGreater(note, text_height(svg_path, "Agreement sweep") + 14)
        top, _ = top_and_bottom(svg_path)
        self.assertLess(note, min(y for group in top.values() for _, y in pixels(group)) - 5)

    def test_fit_line_over_the_passes_present(self):
        tov = [line.replace(b",", b".").split(b"\t") for line in self.summary_lines("tov.dat")]
        for count in (90, 40):
            with self.subTest(passes=count):
                for name in ("tov.dat", "sl.dat"):
                    self.write_summary(name, self.summary_lines(name)[:count])
                svg = self.expect_drawn()
                top, _ = top_and_bottom(self.picture("summary.svg"))
                fit = pixels(next(g for t, g in top.items() if "least-squares" in t))
                seed = pixels(top["seed 1: r with the reference signal"])
                self.assertAlmostEqual(fit[0][0], seed[0][0], delta=0.5)
                self.assertAlmostEqual(fit[-1][0], seed[-1][0], delta=0.5)
                # The line's zero, computed here, is marked where the drawn line meets the zero
                # line, and only when it lies among the passes (at 90 passes, not at 40).
                f, r = ([float(row[i]) for row in tov[:count]] for i in (0, 3))
                mf, mr = sum(f) / count, sum(r) / count
                slope = sum((a - mf) * (b - mr) for a, b in zip(f, r)) / sum((a - mf) ** 2 for a in f)
                crossing = mf - mr / slope
                if count == 40:
                    self.assertNotIn("crosses zero", svg)
                    continue
                self.assertIn(f"crosses zero at f = {crossing:.3f}", svg)
                zero = next(pixels(g)[0][1] for t, g in top.items() if t.startswith("gnuplot_plot_"))
                (x1, y1), (x2, y2) = fit[0], fit[-1]
                where = x1 + (zero - y1) * (x2 - x1) / (y2 - y1)
                mark = next(g for t, g in top.items() if "crosses zero" in t)
                places = [re.search(r"translate\(([\d.]+),([\d.]+)", use.get("transform")).groups()
                          for use in mark.iter(SVG + "use")]
                self.assertTrue(any(abs(float(x) - where) < 1 and abs(float(y) - zero) < 1
                                    for x, y in places), (where, zero, places))
                os.remove(self.picture("summary.svg"))

    def test_outputs_that_cannot_be_written(self):
        # A folder where a picture goes, and a folder that takes no new file: one line naming
        # the picture and the reason, and nothing written.
        os.mkdir(self.picture("summary.png"))
        result = self.plot()
        self.assertEqual((result.returncode, result.stderr),
                         (1, f"plot-summary.sh: cannot write {self.folder}/summary.png: it is a folder\n"))
        self.assertEqual(sorted(os.listdir(self.folder)), ["data", "summary.png"])
        self.assertEqual(os.listdir(self.picture("summary.png")), [])
        os.rmdir(self.picture("summary.png"))

        # Root writes anywhere, so the step then runs as nobody.
        as_nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] \
            if os.geteuid() == 0 else []
        if as_nobody and shutil.which("setpriv") is None:
            self.skipTest("running as root without setpriv to drop to nobody")
        os.chmod(self.folder, 0o555)
        try:
            result = subprocess.run(as_nobody + [SCRIPT, self.folder], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
        finally:
            os.chmod(self.folder, 0o755)
        self.assertEqual((result.returncode, result.stderr),
                         (1, f"plot-summary.sh: cannot write {self.folder}/summary.svg: Permission denied\n"))
        self.assertEqual(os.listdir(self.folder), ["data"])

    def test_missing_summary(self):
        os.remove(os.path.join(self.folder, "data", "sl.dat"))
        self.expect_refused("data/sl.dat")

    def test_empty_summary(self):
        self.write_summary("tov.dat", [])
        self.expect_refused("data/tov.dat", "no passes")

    def test_wrong_field_count(self):
        lines = self.summary_lines("tov.dat")
        lines[4] = b"\t".join(lines[4].split(b"\t")[:3])
        self.write_summary("tov.dat", lines)
        self.expect_refused("data/tov.dat line 5", "expected 4 tab-separated fields, found 3")

    def write_ensemble(self, rows, header="coupling,q,agreement,mean_r,sd_r,r_q025,r_q500,"
                       "r_q975,mean_rho,share_rho_band_excludes_zero,law_r"):
        with open(os.path.join(self.folder, "ensemble.csv"), "w") as table:
            table.write("\n".join([header] + rows) + "\n")

    @staticmethod
    def ensemble_rows(couplings):
        rows = []
        for k in couplings:
            for q in range(128):
                f = (127 - q) / 127
                mean = (0.9 + k) * (f - 0.5)
                rows.append(f"{k:.6f},{q},{f:.6f},{mean:.6f},0.078000,{mean - 0.15:.6f},{mean:.6f},"
                            f"{mean + 0.15:.6f},0.000100,0.237000,{mean:.6f}")
        return rows

    def test_ensemble_band_behind_seed_one(self):
        rows = self.ensemble_rows([0.0])
        self.write_ensemble(rows)
        for stale in ("coupling.svg", "coupling.png"):  # from an earlier table with several k
            with open(self.picture(stale), "w") as figure:
                figure.write("earlier")
        svg = self.expect_drawn()
        for name in ("ensemble: mean r (broad grey)", "long-signal law (thin black)",
                     "seed 1: r with the reference signal", "agreement fraction f (",
                     "95 % bound 1.96 · |1 − rho| / √126"):
            self.assertIn(name, svg)
        self.assertFalse(os.path.exists(self.picture("coupling.svg")), "one k: no coupling figure")
        self.assertFalse(os.path.exists(self.picture("coupling.png")), "nor an earlier one")

        # A table from before the coupling column still draws its band.
        os.remove(self.picture("summary.svg"))
        self.write_ensemble([row.split(",", 1)[1].rsplit(",", 1)[0] for row in rows],
                            "q,agreement,mean_r,sd_r,r_q025,r_q500,r_q975,mean_rho,"
                            "share_rho_band_excludes_zero")
        self.assertIn("ensemble: mean r", self.expect_drawn())

        # Columns found by name: a table of five quantiles draws the same band; one without
        # the 2.5 % and 97.5 % quantiles is refused.
        os.remove(self.picture("summary.svg"))
        wide = [",".join(row.split(",")[:5] + ["-0.99", row.split(",")[5], row.split(",")[6],
                                               row.split(",")[7], "0.99"] + row.split(",")[8:])
                for row in rows]
        self.write_ensemble(wide, "coupling,q,agreement,mean_r,sd_r,r_q001,r_q025,r_q500,r_q975,"
                                  "r_q999,mean_rho,share_rho_band_excludes_zero,law_r")
        self.assertIn("ensemble: mean r", self.expect_drawn())
        os.remove(self.picture("summary.svg"))
        os.remove(self.picture("summary.png"))
        self.write_ensemble(rows, "coupling,q,agreement,mean_r,sd_r,r_q010,r_q500,r_q990,"
                                  "mean_rho,share_rho_band_excludes_zero,law_r")
        self.expect_refused("ensemble.csv", "without the r_q025 and r_q975 columns")

        self.write_ensemble(rows[:5] + ["0.000000,5,0.960630,abc"] + rows[6:])
        self.expect_refused("ensemble.csv line 7", "expected 11 comma-separated fields, found 4")
        self.write_ensemble(rows[:5] + rows[6:])
        self.expect_refused("ensemble.csv line 7", "pass 6 out of order")

    def test_coupling_figure_for_several_k(self):
        self.write_ensemble(self.ensemble_rows([0.0, 0.3, 0.5, 1.0]))
        svg = self.expect_drawn()
        self.assertIn("ensemble: mean r", svg, "the k = 0 rows go behind seed 1")
        # What a reader relies on: a panel per k, each mark in the key as it is drawn, and
        # the axes named; the law at k = 1 as its step's two ends.
        root = ElementTree.parse(self.picture("coupling.svg")).getroot()
        titles = [group.find(SVG + "title").text for group in root.iter(SVG + "g")
                  if group.get("id", "").startswith("gnuplot_plot_")]
        for title in ("2.5-97.5 % of single-run r over the seeds", "mean r over the seeds",
                      "long-signal law", "long-signal law at k = 1: ±1 at the ends, 0 between"):
            self.assertEqual(titles.count(title), 1, title)
        text = "".join(root.itertext())
        for label in ("k = 0.00", "k = 0.30", "k = 0.50", "k = 1.00", "coupling coefficient k",
                      "mean r", "r of one run", "agreement fraction f"):
            self.assertIn(label, text)
        self.assertNotIn("k = 0.25", text, "the nearest k of the table, each once")
        with open(self.picture("coupling.png"), "rb") as png:
            data = png.read()
        self.assertEqual(data[:8], PNG_SIGNATURE)
        self.assertEqual(struct.unpack(">II", data[16:24]), (900, 1400))

    def test_finite_law_is_the_theory_line(self):
        # A table with the finite-length law: it is drawn and keyed in both figures, once per
        # figure's key, and the long-signal law becomes the lighter limit.
        rows = [row + "," + row.split(",")[3] for row in self.ensemble_rows([0.0, 1.0])]
        self.write_ensemble(rows, "coupling,q,agreement,mean_r,sd_r,r_q025,r_q500,r_q975,"
                                  "mean_rho,share_rho_band_excludes_zero,law_r,finite_law_r")
        svg = self.expect_drawn()
        for name in ("finite-length law (thin black)", "long-signal limit (grey dashes)"):
            self.assertIn(name, svg)
        self.assertNotIn("long-signal law (thin black)", svg)
        root = ElementTree.parse(self.picture("coupling.svg")).getroot()
        titles = [group.find(SVG + "title").text for group in root.iter(SVG + "g")
                  if group.get("id", "").startswith("gnuplot_plot_")]
        for title in ("finite-length law (128 levels)", "long-signal limit",
                      "long-signal limit at k = 1: ±1 at the ends, 0 between"):
            self.assertEqual(titles.count(title), 1, title)

    def run_script(self, script, *arguments, **redirect):
        options = {"stdout": subprocess.PIPE, **redirect}
        return subprocess.run([script, *arguments], cwd=self.folder, stderr=subprocess.PIPE,
                              text=True, **options)

    def test_help_version_and_unknown_options(self):
        help = self.run_script(SCRIPT, "--help")
        self.assertEqual((help.returncode, help.stderr), (0, ""))
        self.assertTrue(help.stdout.startswith("Usage: plot-summary.sh [--help | --version | FOLDER]\n"))
        self.assertEqual(os.listdir(self.folder), ["data"], "--help draws nothing")

        # The script in the source tree takes its version from the project's CMakeLists.txt.
        with open(os.path.join(os.path.dirname(SCRIPT), "..", "CMakeLists.txt")) as listing:
            version = re.search(r"project\(agreement_sweep VERSION ([0-9.]+)", listing.read()).group(1)
        result = self.run_script(SCRIPT, "--version")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, f"plot-summary.sh {version}\n", ""))

        for arguments, named in ((["--frobnicate"], "--frobnicate"), (["-x", "data"], "-x"),
                                 ([".", "."], "one folder")):
            result = self.run_script(SCRIPT, *arguments)
            self.assertEqual(result.returncode, 2, arguments)
            self.assertRegex(result.stderr, rf"\Aplot-summary\.sh: [^\n]*{named}[^\n]*\n\Z")
        self.assertEqual(os.listdir(self.folder), ["data"])

        if shutil.which("cmake") is None:
            self.skipTest("cmake not found: the installed copy's version is not checked")
        # The installed copy: configured as the build does it, away from any source tree, it
        # knows its version and speaks under its own name.
        installed = os.path.join(self.folder, "bin", "agreement-sweep-plot")
        configure = os.path.join(self.folder, "configure.cmake")
        with open(configure, "w") as steps:
            steps.write("configure_file(${IN} ${OUT} @ONLY)\n")
        subprocess.run(["cmake", "-DPROJECT_VERSION=9.8.7", f"-DIN={SCRIPT}", f"-DOUT={installed}",
                        "-P", configure], check=True)
        result = self.run_script(installed, "--version")
        self.assertEqual((result.returncode, result.stdout), (0, "agreement-sweep-plot 9.8.7\n"))
        result = self.run_script(installed, "--nope")
        self.assertEqual((result.returncode, result.stderr.split(":")[0]), (2, "agreement-sweep-plot"))

    def test_help_and_version_to_a_full_output(self):
        if os.geteuid() != 0:
            self.skipTest("making a full device needs root")
        full = os.path.join(self.folder, "full")
        os.mknod(full, stat.S_IFCHR | 0o666, os.makedev(1, 7))
        for option in ("--help", "--version"):
            with open(full, "w") as output:
                result = self.run_script(SCRIPT, option, stdout=output)
            self.assertEqual(result.returncode, 1, option)
            self.assertIn("cannot write", result.stderr)

    def test_field_not_a_number(self):
        lines = self.summary_lines("sl.dat")
        lines[9] = b"0,105435\tabc"
        self.write_summary("sl.dat", lines)
        self.expect_refused("data/sl.dat line 10", "field 2 is not a number")


if __name__ == "__main__":
    if shutil.which("gnuplot") is None:
        print("plot tests skipped: gnuplot not found (Debian: apt-get install gnuplot-nox)")
        sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
