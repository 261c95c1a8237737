#!/usr/bin/env bash
# Builds the Debian package, checks its fields and contents, has lintian and
# hardening-check judge it, unpacks it into a scratch root and runs the
# packaged binary there. Exit 77 (skipped) when a tool it needs is missing.
set -euo pipefail
build=$1 source=$2 hardening=$3
[ "$hardening" != plain-docs ] || { echo "skipped: a build with ROMWEAVE_INSTALL_PLAIN_DOCS makes no Debian package"; exit 77; }
for tool in dpkg-deb dpkg-shlibdeps file; do
  command -v $tool >/dev/null || { echo "skipped: $tool is not installed (Debian: dpkg-dev, file)"; exit 77; }
done
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
for path in ./usr/bin/romweave ./usr/share/man/man1/romweave.1.gz \
            ./usr/share/doc/romweave/copyright ./usr/share/doc/romweave/changelog.gz; do
  grep -q " $path\$" <<< "$contents" || { echo "package lacks $path"; exit 1; }
done

dpkg -x "$deb" "$scratch/root"
entry=$(gzip -dc "$scratch/root/usr/share/doc/romweave/changelog.gz" | sed -n 1p)
[ "$entry" = "romweave ($(dpkg-deb -f "$deb" Version)) unstable; urgency=medium" ] ||
  { echo "the changelog's newest entry is \"$entry\", not the package's version"; exit 1; }
last=$("$scratch/root/usr/bin/romweave" -s 8K -A LLLCBA9876543210 "$scratch/board.bin" \
  "$source/examples/blink.byte" "$source/examples/vectors.byte" | tail -1)
[ "$last" = Done ] || { echo "the packaged binary ends with \"$last\", not Done"; exit 1; }
echo "package: $(basename "$deb"), depends on $(dpkg-deb -f "$deb" Depends), unpacked binary works"

missing=()
if command -v lintian >/dev/null; then
  # lintian refuses nothing for running as root, but says so on stderr. It
  # leaves a database file behind in TMPDIR.
  tags=$(TMPDIR=$scratch lintian --no-tag-display-limit "$deb" 2>/dev/null | grep -E '^[EW]: ' || true)
  [ -z "$tags" ] || { echo "lintian:"; echo "$tags"; exit 1; }
  echo "package: lintian reports no error or warning"
else
  missing+=(lintian)
fi
# hardening-check looks for the notes that mark a program as built with
# branch protection; the linker writes them only when every object carries
# them, and the C library's x86 start files on Debian 12 and 13 carry none,
# so no program linked there is marked, Debian's own included. The tool's
# own code is checked instead: its main begins with the target's landing
# instruction (the packaged binary is the build's, stripped). From
# devscripts 2.25 (Debian 13) on, hardening-check also asks every program
# for arm64's marks. The C library fortifies printf for GCC only, and the
# tool's other calls write into buffers of no size known when it is
# compiled: a clang build has no fortified call to find.
checks=(--nocfprotection)
help=$(hardening-check --help 2>&1 || true)
[[ $help != *--nobranchprotection* ]] || checks+=(--nobranchprotection)
[ "$hardening" != hardened-by-clang ] || checks+=(--nofortify)
case $(dpkg-deb -f "$deb" Architecture) in
  amd64) landing='endbr64' ;;
  i386) landing='endbr32' ;;
  arm64) landing='paciasp|bti' ;;
  *) landing= ;;
esac
if [ "$hardening" = unhardened ]; then
  echo "package: hardening-check left out: a Debug or sanitizer build is not fully hardened"
elif command -v hardening-check >/dev/null; then
  hardening-check "${checks[@]}" "$scratch/root/usr/bin/romweave" ||
    { echo "the packaged binary is not hardened"; exit 1; }
  if [ -n "$landing" ]; then
    objdump -d --disassemble=main "$build/romweave" > "$scratch/main"
    first=$(sed -n '/<main>:/{n;p;q}' "$scratch/main")
    grep -qE "[[:space:]]($landing)([[:space:]]|\$)" <<< "$first" ||
      { echo "main begins with \"$first\", not $landing: no branch protection"; exit 1; }
    echo "package: branch protection: main begins with ${first##*$'\t'}"
  fi
else
  missing+=("hardening-check (Debian: devscripts)")
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "skipped: not installed: ${missing[*]}; the rest passed"; exit 77
fi
