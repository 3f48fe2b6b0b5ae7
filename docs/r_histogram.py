"""r at one pass over 10,000 seeds, as a histogram: the README's example of the module."""
import sys

import matplotlib
matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt
import numpy as np

import agreement_sweep as asw

q = 32  # pass 32: 95 of 127 steps agree
per = asw.per_seed(seeds=10_000, coupling=[0.0, 0.5])
one = asw.run(seed=1)
fig, ax = plt.subplots(figsize=(7, 4))
for c, k in enumerate(per["coupling"]):
    ax.hist(per["r"][:, c, q], bins=60, alpha=0.6, label=f"k = {k:g}")
ax.axvline(one["r"][q], color="black", linestyle="--", label="seed 1 at k = 0")
ax.axvline(asw.law(one["agreement"][q], 0.0), color="grey", label="long-signal law, k = 0")
ax.set_xlabel(f"r at pass {q} (agreement {one['agreement'][q]:.3f})")
ax.set_ylabel("seeds")
ax.legend()
fig.tight_layout()
fig.savefig(sys.argv[1] if len(sys.argv) > 1 else "r_histogram.png", dpi=100)
