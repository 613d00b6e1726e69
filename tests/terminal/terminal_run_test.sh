#!/usr/bin/env bash
# The setup program in a real terminal (tmux, 80x24): the demo package from
# D:, answered with keys and mouse clicks, each screen checked at its
# places; the recorded answer file replayed to the same transcript; the
# three floppies with the disks changed from the media menu; a terminal
# smaller than the dialogs; Ctrl-C and a crash giving the terminal back.
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
# Row ROW holds nothing between the dialog's side lines.
blank_row() {
  local line
  line=$(screen | sed -n "$(($1 + 1))p")
  [[ "$line" =~ ^\ *│\ +│\ *$ ]] || fail "row $1 is not blank inside the frame: $line"
}
# TEXT is drawn as the focused button is (on blue), and OTHER (when given)
# is not: the colours in force where the last few characters of each
# begin (those after its underlined letter), from the screen with its
# attributes.
focused() {
  local n row
  n=$(screen | grep -nF -- "$1" | head -1 | cut -d: -f1)
  [ -n "$n" ] || fail "no $1 on the screen"
  row=$(tm capture-pane -e -p -t t | sed -n "${n}p")
  colours() {
    local tail_len=$((${#1} - 4 < 5 ? ${#1} - 4 : 5))
    printf %s "${row%%"${1: -$tail_len}"*}" | grep -o $'\e\\[[0-9;]*m' | tail -3 | tr -d '\n'
  }
  [[ "$(colours "$1")" == *"[44m"* ]] || fail "$1 is not shown focused: $(printf %q "$row")"
  if [ -n "${2:-}" ] && [[ "$(colours "$2")" == *"[44m"* ]]; then
    fail "$2 is shown focused too: $(printf %q "$row")"
  fi
  return 0
}
# The first mouse button going down (press) or up (release) at ROW, COL,
# as a terminal reports it; a click is the two.
mouse_at() {  # ' ' press, '#' release
  keys -l "$(printf "\e[M$1$(printf '\\x%x\\x%x' $((33 + $3)) $((33 + $2)))")"
}
click() {
  mouse_at ' ' "$1" "$2"
  sleep 0.1
  mouse_at '#' "$1" "$2"
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

# ---- The whole wizard by keys and the mouse -----------------------------
prefix="$work/prefix"
run_setup "$prefix" d: W32_TRANSCRIPT="$work/run.log" W32_RECORD="$work/run.answers"

# Welcome: 78 x 16 cells in its frame, centred; the picture, its aspect
# kept, its small lettering written in characters; OK focused.
wait_for "Welcome to Quorvel!"
at 2 1 "Welcome to Quorvel!"
at 19 0 "└"
at 19 79 "┘"
at 4 6 "▀▀▀▀"
at 11 6 "▀▀▀▀Dunmere Network▀"
at 17 36 "[[ OK ]]"
focused "[[ OK ]]"
# The bottom line offers what works here: Escape and F4 do nothing in the
# wizard's dialogs, so they are not offered.
at 23 0 " Tab focus"
screen | tail -1 | grep -q "F2 media" || fail "the bottom line names no media key"
screen | tail -1 | grep -qE "Esc|F4" && fail "the bottom line offers Escape or F4: $(screen | tail -1)"
# A larger terminal: redrawn, still centred.
tm resize-window -t t -x 100 -y 30
sleep 0.5
at 5 11 "Welcome to Quorvel!"
at 22 10 "└"
tm resize-window -t t -x 80 -y 24
sleep 0.5
at 2 1 "Welcome to Quorvel!"
keys o  # the underlined letter alone

# Introduction: wrapped texts with the template's blank rows between the
# paragraphs, Next (default) focused.
wait_for "Here's what you need:"
at 0 14 "Quorvel Installation"
at 2 16 "Quorvel provides a top-quality, easy-to-use"
blank_row 7
at 8 16 "Additionally, if you've already registered an"
blank_row 11
at 12 16 "Here's what you need:"
at 14 18 "diskettes/CD)"
at 19 28 "[[ Next > ]] [ Cancel ]"
focused "[[ Next > ]]" "[ Cancel ]"
at 21 13 "└"
keys Escape  # command 2: nothing happens
keys F4
sleep 0.5
at 19 28 "[[ Next > ]]"
keys Enter

# Directory: the field with its text and the cursor at its end; a blank
# row between the two texts and before the field's label.
wait_for "Quorvel directory:"
blank_row 8
at 9 19 "If you would like Quorvel installed in a"
blank_row 12
at 13 19 "Quorvel directory:"
at 14 19 "[c:\\dunmere "
[ "$(tm display -p -t t '#{cursor_x},#{cursor_y}')" = "30,14" ] || fail "the cursor is not at the end of the field"
# With the focus in the field, the default button has the heavier frame,
# drawn without bold (which many terminals show grey, as if disabled); held
# down with the mouse, Back takes the focus and that frame, and its label
# moves in.
at 16 23 "[ < Back ] [[ Next > ]] [ Cancel ]"
tm capture-pane -e -p -t t | sed -n 17p | grep -qE $'\e\\[([0-9;]*;)?1m' && fail "the buttons' row is drawn bold"
mouse_at ' ' 16 26
sleep 0.3
at 16 22 "[[  < Back]] [ Next > ]  [ Cancel ]"
mouse_at '#' 16 26
wait_for "Here's what you need:"
keys Enter
wait_for "Quorvel directory:"
keys Tab
focused "[[ Next > ]]" "[ < Back ]"
# A click in the field puts the cursor there.
click 14 22
[ "$(tm display -p -t t '#{cursor_x},#{cursor_y}')" = "22,14" ] || fail "the click did not put the cursor in the field"
keys Tab Tab Tab Tab foo Enter  # the field's text is selected as the focus comes to it: typing replaces it

# The free-space refusal: a box over the dialog, OK focused, and Escape
# offered for what it does there.
wait_for "There are only 0.0 MBs free on drive foo\\."
screen | grep -qF "(X)  There are only" || fail "no error icon"
focused "[[   OK   ]]"
screen | tail -1 | grep -q "Esc OK" || fail "the bottom line does not say what Escape does: $(screen | tail -1)"
row=$(screen | grep -nF "[[   OK   ]]" | cut -d: -f1)
line=$(screen | sed -n "${row}p")
prefix_text=${line%%"[[   OK   ]]"*}
click $((row - 1)) $((${#prefix_text} + 4))
wait_for "[foo "
# The field has no auto-scroll: it takes no more than it shows.
keys Home S-End "c:\\$(printf 'x%.0s' $(seq 47))"
at 14 19 "[c:\\$(printf 'x%.0s' $(seq 37)) ]"
# Shift+Home selects back to the start; typing replaces the selection.
keys S-Home 'c:\dunmere' Enter

# Progress: the bar fills its row with the percentage; Cancel answered No.
wait_for "Installing Quorvel..."
at 9 30 "Installing Quorvel..."
wait_for "█"
screen | sed -n 11p | grep -qE '^ +│  [█░]+ [0-9]+% [█░]+  │$' || fail "no progress row"
at 12 34 "[[ Cancel ]]"
focused "[[ Cancel ]]"
keys Enter
wait_for "Are you sure you want to cancel installation?"
screen | grep -qF "(?)" || fail "no question icon"
screen | grep -qF "[[  Yes   ]] [   No   ]" || fail "no Yes/No buttons"
focused "[[  Yes   ]]" "[   No   ]"
screen | tail -1 | grep -q "Esc" && fail "the bottom line offers Escape in a Yes/No box: $(screen | tail -1)"
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
  if [ $disk = 3 ]; then
    # A click chooses a drive; an ejected drive is offered its last
    # directory again.
    row=$(screen | grep -nF "  D:  " | cut -d: -f1)
    click $((row - 1)) 30
    wait_for "> D:  "
    keys Up e
    wait_for "A: is empty"
  fi
  keys i
  wait_for "Directory: $floppy/disk$((disk - 1))"
  keys BSpace "$disk" Enter
  wait_for "A: now holds $floppy/disk$disk"
  keys Escape
  sleep 0.3
  keys Enter
done
wait_for "EXIT=0" 60
[ "$(grep -c "^insert a: \"$floppy/disk[23]\"$" "$work/floppy.answers")" = 2 ] ||
  fail "the disk changes were not recorded: $(cat "$work/floppy.answers")"
diff <(grep -v '^progress' "$work/floppy.log") <(replay "$work/floppy.answers" a: "$work/replay.log") ||
  fail "the floppy replay's transcript differs"

# ---- A terminal smaller than the dialog ---------------------------------
# The dialog scrolls to keep its focused button on the screen, and the
# bottom line says, whole, what size shows it all.
run_setup "$work/prefix2" d:
tm resize-window -t t -x 60 -y 20
wait_for "Welcome to Quorvel!"
keys Enter
wait_for "Here's what you need:"
sleep 0.3
at 19 0 " Needs 55x23: make the terminal larger (Ctrl-C quit)"
at 18 18 "[[ Next > ]] [ Cancel ]"
# The media menu at 50x15: a drive's line keeps its letter and speed, the
# keys in the menu and on the bottom line keep the way out; the speed is
# offered selected, so typing replaces it, and the drive is named as listed.
tm resize-window -t t -x 50 -y 15
keys F2
wait_for "Media (removable drives)"
screen | grep -qE "^│   D:  \.\.\..*/package  \[150000 B/s\] │" || fail "D:'s line is cut"
screen | grep -qE "^│ Esc/F2 close +│" || fail "the menu does not say how to close it"
screen | tail -1 | grep -q "Esc/F2 close  Ctrl-C quit" || fail "the bottom line drops the way out: $(screen | tail -1)"
keys Down s 300000 Enter
wait_for "D: reads 300000 bytes a second"
keys C-c
wait_for "EXIT=130"

# ---- Ctrl-C ends the program and gives the terminal back -----------------
# (without colour: the picture in words)
run_setup "$work/prefix2" d: W32_TRANSCRIPT="$work/interrupted.log" NO_COLOR=1
wait_for "Welcome to Quorvel!"
at 8 37 "Quorvel"
at 9 33 "Dunmere Network"
screen | grep -qF "(a picture: a globe over the sea at dawn)" || fail "no words for the picture"
[ "$(tm display -p -t t '#{alternate_on}')" = 1 ] || fail "no full-screen display"
keys C-c
wait_for "EXIT=130"
[ "$(tm display -p -t t '#{alternate_on}')" = 0 ] || fail "Ctrl-C left the screen taken"
[ "$(tail -n 1 "$work/interrupted.log")" = 'result code=130 text="interrupted"' ] ||
  fail "the interrupted run's transcript does not end with its result"
# ---- A crash gives the terminal back too ----------------------------------
run_setup "$work/prefix2" d:
wait_for "Welcome to Quorvel!"
kill -SEGV "$(pgrep -P "$(tm display -p -t t '#{pane_pid}')" -x setup)"
wait_for "EXIT=139"
[ "$(tm display -p -t t '#{alternate_on}')" = 0 ] || fail "the crash left the screen taken"
echo "terminal run: ok"
