# demo_package_check.sh ZARC DEMO_DIR: checks the demo package the build
# laid out in DEMO_DIR.
set -eu
zarc=$1
demo=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$zarc" extract -q -d "$work" "$demo/package/quorvel.z"
chmod +x "$work/quorvel.exe"
(cd / && "$work/quorvel.exe" main 2> /dev/null)
expected="Quorvel sign-up started: $work/quorvel.exe main"
if [ "$(cat "$work/quorvel.log")" != "$expected" ]; then
  echo "quorvel.log holds '$(cat "$work/quorvel.log")', expected '$expected'"
  exit 1
fi

total=$(sed -n 's/^total //p' "$demo/package.txt")
floppy=$(sed -n 's/^total //p' "$demo/floppy.txt")
if [ "$total" -lt 1425000 ] || [ "$total" -gt 1500000 ] || [ "$floppy" != "$total" ]; then
  echo "package total $total, on floppies $floppy; expected the same, from 1425000 to 1500000"
  exit 1
fi
