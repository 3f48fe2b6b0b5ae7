#!/usr/bin/env bash
# Builds the Linux packages and checks what they hold: a Release build, `cpack` for the .deb
# and the .tar.gz, then dpkg-deb for the .deb's files and metadata.
# Usage: scripts/check-package.sh [work folder, default build/package]
# Exit status: 0 when both packages hold what they should, 1 otherwise.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$src/build/package}
fail() { echo "FAIL: $*"; exit 1; }

cmake -S "$src" -B "$work" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work" --parallel "$(nproc 2>/dev/null || echo 2)" >/dev/null
(cd "$work" && cpack -G "DEB;TGZ" >/dev/null)
deb=$(ls "$work"/agreement-sweep_*.deb)
tgz=$(ls "$work"/agreement-sweep-*.tar.gz)

contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/agreement_sweep ./usr/bin/agreement_ensemble ./usr/bin/agreement-sweep-plot \
  ./usr/share/doc/agreement_sweep/README.md ./usr/share/doc/agreement_sweep/docs/summary.png \
  ./usr/share/doc/agreement_sweep/docs/coupling.png ./usr/share/doc/agreement_sweep/docs/speed.md; do
  grep -q " $path\$" <<<"$contents" || fail "$deb lacks $path"
done
[ "$(dpkg-deb -f "$deb" Package)" = agreement-sweep ] || fail "package name"
dpkg-deb -f "$deb" Suggests | grep -q python3-matplotlib || fail "$deb does not suggest python3-matplotlib"
[ -z "$(dpkg-deb -f "$deb" Depends)" ] || fail "the static programs need no dependency"
# The Python module, where the build has it, where Debian's python3 finds packages' modules.
if ls "$work"/python/agreement_sweep*.so >/dev/null 2>&1; then
  grep -q ' ./usr/lib/python3/dist-packages/agreement_sweep\.cpython-.*\.so$' <<<"$contents" ||
    fail "$deb lacks the Python module in /usr/lib/python3/dist-packages"
  grep -q ' ./usr/lib/python3/dist-packages/agreement_sweep\.pyi$' <<<"$contents" ||
    fail "$deb lacks the module's type stub"
  dpkg-deb -f "$deb" Suggests | grep -q python3-numpy || fail "$deb does not suggest NumPy"
fi
# The MPI program would tie the package to one MPI's libraries: it is left out (the README
# says how to build it), and with it any dependency on MPI.
! grep -q 'agreement_ensemble_mpi' <<<"$contents" || fail "$deb carries the MPI program"
listing=$(tar -tzf "$tgz")
! grep -q 'agreement_ensemble_mpi' <<<"$listing" || fail "$tgz carries the MPI program"

grep -q '/bin/agreement_sweep$' <<<"$listing" || fail "$tgz lacks bin/agreement_sweep"
echo "packages checked: ${deb##*/} and ${tgz##*/}"
