#!/usr/bin/env bash
# The Wine suite: setup.exe driven by wine_driver.exe under Wine, against
# Wine's registry, profile files, file system, dialogs, common controls and
# Program Manager; the Linux setup run on the same scenario beside it.
#
#   wine_suite.sh boot                 boot one Wine prefix for the suite's
#                                      build (QV_ARCH)
#   wine_suite.sh run SCENARIO [HOW]   one scenario on a copy of it, setup.exe
#                                      run by the driver (HOW driver, the
#                                      default), on its own from the answer
#                                      file (self: setup.exe /answers= /log=),
#                                      or by the driver with /record=, the
#                                      recording then replayed on Linux (record)
#   wine_suite.sh errors               answer files that do not fit: the same
#                                      error and status 2 from both builds
#   wine_suite.sh linux-record         a run recorded by the Linux terminal
#                                      front end (tmux) replays under Wine
#   wine_suite.sh readme               README's block that runs setup.exe
#                                      under Wine by hand, as written there
#   wine_suite.sh cleanup              remove the booted prefix
#
# From the environment (set by CTest): QV_WORK (the suite's directory),
# QV_ARCH (the Windows build under test: x86_64, or i686, whose prefix,
# runs and results are kept apart), QV_ARCH_DRIVER_DIR (that build's
# wine_driver.exe and setup_hook.dll), QV_DRIVER_DIR (the x86_64 ones,
# which read the Start Menu's links), QV_WIN_DEMO and QV_LINUX_DEMO (the
# two demo packages: package/ and floppy/disk1..3), QV_W32PREFIX (the
# prefix tool), QV_SCENARIOS (the answer files), QV_SHOTS (a directory:
# keep a screenshot of each dialog and box of each scenario there, in
# SCENARIO/NN-dialogID.png and NN-message.png), QV_SOURCE and QV_BUILD
# (the source tree and this build, for readme).
#
# A scenario passes when the two transcripts are the same but for progress
# lines, and the end states read from Wine and from the Linux prefix agree.
# Exit 77 (skipped) when Wine or Xvfb is missing, or for the i686 build
# when this machine does not start 32-bit programs.
set -uo pipefail

mode=$1
name=${2:-}
work=$QV_WORK
arch=${QV_ARCH:-x86_64}
boot=$work/boot
# A 32-bit program starts in a minute or two under qemu (Wine's loader
# reserves its address space 64 KiB at a time there): the i686 runs get
# longer limits.
limit=120
if [ $arch = i686 ]; then
  boot=$work/boot-i686
  limit=900
fi

wine=$(command -v wine64 || command -v wine || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; })
wineserver=$(command -v wineserver || { [ -x /usr/lib/wine/wineserver ] && echo /usr/lib/wine/wineserver; })
if [ -z "$wine" ] || [ -z "$wineserver" ]; then
  echo "wine suite ($mode $name): SKIPPED (Wine is not installed: wine64)"
  exit 77
fi
if ! command -v Xvfb >/dev/null 2>&1; then
  echo "wine suite ($mode $name): SKIPPED (Xvfb is not installed: xvfb)"
  exit 77
fi
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WINEARCH
# Wine's 32-bit loader, beside the 64-bit one, and whether it starts.
loader32=$(dirname "$(readlink -f "$wine")")/wine
if [ ! -x "$loader32" ]; then
  why32="no 32-bit Wine (wine32:i386)"
elif ! "$loader32" --version >/dev/null 2>&1; then
  why32="32-bit programs do not start (no IA-32 emulation in the kernel, no qemu-i386 entry in binfmt_misc)"
else
  why32=
fi
if [ $arch = i686 ] && [ -n "$why32" ]; then
  echo "wine suite, i686 ($mode $name): SKIPPED ($why32; scripts/need-packages.sh run as root sets this up)"
  exit 77
fi

