#!/usr/bin/env bash
# Proves the program's promise that every run writes the same bytes on every toolchain:
#   1. GCC and Clang at Debug, Release and -march=native, and with the AVX-512 kernel through
#      SIMDe, write identical trees and ensembles on every kernel path the processor has;
#   2. the Windows program (MinGW-w64) under Wine, 2b. the 64-bit ARM programs under
#      qemu-aarch64-static (with the test suite), 2c. the 32-bit x86 programs (SSE2 math)
#      under qemu-i386-static write the same files;
#   3. the test suite passes under AddressSanitizer and UndefinedBehaviorSanitizer;
#   4. clang-tidy and cppcheck report nothing on src/ and include/.
# docs/portability.md says what each check runs and why.
# Usage: scripts/check-portability.sh [work folder, default build/portability]
# A check whose tools are missing is skipped, and said so with the tools by name; every other
# check still runs.
# Exit status: 0 when every check ran and passed, 1 when one fails, 77 when none failed but
# some were skipped for a missing tool (CTest reports that as skipped).
set -uo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$src/build/portability}
# Absolute, since the runs below start in folders of their own.
mkdir -p "$work" && work=$(cd "$work" && pwd)
jobs=$(nproc 2>/dev/null || echo 2) # the machine's cores

failures=0
skipped=()
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
step() { echo "== $*"; }

# True when every tool named is installed; otherwise says which are missing and records the
# check as skipped: have <check> <tool...>
have() {
  local check=$1 tool missing=()
  shift
  for tool in "$@"; do
    case $tool in
    /*) [ -e "$tool" ] || missing+=("$tool") ;; # a file a package installs
    *) command -v "$tool" >/dev/null 2>&1 || missing+=("$tool") ;;
    esac
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "SKIP: $check: missing ${missing[*]}"
  skipped+=("$check (${missing[*]})")
  return 1
}

have "every check" cmake g++ || exit 77

# Runs a command quietly, showing its output only when it fails.
quiet() {
  local log="$work/last.log"
  if ! "$@" >"$log" 2>&1; then
    cat "$log"
    return 1
  fi
}

# Runs a command in a fresh folder with AGREEMENT_ENSEMBLE_ISA set: run_path <isa> <folder>
# <command...>. Returns 0 when it ran, 2 (with a note) when the processor lacks that path, 1
# after reporting any other failure.
run_path() {
  local isa=$1 folder=$2
  shift 2
  rm -rf "$folder" && mkdir -p "$folder"
  (cd "$folder" && AGREEMENT_ENSEMBLE_ISA=$isa "$@" >"$work/path.out" 2>&1)
  local status=$?
  if [ "$status" -eq 2 ] && grep -q "can't run that path" "$work/path.out"; then
    echo "   the $isa path: not on this processor"
    return 2
  fi
  [ "$status" -eq 0 ] || { fail "the ${isa:-default} path failed: $*"; return 1; }
}

# Configures and builds the program alone: build <folder> <cmake options...>
build() {
  local dir=$1
  shift
  quiet cmake -S "$src" -B "$work/$dir" -DBUILD_TESTING=OFF -DAGREEMENT_SWEEP_WERROR=ON "$@" &&
    quiet cmake --build "$work/$dir" --parallel "$jobs"
}

# The kernel paths an ensemble program has, widest first, as its help names them:
# kernel_paths <command that runs the program...>
kernel_paths() {
  "$@" --help | sed -n 's/^AGREEMENT_ENSEMBLE_ISA=\([a-z0-9|-]*\) .*/\1/p' | tr '|' ' '
}

# Runs a program in a fresh folder that holds data/1: run_in <folder> <command...>
run_in() {
  local dir=$1
  shift
  rm -rf "$dir" && mkdir -p "$dir/data/1" && (cd "$dir" && "$@")
}

# ---- 1. Compilers and flags --------------------------------------------------------------
# Threads of their own, so the files must not depend on how the seeds were shared out.
ensemble_options=(--seeds 40 --first-seed 77 --threads 3 --coupling 0,0.5,1
  --output ensemble.csv --per-seed seeds.csv)
