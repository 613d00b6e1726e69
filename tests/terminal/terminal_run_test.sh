#!/usr/bin/env bash
# The setup program in a real terminal (tmux, 80x24): the demo package from
# D:, answered with keys, each screen checked at its places; the recorded
# answer file replayed to the same transcript; the three floppies with the
# disks changed from the media menu; Ctrl-C and a crash giving the
# terminal back.
#
#   terminal_run_test.sh BUILD_DIR
set -euo pipefail
build=$1
w32prefix="$build/tools/w32prefix/w32prefix"
package=$(realpath "$build/demo/package")
floppy=$(realpath "$build/demo/floppy")
work=$(mktemp -d)
sock="qv-terminal-$$"
tm() { tmux -L "$sock" "$@"; }
trap 'tm kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
export LANG=C.UTF-8
# A session of its own keeps the server up while the test's sessions come
# and go (a server left without sessions exits, under a new one's feet).
tm new-session -d -s keep "sleep 600"

fail() {
  echo "FAILED: $*" >&2
  echo "--- screen:" >&2
  tm capture-pane -p -t t >&2 || true
  exit 1
}
screen() { tm capture-pane -p -t t; }
keys() { tm send-keys -t t "$@"; }
# Waits (up to SECONDS, default 10) until the screen shows TEXT.
wait_for() {
  for _ in $(seq $((${2:-10} * 10))); do
    screen | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  fail "the screen never showed: $1"
}
# The screen shows TEXT at ROW, COL (from 0).
at() {
  local line
  line=$(screen | sed -n "$(($1 + 1))p")
  [ "${line:$2:${#3}}" = "$3" ] || fail "expected \"$3\" at row $1, column $2; the row is: $line"
}
# A fresh prefix with the package's drive: D: a CD, or A: holding disk 1.
fresh_prefix() {  # PREFIX d:|a:
  rm -rf "$1" && mkdir -p "$1"
  if [ "$2" = d: ]; then
    W32_PREFIX=$1 "$w32prefix" drive d: "$package" --speed 150000 >/dev/null
  else
    W32_PREFIX=$1 "$w32prefix" drive a: "$floppy/disk1" >/dev/null
  fi
}
# Runs setup from the package's drive in the terminal.
run_setup() {  # PREFIX d:|a: EXTRA-ENVIRONMENT...
  local prefix=$1 dir=$package
  [ "$2" = a: ] && dir=$floppy/disk1
  fresh_prefix "$prefix" "$2"
  shift 2
  tm kill-session -t t 2>/dev/null || true
  tm new-session -d -s t -x 80 -y 24 \
    "cd '$dir' && env W32_PREFIX='$prefix' $* ./setup; echo EXIT=\$?; sleep 30"
}
# Replays an answer file on a fresh prefix; its transcript without progress lines.
replay() {  # ANSWERS d:|a: TRANSCRIPT
  local prefix="$work/replay" dir=$package
  [ "$2" = a: ] && dir=$floppy/disk1
  fresh_prefix "$prefix" "$2"
  (cd "$dir" && W32_PREFIX=$prefix W32_ANSWERS=$1 W32_TRANSCRIPT=$3 ./setup </dev/null >/dev/null 2>&1) ||
    fail "the replay of $1 failed: $(cat "$1")"
  grep -v '^progress' "$3"
}

# ---- The whole wizard by keys --------------------------------------------
prefix="$work/prefix"
run_setup "$prefix" d: W32_TRANSCRIPT="$work/run.log" W32_RECORD="$work/run.answers"

# Welcome: 78 x 17 cells in its frame, centred; the picture; OK focused.
wait_for "Welcome to Quorvel!"
at 2 1 "Welcome to Quorvel!"
at 20 0 "└"
at 20 79 "┘"
at 4 3 "▀▀▀▀"
at 18 37 "[>OK<]"
at 23 0 " Tab focus"
screen | grep -q "F4 close.*F2 media" || fail "the bottom line names no close and media keys"
# A larger terminal: redrawn, still centred.
tm resize-window -t t -x 100 -y 30
sleep 0.5
at 5 11 "Welcome to Quorvel!"
at 23 10 "└"
tm resize-window -t t -x 80 -y 24
sleep 0.5
at 2 1 "Welcome to Quorvel!"
keys o  # the underlined letter alone

# Introduction: wrapped texts, Next (default) focused.
wait_for "Here's what you need:"
at 0 14 "Quorvel Installation"
at 2 16 "Quorvel provides a top-quality, easy-to-use"
at 13 18 "diskettes/CD)"
at 19 29 "[>Next ><]  [ Cancel ]"
at 21 13 "└"
keys Escape  # command 2: nothing happens
keys F4
sleep 0.5
at 19 29 "[>Next ><]"
keys Enter

# Directory: the field with its text and the cursor at its end.
wait_for "Quorvel directory:"
at 13 19 "[c:\\dunmere "
[ "$(tm display -p -t t '#{cursor_x},#{cursor_y}')" = "30,13" ] || fail "the cursor is not at the end of the field"
at 16 23 "[ < Back ]  [ Next > ]  [ Cancel ]"
keys M-b  # Alt+B: Back
wait_for "Here's what you need:"
keys Enter
wait_for "Quorvel directory:"
keys Tab
at 16 23 "[ < Back ]  [>Next ><]  [ Cancel ]"
keys BTab foo Enter  # the field's text is selected as the focus comes to it: typing replaces it

