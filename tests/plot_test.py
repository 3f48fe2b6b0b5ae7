#!/usr/bin/env python3
"""The plot step on a real run's output and on broken summaries.

Usage: plot_test.py PROGRAM PLOT_SCRIPT. Exits 77 (skipped) when gnuplot isn't installed.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

PROGRAM, SCRIPT = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


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
        self.assertEqual((width, height), (900, 800))
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
        self.assertRegex(svg, r"least-squares line: r = 0\.[0-9]{3} f - 0\.[0-9]{3}, zero at f = 0\.5")
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
        svg = self.expect_drawn()
        self.assertIn("ensemble: mean r", svg)
        self.assertIn("long-signal law", svg)
        self.assertIn("seed 1: r with the reference signal", svg)
        self.assertFalse(os.path.exists(self.picture("coupling.svg")), "one k: no coupling figure")

        # A table from before the coupling column still draws its band.
        os.remove(self.picture("summary.svg"))
        self.write_ensemble([row.split(",", 1)[1].rsplit(",", 1)[0] for row in rows],
                            "q,agreement,mean_r,sd_r,r_q025,r_q500,r_q975,mean_rho,"
                            "share_rho_band_excludes_zero")
        self.assertIn("ensemble: mean r", self.expect_drawn())

        os.remove(self.picture("summary.svg"))
        os.remove(self.picture("summary.png"))
        self.write_ensemble(rows[:5] + ["0.000000,5,0.960630,abc"] + rows[6:])
        self.expect_refused("ensemble.csv line 7", "expected 11 comma-separated fields, found 4")
        self.write_ensemble(rows[:5] + rows[6:])
        self.expect_refused("ensemble.csv line 7", "pass 6 out of order")

    def test_coupling_figure_for_several_k(self):
        self.write_ensemble(self.ensemble_rows([0.0, 0.3, 0.5, 1.0]))
        svg = self.expect_drawn()
        self.assertIn("ensemble: mean r", svg, "the k = 0 rows go behind seed 1")
        root = ElementTree.parse(self.picture("coupling.svg")).getroot()
        text = ElementTree.tostring(root, encoding="unicode")
        for title in ("k = 0.00", "k = 0.30", "k = 0.50", "k = 1.00", "thin: long-signal law",
                      "coupling coefficient k"):
            self.assertIn(title, text)
        self.assertNotIn("k = 0.25", text, "the nearest k of the table, each once")
        with open(self.picture("coupling.png"), "rb") as png:
            data = png.read()
        self.assertEqual(data[:8], PNG_SIGNATURE)
        self.assertEqual(struct.unpack(">II", data[16:24]), (900, 1000))

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