xvfb_pid=
start_display() {
  local fifo=$1/display
  rm -f "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  local n=0
  while [ ! -s "$fifo" ] && [ $n -lt 200 ]; do sleep 0.05; n=$((n + 1)); done
  [ -s "$fifo" ] || { echo "Xvfb did not start"; exit 1; }
  export DISPLAY=:$(head -n1 "$fifo")
}
small=
stop_all() {
  [ -n "${WINEPREFIX:-}" ] && "$wineserver" -k >/dev/null 2>&1
  [ -n "$small" ] && umount "$small" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  xvfb_pid=
}
trap stop_all EXIT

fail=0
problem() { echo "FAIL (${name:-$mode}): $*"; fail=1; }

case $mode in
  boot)
    rm -rf "$boot"
    mkdir -p "$work"
    start_display "$work"
    export WINEPREFIX=$boot
    # Xvfb has no window manager: Wine's windows are its own to place, or
    # each dialog's end waits two seconds for a manager's answer. The
    # x86_64 build's prefix is booted without Wine's 32-bit half, which it
    # does not need and which takes minutes under qemu (hide32.sh).
    hide=(bash "$(dirname "$0")/hide32.sh" "$wine")
    half=
    if [ $arch = i686 ]; then
      hide=()
      half=" with its 32-bit half (syswow64)"
    fi
    start=$(date +%s%N)
    "${hide[@]}" bash -c '"$0" wineboot -i >/dev/null 2>&1
      "$0" reg add "HKCU\Software\Wine\X11 Driver" /v Managed /d N /f >/dev/null 2>&1; "$1" -w' "$wine" "$wineserver"
    echo "booted the suite's $arch prefix$half in $((($(date +%s%N) - start) / 1000000)) ms"
    [ -f "$boot/system.reg" ] || { echo "wineboot made no prefix"; exit 1; }
    if [ $arch = x86_64 ]; then
      echo "32-bit programs: ${why32:-they start here (the i686 tests run setup.exe in a prefix of their own)}"
    fi
    exit 0
    ;;
  cleanup)
    rm -rf "$boot"
    exit 0
    ;;
  readme)
    # The block of README.md that runs setup.exe under Wine by hand, taken
    # from under its heading and run as it is written, from the source tree.
    # Its build is this one (BUILD_ROOT/gcc, a link here), everything else
    # it makes (the Wine prefix) lies in this directory. The unattended run
    # must install and show its transcript, the wizard after it must show
    # its first dialog (which nobody answers: its run is then ended).
    command -v xwininfo >/dev/null 2>&1 || { echo "wine_readme: SKIPPED (xwininfo is not installed: x11-utils)"; exit 77; }
    [ "$(basename "$QV_BUILD")" = gcc ] ||
      { echo "wine_readme: SKIPPED (the block builds in BUILD_ROOT/gcc, and this build is $QV_BUILD)"; exit 77; }
    dir=$work/readme
    rm -rf "$dir" && mkdir -p "$dir" && ln -s "$QV_BUILD" "$dir/gcc"
    awk '/^### Running setup.exe under Wine by hand/ { on = 1; next }
         on && /^    / { print substr($0, 5); got = 1; next }
         on && got { exit }' "$QV_SOURCE/README.md" >"$dir/block.sh"
    [ -s "$dir/block.sh" ] || { echo "README.md has no block under its heading for running setup.exe under Wine"; exit 1; }
    start_display "$dir"
    # Its prefix boots without Wine's 32-bit half, as the suite's does
    # (hide32.sh): the block needs only the x86_64 setup.exe.
    hide=$(cd "$(dirname "$0")" && pwd)/hide32.sh
    (cd "$QV_SOURCE" && BUILD_ROOT=$dir bash "$hide" "$wine" bash -e "$dir/block.sh") >"$dir/out.txt" 2>&1 &
    block=$!
    wizard=
    while kill -0 $block 2>/dev/null; do
      if grep -q '^result code=' "$dir/out.txt" && xwininfo -root -tree | grep -qF '"Welcome to Quorvel!"'; then
        wizard=shown
        break
      fi
      sleep 0.2
    done
    export WINEPREFIX=$dir/wine-demo
    "$wineserver" -k 2>/dev/null
    wait $block
    cat "$dir/out.txt"
    grep -qx 'setup.exe exited with status 0' "$dir/out.txt" || problem "the unattended setup.exe did not install"
    grep -qx 'result code=0 text="installed"' "$dir/out.txt" || problem "the block showed no transcript of an installation"
    [ -n "$wizard" ] || problem "the wizard run at the block's end showed no welcome dialog"
    stop_all
    [ $fail = 0 ] && echo "README's block runs setup.exe under Wine, unattended and with the wizard"
    exit $fail
    ;;
  run | errors | linux-record) ;;
  *) echo "usage: wine_suite.sh boot|run SCENARIO [driver|self|record]|errors|linux-record|readme|cleanup"; exit 2 ;;
