#!/usr/bin/env bash
# Draws a run's summary as one figure with two panels, with gnuplot:
#   top:    seed 1's Pearson correlation against the agreement fraction, from 1 down to 0;
#   bottom: seed 1's rank correlation rho (of each coupled signal against time) against the
#           agreement fraction, with rho +- its 95 % bound drawn as a band.
# Reads data/tov.dat and data/sl.dat exactly as the program writes them (tab-separated fields,
# decimal commas, LF or CR LF line ends) and writes summary.svg and summary.png beside data/.
# The top panel also shows the least-squares line of r against the agreement fraction, over
# the agreement range of the passes present, and marks where it crosses zero. When
# ensemble.csv (agreement_ensemble's table) sits beside data/, it also shows the ensemble's
# mean r at k = 0, its 2.5-97.5 % band and the long-signal law behind seed 1's points; when
# the table holds several coupling coefficients k, it also draws coupling.svg and
# coupling.png: mean r as a heat map over agreement and k with labelled contours, and mean r
# against agreement for the k nearest 0, 0.25, 0.5, 0.75 and 1, each with its band and its law.
# Also writes summary.csv beside data/: a header row, then per pass q, agreement, mean,
# variance, r, rho and bound, comma-separated with decimal points.
# Usage: plot-summary.sh [--help | --version | FOLDER], FOLDER holding data/, default .
# Exit status: 0 when the pictures and the table are written, or the usage or version is
# printed; 1, with one line naming the file and the reason, when gnuplot is missing, a
# summary or the ensemble's table is missing or malformed, or an output can't be written (a
# folder in its place, a folder that takes no file): nothing is written then; 1 also when the
# usage or version can't be written; 2 for an unknown option or more than one folder. A
# coupling figure is drawn only from a table with several k; otherwise an earlier one goes.
set -euo pipefail

me=${0##*/}
passes=128
# Filled in by CMake in the installed copy; the script in the source tree reads the version
# from the CMakeLists.txt of the tree it sits in.
version="@PROJECT_VERSION@"

fail() {
  echo "$me: $*" >&2
  exit 1
}

refuse() {
  echo "$me: $*; try $me --help" >&2
  exit 2
}

usage() {
  printf '%s\n' "Usage: $me [--help | --version | FOLDER]" "" \
    "Draws the agreement sweep's summaries, FOLDER/data/tov.dat and FOLDER/data/sl.dat" \
    "(default FOLDER: the current folder), with gnuplot into FOLDER/summary.svg and" \
    "FOLDER/summary.png: seed 1's Pearson correlation r with its least-squares line, and its" \
    "rank correlation rho with the 95 % band. Also writes FOLDER/summary.csv, both summaries" \
    "with decimal points. When FOLDER/ensemble.csv (agreement_ensemble's table) is there, the" \
    "ensemble's band, mean and long-signal law go behind seed 1; when it holds several" \
    "coupling coefficients k, FOLDER/coupling.svg and FOLDER/coupling.png are drawn too." "" \
    "An earlier coupling figure goes when the table holds one k or there is no table." "" \
    "Exit status: 0 when everything is written; 1 when gnuplot is missing, an input is" \
    "missing or malformed, or an output can't be written (one line names the file and the" \
    "reason; nothing is written); 2 for an unknown option or more than one FOLDER."
}

print_version() {
  case $version in
  @*)
    local source_list
    source_list="$(dirname "$0")/../CMakeLists.txt"
    version=$(sed -n 's/^project(agreement_sweep VERSION \([0-9][0-9.]*\).*/\1/p' "$source_list" 2>/dev/null) || true
    [ -n "$version" ] || fail "version unknown: not filled in, and no project version in $source_list"
    ;;
  esac
  printf '%s %s\n' "$me" "$version"
}

case ${1-} in
--help)
  usage 2>/dev/null || fail "cannot write the usage"
  exit 0
  ;;
--version)
  print_version 2>/dev/null || fail "cannot write the version"
  exit 0
  ;;
--)
  shift
  ;;
