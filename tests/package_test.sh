#!/usr/bin/env bash
# Builds the Debian package, checks its fields and contents, unpacks it into
# a scratch root and runs the packaged binary there.
set -euo pipefail
build=$1 source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >/dev/null
deb=$(ls "$scratch"/out/romweave_*.deb)
for field in Package Version Maintainer Description Depends Section; do
  value=$(dpkg-deb -f "$deb" "$field")
  [ -n "$value" ] || { echo "package has no $field field"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Package)" = romweave ] || { echo "wrong package name"; exit 1; }
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/romweave ./usr/share/man/man1/romweave.1; do
  printf '%s\n' "$contents" | grep -q " $path\$" || { echo "package lacks $path"; exit 1; }
done

dpkg -x "$deb" "$scratch/root"
"$scratch/root/usr/bin/romweave" -s 8K -A LLLCBA9876543210 "$scratch/board.bin" \
  "$source/examples/blink.byte" "$source/examples/vectors.byte" | tail -1 | grep -qx Done
echo "package: $(basename "$deb"), depends on $(dpkg-deb -f "$deb" Depends), unpacked binary works"