esac

[ -f "$boot/system.reg" ] || { echo "no booted prefix in $boot"; exit 1; }
how=${3:-driver}
case $mode in
  errors) name=fresh how=errors ;;
  linux-record) name=fresh how=linux-record ;;
esac
if [ $how = linux-record ] && ! command -v tmux >/dev/null 2>&1; then
  echo "wine_linux_record: SKIPPED (tmux is not installed)"
  exit 77
fi
dir=$work/$name-$how
[ $arch = i686 ] && dir=$dir-i686
rm -rf "$dir"
mkdir -p "$dir"
# A run whose transcript started a program waits (up to 5 s, for i686 up
# to ten minutes) for its log.
wait_for_log() {
  grep -q '^exec ' "$2" 2>/dev/null || return 0
  local n=0 most=500
  [ $arch = i686 ] && most=60000
  while ! [ -s "$1" ] && [ $n -lt $most ]; do sleep 0.01; n=$((n + 1)); done
}

# ---- The two prefixes --------------------------------------------------
# The Wine prefix is a copy of the booted one (hard links; the files that
# Wine or the program rewrite in place are real copies).
export WINEPREFIX=$dir/wine
cp -al "$boot" "$WINEPREFIX"
for f in "$WINEPREFIX"/*.reg "$WINEPREFIX"/drive_c/windows/*.ini; do
  [ -f "$f" ] && cp "$f" "$f.copy" && mv "$f.copy" "$f"
done
lin=$dir/linux
mkdir -p "$lin/drive_c/windows"
: >"$lin/drive_c/windows/win.ini"
: >"$lin/drive_c/windows/system.ini"
w32() { W32_PREFIX=$lin "$QV_W32PREFIX" "$@"; }
winc=$WINEPREFIX/drive_c

# Each platform gets its own copy of the package, with the answer file
# beside it (its insert actions name directories relative to it).
case $name in
  floppy) layout=floppy; drive=a; first=disk1 ;;
  *) layout=package; drive=d; first=. ;;
esac
for p in win linux; do
  src=$QV_WIN_DEMO
  [ $p = linux ] && src=$QV_LINUX_DEMO
  cp -a "$src/$layout" "$dir/pkg-$p"
  cp "$QV_SCENARIOS/$name.answers" "$dir/pkg-$p/$name.answers"
done
ln -sfn "$dir/pkg-win/$first" "$WINEPREFIX/dosdevices/$drive:"
w32 drive "$drive:" "$dir/pkg-linux/$first" >/dev/null

case $name in
  damaged)
    # The first member's stream starts where the directory's first entry
    # says; its second byte becomes a dictionary size of 9.
    for p in win linux; do
      z=$dir/pkg-$p/quorvel.z
      off=$(od -An -tu4 -j25 -N4 --endian=little "$z" | tr -d ' ')
      printf '\011' | dd of="$z" bs=1 seek=$((off + 1)) conv=notrunc status=none
    done
    ;;
  freespace)
    # E: is a drive of 4 MiB, where the machine lets the suite mount one.
    mkdir -p "$dir/small"
    if ! mount -t tmpfs -o size=4m qv-small "$dir/small" 2>/dev/null; then
      echo "wine_freespace: SKIPPED (no size-limited drive: mounting a 4 MiB tmpfs is not permitted here)"
      exit 77
    fi
    small=$dir/small
    ln -sfn "$small" "$WINEPREFIX/dosdevices/e:"
    w32 drive e: "$small" >/dev/null
    ;;
  upgrade)
    for c in "$winc" "$lin/drive_c"; do
      mkdir -p "$c/oldq/register" "$c/oldq/dialer/bin"
      printf '[Quorvel Registration]\r\nVersion=2.1\r\n' >"$c/oldq/register/register.ini"
      printf 'driver' >"$c/oldq/dialer/bin/vntspsd.386"
      printf 'x' >"$c/oldq/dialer/dialer.ini"
      printf '\r\n[Dunmere Network Quorvel]\r\nMain=c:\\oldq\r\nDialer=c:\\oldq\\dialer\r\n' >>"$c/windows/win.ini"
      printf '[386Enh]\r\ndevice=c:\\oldq\\dialer\\bin\\vntspsd.386\r\nkeep=1\r\n' >>"$c/windows/system.ini"
    done
    ;;
esac

installed=dunmere
[ $name = upgrade ] && installed=oldq

# ---- Answer files that do not fit, and a Linux recording ---------------
# Each error case: an answer file (lines joined by |) and the error the
# run must end with on both builds, with status 2.
if [ $how = errors ]; then
  start_display "$dir"
  n=0
  while IFS='@' read -r case answers; do
    [ -n "$case" ] || continue
    n=$((n + 1))
    printf '%s\n' "$answers" | tr '|' '\n' >"$dir/pkg-win/e$n.answers"
    cp "$dir/pkg-win/e$n.answers" "$dir/pkg-linux/e$n.answers"
    timeout 60 "$wine" "d:\\setup.exe" "/answers=d:\\e$n.answers" "/log=z:${dir//\//\\}\\wine-e$n.txt" 2>/dev/null
    ws=$?
    W32_PREFIX=$lin timeout 60 "$dir/pkg-linux/setup" "/answers=$dir/pkg-linux/e$n.answers" "/log=$dir/linux-e$n.txt" </dev/null 2>/dev/null
    ls=$?
    we=$(grep '^error ' "$dir/wine-e$n.txt")
    le=$(grep '^error ' "$dir/linux-e$n.txt")
    echo "$case: setup.exe $ws, Linux $ls: $le"
    [ "$ws" = 2 ] && [ "$ls" = 2 ] || problem "$case: statuses $ws (setup.exe) and $ls (Linux), not 2"
    [ -n "$le" ] && [ "$we" = "$le" ] || problem "$case: the errors differ: setup.exe: $we"
  done <<'CASES'
a dialog answered for another dialog@dialog 4 press 201|dialog 2 press 201
a button a box does not have@dialog 4 press 201|dialog 1 press 201|dialog 2 edit 101 "" press 201|message "Please enter*" Yes
Escape on a box without Cancel@dialog 4 press 201|dialog 1 press 201|dialog 2 press 201|dialog 3 press 203|message "Are you sure*" Escape
no answer left@dialog 4 press 201|dialog 1 press 201|dialog 2 edit 101 "" press 201
a message answer where a dialog shows@message "*" OK
a button the dialog does not have@dialog 4 press 205
a NUL byte in a text@dialog 4 press 201|dialog 1 press 201|dialog 2 edit 101 "c:\\nul\x00evil" press 201|dialog 3 wait
CASES
  # Command lines: setup.exe started by the driver with these words (its
  # box answered from the answers), the Linux setup with the same words and
  # answers; both end with the status given.  The install comes last.
  while IFS='@' read -r case words answers want; do
    [ -n "$case" ] || continue
    n=$((n + 1))
    printf '%s\n' "$answers" | tr '|' '\n' >"$dir/pkg-win/e$n.answers"
    cp "$dir/pkg-win/e$n.answers" "$dir/pkg-linux/e$n.answers"
    # %DIR% stands for this scenario's directory.
    wdir="z:${dir//\//\\}"
    timeout 120 "$wine" "$QV_DRIVER_DIR/wine_driver.exe" --args "${words//%DIR%/$wdir}" "d:\\setup.exe" \
      "z:${dir//\//\\}\\pkg-win\\e$n.answers" "z:${dir//\//\\}\\wine-e$n.txt" </dev/null >"$dir/driver-e$n.out" 2>&1
    ws=$?
    # shellcheck disable=SC2086 # the words as a command line splits them
    (cd "$dir/pkg-linux" && W32_PREFIX=$lin W32_ANSWERS=$dir/pkg-linux/e$n.answers timeout 120 ./setup ${words//%DIR%/$dir} \
      </dev/null >"$dir/linux-e$n.out" 2>&1)
    ls=$?
    echo "$case ($words): setup.exe $ws, Linux $ls"
    [ "$ws" = "$want" ] && [ "$ls" = "$want" ] || problem "$case: statuses $ws (setup.exe) and $ls (Linux), not $want: $(cat "$dir/driver-e$n.out")"
  done <<'CASES'
help, answered@/?@message "Quorvel Setup options:*/log=FILE*" OK@0
help as -?@-?@message "Quorvel Setup options:*" OK@0
an option written wrongly@/answers=@message "The option /answers= needs a file, written /answers=FILE.*" OK@2
a word that is no option, and /LOG= in capitals@/S c:\pkg /LOG=%DIR%/words.txt@dialog 4 press 201|dialog 1 press 201|dialog 2 press 201|dialog 3 wait@0
CASES
  stop_all
  exit $fail
