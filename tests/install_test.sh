#!/usr/bin/env bash
# Installs a build into a temporary prefix and runs the installed programs there; installs the
# Python module into a scratch user's ~/.local too and imports it as that user.
# Usage: install_test.sh BUILD_FOLDER [PYTHON, the interpreter the module was built for]
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >"$scratch/install.log"
for program in agreement_sweep agreement_ensemble agreement-sweep-plot; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program is not installed"
done
for doc in README.md docs/summary.png docs/coupling.png docs/speed.md docs/portability.md; do
  [ -f "$prefix/share/doc/agreement_sweep/$doc" ] || fail "share/doc/agreement_sweep/$doc is not installed"
done

# The installed programs run from anywhere, in a folder of the user's.
mkdir -p "$prefix/work/data/1"
cd "$prefix/work"
"$prefix/bin/agreement_sweep" --version | grep -q '^agreement_sweep [0-9]' || fail "--version"
"$prefix/bin/agreement_sweep" || fail "the installed agreement_sweep failed"
[ "$(find data -type f | wc -l)" -eq 131 ] || fail "the installed run did not write 131 files"
"$prefix/bin/agreement_ensemble" --seeds 3 >summary.txt || fail "the installed agreement_ensemble failed"
[ "$(wc -l <ensemble.csv)" -eq 129 ] || fail "the installed ensemble's table is not 129 lines"
# The plot step, where the interpreter has matplotlib: installed, it finds its drawing module.
plot_python=${2:-python3}
if "$plot_python" -c 'import matplotlib, numpy' 2>/dev/null; then
  "$plot_python" "$prefix/bin/agreement-sweep-plot" --version | grep -q '^agreement-sweep-plot [0-9]' ||
    fail "the installed agreement-sweep-plot does not know its version"
  "$plot_python" "$prefix/bin/agreement-sweep-plot" || fail "the installed agreement-sweep-plot failed"
  [ -s summary.png ] && [ -s summary.csv ] || fail "the installed plot step wrote no figure"
fi
# The Python module, where the build has it: in a prefix the interpreter doesn't search, in
# the prefix's standard layout, which the install names for PYTHONPATH; in the user's own
# prefix, ~/.local, in the user's site, which the interpreter searches unasked.
module=$(find "$build/python" -name 'agreement_sweep*.so' 2>/dev/null | head -n 1 || true)
python=${2:-}
if [ -n "$module" ] && [ -n "$python" ]; then
  site=$("$python" -c 'import sys; print("lib/python%d.%d/site-packages" % sys.version_info[:2])')
  [ -f "$prefix/$site/${module##*/}" ] || fail "the Python module is not in $site"
  [ -f "$prefix/$site/agreement_sweep.pyi" ] || fail "the module's type stub is not in $site"
  grep -qF "PYTHONPATH=$prefix/$site " "$scratch/install.log" || fail "the install does not name PYTHONPATH"
  PYTHONPATH="$prefix/$site" "$python" -c 'import agreement_sweep as a; assert a.run()["r"].shape == (128,)' ||
    fail "the installed Python module does not import"

  home=$scratch/home
  user() { env -u PYTHONPATH -u PYTHONUSERBASE -u PYTHONNOUSERSITE HOME="$home" "$@"; }
  if [ "$(user "$python" -c 'import site; print(site.ENABLE_USER_SITE and site.getuserbase())')" != "$home/.local" ]; then
    echo "skipped the user's prefix: $python has no user site under ~/.local"
  else
    user cmake --install "$build" --prefix "$home/.local" --component python >"$scratch/user.log"
    ! grep -q PYTHONPATH "$scratch/user.log" || fail "the install into ~/.local asks for PYTHONPATH"
    found=$(user "$python" -c 'import agreement_sweep as a; print(a.__file__)') ||
      fail "the module in ~/.local does not import without PYTHONPATH"
    [ "$found" = "$home/.local/$site/${module##*/}" ] || fail "imported $found, not the user's module"
  fi
fi
echo "installed and ran from $prefix"
