#!/usr/bin/env bash
# Usage: bash scripts/gallery-wine.sh [OUT_DIR]
#
# The Wine pictures for docs/gallery.md: the Wine suite's scenarios run
# setup.exe under Wine through its driver (ctest in the normal build), and
# the driver keeps a PNG of each dialog and message box once it has painted
# itself, as it waits for its answer (BUILD/wine-screens/SCENARIO/NN-KIND.png);
# the ones the gallery shows are copied to OUT_DIR (default docs/screens) as
# wine-NAME.png.  The progress dialog is the cancel scenario's, which reads
# from a slow drive: on a fast one the copy is over before the picture
# settles, and it would show the last status text over a bar that has not
# caught up with it.
#
# BUILD_ROOT (default build/) is where the normal build lies; it needs
# MinGW-w64, Wine and Xvfb (scripts/packages.txt), and root for the
# free-space scenario's small drive.
if [[ ${1:-} == -h || ${1:-} == --help ]]; then  # the comment above, and nothing else
  while IFS= read -r l; do [[ $l == '#!'* ]] && continue; [[ $l == '#'* ]] || break; l=${l#'#'}; echo "${l# }"; done <"$0"
  exit 0
fi
set -euo pipefail
case ${1:-} in -*) echo "gallery-wine: unknown option '$1' (--help says what it takes)" >&2; exit 2 ;; esac
[ $# -le 1 ] || { echo "gallery-wine: one OUT_DIR at most (--help says what it takes)" >&2; exit 2; }
cd "$(dirname "$0")/.."
build=${BUILD_ROOT:-$PWD/build}/gcc
out=$(realpath -m "${1:-docs/screens}")
shots=$build/wine-screens
[ -f "$build/CTestTestfile.cmake" ] || { echo "gallery-wine: no build in $build: build first (ninja -C $build)" >&2; exit 1; }

# Each picture: its name in the gallery, the scenario and the driver's shot.
pictures='welcome      fresh     01-dialog4
introduction fresh     02-dialog1
directory    fresh     03-dialog2
no-drive     refusals  05-message
too-long     refusals  06-message
progress     cancel    04-dialog3
cancel       cancel    05-message
insert-disk  floppy    05-message
retry        floppy    06-message
upgrade      upgrade   05-message
damaged      damaged   05-message
free-space   freespace 04-message'
scenarios=$(echo "$pictures" | awk '{ print $2 }' | sort -u | paste -sd'|')
echo "gallery-wine: running the Wine suite's scenarios ($scenarios) through the driver"
ctest --test-dir "$build" --output-on-failure -R "^wine_($scenarios)\$" ||
  { echo "gallery-wine: the scenarios did not all pass (above); no picture copied" >&2; exit 1; }
mkdir -p "$out"
while read -r name scenario shot; do
  [ -f "$shots/$scenario/$shot.png" ] ||
    { echo "gallery-wine: the $scenario scenario left no $shot.png in $shots/$scenario" >&2; exit 1; }
  cp "$shots/$scenario/$shot.png" "$out/wine-$name.png"
  echo "$out/wine-$name.png  ($scenario, $shot)"
done <<<"$pictures"
