#!/usr/bin/env bash
# Runs a command with Wine's 32-bit half out of sight, for booting a prefix
# that only 64-bit programs will use:
#   hide32.sh WINE COMMAND [ARGUMENT...]
# Where 32-bit programs run (wine32 installed, and the kernel or qemu runs
# them), Wine boots a new prefix's 32-bit half too, under qemu for
# minutes. Its 32-bit loader (beside WINE) is hidden from the command: in a
# mount namespace of the command's own (a user namespace too when not
# root), an empty file stands over it, and Wine boots the 64-bit half
# alone. Where the loader does not start anyway, or no namespace can be
# made, the command runs as it is (saying so in the second case).
set -uo pipefail
wine=$1
shift
loader=$(dirname "$(readlink -f "$wine")")/wine
if [ ! -x "$loader" ] || ! "$loader" --version >/dev/null 2>&1; then
  exec "$@"
fi
empty=$(mktemp)
hide='mount --bind "$0" "$1" && shift && exec "$@"'
if unshare --mount true 2>/dev/null; then
  unshare --mount bash -c "$hide" "$empty" "$loader" "$@"
elif unshare --user --map-root-user --mount true 2>/dev/null; then
  unshare --user --map-root-user --mount bash -c "$hide" "$empty" "$loader" "$@"
else
  echo "hide32: no mount namespace here: the prefix's 32-bit half boots too, which takes minutes" >&2
  "$@"
fi
status=$?
rm -f "$empty"
exit $status
