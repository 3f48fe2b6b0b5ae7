#!/usr/bin/env bash
# Draws a run's summary as one figure with two panels, with gnuplot:
#   top:    the Pearson correlation against the agreement fraction, from 1 down to 0;
#   bottom: the rank correlation rho against the agreement fraction, with rho +- its 95 %
#           bound drawn as a band.
# Reads data/tov.dat and data/sl.dat exactly as the program writes them (tab-separated fields,
# decimal commas, LF or CR LF line ends) and writes summary.svg and summary.png beside data/.
# The top panel also shows the least-squares line of r against the agreement fraction and
# where it crosses zero. When ensemble.csv (agreement_ensemble's table) sits beside data/, it
# also shows the ensemble's mean r and its 2.5-97.5 % band behind seed 1's points.
# Also writes summary.csv beside data/: a header row, then per pass q, agreement, mean,
# variance, r, rho and bound, comma-separated with decimal points.
# Usage: scripts/plot-summary.sh [folder holding data/, default .]
# Exit status: 0 when both pictures and the table are written; 1, with a message naming the file and line,
# when gnuplot is missing or a summary or the ensemble's table is missing or malformed.
# Nothing is written then.
set -euo pipefail

me=plot-summary
folder=${1:-.}
passes=128

fail() {
  echo "$me: $*" >&2
  exit 1
}

command -v gnuplot >/dev/null 2>&1 ||
  fail "gnuplot not found; install it (Debian: apt-get install gnuplot-nox) and run again"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

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

# The ensemble's table, when there is one: agreement, mean r, 2.5 % and 97.5 % quantiles.
ensemble=""
if [ -e "$folder/ensemble.csv" ]; then
  awk -F ',' -v me="$me" -v name="$folder/ensemble.csv" -v passes="$passes" -v out="$work/ensemble" '
    function bad(text) { printf "%s: %s line %d: %s\n", me, name, NR, text > "/dev/stderr"; failed = 1; exit 1 }
    {
      sub(/\r$/, "")
      if (NR == 1) { if ($1 != "q" || NF != 9) bad("not an ensemble table (header expected)"); next }
      if (NF != 9) bad("expected 9 comma-separated fields, found " NF)
      for (i = 1; i <= NF; ++i)
        if ($i !~ /^-?[0-9]+(\.[0-9]+)?$/) bad("field " i " is not a number: \"" $i "\"")
      print $2 "\t" $3 "\t" $5 "\t" $7 > out
    }
    END {
      if (failed) exit 1
      if (NR - 1 != passes) { printf "%s: %s holds %d passes, not %d\n", me, name, NR - 1, passes > "/dev/stderr"; exit 1 }
    }' "$folder/ensemble.csv" || exit 1
  ensemble="$work/ensemble"
fi

# The rank summary has no fraction of its own: pass i's fraction is line i of the other file.
paste "$work/tov" "$work/sl.raw" | awk -F '\t' 'NF == 6 { print $1 "\t" $5 "\t" $6 }' >"$work/sl"

# Both summaries side by side with decimal points, for spreadsheets and data-frame tools.
paste "$work/tov" "$work/sl.raw" | awk -F '\t' '
  BEGIN { print "q,agreement,mean,variance,r,rho,bound" }
  { printf "%d", NR - 1; for (i = 1; i <= NF; ++i) printf ",%s", $i; print "" }' >"$work/summary.csv"

# The least-squares line of r against the agreement fraction, and where it crosses zero.
read -r slope intercept crossing < <(awk -F '\t' '
  { x[NR] = $1; y[NR] = $4; sx += $1; sy += $4 }
  END {
    mx = sx / NR; my = sy / NR
    for (i = 1; i <= NR; ++i) { sxy += (x[i] - mx) * (y[i] - my); sxx += (x[i] - mx) ^ 2 }
    a = sxx > 0 ? sxy / sxx : 0; b = my - a * mx
    printf "%.6f %.6f %s\n", a, b, a != 0 ? sprintf("%.6f", -b / a) : "none"
  }' "$work/tov")
fit_title=$(awk -v a="$slope" -v b="$intercept" -v c="$crossing" 'BEGIN {
  sign = b < 0 ? "-" : "+"; printf "least-squares line: r = %.3f f %s %.3f", a, sign, (b < 0 ? -b : b)
  if (c != "none") printf ", zero at f = %.3f", c }')

note=""
if [ "$correlation_passes" -lt "$passes" ] || [ "$rank_passes" -lt "$passes" ]; then
  note="run stopped early: $correlation_passes of $passes passes"
  [ "$rank_passes" -eq "$correlation_passes" ] || note="$note ($rank_passes in data/sl.dat)"
fi

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
set key top right
set xlabel "agreement fraction (steps moving the same way / 127)"
if ("$note" ne "") set label 1 "$note" at graph 0.5, graph 0.08 center textcolor "red" font ",13"
set ylabel "Pearson correlation r"
set key bottom left Left reverse font ",10"
if ("$crossing" ne "none") set arrow 1 from $crossing, graph 0 to $crossing, first 0 nohead dashtype 2 linecolor "#b22222"
fit(x) = $slope * x + $intercept
if ("$ensemble" ne "") \
  plot "$ensemble" using 1:3:4 with filledcurves fillcolor "#d9d9d9" fillstyle solid 1.0 title "ensemble: 2.5-97.5 % of r", \
       "$ensemble" using 1:2 with lines linewidth 2 linecolor "#555555" title "ensemble: mean r", \
       "$work/tov" using 1:4 with linespoints pointtype 7 pointsize 0.4 linecolor "#1f5fa8" title "seed 1: r with the reference signal", \
       fit(x) with lines linewidth 1.5 dashtype 2 linecolor "#b22222" title "seed 1's $fit_title", \
       0 with lines linewidth 1.5 linecolor "black" notitle; \
else \
  plot "$work/tov" using 1:4 with linespoints pointtype 7 pointsize 0.4 linecolor "#1f5fa8" title "r with the reference signal", \
       fit(x) with lines linewidth 1.5 dashtype 2 linecolor "#b22222" title "$fit_title", \
       0 with lines linewidth 1.5 linecolor "black" notitle
unset arrow 1
set key top right Right noreverse font ",11"
unset label 1
set ylabel "rank correlation rho"
plot "$work/sl" using 1:(\$2 - \$3):(\$2 + \$3) with filledcurves fillcolor "#c6dbef" fillstyle solid 1.0 title "rho ± 95 % bound", \
     "$work/sl" using 1:2 with lines linewidth 1.5 linecolor "#d0602a" title "rho against time order", \
     0 with lines linewidth 1.5 linecolor "black" notitle
unset multiplot
GNUPLOT
}

draw 'svg size 900,800 font "sans,11" background "white"' "$work/summary.svg"
if gnuplot -e 'set terminal pngcairo' >/dev/null 2>&1; then
  draw 'pngcairo size 900,800 font "sans,11" background "white"' "$work/summary.png"
else
  draw 'png size 900,800 font "sans,11" background "white"' "$work/summary.png"
fi

# The pictures and the table appear together, and only once all are made.
mv "$work/summary.svg" "$folder/summary.svg"
mv "$work/summary.png" "$folder/summary.png"
mv "$work/summary.csv" "$folder/summary.csv"
