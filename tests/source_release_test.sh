#!/usr/bin/env bash
# Makes the source tarball twice (the same bytes both times), checks that it
# holds exactly the tracked files, unpacks it where there is no git checkout,
# builds the tool from it and builds the example image. Exit 77 (skipped)
# outside a git checkout.
set -euo pipefail
build=$1 source=$2 version=$3
command -v git >/dev/null && git -C "$source" rev-parse --git-dir >/dev/null 2>&1 ||
  { echo "skipped: not a git checkout, so there is no source release to make"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
tarball=$build/romweave-$version.tar.gz

cmake --build "$build" --target source_tarball >/dev/null
first=$(sha256sum < "$tarball")
cmake --build "$build" --target source_tarball >/dev/null
[ "$(sha256sum < "$tarball")" = "$first" ] || { echo "two tarballs of one commit differ"; exit 1; }
diff <(tar tzf "$tarball" | grep -v '/$' | sed "s|^romweave-$version/||" | sort) \
     <(git -C "$source" ls-tree -r --name-only HEAD | sort) ||
  { echo "the tarball does not hold exactly the tracked files"; exit 1; }

tar xzf "$tarball" -C "$scratch"
unpacked=$scratch/romweave-$version
cmake -S "$unpacked" -B "$scratch/build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$scratch/build" -j2 >/dev/null
(cd "$unpacked" && "$scratch/build/romweave" -s 8K -A LLLCBA9876543210 board.bin \
  examples/blink.byte examples/vectors.byte) | tail -1 | grep -qx Done
[ "$(stat -c %s "$unpacked/board.bin")" -eq 8192 ] || { echo "the example image has the wrong size"; exit 1; }
echo "source release: $(basename "$tarball") ($(tar tzf "$tarball" | grep -vc '/$') files) builds without git and runs the example"
