#!/usr/bin/env bash
# The manual page renders without a warning and documents, under OPTIONS,
# every option that the usage text lists.
set -euo pipefail
tool=$1 page=$2

warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
  echo "groff warns about $page:"; echo "$warnings"; exit 1
fi

options_section=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null |
  awk '/^OPTIONS/ { inside = 1; next } /^[A-Z]/ { inside = 0 } inside')
usage=$("$tool" || true)
letters=$(printf '%s\n' "$usage" | sed -n 's/^ -\([A-Za-z]\) .*/\1/p')
[ -n "$letters" ] || { echo "no options found in the usage text"; exit 1; }
missing=0
for letter in $letters; do
  if ! printf '%s\n' "$options_section" | grep -qE "^ +-$letter( |$)"; then
    echo "option -$letter is not described under OPTIONS"; missing=1
  fi
done
[ "$missing" -eq 0 ] && echo "man page: $(echo $letters | wc -w) options documented, no warnings"
