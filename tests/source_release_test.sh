#!/usr/bin/env bash
# Makes the source tarball twice (the same bytes both times), checks that it
# holds exactly the files of its MANIFEST (in a git checkout, the tracked
# ones), unpacks it where there is no git checkout, builds the tool from it,
# builds the example image, and makes the tarball again from there. Then
# tools/release makes the tarball and this machine's Debian package into a
# folder whose SHA256SUMS sha256sum -c accepts. Exit 77 (skipped) where there
# is nothing to make it from, or no dpkg-dev for the release.
set -euo pipefail
build=$1 source=$2 version=$3
[ -e "$source/.git" ] || [ -e "$source/MANIFEST" ] ||
  { echo "skipped: neither a git checkout nor an unpacked release with its MANIFEST"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
tarball=$build/romweave-$version.tar.gz
members() {  # the files in a tarball, without its folder
  tar tzf "$1" | grep -v '/$' | sed "s|^romweave-$version/||" | sort
}

cmake --build "$build" --target source_tarball >/dev/null
first=$(sha256sum < "$tarball")
cmake --build "$build" --target source_tarball >/dev/null
[ "$(sha256sum < "$tarball")" = "$first" ] || { echo "two tarballs of one source differ"; exit 1; }
tar xzf "$tarball" -C "$scratch"
unpacked=$scratch/romweave-$version
diff <(members "$tarball") <( (echo MANIFEST; cat "$unpacked/MANIFEST") | sort) ||
  { echo "the tarball does not hold exactly the files of its MANIFEST"; exit 1; }
if [ -e "$source/.git" ]; then
  diff "$unpacked/MANIFEST" <(git -C "$source" ls-tree -r --name-only HEAD) ||
    { echo "the MANIFEST is not the list of tracked files"; exit 1; }
fi

cmake -S "$unpacked" -B "$scratch/build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$scratch/build" -j2 >/dev/null
last=$(cd "$unpacked" && "$scratch/build/romweave" -s 8K -A LLLCBA9876543210 board.bin \
  examples/blink.byte examples/vectors.byte | tail -1)
[ "$last" = Done ] || { echo "the tool built from the tarball ends with \"$last\", not Done"; exit 1; }
[ "$(wc -c < "$unpacked/board.bin")" -eq 8192 ] || { echo "the example image has the wrong size"; exit 1; }
rm "$unpacked/board.bin"
cmake --build "$scratch/build" --target source_tarball >/dev/null
diff <(members "$tarball") <(members "$scratch/build/romweave-$version.tar.gz") ||
  { echo "the tarball made from the unpacked release holds other files"; exit 1; }
echo "source release: $(basename "$tarball") ($(members "$tarball" | wc -l) files) builds without git, runs the example and makes itself again"

command -v dpkg-shlibdeps >/dev/null && command -v file >/dev/null ||
  { echo "skipped: tools/release needs dpkg-dev and file; the rest passed"; exit 77; }
bash "$source/tools/release" "$scratch/release" deb >/dev/null
(cd "$scratch/release" && sha256sum --strict --quiet -c SHA256SUMS)
diff <(cd "$scratch/release" && LC_ALL=C ls) <(printf '%s\n' SHA256SUMS "romweave-$version.tar.gz" \
  "romweave_${version}_$(dpkg --print-architecture).deb" | LC_ALL=C sort) || { echo "the release holds other files"; exit 1; }
cmp "$scratch/release/romweave-$version.tar.gz" "$tarball" || { echo "the release's tarball is another"; exit 1; }
echo "release: tools/release made $(ls "$scratch/release" | tr '\n' ' ')and sha256sum -c accepts them"