reference=""
compilers=(g++)
have "the Clang builds" clang++ && compilers+=(clang++)
# The AVX-512 kernel through SIMDe, in place of the native one, on processors without it too.
variants=(debug release native)
simde=/usr/include/simde/x86/avx512.h
have "the emulated AVX-512 kernel" "$simde" && variants+=(emulated)
for compiler in "${compilers[@]}"; do
  for variant in "${variants[@]}"; do
    name="${compiler%++}-$variant" && name=${name/#g-/gcc-}
    case $variant in
      debug) options=(-DCMAKE_BUILD_TYPE=Debug) ;;
      release) options=(-DCMAKE_BUILD_TYPE=Release) ;;
      native) options=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS=-O3 -march=native") ;;
      emulated) options=(-DCMAKE_BUILD_TYPE=Release -DAGREEMENT_ENSEMBLE_EMULATE_AVX512=ON) ;;
    esac
    step "build and run: $name"
    if ! build "$name" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
      "${options[@]}"; then
      fail "$name does not build cleanly"
      continue
    fi
    if ! run_in "$work/tree-$name" "$work/$name/agreement_sweep"; then
      fail "$name: the run failed"
      continue
    fi
    if ! (cd "$work/tree-$name" && "$work/$name/agreement_ensemble" "${ensemble_options[@]}" >"$work/ensemble.out"); then
      fail "$name: the ensemble failed"
      continue
    fi
    # The other kernel paths write the same files.
    for isa in $(kernel_paths "$work/$name/agreement_ensemble"); do
      run_path "$isa" "$work/paths" "$work/$name/agreement_ensemble" "${ensemble_options[@]}" ||
        continue
      for file in ensemble.csv seeds.csv; do
        cmp -s "$work/paths/$file" "$work/tree-$name/$file" ||
          fail "$name: the $isa path writes another $file"
      done
    done
    if [ -z "$reference" ]; then
      reference="$work/tree-$name"
    elif ! diff -r "$reference" "$work/tree-$name" >/dev/null; then
      fail "$name writes different files from ${reference##*/tree-}"
      diff -r "$reference" "$work/tree-$name" | head -n 20
    fi
  done
done

# Every path against the plain one on 3,000 seeds at three couplings, every seed's r, rho and
# bound written in full: the first 2,000 seeds and the last 1,000; the emulated AVX-512 kernel
# too.
step "kernel paths on 3,000 seeds"
for range in "--first-seed 0 --seeds 2000" "--first-seed 4294966296 --seeds 1000"; do
  for build in gcc-release gcc-emulated; do
    [ -x "$work/$build/agreement_ensemble" ] || continue
    for isa in $(kernel_paths "$work/$build/agreement_ensemble" | tr ' ' '\n' | tac); do
      [ "$build" = gcc-release ] || [ "$isa" = avx512-simde ] || continue
      # shellcheck disable=SC2086 # the range is two options
      run_path "$isa" "$work/paths-$build-$isa" "$work/$build/agreement_ensemble" $range \
        --coupling 0,0.35,1 --per-seed seeds.csv || continue
      [ "$isa" != plain ] || continue
      for file in ensemble.csv seeds.csv; do
        cmp -s "$work/paths-$build-$isa/$file" "$work/paths-gcc-release-plain/$file" ||
          fail "$build: the $isa path writes another $file for $range"
      done
    done
  done
done

