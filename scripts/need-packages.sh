#!/usr/bin/env bash
# Usage: bash scripts/need-packages.sh
#
# Makes sure the Debian packages listed in scripts/packages.txt (one a line)
# are installed; README's two commands and CI call it first.
#   - all installed: does nothing;
#   - some missing, run as root: installs them (apt-get update once, then
#     apt-get install), waiting up to NEED_PACKAGES_LOCK_WAIT seconds
#     (default 300) while another program holds the package manager's lock;
#   - some missing otherwise: names them and the command that installs
#     them, and exits with status 1.
if [[ ${1:-} == -h || ${1:-} == --help ]]; then  # the comment above, and nothing else
  while IFS= read -r l; do [[ $l == '#!'* ]] && continue; [[ $l == '#'* ]] || break; l=${l#'#'}; echo "${l# }"; done <"$0"
  exit 0
fi
set -euo pipefail
[ $# -eq 0 ] || { echo "need-packages: unknown argument '$1' (it takes none; --help says what it does)" >&2; exit 2; }
list="$(cd "$(dirname "$0")" && pwd)/packages.txt"

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "need-packages: dpkg-query not found; this project builds on Debian and needs:" >&2
  grep -v '^[[:space:]]*$' "$list" | tr '\n' ' ' >&2
  echo >&2
  exit 1
fi

missing=()
while read -r package; do
  [ -n "$package" ] || continue
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done < "$list"

[ ${#missing[@]} -eq 0 ] && exit 0

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
      echo "need-packages: apt-get $1 failed (above); install them yourself:" >&2
      echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
      exit 1
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

if [ "$(id -u)" -eq 0 ]; then
  echo "need-packages: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt_get update
  apt_get install -y --no-install-recommends "${missing[@]}"
  exit 0
fi

echo "need-packages: missing Debian packages: ${missing[*]}" >&2
echo "install them as root with:" >&2
echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
exit 1
