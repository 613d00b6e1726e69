#!/usr/bin/env bash
# The main job, until the setup program itself runs here: builds the package
# archive tool, decodes the bundled implode sample, then packs the sample
# files into a package archive the way quorvel.z is made, lists it, tests it
# and unpacks it again, comparing every byte and timestamp.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${BUILD_ROOT:-$PWD/build}
cmake -S . -B "$out/gcc" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$out/gcc" zarc >/dev/null
zarc="$out/gcc/tools/zarc/zarc"
demo="$out/demo"
rm -rf "$demo" && mkdir -p "$demo/unpacked"

echo "== zarc explode samples/readme.imp"
"$zarc" explode samples/readme.imp "$demo/readme.txt"
cmp samples/readme.txt "$demo/readme.txt"
head -n 5 "$demo/readme.txt"
echo "... $(wc -c < "$demo/readme.txt") bytes, identical to samples/readme.txt"

echo "== zarc create / list / test / extract"
cp -p samples/readme.txt "$demo/readme.txt"
head -c 100000 /dev/urandom > "$demo/random.bin"
"$zarc" create "$demo/quorvel.z" --ascii "$demo/readme.txt" --binary "$demo/random.bin"
"$zarc" list "$demo/quorvel.z"
"$zarc" test "$demo/quorvel.z"
"$zarc" extract "$demo/quorvel.z" "$demo/unpacked"
for f in readme.txt random.bin; do
  cmp "$demo/$f" "$demo/unpacked/$f"
  [ "$(stat -c %Y "$demo/$f")" = "$(stat -c %Y "$demo/unpacked/$f")" ]
done
echo "demo: all members unpacked byte for byte with their timestamps"