# ---- 2. Windows program under Wine --------------------------------------------------------
step "build (MinGW-w64, static) and run under Wine"
if have "the Windows build under Wine" x86_64-w64-mingw32-g++ wine; then
  # One Wine prefix (about 700 MB once made) serves every check on this machine; making it takes
  # most of a minute. AGREEMENT_SWEEP_WINEPREFIX chooses another place.
  export WINEPREFIX="${AGREEMENT_SWEEP_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/agreement_sweep/wine}"
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$(dirname "$WINEPREFIX")"
  rm -f "$work/mingw/CMakeCache.txt" # a toolchain file is read only when the cache is new
  if ! build mingw -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release; then
    fail "the MinGW-w64 build does not build cleanly"
  elif [ -z "$reference" ]; then
    fail "no Linux tree to compare the Windows run with"
  else
    exe="$work/mingw/agreement_sweep.exe"
    windows="$work/tree-windows"
    run_in "$windows" wine "$exe" >"$work/wine.out" 2>"$work/wine.err"
    status=$?
    [ "$status" -eq 0 ] || fail "the Windows run exited with status $status: $(cat "$work/wine.err")"
    # The same names as the Linux run, so no trailing blank on the pass files either.
    if ! diff <(cd "$reference" && find data -type f | sort) \
      <(cd "$windows" && find data -type f | sort) >/dev/null; then
      fail "the Windows run wrote other file names"
      diff <(cd "$reference" && find data -type f | sort) <(cd "$windows" && find data -type f | sort) | head
    fi
    crlf_bad=0
    content_bad=0
    while IFS= read -r file; do
      # Every line must end in CR LF, and folding CR LF to LF must give the Linux bytes.
      if grep -q -v $'\r$' "$windows/$file" || [ "$(tail -c 1 "$windows/$file" | od -An -c | tr -d ' ')" != '\n' ]; then
        crlf_bad=$((crlf_bad + 1))
      fi
      if ! cmp -s <(sed 's/\r$//' "$windows/$file") "$reference/$file"; then
        content_bad=$((content_bad + 1))
      fi
    done < <(cd "$reference" && find data -type f)
    [ "$crlf_bad" -eq 0 ] || fail "$crlf_bad Windows files have lines without CR LF"
    [ "$content_bad" -eq 0 ] || fail "$content_bad Windows files differ from the Linux run"
    echo "   $(cd "$windows" && find data -type f | wc -l) files checked against the Linux run"

    # The ensemble writes its files byte for byte as on Linux (LF line ends on every system),
    # on every path, and on the emulated AVX-512 kernel of a build of its own.
    windows_ensembles=("$work/mingw/agreement_ensemble.exe")
    if [ -e "$simde" ]; then
      rm -f "$work/mingw-emulated/CMakeCache.txt"
      if build mingw-emulated -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DAGREEMENT_ENSEMBLE_EMULATE_AVX512=ON; then
        windows_ensembles+=("$work/mingw-emulated/agreement_ensemble.exe")
      else
        fail "the MinGW-w64 build with the emulated AVX-512 kernel does not build cleanly"
      fi
    fi
    for program in "${windows_ensembles[@]}"; do
      for isa in "" $(kernel_paths wine "$program"); do
        run_path "$isa" "$work/paths-windows" wine "$program" "${ensemble_options[@]}" || continue
        for file in ensemble.csv seeds.csv; do
          cmp -s "$work/paths-windows/$file" "$reference/$file" ||
            fail "the Windows ensemble's $file differs on path '${isa:-default}' (${program#"$work"/})"
        done
      done
    done

    # A missing data\1 stops the run with status 1 and a message naming the file.
    rm -rf "$work/tree-windows-missing" && mkdir -p "$work/tree-windows-missing/data"
    (cd "$work/tree-windows-missing" && wine "$exe") >"$work/wine.out" 2>"$work/wine.err"
    status=$?
    expected='agreement_sweep: cannot open data\1\sign_1 for writing: No such file or directory; create the folder data\1 first'
    [ "$status" -eq 1 ] || fail "a missing data\\1 gave status $status under Wine, not 1"
    grep -q -F -x "$expected" <(tr -d '\r' <"$work/wine.err") ||
      fail "a missing data\\1 gave another message under Wine: $(cat "$work/wine.err")"
  fi
fi

# ---- 2b. 64-bit ARM under qemu -------------------------------------------------------------
step "build for aarch64 (Clang, lld, Debian's arm64 libraries) and run under qemu"
if have "the aarch64 build under qemu" clang++ ld.lld qemu-aarch64-static \
  /usr/aarch64-linux-gnu/lib/libc.a /usr/aarch64-linux-gnu/include/c++/12 \
  /usr/src/googletest/CMakeLists.txt; then
  rm -f "$work/aarch64/CMakeCache.txt" # a toolchain file is read only when the cache is new
  # With the AVX-512 kernel through SIMDe on the ARM vector unit, where SIMDe is installed.
  arm_options=()
  [ -e "$simde" ] && arm_options+=(-DAGREEMENT_ENSEMBLE_EMULATE_AVX512=ON)
  if ! quiet cmake -S "$src" -B "$work/aarch64" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DAGREEMENT_SWEEP_WERROR=ON "${arm_options[@]}" ||
    ! quiet cmake --build "$work/aarch64" --parallel "$jobs"; then
    fail "the aarch64 build does not build cleanly"
  elif [ -z "$reference" ]; then
    fail "no x86 tree to compare the aarch64 run with"
  else
    arm=(qemu-aarch64-static -L /usr/aarch64-linux-gnu)
    if ! run_in "$work/tree-aarch64" "${arm[@]}" "$work/aarch64/agreement_sweep" ||
      ! (cd "$work/tree-aarch64" && "${arm[@]}" "$work/aarch64/agreement_ensemble" \
        "${ensemble_options[@]}" >"$work/ensemble.out"); then
      fail "the aarch64 programs failed under qemu"
    elif ! diff -r "$reference" "$work/tree-aarch64" >/dev/null; then
      fail "the aarch64 programs write different files from ${reference##*/tree-}"
      diff -r "$reference" "$work/tree-aarch64" | head -n 20
    fi
    # The test suite on the target, the end-to-end tests starting the programs under qemu;
    # not the install and plot tests, which start the programs directly.
    if ! quiet ctest --test-dir "$work/aarch64" --label-exclude portability \
      --exclude-regex '^(install|plot)$' --parallel "$jobs" --output-on-failure; then
      fail "the test suite fails on aarch64"
    fi
  fi
