"""The plot step's figures, drawn from what agreement-sweep-plot reads (see read_folder there).

Every function takes the run as read and returns or fills matplotlib objects; nothing here
reads or writes a file.
"""
import io

import matplotlib
matplotlib.use("Agg")
import numpy as np  # noqa: E402 (after the backend is chosen)
from matplotlib.colors import LinearSegmentedColormap  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

# Okabe-Ito colours: they stay apart under red-green colour blindness; each mark also differs
# from its neighbours in width, style or lightness, so that greyscale print keeps them apart.
BLUE, VERMILLION, GREEN, BLACK, GREY = "#0072B2", "#D55E00", "#009E73", "#000000", "#808080"
AXIS_F = "agreement fraction f (steps moving the same way / 127)"


def least_squares(f, r):
    """Slope and intercept of r against f, and where the line crosses zero within f's range
    (None outside it); None for a single agreement value, which has no line."""
    if np.ptp(f) == 0:
        return None
    slope, intercept = np.polyfit(f, r, 1)
    crossing = -intercept / slope if slope != 0 else None
    if crossing is not None and not f.min() <= crossing <= f.max():
        crossing = None
    return slope, intercept, crossing


def agreement_axis(axes, label=True):
    """The agreement axis shared by every panel: 1 on the left, a tick every 0.1, a grid."""
    axes.set_xlim(1, 0)
    axes.set_xticks(np.linspace(1, 0, 11))
    axes.xaxis.set_major_formatter("{x:g}")
    axes.yaxis.set_major_formatter("{x:g}")
    axes.grid(True, color="#c8c8c8", linestyle=":", linewidth=0.8)
    axes.tick_params(labelsize=10)
    if label:
        axes.set_xlabel(AXIS_F, fontsize=11)


def draw_laws(axes, table, finite, width=1.2):
    """The ensemble's laws: with the finite-length law, that is the theory line (thin black)
    and the long-signal law, its limit for unbounded signals, is lighter grey dashes."""
    if finite:
        axes.plot(table[:, 0], table[:, 4], color=GREY, linewidth=width, dashes=(3, 3),
                  label="long-signal limit (grey dashes)")
        axes.plot(table[:, 0], table[:, 5], color=BLACK, linewidth=width,
                  label="finite-length law (thin black)")
    elif not np.isnan(table[:, 4]).all():
        axes.plot(table[:, 0], table[:, 4], color=BLACK, linewidth=width,
                  label="long-signal law (thin black)")


def zero_coupling(run):
    """The table's rows at k = 0 (all rows of a table from before the coupling column), or None."""
    for k, table in (run["ensemble"] or {}).items():
        if float(k) == 0:
            return table
    return None


def correlation_panel(axes, run):
    """Top panel, back to front: the ensemble's band and broad grey mean, seed 1's points, its
    least-squares line in long vermillion dashes, the laws on top, the open diamond at the
    line's zero. Mean, fit and law lie within about 0.01 of each other, hence the widths."""
    tov = np.array(run["tov"], dtype=float)
    f, r = tov[:, 0], tov[:, 3]
    table = zero_coupling(run)
    if table is not None:
        axes.fill_between(table[:, 0], table[:, 2], table[:, 3], color="#dddddd", linewidth=0,
                          label="ensemble: 2.5-97.5 % of single-run r")
        axes.plot(table[:, 0], table[:, 1], color="#b3b3b3", linewidth=5,
                  label="ensemble: mean r (broad grey)")
    axes.axhline(0, color=GREY, linewidth=0.8)
    axes.plot(f, r, color=BLUE, linewidth=0.7, marker="o", markersize=2.5,
              label="seed 1: r with the reference signal")
    fit = least_squares(f, r)
    if fit:
        slope, intercept, crossing = fit
        ends = np.array([f.max(), f.min()])
        sign = "-" if intercept < 0 else "+"
        axes.plot(ends, slope * ends + intercept, color=VERMILLION, linewidth=2.2,
                  dashes=(4, 2.5), label=f"seed 1's least-squares line: r = {slope:.3f} f "
                  f"{sign} {abs(intercept):.3f}")
    if table is not None:
        draw_laws(axes, table, run["finite"])
    if fit and crossing is not None:
        axes.plot([crossing], [0], linestyle="none", marker="D", markersize=8,
                  markerfacecolor="none", markeredgecolor=VERMILLION, markeredgewidth=1.6,
                  label=f"seed 1's line crosses zero at f = {crossing:.3f}")
    axes.set_ylabel("Pearson correlation r", fontsize=11)
    axes.margins(y=0.08)
    agreement_axis(axes)
    axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.15), ncol=2, fontsize=10,
                frameon=False, handlelength=3)


