#!/usr/bin/env bash
# The assembly sources in examples/ make, by the commands that examples'
# README gives, the machine code that ships beside them, byte for byte. Exit
# 77 (skipped) where an assembler is missing: nothing else needs one.
set -euo pipefail
examples=$1
for tool in xa:xa65 m68k-linux-gnu-as:binutils-m68k-linux-gnu; do
  command -v "${tool%%:*}" >/dev/null || { echo "skipped: ${tool%%:*} is not installed (Debian: ${tool#*:})"; exit 77; }
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$examples"/*.s "$scratch"
# Every line of the README's command blocks, each one checked.
sed -n 's/^    //p' "$examples/README.md" | sed 's/$/ || exit 1/' | (cd "$scratch" && bash -s)
for made in blink.bin blink.byte 68000.byte; do
  cmp "$scratch/$made" "$examples/$made" || { echo "the sources no longer make $made"; exit 1; }
done
echo "examples: blink.s and 68000.s make blink.bin, blink.byte and 68000.byte"
