#!/usr/bin/env bash
# The manual page renders without a warning under groff and mandoc, names the
# project's version, and documents, under OPTIONS, every option that the
# usage text lists. Exit 77 (skipped) when a tool it needs is missing.
set -euo pipefail
tool=$1 page=$2 version=$3

command -v groff >/dev/null || { echo "skipped: groff is not installed (Debian: groff-base)"; exit 77; }
warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
  echo "groff warns about $page:"; echo "$warnings"; exit 1
fi

grep -q "^\.TH ROMWEAVE 1 [0-9-]* \"romweave $version\"" "$page" ||
  { echo "the page's .TH line does not name romweave $version with an ISO date"; exit 1; }

options_section=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null |
  awk '/^OPTIONS/ { inside = 1; next } /^[A-Z]/ { inside = 0 } inside')
usage=$("$tool" || true)
letters=$(sed -n 's/^ -\([A-Za-z]\) .*/\1/p' <<< "$usage")
[ -n "$letters" ] || { echo "no options found in the usage text"; exit 1; }
missing=0
for letter in $letters; do
  if ! grep -qE "^ +-$letter( |$)" <<< "$options_section"; then
    echo "option -$letter is not described under OPTIONS"; missing=1
  fi
done
[ "$missing" -eq 0 ] || exit 1
echo "man page: $(echo $letters | wc -w) options documented, version $version, no groff warnings"

command -v mandoc >/dev/null || { echo "skipped: mandoc is not installed, the rest passed"; exit 77; }
lint=$(mandoc -Tlint "$page" 2>&1 || true)
[ -z "$lint" ] || { echo "mandoc -Tlint reports:"; echo "$lint"; exit 1; }
echo "man page: mandoc -Tlint reports nothing"
