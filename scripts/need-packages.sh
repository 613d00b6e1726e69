#!/usr/bin/env bash
# Usage: bash scripts/need-packages.sh
#
# Makes sure this machine has what the builds and the tests need; README's
# two commands and CI call it first.
#
# The Debian packages listed in scripts/packages.txt (one a line):
#   - all installed: does nothing;
#   - some missing, run as root: installs them (apt-get update once, then
#     apt-get install), waiting up to NEED_PACKAGES_LOCK_WAIT seconds
#     (default 300) while another program holds the package manager's lock;
#   - some missing otherwise: names them and the command that installs
#     them, and exits with status 1.
#
# On an amd64 machine, also what the Wine suite needs to run the 32-bit
# (i686) setup.exe where the kernel runs no 32-bit code itself: the i386
# architecture, the packages of scripts/packages-i386.txt (qemu's user-mode
# emulator and the 32-bit Wine), the binfmt_misc file system mounted, and
# an entry in it (qemu-i386) that hands 32-bit x86 programs to qemu. Run as
# root it sets up what is missing and leaves what is there as it is (an
# entry already registered is never changed). Where it cannot (not root, a
# machine that allows no binfmt_misc), it says what is missing and goes on:
# the Wine suite then skips its i686 tests and says so by name.
if [[ ${1:-} == -h || ${1:-} == --help ]]; then  # the comment above, and nothing else
  while IFS= read -r l; do [[ $l == '#!'* ]] && continue; [[ $l == '#'* ]] || break; l=${l#'#'}; echo "${l# }"; done <"$0"
  exit 0
fi
set -euo pipefail
[ $# -eq 0 ] || { echo "need-packages: unknown argument '$1' (it takes none; --help says what it does)" >&2; exit 2; }
here="$(cd "$(dirname "$0")" && pwd)"
list=$here/packages.txt
list32=$here/packages-i386.txt

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "need-packages: dpkg-query not found; this project builds on Debian and needs:" >&2
  grep -v '^[[:space:]]*$' "$list" | tr '\n' ' ' >&2
  echo >&2
  exit 1
fi

# The packages of a list that are not installed, one a line.
not_installed() {
  local package status
  while read -r package; do
    [ -n "$package" ] || continue
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || echo "$package"
  done <"$1"
}

mapfile -t missing < <(not_installed "$list")
root=false
[ "$(id -u)" -eq 0 ] && root=true
export DEBIAN_FRONTEND=noninteractive
updated=false
# apt-get, waiting (bounded) for the package manager's lock: install waits
# by itself; update, which does not, is tried again while the lock is held.
lock_wait=${NEED_PACKAGES_LOCK_WAIT:-300}
apt_get() {
  local err give_up=$((SECONDS + lock_wait))
  err=$(mktemp)
  until apt-get -o DPkg::Lock::Timeout="$lock_wait" "$@" 2>"$err"; do
    cat "$err" >&2
    if ! grep -qi 'lock' "$err"; then
      rm -f "$err"
      return 1
    fi
    if [ $SECONDS -ge $give_up ]; then
      rm -f "$err"
      echo "need-packages: another program still holds the package manager's lock after ${lock_wait} s (an update" >&2
      echo "or an installation running): let it finish, then run this again (NEED_PACKAGES_LOCK_WAIT sets the wait)" >&2
      exit 1
    fi
    echo "need-packages: another program holds the package manager's lock; waiting for it (at most ${lock_wait} s)" >&2
    sleep 5
  done
  cat "$err" >&2
  rm -f "$err"
}

update_once() { $updated || apt_get update || apt_failed update; updated=true; }
apt_failed() {
  echo "need-packages: apt-get $1 failed (above); install the packages yourself:" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
}

if $root && [ ${#missing[@]} -gt 0 ]; then
  update_once
  echo "need-packages: installing ${missing[*]}"
  apt_get install -y --no-install-recommends "${missing[@]}" || apt_failed install
  missing=()
fi

# ---- 32-bit programs -----------------------------------------------------------
# Does this machine run a 32-bit x86 program? The smallest one: an ELF
# header, one program header and the code that exits with status 42.
runs32() {
  local dir got=0
  dir=$(mktemp -d) || return 1
  printf '%b' \
    '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$dir/exit42"
  chmod +x "$dir/exit42"
  "$dir/exit42" 2>/dev/null || got=$?
  rm -f "$dir/exit42"
  rmdir "$dir"
  [ $got = 42 ]
}

binfmt=/proc/sys/fs/binfmt_misc
qemu=/usr/bin/qemu-i386-static
gaps32=()
# An entry that hands 32-bit x86 programs to qemu (mounting binfmt_misc
# where it is not), unless they run already or an entry of that name is
# there (someone's own: left as it is, whatever it says).
register_qemu() {
  runs32 && return 0
  if [ ! -e "$binfmt/register" ]; then
    if ! $root; then
      gaps32+=("binfmt_misc mounted on $binfmt")
      return 0
    elif mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
      echo "need-packages: mounted binfmt_misc on $binfmt"
    else
      gaps32+=("binfmt_misc on $binfmt (this machine does not let it be mounted)")
      return 0
    fi
  fi
  if [ -e "$binfmt/qemu-i386" ]; then
    local state
    state=$(head -n1 "$binfmt/qemu-i386")
    [ "$state" = disabled ] && state="disabled; echo 1 >$binfmt/qemu-i386 enables it"
    gaps32+=("a working qemu-i386 entry in $binfmt (the one there is left as it is: $state)")
  elif ! $root; then
    gaps32+=("an entry in $binfmt that hands 32-bit x86 programs to $qemu")
  elif [ ! -x "$qemu" ]; then
    gaps32+=("$qemu, for the entry in $binfmt")
  else
    # A 32-bit little-endian x86 ELF program or shared object: its
    # identification (any OS ABI), type 2 or 3, machine 3. F: qemu is
    # opened now, so the entry serves every mount namespace.
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xff\xff\x00\x00\x00\x00\x00\x00\x00\x00\x00\xfe\xff\xff\xff'
    if printf '%s' ":qemu-i386:M::$magic:$mask:$qemu:F" >"$binfmt/register" 2>/dev/null; then
      echo "need-packages: registered qemu-i386 in $binfmt: 32-bit x86 programs run through $qemu"
    else
      gaps32+=("an entry qemu-i386 in $binfmt (this machine refused it)")
    fi
  fi
}

if [ "$(dpkg --print-architecture)" = amd64 ]; then
  # qemu first, then the entry, then the 32-bit packages: their own
  # scripts then run as they are installed.
  mapfile -t missing32 < <(not_installed "$list32")
  host32=() i386=()
  for p in "${missing32[@]}"; do
    case $p in *:i386) i386+=("$p") ;; *) host32+=("$p") ;; esac
  done
  if $root && [ ${#host32[@]} -gt 0 ]; then
    update_once
    echo "need-packages: installing ${host32[*]}, to run 32-bit programs"
    apt_get install -y --no-install-recommends "${host32[@]}" || true
  fi
  register_qemu
  if $root && [ ${#i386[@]} -gt 0 ]; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      dpkg --add-architecture i386
      echo "need-packages: added the i386 architecture (dpkg --add-architecture i386), for the 32-bit Wine"
      updated=false
    fi
    update_once
    echo "need-packages: installing ${i386[*]}, to run the 32-bit setup.exe under Wine"
    apt_get install -y --no-install-recommends "${i386[@]}" || true
  fi
  mapfile -t missing32 < <(not_installed "$list32")
  [ ${#missing32[@]} -eq 0 ] || gaps32+=("the packages ${missing32[*]}")
  [ ${#gaps32[@]} -gt 0 ] || runs32 || gaps32+=("a 32-bit x86 program that starts")
  if [ ${#gaps32[@]} -gt 0 ]; then
    echo "need-packages: 32-bit Windows programs cannot run here, so the Wine suite skips its i686 tests; missing:" >&2
    printf '  %s\n' "${gaps32[@]}" >&2
    $root || echo "  (run scripts/need-packages.sh as root to set them up)" >&2
  fi
fi

# ---- What is still missing ---------------------------------------------------
[ ${#missing[@]} -eq 0 ] && exit 0
echo "need-packages: missing Debian packages: ${missing[*]}" >&2
echo "install them as root with:" >&2
echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
exit 1
