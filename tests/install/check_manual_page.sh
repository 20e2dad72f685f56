#!/usr/bin/env bash
# Renders a manual page with groff and man in their strictest modes; any warning fails.
# Usage: check_manual_page.sh PAGE
set -euo pipefail
page="$1"
warnings="$(groff -man -ww -z -Tutf8 "$page" 2>&1)"
warnings+="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)"
if [ -n "$warnings" ]; then
  printf '%s\n' "$warnings"
  echo "0 passed, 1 failed"
  exit 1
fi
for section in NAME SYNOPSIS DESCRIPTION FILES 'EXIT STATUS' DIAGNOSTICS EXAMPLES NOTES; do
  grep -q "^\.SH \"\?$section\"\?\$" "$page" || { echo "missing section $section"; exit 1; }
done
echo "1 passed, 0 failed"