fi
if [ $how = linux-record ]; then
  # The Linux setup in a terminal, Enter on each dialog (its default
  # button), recorded; the recording replayed by setup.exe on its own.
  sock=qv-wine-record-$$
  tmux -L "$sock" new-session -d -x 100 -y 40 -s rec \
    "cd '$dir/pkg-linux' && W32_PREFIX='$lin' ./setup /record='$dir/linux.answers' /log='$dir/linux.txt'; echo \$? >'$dir/linux.status'; sleep 2"
  for key in 1 2 3; do
    sleep 1
    tmux -L "$sock" send-keys -t rec Enter
  done
  for _ in $(seq 600); do [ -s "$dir/linux.status" ] && break; sleep 0.1; done
  tmux -L "$sock" kill-server 2>/dev/null
  echo "== the Linux recording:"
  cat "$dir/linux.answers"
  cp "$dir/linux.answers" "$dir/pkg-win/linux.answers"
  start_display "$dir"
  timeout 120 "$wine" "d:\\setup.exe" "/answers=d:\\linux.answers" "/log=z:${dir//\//\\}\\wine.txt"
  ws=$?
  wait_for_log "$winc/dunmere/quorvel/quorvel.log" "$dir/wine.txt"
  [ "$(cat "$dir/linux.status" 2>/dev/null)" = 0 ] || problem "the recorded Linux run did not install"
  [ "$ws" = 0 ] || problem "setup.exe replaying the Linux recording ended with status $ws"
  if ! diff <(grep -v '^progress ' "$dir/linux.txt") <(grep -v '^progress ' "$dir/wine.txt"); then
    problem "the replay under Wine differs from the recorded Linux run (< Linux, > Wine)"
  fi
  stop_all
  [ $fail = 0 ] && echo "a Linux recording replays under Wine to the same transcript"
  exit $fail
