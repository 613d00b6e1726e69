#!/usr/bin/env bash
# Usage: bash scripts/gallery-terminal.sh [OUT_DIR]
#
# The terminal front end's pictures for docs/gallery.md: the setup program
# of the normal build runs in tmux at 80x24 on a fresh prefix with the demo
# package in D:, is answered with keys, and each screen is kept as a PNG
# drawn from the cells and their colours (scripts/screen_mvg.cpp, compiled
# here, then ImageMagick's convert, in DejaVu Sans Mono).
#
#   bash scripts/gallery-terminal.sh [OUT_DIR]      (default docs/screens)
#
# BUILD_ROOT (default build/) is where the normal build lies.
if [[ ${1:-} == -h || ${1:-} == --help ]]; then  # the comment above, and nothing else
  while IFS= read -r l; do [[ $l == '#!'* ]] && continue; [[ $l == '#'* ]] || break; l=${l#'#'}; echo "${l# }"; done <"$0"
  exit 0
fi
set -euo pipefail
case ${1:-} in -*) echo "gallery-terminal: unknown option '$1' (--help says what it takes)" >&2; exit 2 ;; esac
[ $# -le 1 ] || { echo "gallery-terminal: one OUT_DIR at most (--help says what it takes)" >&2; exit 2; }
cd "$(dirname "$0")/.."
build=${BUILD_ROOT:-$PWD/build}/gcc
out=$(realpath -m "${1:-docs/screens}")
package=$(realpath "$build/demo/package")
font=/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf
for need in "$package/setup" "$build/tools/w32prefix/w32prefix"; do
  [ -x "$need" ] || { echo "gallery-terminal: $need is missing: build first (ninja -C $build)" >&2; exit 1; }
done
command -v convert >/dev/null && convert -version 2>/dev/null | grep -q ImageMagick ||
  { echo "gallery-terminal: ImageMagick's convert is needed (scripts/packages.txt)" >&2; exit 1; }
[ -f "$font" ] || { echo "gallery-terminal: $font is missing (fonts-dejavu-core)" >&2; exit 1; }

work=$(mktemp -d)
sock="qv-gallery-$$"
tm() { tmux -L "$sock" "$@"; }
trap 'tm kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
export LANG=C.UTF-8
mkdir -p "$out" "$work/prefix"
mvg="$work/screen_mvg"
c++ -std=c++17 -O2 -Wall -Wextra -Werror -o "$mvg" scripts/screen_mvg.cpp
W32_PREFIX=$work/prefix "$build/tools/w32prefix/w32prefix" drive d: "$package" --speed 100000 >/dev/null
tm new-session -d -s keep "sleep 600"
tm new-session -d -s t -x 80 -y 24 "cd '$package' && W32_PREFIX='$work/prefix' ./setup; sleep 30"

wait_for() {
  for _ in $(seq 100); do
    tm capture-pane -p -t t | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  echo "gallery-terminal: the screen never showed: $1" >&2
  exit 1
}
# Keeps the screen as OUT_DIR/term-NAME.png.
shot() {
  sleep 0.3
  tm capture-pane -e -p -t t | "$mvg" 80 24 "$font" >"$work/screen.mvg"
  convert "mvg:$work/screen.mvg" "$out/term-$1.png"
  echo "$out/term-$1.png"
}

wait_for "Welcome to Quorvel!"
shot welcome
tm send-keys -t t Enter
wait_for "Here's what you need:"
shot introduction
tm send-keys -t t Enter
wait_for "Quorvel directory:"
shot directory
tm send-keys -t t foo Enter
wait_for "There are only 0.0 MBs"
shot no-drive
tm send-keys -t t Enter
wait_for "[foo "
tm send-keys -t t Home S-End 'c:\dunmere' Enter
wait_for "Installing Quorvel..."
wait_for "█"
shot progress
tm send-keys -t t Enter
wait_for "Are you sure you want to cancel installation?"
shot cancel
tm send-keys -t t y
