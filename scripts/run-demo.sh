#!/usr/bin/env bash
# Usage: bash scripts/run-demo.sh [--floppy] [--unattended]
#
# The main job: the setup program installs the demo package (tools/demo) on
# the Linux build, from a quad-speed CD in drive D: (or, with --floppy,
# from the three floppy disks in drive A:), into a fresh prefix, then shows
# what the run did: the transcript, the sign-up program's start, the
# registry key, the Program Manager group, the drives, the installed files,
# WIN.INI and SYSTEM.INI.
#
# On a terminal the wizard runs there (the terminal front end) and the
# person answers it; what they did is recorded as an answer file beside the
# transcript.  Without a terminal, or with --unattended, the bundled answer
# file answers it.
#
# BUILD_ROOT (default build/) is where the build goes; the prefix is
# BUILD_ROOT/gcc/demo-prefix, made anew each run, unless W32_PREFIX names
# another one, which is then used as it is.  Ctrl-C stops it and says so.
if [[ ${1:-} == -h || ${1:-} == --help ]]; then  # the comment above, and nothing else
  while IFS= read -r l; do [[ $l == '#!'* ]] && continue; [[ $l == '#'* ]] || break; l=${l#'#'}; echo "${l# }"; done <"$0"
  exit 0
fi
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}
out=${BUILD_ROOT:-$root/build}
build="$out/gcc"

floppy=0
unattended=0
for arg in "$@"; do
  case "$arg" in
    --floppy) floppy=1 ;;
    --unattended) unattended=1 ;;
    *) echo "run-demo: unknown argument '$arg'; usage: bash scripts/run-demo.sh [--floppy] [--unattended]" >&2; exit 2 ;;
  esac
done
if [ "$unattended" = 0 ] && ! { [ -t 0 ] && [ -t 1 ]; }; then
  unattended=1
  echo "run-demo: no terminal: the bundled answer file answers the wizard instead"
fi

step() { printf '\n== %s\n' "$*"; }
fail() { printf '\nrun-demo: FAILED: %s\n' "$*" >&2; exit 1; }
# Ctrl-C: the terminal sends SIGINT to the script and what it runs (the
# wizard, whose terminal is raw, takes Ctrl-C as a key and ends itself
# with SIGINT: status 130, below).
interrupted() { printf '\nrun-demo: interrupted (Ctrl-C); stopped\n' >&2; exit 130; }
trap interrupted INT

if [ "$unattended" = 1 ]; then
  echo "Quorvel Setup demo: the setup program runs unattended, answered by the bundled answer file."
else
  echo "Quorvel Setup demo: the setup program's wizard runs in this terminal; answer it with the keys."
fi

bash scripts/need-packages.sh

step "build (setup, w32prefix, zarc, mkpackage, the demo package) in $build"
cmake -S . -B "$build" -G Ninja -DQV_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null ||
  fail "cmake could not configure $build"
ninja -C "$build" -j"$jobs" setup w32prefix zarc mkpackage demo_package || fail "the build failed"

w32prefix="$build/tools/w32prefix/w32prefix"
demo="$build/demo"
grep '^total' "$demo/package.txt" | sed 's/^total/bytes the progress meter counts:/'

step "prefix"
if [ -n "${W32_PREFIX:-}" ]; then
  prefix=$W32_PREFIX
  echo "W32_PREFIX=$prefix (given: used as it is)"
else
  prefix="$build/demo-prefix"
  rm -rf "$prefix"
  mkdir -p "$prefix"
  echo "W32_PREFIX=$prefix (fresh)"
fi
export W32_PREFIX=$prefix

# A drive read speed makes the medium behave like one.
map_drive() {  # LETTER: DIR BYTES_PER_SECOND WHAT
  "$w32prefix" drive "$1" "$2" --speed "$3" || fail "w32prefix could not map $1 to $2"
  echo "$1 is $4 ($3 bytes per second): $2"
}

if [ "$floppy" = 1 ]; then
  map_drive a: "$(realpath "$demo/floppy/disk1")" 46080 "a floppy drive"
  program="$demo/floppy/disk1/setup"
  answers="$demo/floppy/demo-floppy.answers"