fi

# ---- The runs ---------------------------------------------------------
start_display "$dir"
shots=()
[ $how = driver ] && [ $arch = x86_64 ] && [ -n "${QV_SHOTS:-}" ] && rm -rf "$QV_SHOTS/$name" && mkdir -p "$QV_SHOTS/$name" &&
  shots=(--shots "z:${QV_SHOTS//\//\\}\\$name")

wdir="z:${dir//\//\\}"
case $how in
  driver | record)
    # Media actions the driver asks for are carried out here, in the prefix.
    args=()
    [ $how = record ] && args=(--args "/record=$wdir\\recorded.answers")
    mkfifo "$dir/done"
    exec 7<>"$dir/done"
    # A run that hangs is ended after two minutes, fifteen for i686 (and every
    # Wine process with it, on exit).
    timeout $limit "$wine" "$QV_ARCH_DRIVER_DIR/wine_driver.exe" "${shots[@]}" "${args[@]}" "$drive:\\setup.exe" \
      "z:${dir//\//\\}\\pkg-win\\$name.answers" "z:${dir//\//\\}\\wine.txt" \
      "c:\\$installed\\quorvel\\quorvel.log" <&7 2>"$dir/driver.err" |
      while read -r verb letter target; do
        case $verb in
          insert)
            case $target in /*) ;; *) target=$dir/pkg-win/$target ;; esac
            ln -sfn "$target" "$WINEPREFIX/dosdevices/$letter"
            ;;
          eject) rm -f "$WINEPREFIX/dosdevices/$letter" ;;
        esac
        echo done >&7
      done
    wine_status=${PIPESTATUS[0]}
    exec 7>&-
    cat "$dir/driver.err"
    ;;
  self)
    # setup.exe on its own: its answer file lies in the package, on the drive.
    # The refusals' patterns recorded as the run used them (replayed below).
    rec=()
    [ $name = refusals ] && rec=("/record=$wdir\\recorded.answers")
    start=$(date +%s%N)
    timeout $limit "$wine" "$drive:\\setup.exe" "/answers=$drive:\\$name.answers" "/log=$wdir\\wine.txt" "${rec[@]}" \
      2>"$dir/driver.err"
    wine_status=$?
    # The program it started may still be writing its log.
    wait_for_log "$winc/$installed/quorvel/quorvel.log" "$dir/wine.txt"
    echo "setup.exe /answers= ran $((($(date +%s%N) - start) / 1000000)) ms to the end of the program it started" >>"$dir/driver.err"
    cat "$dir/driver.err"
    ;;
esac

start=$(date +%s%N)
W32_PREFIX=$lin W32_ANSWERS=$dir/pkg-linux/$name.answers W32_TRANSCRIPT=$dir/linux.txt \
  timeout 120 "$dir/pkg-linux/$first/setup" </dev/null 2>"$dir/linux.err"
linux_status=$?
# The Linux layer starts the installed program detached: wait for its line.
log=$lin/drive_c/$installed/quorvel/quorvel.log
if grep -q '^exec ' "$dir/linux.txt"; then
  n=0
  while ! [ -s "$log" ] && [ $n -lt 500 ]; do sleep 0.01; n=$((n + 1)); done
fi
linux_ms=$((($(date +%s%N) - start) / 1000000))

echo "== $name: Wine transcript, $arch setup.exe (status $wine_status)"
cat "$dir/wine.txt"
# Both builds end with the same status: 0 installed, 1 cancelled.
case $name in cancel | damaged | refusals | freespace) expected=1 ;; *) expected=0 ;; esac
[ "$wine_status" = $expected ] || problem "setup.exe (through the driver) ended with status $wine_status, not $expected"
[ "$linux_status" = $expected ] || problem "the Linux setup ended with status $linux_status, not $expected: $(cat "$dir/linux.err")"
if ! diff <(grep -v '^progress ' "$dir/linux.txt") <(grep -v '^progress ' "$dir/wine.txt") >"$dir/transcript.diff"; then
  problem "the transcripts differ (< Linux, > Wine):"
  cat "$dir/transcript.diff"
fi
if [ $how = record ] || [ -f "$dir/recorded.answers" ]; then
  # What setup.exe recorded while the driver pressed its buttons (or while
  # it answered them itself), replayed on Linux, gives the same transcript.
  echo "== the recording setup.exe made:"
  cat "$dir/recorded.answers"
  mkdir -p "$dir/linux2/drive_c/windows"
  : >"$dir/linux2/drive_c/windows/win.ini"
  : >"$dir/linux2/drive_c/windows/system.ini"
  W32_PREFIX=$dir/linux2 "$QV_W32PREFIX" drive "$drive:" "$dir/pkg-linux/$first" >/dev/null
  W32_PREFIX=$dir/linux2 timeout 120 "$dir/pkg-linux/$first/setup" "/answers=$dir/recorded.answers" \
    "/log=$dir/replay.txt" </dev/null 2>"$dir/replay.err"
  if ! diff <(grep -v '^progress ' "$dir/replay.txt") <(grep -v '^progress ' "$dir/wine.txt"); then
    problem "the recording replayed on Linux differs from the run it recorded (< Linux, > Wine): $(cat "$dir/replay.err")"
  fi
fi
if [ $name = fresh ]; then
  wine_ms=$(sed -n 's/.*setup.exe\( \/answers=\)\{0,1\} ran \([0-9]*\) ms.*/\2/p' "$dir/driver.err")
  echo "fresh install ($how), setup start to the installed program started and done: Wine ${wine_ms:-?} ms, Linux $linux_ms ms"
