#!/usr/bin/env bash
# Usage: bash scripts/run-tests.sh
#
# Builds and runs the whole test suite:
#   1. the g++ build (warnings are errors), which also cross-compiles the
#      product and setup.exe for x86_64 and i686 Windows when MinGW-w64 is
#      there, and every unit and scenario test, the Wine suite (label wine)
#      among them;
#   2. a clang build with AddressSanitizer and UndefinedBehaviorSanitizer,
#      running the same tests but the Wine suite;
#   3. a clang ThreadSanitizer build of the tests labelled "tsan";
#   4. the libFuzzer targets, each for FUZZ_SECONDS (default 60).
# The g++ test run comes last so that its summary closes the output.
# The Debian packages all this needs (scripts/packages.txt) are checked
# first: installed when run as root, else named. Suites that cannot run on
# this machine still say so by name and are skipped.
# FUZZ_SECONDS (default 60), JOBS (default 2) and BUILD_ROOT (default
# build/) set the time per fuzz target, the build parallelism and where
# the builds go.
if [[ ${1:-} == -h || ${1:-} == --help ]]; then  # the comment above, and nothing else
  while IFS= read -r l; do [[ $l == '#!'* ]] && continue; [[ $l == '#'* ]] || break; l=${l#'#'}; echo "${l# }"; done <"$0"
  exit 0
fi
set -euo pipefail
[ $# -eq 0 ] || { echo "run-tests: unknown argument '$1' (it takes none; --help says what it does)" >&2; exit 2; }
cd "$(dirname "$0")/.."
bash scripts/need-packages.sh
root=$PWD
jobs=${JOBS:-2}
fuzz_seconds=${FUZZ_SECONDS:-60}
out=${BUILD_ROOT:-$root/build}

began=$SECONDS
step() { printf '\n== %s (at %d s)\n' "$*" $((SECONDS - began)); }
have() { command -v "$1" >/dev/null 2>&1; }

step "g++ build"
cmake -S . -B "$out/gcc" -G Ninja -DQV_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$out/gcc" -j"$jobs"

if have clang++; then
  step "clang build with AddressSanitizer and UndefinedBehaviorSanitizer"
  CC=clang CXX=clang++ cmake -S . -B "$out/asan" -G Ninja -DQV_WERROR=ON -DQV_BENCH=OFF -DQV_WINDOWS_BUILDS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" >/dev/null
  ninja -C "$out/asan" -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$out/asan" --output-on-failure -j"$jobs" -LE 'tsan|wine'

  step "clang build with ThreadSanitizer (tests labelled tsan)"
  CC=clang CXX=clang++ cmake -S . -B "$out/tsan" -G Ninja -DQV_WERROR=ON -DQV_BENCH=OFF -DQV_WINDOWS_BUILDS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS=-fsanitize=thread" \
    "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread" >/dev/null
  ninja -C "$out/tsan" -j"$jobs"
  if ctest --test-dir "$out/tsan" -N -L tsan | grep -q 'Total Tests: [1-9]'; then
    TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$out/tsan" --output-on-failure -L tsan
  else
    echo "no tests labelled tsan yet"
  fi

  step "fuzz targets, ${fuzz_seconds}s each"
  CC=clang CXX=clang++ cmake -S . -B "$out/fuzz" -G Ninja -DQV_WERROR=ON -DQV_FUZZ=ON -DQV_TESTS=OFF \
    -DQV_BENCH=OFF -DQV_WINDOWS_BUILDS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fsanitize=fuzzer-no-link -fno-sanitize-recover=undefined" >/dev/null
  ninja -C "$out/fuzz" -j"$jobs"
  for target in "$out"/fuzz/fuzz/*_fuzz; do
    name=$(basename "$target")
    corpus="$out/fuzz/corpus/$name"
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/seeds/${name%_fuzz}" ] && seeds=("fuzz/seeds/${name%_fuzz}")
    echo "-- $name"
    log="$out/fuzz/$name.log"
    if (cd "$out/fuzz" && "$target" -max_total_time="$fuzz_seconds" -print_final_stats=0 "$corpus" "${seeds[@]/#/$root/}" >"$log" 2>&1); then
      tail -n 3 "$log"
    else
      # What the target said before it stopped, without the stack's frames.
      grep -v '^ *#[0-9]' "$log" | tail -n 25
      echo "FAILED: $name (its whole output: $log)"
      exit 1
    fi
  done
else
  step "SKIPPED: sanitizer builds and fuzz targets (clang++ not installed)"
fi

step "g++ tests"
ctest --test-dir "$out/gcc" --output-on-failure -j"$jobs"
step "done"