else
  map_drive d: "$(realpath "$demo/package")" 614400 "a quad-speed CD"
  program="$demo/package/setup"
  answers="$demo/demo.answers"
fi
transcript="$demo/demo.transcript"
recorded="$demo/demo.recorded"
rm -f "$transcript"
# The sign-up program's log, which a given prefix may hold from before.
target="$prefix/drive_c/dunmere/quorvel"
log_lines() { if [ -f "$target/quorvel.log" ]; then wc -l < "$target/quorvel.log"; else echo 0; fi; }
logged_before=$(log_lines)

status=0
if [ "$unattended" = 1 ]; then
  step "setup (W32_ANSWERS=$answers)"
  start=$(date +%s.%N)
  (cd "$(dirname "$program")" && W32_ANSWERS=$answers W32_TRANSCRIPT=$transcript "$program") || status=$?
else
  step "setup, in this terminal (W32_RECORD=$recorded)"
  echo "Tab moves the focus, Enter presses the default (or focused) button, Alt+letter"
  echo "the underlined one; F2 opens the media menu; Ctrl-C ends setup."
  if [ "$floppy" = 1 ]; then
    echo "When setup asks for the next disk: F2, I (insert) on A:, change disk1 in the"
    echo "directory to disk2 (then disk3), Enter, Esc, and OK in the box."
  fi
  read -r -p "Press Enter to start. " _
  start=$(date +%s.%N)
  rm -f "$recorded"
  (cd "$(dirname "$program")" && W32_RECORD=$recorded W32_TRANSCRIPT=$transcript "$program") || status=$?
fi
end=$(date +%s.%N)
echo "setup exited with status $status after $(echo "$start $end" | awk '{printf "%.1f", $2 - $1}') s"

# The transcript as shown: each run of progress lines folded into one
# (first and last position, how many); the file keeps them all.
show_transcript() {
  awk '/^progress pos=/ { pos = substr($0, 14); if (!n) first = pos; last = pos; n++; next }
       function fold() {
         if (n == 1) print "progress pos=" first
         else if (n) print "progress pos=" first " ... pos=" last "  (" n " progress lines)"
         n = 0
       }
       { fold(); print }
       END { fold() }' "$1"
}

step "transcript ($transcript; progress lines folded)"
if [ -f "$transcript" ]; then show_transcript "$transcript"; else echo "(none written)"; fi
# The status is the run's result, which the transcript's last line says
# too (result code=N text="..."): 0 installed; 1 cancelled, which is yours
# to do when you run it by hand.
if [ "$unattended" = 0 ]; then
  step "what you did, as an answer file ($recorded; replay: W32_ANSWERS=$recorded)"
  cat "$recorded"
  if [ "$status" = 1 ]; then
    echo
    echo "demo: you cancelled setup (status 1); nothing more to show"
    exit 0
  fi
fi
if [ "$status" = 130 ]; then
  printf '\nrun-demo: you interrupted setup (Ctrl-C, status 130); nothing more to show\n' >&2
  exit 130
fi
[ "$status" = 0 ] || fail "setup exited with status $status"

step "the sign-up program ($target/quorvel.log)"
for _ in $(seq 50); do
  [ "$(log_lines)" -gt "$logged_before" ] && break
  sleep 0.1
done
[ "$(log_lines)" -gt "$logged_before" ] || fail "quorvel.exe left no log line within 5 s"
tail -n +"$((logged_before + 1))" "$target/quorvel.log"

step "registry: w32prefix reg query 'HKLM\\Software\\DunmereNetwork\\Quorvel'"
"$w32prefix" reg query 'HKLM\Software\DunmereNetwork\Quorvel' || fail "no registry key"

step "Program Manager: w32prefix groups"
"$w32prefix" groups

step "drives: w32prefix drives"
"$w32prefix" drives

step "installed files: c:\\dunmere\\quorvel ($target)"
ls -l --time-style=long-iso "$target"

for ini in win.ini system.ini; do
  step "$(echo "$ini" | tr a-z A-Z) ($prefix/drive_c/windows/$ini)"
  if [ -s "$prefix/drive_c/windows/$ini" ]; then cat "$prefix/drive_c/windows/$ini"; else echo "(empty)"; fi
done
echo
echo "demo: done"