fi

# ---- The end state, read from Wine and from the Linux prefix -------------
# Files: each installed file's name, size and last-write time (the program
# itself and its log differ by platform).
files() {
  [ -d "$1" ] || return 0
  (cd "$1" && find . -type f ! -name quorvel.exe ! -name quorvel.log -printf '%p %s %TY-%Tm-%Td %TH:%TM:%.2TS\n' |
    tr 'A-Z' 'a-z' | sort)
}
# Registry values under the key, as NAME=TYPE:VALUE.
wine_reg() {
  "$wine" reg query "$1" 2>/dev/null | tr -d '\r' |
    sed -n 's/^    \([^ ]*\)    \(REG_[A-Z_]*\)    \(.*\)$/\1=\2:\3/p; s/^    \([^ ]*\)    \(REG_[A-Z_]*\)$/\1=\2:/p' | sort
}
linux_reg() {
  w32 reg query "$1" 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *\([^ =]*\) *\(REG_[A-Z_]*\) *\(.*\)$/\1=\2:\3/p' | sort
}
# A 32-bit program's HKLM\Software is HKLM\Software\WOW6432Node to
# 64-bit Windows (and to Wine's reg, a 64-bit program).
key='HKLM\Software\DunmereNetwork\Quorvel'
wkey=$key
[ $arch = i686 ] && wkey='HKLM\Software\WOW6432Node\DunmereNetwork\Quorvel'
# Program group items as NAME|TARGET; Wine's links keep no icon of
# AddItem's (a documented difference), so the icons are shown, not compared.
wine_group() {
  local d="$winc/users/$(ls "$winc/users" | grep -v -i '^public$' | head -n1)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Quorvel"
  [ -d "$d" ] || return 0
  "$wine" "$QV_DRIVER_DIR/wine_driver.exe" --links "z:${d//\//\\}" | tr -d '\r' | tr 'A-Z' 'a-z' | sort
}
linux_group() {
  [ -f "$lin/progman/groups.ini" ] || return 0
  sed -n 's/^Item[0-9]*=//p' "$lin/progman/groups.ini" | tr -d '\r' | tr 'A-Z' 'a-z' | sort
}
ini_lines() {
  # The sections and lines the run deals with: the earlier installation's
  # WIN.INI section, and the dialer's lines in SYSTEM.INI.
  grep -i -h -e 'dunmere' -e 'oldq' -e '^\[386enh\]' -e '^keep=' "$1/windows/win.ini" "$1/windows/system.ini" 2>/dev/null |
    tr -d '\r' | tr 'A-Z' 'a-z'
  [ -f "$1/windows/system.old" ] || [ -f "$1/windows/SYSTEM.OLD" ] && echo "system.old present"
  for d in oldq/register oldq/dialer/dialer.ini oldq/dialer/bin/vntspsd.386; do [ -e "$1/$d" ] && echo "$d present"; done
  true
}
compare() {
  local what=$1 a=$2 b=$3
  if [ "$a" != "$b" ]; then
    problem "$what differ (< Linux, > Wine):"
    diff <(echo "$a") <(echo "$b")
  fi
}

