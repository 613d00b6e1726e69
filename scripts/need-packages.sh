#!/usr/bin/env bash
# Makes sure the Debian packages listed in scripts/packages.txt (one a line)
# are installed; README's two commands and CI call it first.
#   - all installed: does nothing;
#   - some missing, run as root: installs them (apt-get update once, then
#     apt-get install);
#   - some missing otherwise: names them and the command that installs
#     them, and exits with status 1.
set -euo pipefail
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

if [ "$(id -u)" -eq 0 ]; then
  echo "need-packages: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
  exit 0
fi

echo "need-packages: missing Debian packages: ${missing[*]}" >&2
echo "install them as root with:" >&2
echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
exit 1