fi

# ---- 2c. 32-bit x86 under qemu -----------------------------------------------------------
# Where excess precision lives (x87), under qemu; configured with a user's flags, so that the
# Python module, whose headers fit only the 64-bit interpreter, is left out with one line.
step "build for 32-bit x86 (GCC -m32, static) and run under qemu"
lib32cxx=$(g++ -m32 -print-file-name=libstdc++.a 2>/dev/null)
[[ $lib32cxx == /* ]] || lib32cxx="/usr/lib/gcc/x86_64-linux-gnu/$(g++ -dumpversion)/32/libstdc++.a"
if have "the 32-bit x86 build under qemu" qemu-i386-static objdump /usr/lib32/libc.a "$lib32cxx"; then
  i386="$work/i386"
  rm -rf "$i386" # a fresh tree, so that nothing left from another configure passes for the module
  if ! cmake -S "$src" -B "$i386" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DAGREEMENT_SWEEP_WERROR=ON -DCMAKE_CXX_FLAGS=-m32 "-DCMAKE_EXE_LINKER_FLAGS=-m32 -static" \
    >"$work/i386-configure.log" 2>&1; then
    cat "$work/i386-configure.log"
    fail "the 32-bit x86 build does not configure"
  elif ! quiet cmake --build "$i386" --parallel "$jobs"; then
    fail "the 32-bit x86 build does not build cleanly"
  else
    # One line says why the module is left out: the pointer size, or the headers missing.
    why=$(grep -E '^-- (The Python module is left out|pybind11 or the Python headers not found)' \
      "$work/i386-configure.log")
    if [ "$(grep -c . <<<"$why")" -ne 1 ] ||
      [[ $why != *" is a 64-bit interpreter and this build is 32-bit" &&
        $why != "-- pybind11 or the Python headers not found"* ]]; then
      fail "configuring the 32-bit x86 build doesn't say once why the Python module is left out"
    fi
    ! compgen -G "$i386/python/agreement_sweep*" >/dev/null ||
      fail "the 32-bit x86 build has a Python module the 64-bit interpreter can't load"
    # No double arithmetic on the x87 unit: fadds alone is allowed, with which a 64-bit
    # unsigned integer becomes a double (it adds 2^64 to the exact integer, rounded once).
    mapfile -t libraries < <(find "$i386" -name 'libagreement_*.a')
    [ "${#libraries[@]}" -ge 10 ] || fail "the 32-bit x86 build's libraries are not where expected"
    x87=$(objdump -d --no-show-raw-insn "${libraries[@]}" |
      awk '{print $2}' | grep -E '^f(i?(add|sub|subr|mul|div|divr)[lps]?|sqrt|rndint|scale|prem1?)$' |
      grep -c -v -x fadds)
    [ "$x87" -eq 0 ] || fail "the 32-bit x86 libraries do $x87 operations on the x87 unit"
    # The one-shot run against the recorded sums, the ensemble on every path against x86-64's.
    x86_32=(qemu-i386-static)
    if ! run_in "$work/tree-i386" "${x86_32[@]}" "$i386/agreement_sweep"; then
      fail "the 32-bit x86 run failed under qemu"
    elif ! (cd "$work/tree-i386" && sha256sum --quiet -c "$src/tests/golden/run.sha256") ||
      [ "$(cd "$work/tree-i386" && find data -type f | wc -l)" -ne "$(wc -l <"$src/tests/golden/run.sha256")" ]; then
      fail "the 32-bit x86 run writes other files than tests/golden/run.sha256 records"
    fi
    if [ -z "$reference" ]; then
      fail "no x86-64 tree to compare the 32-bit x86 ensemble with"
    else
      paths=$(kernel_paths "${x86_32[@]}" "$i386/agreement_ensemble")
      echo "   the 32-bit x86 ensemble's paths: $paths"
      for isa in "" $paths; do
        run_path "$isa" "$work/paths-i386" "${x86_32[@]}" "$i386/agreement_ensemble" \
          "${ensemble_options[@]}" || continue
        for file in ensemble.csv seeds.csv; do
          cmp -s "$work/paths-i386/$file" "$reference/$file" ||
            fail "the 32-bit x86 ensemble's $file differs from x86-64's on path '${isa:-default}'"
        done
      done
    fi
  fi
fi

# ---- 3. Sanitizers -------------------------------------------------------------------------
step "test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
if ! quiet cmake -S "$src" -B "$work/sanitize" -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON \
  -DAGREEMENT_SWEEP_SANITIZE=ON || ! quiet cmake --build "$work/sanitize" --parallel "$jobs"; then
  fail "the sanitizer build does not build"
elif ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  quiet ctest --test-dir "$work/sanitize" --label-exclude portability --parallel "$jobs" \
  --output-on-failure; then
  fail "the test suite is not clean under the sanitizers"
fi
# The sanitizers given in the compiler flags instead of the option: the program links
# dynamically, as their runtimes need, configuring says so once, and the run is clean.
step "the one-shot program with -fsanitize=address,undefined in CMAKE_CXX_FLAGS"
if ! cmake --fresh -S "$src" -B "$work/sanitize-flags" -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=OFF \
  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all" \
  >"$work/sanitize-flags.log" 2>&1 ||
  ! quiet cmake --build "$work/sanitize-flags" --parallel "$jobs" --target agreement_sweep; then
  cat "$work/sanitize-flags.log"
  fail "a build with the sanitizers in CMAKE_CXX_FLAGS does not build"
else
  [ "$(grep -c -- '^-- -fsanitize in the compiler or linker flags: the programs link dynamically' \
    "$work/sanitize-flags.log")" -eq 1 ] ||
    fail "configuring with the sanitizers in CMAKE_CXX_FLAGS doesn't say once that it links dynamically"
  if ! ASAN_OPTIONS=detect_leaks=1 run_in "$work/tree-sanitize-flags" \
    "$work/sanitize-flags/agreement_sweep" ||
    ! (cd "$work/tree-sanitize-flags" && sha256sum --quiet -c "$src/tests/golden/run.sha256"); then
    fail "the run with the sanitizers in CMAKE_CXX_FLAGS is not clean"
  fi
fi

# ---- 4. Static analysis --------------------------------------------------------------------
step "clang-tidy"
# clang-tidy reads the compile commands of a build of its own.
mapfile -t sources < <(cd "$src" && find src -name '*.cpp' | sort)
if ! have "clang-tidy" clang-tidy clang++; then
  :
elif ! quiet cmake -S "$src" -B "$work/tidy" -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON; then
  fail "clang-tidy's build does not configure"
elif ! (cd "$src" && quiet clang-tidy -p "$work/tidy" --quiet --warnings-as-errors='*' \
  --header-filter="^$src/(include|src)/" \
  "${sources[@]}"); then
  fail "clang-tidy reports findings"
fi
step "cppcheck"
if ! have "cppcheck" cppcheck; then
  :
elif ! (cd "$src" && quiet cppcheck --quiet --std=c++17 --language=c++ --error-exitcode=1 \
  --enable=warning,style,performance,portability --inline-suppr \
  --suppress=missingIncludeSystem -I include $(printf -- '-I %s ' src/*/ src/ensemble/*/) src include); then
  fail "cppcheck reports findings"
fi

if [ "$failures" -gt 0 ]; then
  echo "portability check: $failures failure(s)"
  exit 1
fi
if [ "${#skipped[@]}" -gt 0 ]; then
  echo "portability check: what ran is clean; skipped for missing tools: ${skipped[*]}"
  echo "install: apt-get install g++-mingw-w64-x86-64 wine wine64 clang clang-tidy cppcheck" \
    "libc6-dev-arm64-cross libstdc++-12-dev-arm64-cross libgcc-12-dev-arm64-cross lld" \
    "qemu-user-static libsimde-dev gcc-multilib g++-multilib"
  exit 77
fi
echo "portability check: every tree is identical and every check is clean"