wfiles=$(files "$winc/$installed/quorvel")
# Where a confirmed Cancel stops the copy depends on timing, on either
# platform; what must not be there is checked below.
[ $name = cancel ] || compare "installed files" "$(files "$lin/drive_c/$installed/quorvel")" "$wfiles"
wreg=$(wine_reg "$wkey")
compare "registry values" "$(linux_reg "$key")" "$wreg"
wgroup=$(wine_group)
compare "program group items" "$(linux_group | cut -d'|' -f1,2)" "$(echo "$wgroup" | cut -d'|' -f1,2)"
compare "WIN.INI and SYSTEM.INI" "$(ini_lines "$lin/drive_c")" "$(ini_lines "$winc")"
wlog=$(tr -d '\r' 2>/dev/null <"$winc/$installed/quorvel/quorvel.log")
echo "== $name: end state under Wine"
echo "files in c:\\$installed\\quorvel (name, size, last write): $(echo "$wfiles" | grep -c .)"
echo "$wfiles" | head -n 5
echo "registry ($wkey):"
echo "$wreg"
echo "program group (Start Menu\\Programs\\Quorvel: item, target, icon):"
echo "$wgroup"
echo "WIN.INI / SYSTEM.INI lines:"
ini_lines "$winc"
echo "recorded by quorvel.exe: ${wlog:-(nothing)}"

