#!/usr/bin/env bash
# Builds the Linux packages and checks what they hold: a Release build, `cpack` for the .debs
# and the .tar.gz, then dpkg-deb for the .debs' files and metadata. The programs' package,
# agreement-sweep, needs nothing (the programs are static); the Python module's,
# python3-agreement-sweep, needs the Python version the module is built for, NumPy and the C++
# runtime it links.
# Usage: scripts/check-package.sh [work folder, default build/package]
# Exit status: 0 when the packages hold what they should, 1 otherwise.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$src/build/package}
fail() { echo "FAIL: $*"; exit 1; }
for tool in dpkg-shlibdeps file; do
  command -v "$tool" >/dev/null ||
    fail "$tool not found, which the .debs' dependencies come from (Debian: apt-get install dpkg-dev file)"
done

cmake -S "$src" -B "$work" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work" --parallel "$(nproc 2>/dev/null || echo 2)" >/dev/null
rm -f "$work"/*.deb "$work"/*.tar.gz
(cd "$work" && cpack -G "DEB;TGZ" >cpack.log 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/agreement-sweep_*.deb)
tgz=$(ls "$work"/agreement-sweep-*.tar.gz)
# The Python module, where this build installs one (not one an earlier configuration left).
module=$(grep -o '/[^"]*/agreement_sweep\.cpython-[^"/]*\.so' "$work/cmake_install.cmake" | head -n 1 || true)
# The programs' package, and the module's where the build has it: no other.
debs=$(cd "$work" && echo *.deb)
[ "$(wc -w <<<"$debs")" -eq $((${module:+1} + 1)) ] || fail "cpack made $debs"

contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/agreement_sweep ./usr/bin/agreement_ensemble ./usr/bin/agreement-sweep-plot \
  ./usr/share/agreement_sweep/plot_figures.py \
  ./usr/share/doc/agreement_sweep/README.md ./usr/share/doc/agreement_sweep/docs/summary.png \
  ./usr/share/doc/agreement_sweep/docs/coupling.png ./usr/share/doc/agreement_sweep/docs/speed.md; do
  grep -q " $path\$" <<<"$contents" || fail "$deb lacks $path"
done
[ "$(dpkg-deb -f "$deb" Package)" = agreement-sweep ] || fail "package name"
# The plot step runs on matplotlib and NumPy, which the programs don't need.
suggests=$(dpkg-deb -f "$deb" Suggests)
[[ "$suggests" == *python3-matplotlib* && "$suggests" == *python3-numpy* ]] ||
  fail "$deb suggests \"$suggests\", not matplotlib and NumPy"
[ -z "$(dpkg-deb -f "$deb" Depends)" ] || fail "the static programs need no dependency"
! grep -q 'agreement_sweep[^/]*\.so$' <<<"$contents" || fail "$deb carries the Python module"

# The Python module, where the build has it, in its own package, where Debian's python3 finds
# packages' modules. Its file name says the Python version it is built for (cpython-311 is
# 3.11), which the package needs, and no other.
if [ -n "$module" ]; then
  pydeb=$(ls "$work"/python3-agreement-sweep_*.deb)
  pycontents=$(dpkg-deb -c "$pydeb")
  for path in "./usr/lib/python3/dist-packages/${module##*/}" ./usr/lib/python3/dist-packages/agreement_sweep.pyi; do
    grep -q " $path\$" <<<"$pycontents" || fail "$pydeb lacks $path"
  done
  tag=$(sed -n 's/^agreement_sweep\.cpython-\([0-9]\)\([0-9][0-9]*\)-.*/\1 \2/p' <<<"${module##*/}")
  read -r major minor <<<"$tag"
  depends=$(dpkg-deb -f "$pydeb" Depends)
  for need in "python3 (>= $major.$minor~), python3 (<< $major.$((minor + 1)))" python3-numpy libstdc++6 libc6; do
    [[ "$depends" == *"$need"* ]] || fail "$pydeb depends on \"$depends\", lacking $need"
  done
  ! grep -q ' \./usr/bin/' <<<"$pycontents" || fail "$pydeb carries programs"
fi
# The MPI program would tie the package to one MPI's libraries: it is left out (the README
# says how to build it), and with it any dependency on MPI.
! grep -q 'agreement_ensemble_mpi' <<<"$contents" || fail "$deb carries the MPI program"
listing=$(tar -tzf "$tgz")
! grep -q 'agreement_ensemble_mpi' <<<"$listing" || fail "$tgz carries the MPI program"

grep -q '/bin/agreement_sweep$' <<<"$listing" || fail "$tgz lacks bin/agreement_sweep"
if [ -n "$module" ]; then
  grep -q "/lib/python$major\.$minor/site-packages/${module##*/}\$" <<<"$listing" ||
    fail "$tgz lacks lib/python$major.$minor/site-packages/${module##*/}"
fi
echo "packages checked: $debs and ${tgz##*/}"
