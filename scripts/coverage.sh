#!/usr/bin/env bash
# Usage: bash scripts/coverage.sh [--report]
#
# Line coverage of the whole suite: the product (src/install, src/config,
# src/wizard, src/dcl, src/common), the Linux Win32 layer (src/platform and the headers in src/win32,
# with its terminal suite run), the answer-file code the layer shares with
# setup.exe (src/automation, its Linux part), and the tools (tools/). A g++ --coverage build in BUILD_ROOT/coverage runs every test
# but the Wine suite (which runs setup.exe, not this build's code); about
# ten minutes on two cores. For figures to compare, start from an empty
# BUILD_ROOT/coverage, so that the build runs its generators again.
#   bash scripts/coverage.sh           build, run, print the figures
#   bash scripts/coverage.sh --report  print the figures of the last run again
if [[ ${1:-} == -h || ${1:-} == --help ]]; then  # the comment above, and nothing else
  while IFS= read -r l; do [[ $l == '#!'* ]] && continue; [[ $l == '#'* ]] || break; l=${l#'#'}; echo "${l# }"; done <"$0"
  exit 0
fi
set -euo pipefail
case ${1:-} in "" | --report) ;; *) echo "coverage: unknown argument '$1' (--report, or --help)" >&2; exit 2 ;; esac
cd "$(dirname "$0")/.."
bash scripts/need-packages.sh
out=${BUILD_ROOT:-$PWD/build}/coverage
jobs=${JOBS:-2}
if [ "${1:-}" != --report ]; then
  cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQV_WINDOWS_BUILDS=OFF -DQV_BENCH=OFF \
    "-DCMAKE_CXX_FLAGS=--coverage -fprofile-update=atomic -O0" "-DCMAKE_EXE_LINKER_FLAGS=--coverage" >/dev/null
  # The counts start at the build, so the build's own runs of the tools
  # (rcgen on res/setup.rc, bmpgen, the demo package) count as they run.
  find "$out" -name '*.gcda' -delete
  ninja -C "$out" -j"$jobs"
  # demo_package checks the shipped demo's byte total, which a program built
  # for coverage (larger) does not keep.
  ctest --test-dir "$out" -j"$jobs" -LE wine -E '^demo_package$' --output-on-failure >"$out/ctest.log" 2>&1 ||
    { tail -n 30 "$out/ctest.log"; echo "coverage: some tests failed (see $out/ctest.log)"; exit 1; }
fi
figure() {
  local name=$1
  shift
  local filters=()
  for d in "$@"; do filters+=(--filter "$PWD/$d/"); done
  gcovr --root "$PWD" --object-directory "$out" "${filters[@]}" --print-summary --gcov-ignore-parse-errors \
    -o "$out/coverage-$(echo "$name" | cut -d' ' -f1).txt" 2>/dev/null |
    awk -v name="$name" '/^lines:/ { sub(/^lines: */, ""); print name ": " $0 }'
}
figure "product (src/install, src/config, src/wizard, src/dcl, src/common)" src/install src/config src/wizard src/dcl src/common
figure "platform layer (src/platform, src/win32)" src/platform src/win32
figure "answer files and transcripts (src/automation, as the Linux build has it)" src/automation
figure "tools (tools/)" tools