# What each scenario must leave, whatever both platforms agree on.
case $name in
  fresh | floppy)
    for f in readme.txt nsystem.z www.z notep001.ico quorhelp.txt; do
      grep -q "^\./$f " <<<"$wfiles" || problem "$f was not installed"
    done
    grep -q '^MainDir=REG_SZ:c:\\dunmere$' <<<"$wreg" || problem "MainDir is not c:\\dunmere"
    [ "$(echo "$wgroup" | grep -c .)" = 2 ] || problem "the program group does not hold two items"
    [ "$wlog" = 'Quorvel sign-up started: c:\dunmere\quorvel\quorvel.exe main' ] || problem "quorvel.exe was not started as it should be"
    ;;
  upgrade)
    [ "$wlog" = 'Quorvel sign-up started: c:\oldq\quorvel\quorvel.exe main' ] || problem "quorvel.exe was not started from c:\\oldq"
    ! grep -q -i 'Dunmere Network Quorvel' "$winc/windows/win.ini" || problem "the earlier WIN.INI section is still there"
    ! grep -q -i 'vntspsd' "$winc/windows/system.ini" || problem "the dialer's driver line is still in SYSTEM.INI"
    ;;
  cancel | damaged)
    [ -z "$wreg" ] || problem "registry values were written"
    [ -z "$wgroup" ] || problem "the program group was made"
    ! grep -q -e '^\./wsystem\.z ' -e '^\./quorvel\.pbk ' <<<"$wfiles" || problem "files after the stop were installed"
    [ -z "$wlog" ] || problem "quorvel.exe was started"
    ;;
  refusals)
    [ ! -e "$winc/dunmere" ] || problem "c:\\dunmere was made"
    ;;
esac
stop_all
# A passing run's Wine prefix goes (the transcripts stay); a failing one's
# is kept for a look.
[ $fail = 0 ] && rm -rf "$WINEPREFIX" && echo "$name: Wine ($arch setup.exe) and Linux agree"
exit $fail