# The free-space refusal: a box over the dialog, OK focused.
wait_for "There are only 0.0 MBs free on drive foo\\."
screen | grep -qF "(X)  There are only" || fail "no error icon"
screen | grep -qF "[>  OK  <]" || fail "OK is not focused"
keys Enter
wait_for "[foo "
keys Home Delete Delete Delete 'c:\dunmere' Enter

# Progress: the bar fills its row with the percentage; Cancel answered No.
wait_for "Installing Quorvel..."
at 9 30 "Installing Quorvel..."
wait_for "█"
screen | sed -n 11p | grep -qE '^ +│  [█░]+ [0-9]+% [█░]+  │$' || fail "no progress row"
at 13 35 "[>Cancel<]"
keys Enter
wait_for "Are you sure you want to cancel installation?"
screen | grep -qF "(?)" || fail "no question icon"
screen | grep -qF "[> Yes  <]  [   No   ]" || fail "no Yes/No buttons with Yes focused"
keys n
wait_for "EXIT=0" 60
[ "$(tm display -p -t t '#{alternate_on}')" = 0 ] || fail "the screen was not given back"

# What the run did, and its transcript.
[ -f "$prefix/drive_c/dunmere/quorvel/quorvel.exe" ] || fail "quorvel.exe not installed"
grep -q "^Item1=Registration & Utilities|c:\\\\dunmere\\\\quorvel\\\\quorvel.exe" "$prefix/progman/groups.ini" ||
  fail "no Program Manager item"
W32_PREFIX=$prefix "$w32prefix" reg query 'HKLM\Software\DunmereNetwork\Quorvel' MainDir | grep -q 'REG_SZ    c:\\dunmere$' ||
  fail "no MainDir in the registry"
grep -v '^progress' "$work/run.log" >"$work/run.events"
expected='dialog id=4 event=press control=201
dialog id=1 event=press control=2
dialog id=1 event=press control=2
dialog id=1 event=press control=201
dialog id=2 event=press control=202 edit101="c:\\dunmere"
dialog id=1 event=press control=201
dialog id=2 event=press control=201 edit101="foo"
dialog id=2 event=press control=201 edit101="c:\\dunmere"
dialog id=3 event=press control=203
message caption="Quorvel Installation" text="Are you sure you want to cancel installation?" icon=MB_ICONQUESTION buttons=MB_YESNO answer=No
dialog id=3 event=end'
[ "$(grep -E 'press control|answer=No|id=3 event=end' "$work/run.events")" = "$expected" ] ||
  fail "the transcript differs: $(cat "$work/run.events")"

# ---- The recorded answer file replays to the same transcript -------------
diff "$work/run.events" <(replay "$work/run.answers" d: "$work/replay.log") || fail "the replay's transcript differs"

# ---- The three floppies, the disks changed from the media menu -----------
run_setup "$work/prefix3" a: W32_TRANSCRIPT="$work/floppy.log" W32_RECORD="$work/floppy.answers"
wait_for "Welcome to Quorvel!"
keys Enter
wait_for "Here's what you need:"
keys Enter
wait_for "Quorvel directory:"
keys Enter
for disk in 2 3; do
  wait_for "Please insert the disk labeled \"Quorvel Disk #$disk\"."
  keys F2
  wait_for "Media (removable drives)"
  screen | grep -qF "> A:  $floppy/disk$((disk - 1))" || fail "A: is not listed with disk $((disk - 1))"
  keys i
  wait_for "Directory: $floppy/disk$((disk - 1))"
  keys BSpace "$disk" Enter
  wait_for "a: now holds $floppy/disk$disk"
  keys Escape
  sleep 0.3
  keys Enter
done
wait_for "EXIT=0" 60
[ "$(grep -c "^insert a: \"$floppy/disk[23]\"$" "$work/floppy.answers")" = 2 ] ||
  fail "the disk changes were not recorded: $(cat "$work/floppy.answers")"
diff <(grep -v '^progress' "$work/floppy.log") <(replay "$work/floppy.answers" a: "$work/replay.log") ||
  fail "the floppy replay's transcript differs"

# ---- Ctrl-C ends the program and gives the terminal back -----------------
run_setup "$work/prefix2" d:
wait_for "Welcome to Quorvel!"
[ "$(tm display -p -t t '#{alternate_on}')" = 1 ] || fail "no full-screen display"
keys C-c
wait_for "EXIT=130"
[ "$(tm display -p -t t '#{alternate_on}')" = 0 ] || fail "Ctrl-C left the screen taken"
# ---- A crash gives the terminal back too ----------------------------------
run_setup "$work/prefix2" d:
wait_for "Welcome to Quorvel!"
kill -SEGV "$(pgrep -P "$(tm display -p -t t '#{pane_pid}')" -x setup)"
wait_for "EXIT=139"
[ "$(tm display -p -t t '#{alternate_on}')" = 0 ] || fail "the crash left the screen taken"
echo "terminal run: ok"