-?*)
  refuse "unknown option ${1}"
  ;;
esac
[ $# -le 1 ] || refuse "one folder at most, found $#"
folder=${1:-.}

command -v gnuplot >/dev/null 2>&1 ||
  fail "gnuplot not found; install it (Debian: apt-get install gnuplot-nox) and run again"

# Every output's place must take a file: a folder there is refused before anything is drawn.
for name in summary.svg summary.png summary.csv coupling.svg coupling.png; do
  [ ! -d "$folder/$name" ] || fail "cannot write $folder/$name: it is a folder"
done

work=$(mktemp -d)
staged_files=()
trap 'rm -rf "$work"; rm -f -- "${staged_files[@]}"' EXIT

# Checks one summary file and writes it to $2 with decimal points, one pass a line.
# Prints the number of passes it holds.
convert() {
  local path=$folder/$1 out=$2 fields=$3
  [ -f "$path" ] && [ -r "$path" ] || fail "cannot read $path: no such file, or not readable"
  awk -F '\t' -v me="$me" -v name="$path" -v fields="$fields" -v passes="$passes" -v out="$out" '
    function bad(text) { printf "%s: %s line %d: %s\n", me, name, NR, text > "/dev/stderr"; failed = 1; exit 1 }
    {
      sub(/\r$/, "")
      if (NF != fields) bad("expected " fields " tab-separated fields, found " NF)
      for (i = 1; i <= NF; ++i) {
        if ($i !~ /^-?[0-9]+(,[0-9]+)?$/) bad("field " i " is not a number: \"" $i "\"")
        gsub(/,/, ".", $i)
      }
      if (NR > passes) bad("more than " passes " passes")
      line = $1
      for (i = 2; i <= NF; ++i) line = line "\t" $i
      print line > out
    }
    END {
      if (failed) exit 1
      if (NR == 0) { printf "%s: %s holds no passes: nothing to draw\n", me, name > "/dev/stderr"; exit 1 }
      print NR
    }' "$path" || exit 1
}

correlation_passes=$(convert data/tov.dat "$work/tov" 4)
rank_passes=$(convert data/sl.dat "$work/sl.raw" 2)

# The ensemble's table, when there is one. Rows of k = 0 (all rows of a table from before the
# coupling column) go behind seed 1: agreement, mean r, 2.5 % and 97.5 % quantiles, the
# long-signal law. Where the table holds several k, the coupling figure's data too: the grid
# of mean r over agreement and k, and the curves of the k nearest 0, 0.25, 0.5, 0.75 and 1.
ensemble=""
couplings=0
curves=0
if [ -e "$folder/ensemble.csv" ]; then
  couplings=$(awk -F ',' -v me="$me" -v name="$folder/ensemble.csv" -v passes="$passes" -v work="$work" '
    function bad(text) { printf "%s: %s line %d: %s\n", me, name, NR, text > "/dev/stderr"; failed = 1; exit 1 }
    function number(text) { return text ~ /^-?[0-9]+(\.[0-9]+)?$/ }
    {
      sub(/\r$/, "")
      if (NR == 1) {
        # Columns by name: a table of other quantiles holds other r_q columns.
        for (i = 1; i <= NF; ++i) column[$i] = i
        if ($1 == "coupling" && ("r_q025" in column) && ("r_q975" in column) && ("law_r" in column)) {
          fields = NF; leading = 3
          if ("finite_law_r" in column) finite = column["finite_law_r"]
        } else if ($1 == "q" && NF == 9) { # from before the coupling column
          fields = 9; leading = 2; column["r_q025"] = 6; column["r_q975"] = 8; column["law_r"] = 11
        } else if ($1 == "coupling") bad("an ensemble table without the r_q025 and r_q975 columns the band needs")
        else bad("not an ensemble table (header expected)")
        next
      }
      if (NF != fields) bad("expected " fields " comma-separated fields, found " NF)
      for (i = 1; i <= NF; ++i)
        if (!number($i) && (i <= leading || $i !~ /^-?(nan|inf)$/)) bad("field " i " is not a number: \"" $i "\"")
      if (fields == 9) { k = "0.000000"; $0 = k "," $0 "," "nan" }
      k = $1
      if (!(k in rows)) { order[++count] = k; rows[k] = 0 }
      if ($2 != rows[k]) bad("pass " $2 " out of order: expected " rows[k] " for coupling " k)
      rows[k] += 1
      line[k, $2] = $3 "\t" $4 "\t" $(column["r_q025"]) "\t" $(column["r_q975"]) "\t" $(column["law_r"]) "\t" (finite ? $(finite) : "nan")
      mean[k, $2] = $4
    }
    END {
      if (failed) exit 1
      if (count == 0) { printf "%s: %s holds no passes\n", me, name > "/dev/stderr"; exit 1 }
      if (finite) print 1 > (work "/finite")
      for (c = 1; c <= count; ++c)
        if (rows[order[c]] != passes) { printf "%s: %s holds %d passes for coupling %s, not %d\n", me, name, rows[order[c]], order[c], passes > "/dev/stderr"; exit 1 }
      for (c = 1; c <= count; ++c) {
        k = order[c]
        for (q = 0; q < passes; ++q) {
          if (k + 0 == 0) print line[k, q] > (work "/ensemble")
          split(line[k, q], f, "\t")
          print f[1] "\t" k "\t" mean[k, q] > (work "/grid")
        }
        print "" > (work "/grid")
      }
      # The curves: for each wanted k the nearest in the table, each drawn once.
      split("0 0.25 0.5 0.75 1", wanted, " ")
      for (w = 1; w <= 5; ++w) {
        best = order[1]
        for (c = 2; c <= count; ++c) {
          d = order[c] - wanted[w]; e = best - wanted[w]
          if ((d < 0 ? -d : d) < (e < 0 ? -e : e)) best = order[c]
        }
        if (best in drawn) continue
        drawn[best] = 1
        ++curves
        printf "%s\n", best > (work "/curve_k_" curves)
        for (q = 0; q < passes; ++q) print line[best, q] > (work "/curve_" curves)
        # The law at k = 1 is a step, +1 at f = 1, -1 at f = 0 and 0 between: its two ends
        # are drawn as points of their own, so that no line joins them to the zero between.
        split(line[best, 0], first, "\t"); split(line[best, passes - 1], last, "\t")
        step = best + 0 == 1
        for (q = step ? 1 : 0; q < (step ? passes - 1 : passes); ++q) {
          split(line[best, q], f, "\t"); print f[1] "\t" f[5] > (work "/curve_law_" curves)
        }
        if (step) print first[1] "\t" first[5] "\n" last[1] "\t" last[5] > (work "/curve_ends_" curves)
      }
      print count
    }' "$folder/ensemble.csv") || exit 1
  [ -e "$work/ensemble" ] && ensemble="$work/ensemble"
  curves=$(find "$work" -name 'curve_[0-9]*' | wc -l)
fi

# The rank summary has no fraction of its own: pass i's fraction is line i of the other file.
paste "$work/tov" "$work/sl.raw" | awk -F '\t' 'NF == 6 { print $1 "\t" $5 "\t" $6 }' >"$work/sl"

# Both summaries side by side with decimal points, for spreadsheets and data-frame tools.
paste "$work/tov" "$work/sl.raw" | awk -F '\t' '
  BEGIN { print "q,agreement,mean,variance,r,rho,bound" }
  { printf "%d", NR - 1; for (i = 1; i <= NF; ++i) printf ",%s", $i; print "" }' >"$work/summary.csv"

# The least-squares line of r against the agreement fraction, drawn over the agreement range
# of the passes present, and where it crosses zero: marked, and named in the key, when that
# lies in the range.
read -r slope intercept crossing < <(awk -F '\t' -v fit="$work/fit" -v zero="$work/zero" '
  { x[NR] = $1; y[NR] = $4; sx += $1; sy += $4
    if (NR == 1 || $1 < low) low = $1
    if (NR == 1 || $1 > high) high = $1 }
  END {
    mx = sx / NR; my = sy / NR
    for (i = 1; i <= NR; ++i) { sxy += (x[i] - mx) * (y[i] - my); sxx += (x[i] - mx) ^ 2 }
    a = sxx > 0 ? sxy / sxx : 0; b = my - a * mx
    printf "%.6f\t%.6f\n%.6f\t%.6f\n", high, a * high + b, low, a * low + b > fit
    c = a != 0 ? -b / a : "none"
    if (c != "none" && c >= low && c <= high) printf "%.6f\t0\n", c > zero
    printf "%.6f %.6f %s\n", a, b, c != "none" ? sprintf("%.6f", c) : "none"
  }' "$work/tov")
fit_title=$(awk -v a="$slope" -v b="$intercept" 'BEGIN {
  printf "seed 1\047s least-squares line: r = %.3f f %s %.3f", a, b < 0 ? "-" : "+", b < 0 ? -b : b }')
zero_title=""
[ ! -e "$work/zero" ] || zero_title=$(printf "seed 1's line crosses zero at f = %.3f" "$crossing")

note=""
if [ "$correlation_passes" -lt "$passes" ] || [ "$rank_passes" -lt "$passes" ]; then
  note="run stopped early: $correlation_passes of $passes passes"
  [ "$rank_passes" -eq "$correlation_passes" ] || note="$note ($rank_passes in data/sl.dat)"
fi

# The top panel's curves, back to front: the ensemble's band and its mean as a broad grey
# line; seed 1's points; its least-squares line in long vermillion dashes; the law as a thin
# black line on top. Mean, fit and law lie within about 0.005 of each other, so each differs
# in width, style and lightness: the black law runs inside the grey mean, the dashes on both
# sides of it. The zero mark is an open diamond, so the lines show through it. Colours from
# the Okabe-Ito set, which stays apart under red-green colour blindness and in greyscale.
top=""
if [ -n "$ensemble" ]; then
  top+="\"$ensemble\" using 1:3:4 with filledcurves fillcolor \"#dddddd\" fillstyle solid 1.0 title \"ensemble: 2.5-97.5 % of single-run r\", "
  top+="\"$ensemble\" using 1:2 with lines linewidth 9 linecolor \"#b3b3b3\" title \"ensemble: mean r (broad grey)\", "
fi
top+="0 with lines linewidth 1 linecolor \"#808080\" notitle, "
top+="\"$work/tov\" using 1:4 with linespoints linewidth 0.8 pointtype 7 pointsize 0.45 linecolor \"#0072B2\" title \"seed 1: r with the reference signal\", "
top+="\"$work/fit\" using 1:2 with lines linewidth 3 dashtype (12, 7) linecolor \"#D55E00\" title \"$fit_title\""
# With the finite-length law (tables since it joined) that is the theory line, and the
# long-signal law, its limit for unbounded signals, is drawn lighter, in grey dashes.
if [ -n "$ensemble" ] && [ -e "$work/finite" ]; then
  top+=", \"$ensemble\" using 1:5 with lines linewidth 1.2 dashtype (4, 4) linecolor \"#808080\" title \"long-signal limit (grey dashes)\""
  top+=", \"$ensemble\" using 1:6 with lines linewidth 1.2 linecolor \"#000000\" title \"finite-length law (thin black)\""
elif [ -n "$ensemble" ]; then
  top+=", \"$ensemble\" using 1:5 with lines linewidth 1.2 linecolor \"#000000\" title \"long-signal law (thin black)\""
fi
[ -z "$zero_title" ] ||
  top+=", \"$work/zero\" using 1:2 with points pointtype 12 pointsize 2.2 linewidth 2 linecolor \"#D55E00\" title \"$zero_title\""

draw() {
  local terminal=$1 output=$2
  gnuplot <<GNUPLOT
set terminal $terminal
set encoding utf8
set output "$output"
set datafile separator "\t"
set multiplot layout 2,1 title "Agreement sweep: correlation against the share of same-direction steps" font ",14"
set xrange [1:0]
set xtics 0.1
set grid
set xlabel "agreement fraction f (steps moving the same way / 127)"
set offsets graph 0, graph 0, graph 0.08, graph 0.08
set key outside below center vertical maxrows 4 Left reverse font ",10" samplen 3 spacing 1.1 height 1.2
if ("$note" ne "") set title "$note" textcolor "red" font ",12"
set ylabel "Pearson correlation r"
plot $top
unset title
set ylabel "seed 1: rank correlation rho"
plot "$work/sl" using 1:(\$2 - \$3):(\$2 + \$3) with filledcurves fillcolor "#cce7f7" fillstyle solid 1.0 title "seed 1: rho ± its 95 % bound 1.96 · |1 − rho| / √126", \
     "$work/sl" using 1:2 with lines linewidth 1.5 linecolor "#009E73" title "seed 1: rho, rank correlation of each coupled signal with time", \
     0 with lines linewidth 1.2 linecolor "black" notitle
unset multiplot
GNUPLOT
}

# The coupling figure: mean r as a heat map over agreement and k with labelled contours, and
# below it one panel per chosen k, all on the heat map's agreement axis: the 2.5-97.5 % band
# of single-run r, mean r and the long-signal law. Colours from the Okabe-Ito set, which
# stays apart under red-green colour blindness; band, mean and law differ in lightness and
# style too, so that greyscale print keeps them apart.
draw_coupling() {
  local terminal=$1 output=$2 plots i k top bottom height=0.104 keys
  gnuplot_input="set terminal $terminal
set encoding utf8
set output \"$output\"
set datafile separator \"\t\"
set multiplot title \"Direction or size? Mean r over agreement and the coupling coefficient k\" font \",14\"
set lmargin at screen 0.11
set rmargin at screen 0.82
set xrange [1:0]
set xtics 0.1
set tmargin at screen 0.93
set bmargin at screen 0.71
set xlabel \"agreement fraction f (steps moving the same way / 127)\"
set ylabel \"coupling coefficient k\"
set yrange [$k_low:$k_high]
set cbrange [-1:1]
set cblabel \"mean r\"
set colorbox user origin screen 0.85, screen 0.71 size screen 0.025, screen 0.22
set palette defined (-1 \"#0072B2\", -0.5 \"#80B9D8\", 0 \"#F7F7F7\", 0.5 \"#EAAE80\", 1 \"#D55E00\")
set view map
set contour base
set cntrparam levels discrete -0.6, -0.4, -0.2, 0, 0.2, 0.4, 0.6
set cntrparam firstlinetype 101
do for [i = 101:110] { set linetype i linecolor \"#303030\" linewidth 1.2 }
set cntrlabel format \"%.1f\" font \",10\" start 12 interval -1
set style textbox opaque noborder
unset key
splot \"$work/grid\" using 1:2:3 with pm3d notitle, \\
      \"$work/grid\" using 1:2:3 with lines nosurface notitle, \\
      \"$work/grid\" using 1:2:3 with labels boxed nosurface notitle
unset contour
unset pm3d
unset view
unset colorbox
set grid
set yrange [-1.15:1.15]
set ytics -1, 0.5, 1 format \"%g\"
set ylabel \"\"
set label 1 \"r of one run\" rotate by 90 center at screen 0.035, screen 0.395
"
  for ((i = 1; i <= curves; ++i)); do
    k=$(cat "$work/curve_k_$i")
    top=$(awk -v i="$i" -v h="$height" 'BEGIN { printf "%.4f", 0.655 - (i - 1) * h }')
    bottom=$(awk -v t="$top" -v h="$height" 'BEGIN { printf "%.4f", t - h }')
    keys=notitle
    [ "$i" -ne "$curves" ] || keys=title
    plots="\"$work/curve_$i\" using 1:3:4 with filledcurves fillcolor \"#B9D3EA\" fillstyle solid 1.0 noborder $keys \"2.5-97.5 % of single-run r over the seeds\", "
    plots+="0 with lines linewidth 1 linecolor \"#999999\" notitle, "
    plots+="\"$work/curve_$i\" using 1:2 with lines linewidth 3.6 linecolor \"#0072B2\" $keys \"mean r over the seeds\", "
    limit="long-signal law"
    limit_colour="#000000"
    if [ -e "$work/finite" ]; then
      limit="long-signal limit"
      limit_colour="#999999"
    fi
    plots+="\"$work/curve_law_$i\" using 1:2 with lines linewidth 1.6 dashtype (10, 6) linecolor \"$limit_colour\" $keys \"$limit\""
    if [ -e "$work/curve_ends_$i" ]; then
      plots+=", \"$work/curve_ends_$i\" using 1:2 with points pointtype 7 pointsize 0.9 linecolor \"$limit_colour\" title \"$limit at k = 1: ±1 at the ends, 0 between\""
    fi
    if [ -e "$work/finite" ]; then
      plots+=", \"$work/curve_$i\" using 1:6 with lines linewidth 1.0 linecolor \"#000000\" $keys \"finite-length law (128 levels)\""
    fi
    gnuplot_input+="set tmargin at screen $top
set bmargin at screen $bottom
set label 2 \"k = $(printf '%.2f' "$k")\" at graph 0.015, graph 0.86 front font \",11\"
"
    if [ "$i" -eq "$curves" ]; then
      gnuplot_input+="set format x \"%g\"
set xlabel \"agreement fraction f (steps moving the same way / 127)\"
set key at screen 0.46, screen 0.045 center horizontal maxrows 2 Left reverse font \",10\" samplen 3 spacing 1.2 width 2
"
    else
      gnuplot_input+="set format x \"\"
unset xlabel
unset key
"
    fi
    gnuplot_input+="plot $plots
"
  done
  gnuplot_input+="unset multiplot
"
  gnuplot <<<"$gnuplot_input"
}

draw 'svg size 900,900 font "sans,11" background "white"' "$work/summary.svg"
if gnuplot -e 'set terminal pngcairo' >/dev/null 2>&1; then
  draw 'pngcairo size 900,900 font "sans,11" background "white"' "$work/summary.png"
else
  draw 'png size 900,900 font "sans,11" background "white"' "$work/summary.png"
fi

if [ "$couplings" -gt 1 ]; then
  read -r k_low k_high < <(awk -F '\t' 'NF == 3 { if (low == "" || $2 < low) low = $2; if ($2 > high) high = $2 }
    END { print low + 0, high + 0 }' "$work/grid")
  draw_coupling 'svg size 900,1400 font "sans,11" background "white"' "$work/coupling.svg"
  if gnuplot -e 'set terminal pngcairo' >/dev/null 2>&1; then
    draw_coupling 'pngcairo size 900,1400 font "sans,11" background "white"' "$work/coupling.png"
  else
    draw_coupling 'png size 900,1400 font "sans,11" background "white"' "$work/coupling.png"
  fi
fi

# The pictures and the table appear together, and only once all are made: each is copied
# beside its final name first, so that only renames within the folder remain; a coupling
# figure from an earlier table goes, so that every figure in the folder is this table's.
outputs=(summary.svg summary.png summary.csv)
[ "$couplings" -le 1 ] || outputs+=(coupling.svg coupling.png)
for name in "${outputs[@]}"; do
  staged="$folder/.$name.$$.tmp"
  staged_files+=("$staged")
  reason=$(cp -- "$work/$name" "$staged" 2>&1) || fail "cannot write $folder/$name: ${reason##*: }"
done
for name in "${outputs[@]}"; do
  reason=$(mv -f -- "$folder/.$name.$$.tmp" "$folder/$name" 2>&1) ||
    fail "cannot write $folder/$name: ${reason##*: }"
done
staged_files=()
if [ "$couplings" -le 1 ]; then
  for name in coupling.svg coupling.png; do
    if [ -f "$folder/$name" ] && ! reason=$(rm -f -- "$folder/$name" 2>&1); then
      fail "cannot remove the earlier $folder/$name: ${reason##*: }"
    fi
  done
fi
