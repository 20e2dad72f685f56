#!/usr/bin/env bash
# Checks what a run of varnolix on CSV left behind: in FOLDER, for every key, a file named
# by it holding exactly that key's lines, in input order, up to the first empty line; in
# NARRATION, one "clozing" line per key. Keys are compared as plain strings, never used as
# patterns, so that any key (spaces, regex characters, a leading dash, digits) is checked.
# Usage: check_grouping.sh CSV FOLDER NARRATION
set -euo pipefail
csv="$1"
folder="$2"
narration="$3"

# $1 "" forces a string comparison: awk would take "1" and "01" for the same number.
mapfile -t keys < <(awk -F ';' '$0 == "" { exit } !seen[$1 ""]++ { print $1 }' "$csv")
failures=0
for key in "${keys[@]}"; do
  if [ ! -f "$folder/$key" ]; then
    echo "missing: the file of key '$key'"
    failures=$((failures + 1))
  elif ! diff -- <(KEY="$key" awk -F ';' '$0 == "" { exit } $1 "" == ENVIRON["KEY"] { print }' "$csv") \
                 "$folder/$key"; then
    echo "wrong lines in the file of key '$key'"
    failures=$((failures + 1))
  fi
done
closings="$(grep -c '^clozing$' "$narration" || true)"
if [ "$closings" -ne "${#keys[@]}" ]; then
  echo "$closings clozing lines for ${#keys[@]} keys"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ]
