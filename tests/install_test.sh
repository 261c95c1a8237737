#!/usr/bin/env bash
# Installs into a scratch prefix and builds the example image with the
# installed binary, as a user of the installed tool would. DOCS says which
# documents: debian (the compressed manual and changelog and the copyright
# file, as the Debian package needs them) or plain (the manual page and
# NEWS.md as they are, for a distribution's tools: ROMWEAVE_INSTALL_PLAIN_DOCS).
set -euo pipefail
build=$1 source=$2 docs=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
if [ "$docs" = plain ]; then
  files=(bin/romweave share/man/man1/romweave.1 share/doc/romweave/NEWS.md)
  read_manual=(cat "$prefix/share/man/man1/romweave.1")
else
  files=(bin/romweave share/man/man1/romweave.1.gz share/doc/romweave/copyright share/doc/romweave/changelog.gz)
  read_manual=(gzip -dc "$prefix/share/man/man1/romweave.1.gz")
fi
for file in "${files[@]}"; do
  test -f "$prefix/$file" || { echo "$file not installed"; exit 1; }
done
test -x "$prefix/bin/romweave" || { echo "bin/romweave is not executable"; exit 1; }
# Nothing else, so that the README's line that removes them misses nothing.
[ "$(find "$prefix" -type f | wc -l)" -eq ${#files[@]} ] || { echo "more than those files installed:"; find "$prefix" -type f; exit 1; }
"${read_manual[@]}" | cmp -s - "$source/doc/romweave.1" ||
  { echo "the installed manual page is not doc/romweave.1"; exit 1; }

last=$("$prefix/bin/romweave" -s 8K -A LLLCBA9876543210 "$prefix/board.bin" \
  "$source/examples/blink.byte" "$source/examples/vectors.byte" | tail -1)
[ "$last" = Done ] || { echo "the installed binary ends with \"$last\", not Done"; exit 1; }
size=$(wc -c < "$prefix/board.bin")
[ "$size" -eq 8192 ] || { echo "installed binary built $size bytes, not 8192"; exit 1; }
echo "install ($docs): ${files[*]} installed; the binary works"
