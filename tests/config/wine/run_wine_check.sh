#!/bin/sh
# Runs the Windows build of the configuration checks under Wine, in a
# prefix of its own, with a virtual X display for DDE when xvfb-run is
# there. Exit 77 (skipped) when Wine is missing.
exe="$1"
wine=$(command -v wine64 || command -v wine || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; })
if [ -z "$wine" ]; then
  echo "config_wine_check: SKIPPED (Wine is not installed)"
  exit 77
fi
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
prefix=$(mktemp -d /tmp/qv_config_wine_XXXXXX)
export WINEPREFIX="$prefix" WINEDEBUG=-all
# The prefix is booted for 64-bit programs alone (its 32-bit half would
# take minutes under qemu where 32-bit programs run through it).
bash "$(dirname "$0")/../../wine/hide32.sh" "$wine" "$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -w
if command -v xvfb-run >/dev/null 2>&1; then
  xvfb-run -a "$wine" "$exe" --dde
else
  "$wine" "$exe"
fi
rc=$?
"$wineserver" -k >/dev/null 2>&1
rm -rf "$prefix"
exit $rc