def rank_panel(axes, run):
    """Bottom panel: seed 1's rho and its 95 % band, over the passes both summaries hold."""
    count = min(len(run["tov"]), len(run["sl"]))
    f = np.array([row[0] for row in run["tov"][:count]], dtype=float)
    rho, bound = np.array(run["sl"][:count], dtype=float).T
    axes.fill_between(f, rho - bound, rho + bound, color="#cce7f7", linewidth=0,
                      label="seed 1: rho ± its 95 % bound 1.96 · |1 − rho| / √126")
    axes.plot(f, rho, color=GREEN, linewidth=1.2,
              label="seed 1: rho, rank correlation of each coupled signal with time")
    axes.axhline(0, color=BLACK, linewidth=0.9)
    axes.set_ylabel("seed 1: rank correlation rho", fontsize=11)
    axes.margins(y=0.08)
    agreement_axis(axes)
    axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.15), ncol=1, fontsize=10,
                frameon=False, handlelength=3)


def summary_figure(run):
    """The summary figure: two panels, the top one r, the bottom one rho."""
    figure = Figure(figsize=(9, 9), dpi=100)
    figure.suptitle("Agreement sweep: correlation against the share of same-direction steps",
                    fontsize=14, y=0.985)
    if run["note"]:
        figure.text(0.5, 0.946, run["note"], color="red", fontsize=12, ha="center")
    correlation_panel(figure.add_axes([0.09, 0.63, 0.88, 0.30]), run)
    rank_panel(figure.add_axes([0.09, 0.135, 0.88, 0.30]), run)
    return figure


def chosen_couplings(ensemble):
    """The table's k nearest 0, 0.25, 0.5, 0.75 and 1, each once (ties: the first in the table)."""
    chosen = []
    for wanted in (0, 0.25, 0.5, 0.75, 1):
        best = min(ensemble, key=lambda k: abs(float(k) - wanted))
        if best not in chosen:
            chosen.append(best)
    return chosen


def heat_map(figure, ensemble):
    """Mean r over agreement and k, blue through white to vermillion, with labelled contours."""
    axes = figure.add_axes([0.11, 0.71, 0.71, 0.22])
    ks = sorted(ensemble, key=float)
    f = np.array([ensemble[k][:, 0] for k in ks])
    k = np.repeat(np.array(ks, dtype=float)[:, None], f.shape[1], axis=1)
    mean = np.array([ensemble[k][:, 1] for k in ks])
    colours = LinearSegmentedColormap.from_list("mean_r", [
        (0, BLUE), (0.25, "#80B9D8"), (0.5, "#F7F7F7"), (0.75, "#EAAE80"), (1, VERMILLION)])
    # Rasterized: as vectors the smooth shading takes thousands of gradient triangles.
    mesh = axes.pcolormesh(f, k, mean, cmap=colours, vmin=-1, vmax=1, shading="gouraud",
                           rasterized=True)
    lines = axes.contour(f, k, mean, levels=[-0.6, -0.4, -0.2, 0, 0.2, 0.4, 0.6],
                         colors="#303030", linewidths=1.0, linestyles="solid")
    for label in axes.clabel(lines, fmt="%.1f", fontsize=10, inline_spacing=8):
        label.set_rotation(0)
        label.set_bbox({"facecolor": "white", "edgecolor": "none", "pad": 1})
    agreement_axis(axes)
    axes.grid(False)
    axes.set_ylim(k.min(), k.max())
    axes.set_ylabel("coupling coefficient k", fontsize=11)
    bar = figure.colorbar(mesh, cax=figure.add_axes([0.85, 0.71, 0.025, 0.22]))
    bar.set_label("mean r", fontsize=11)
    bar.set_ticks([-1, -0.5, 0, 0.5, 1])
    bar.ax.yaxis.set_major_formatter("{x:g}")
    bar.ax.tick_params(labelsize=10)


