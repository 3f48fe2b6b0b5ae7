#!/usr/bin/env python3
"""The finite-length law against an ensemble's mean r, per k.

Usage: law-accuracy.py TABLE.csv

Reads an ensemble table (agreement_ensemble --output) and prints, for each k, the largest
and the RMS difference between finite_law_r and mean_r over the 128 passes, and the largest
difference in standard errors of the mean (sd_r / sqrt(seeds)); then the same over all
cells. The seed count is read from the summary line the table doesn't hold, so it is an
argument: --seeds N (default 1000000)."""
import argparse
import csv
import math


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("table")
    parser.add_argument("--seeds", type=int, default=1000000)
    args = parser.parse_args()
    by_k = {}
    with open(args.table, newline="") as handle:
        for row in csv.DictReader(handle):
            by_k.setdefault(row["coupling"], []).append(row)
    print("k        max |err|  RMS err   max |err|/se  cells > 4 se")
    every = []
    for k, rows in by_k.items():
        errors = []
        scaled = []
        for row in rows:
            error = float(row["finite_law_r"]) - float(row["mean_r"])
            se = float(row["sd_r"]) / math.sqrt(args.seeds)
            errors.append(error)
            scaled.append(abs(error) / se if se > 0 else 0.0)
        every.extend(zip(errors, scaled))
        print(f"{k}  {max(map(abs, errors)):.6f}   {math.sqrt(sum(e * e for e in errors) / len(errors)):.6f}"
              f"  {max(scaled):8.1f}      {sum(s > 4 for s in scaled)}")
    errors = [e for e, _ in every]
    print(f"all       {max(map(abs, errors)):.6f}   {math.sqrt(sum(e * e for e in errors) / len(errors)):.6f}"
          f"  {max(s for _, s in every):8.1f}      {sum(s > 4 for _, s in every)} of {len(every)}")


if __name__ == "__main__":
    main()