def coupling_panel(axes, k, table, finite):
    """One k's band, mean r and laws. At k = 1 the long-signal law is a step, +1 at f = 1, -1
    at f = 0 and 0 between: its ends are points of their own, so no line joins them to the
    zero between."""
    f = table[:, 0]
    axes.fill_between(f, table[:, 2], table[:, 3], color="#B9D3EA", linewidth=0,
                      label="2.5-97.5 % of single-run r over the seeds")
    axes.axhline(0, color="#999999", linewidth=0.8)
    axes.plot(f, table[:, 1], color=BLUE, linewidth=2.6, label="mean r over the seeds")
    limit, colour = ("long-signal limit", "#999999") if finite else ("long-signal law", BLACK)
    inner = slice(1, -1) if float(k) == 1 else slice(None)
    axes.plot(f[inner], table[inner, 4], color=colour, linewidth=1.2, dashes=(5, 3),
              label=limit)
    if float(k) == 1:
        axes.plot(f[[0, -1]], table[[0, -1], 4], linestyle="none", marker="o", markersize=5,
                  color=colour, clip_on=False, label=f"{limit} at k = 1: ±1 at the ends, 0 between")
    if finite:
        axes.plot(f, table[:, 5], color=BLACK, linewidth=0.8,
                  label="finite-length law (128 levels)")
    axes.set_ylim(-1.15, 1.15)
    axes.set_yticks([-1, -0.5, 0, 0.5, 1])
    axes.text(0.015, 0.86, f"k = {float(k):.2f}", transform=axes.transAxes, fontsize=11)


def coupling_figure(run):
    """The coupling figure: the heat map, then one panel per chosen k on its agreement axis,
    one key for all of them below."""
    figure = Figure(figsize=(9, 14), dpi=100)
    figure.suptitle("Direction or size? Mean r over agreement and the coupling coefficient k",
                    fontsize=14, y=0.965)
    heat_map(figure, run["ensemble"])
    chosen = chosen_couplings(run["ensemble"])
    height, keys = 0.104, {}
    for i, k in enumerate(chosen):
        axes = figure.add_axes([0.11, 0.655 - (i + 1) * height, 0.71, height])
        coupling_panel(axes, k, run["ensemble"][k], run["finite"])
        agreement_axis(axes, label=i == len(chosen) - 1)
        if i < len(chosen) - 1:
            axes.tick_params(labelbottom=False)
        for handle, label in zip(*axes.get_legend_handles_labels()):
            keys.setdefault(label, handle)
    figure.text(0.035, 0.655 - len(chosen) * height / 2, "r of one run", rotation=90,
                va="center", ha="center", fontsize=11)
    figure.legend(keys.values(), keys.keys(), loc="center", bbox_to_anchor=(0.5, 0.05),
                  ncol=2, fontsize=10, frameon=False, handlelength=3)
    return figure


def rendered(figure, kind):
    """The figure's bytes, the same on every run: fixed SVG ids, no date, no software tag."""
    data = io.BytesIO()
    with matplotlib.rc_context({"svg.hashsalt": "agreement-sweep", "svg.fonttype": "path"}):
        metadata = {"Date": None} if kind == "svg" else {"Software": None}
        figure.savefig(data, format=kind, dpi=100, metadata=metadata, facecolor="white")
    return data.getvalue()
