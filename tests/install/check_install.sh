#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and checks what lands there.
# Usage: check_install.sh BUILD_DIR WITH_GUI(ON|OFF)
set -euo pipefail
build="$1"
with_gui="$2"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

failures=0
expect_file() {
  if [ -f "$prefix/$1" ]; then echo "ok: $1"; else echo "missing: $1"; failures=$((failures + 1)); fi
}
expect_executable() {
  if [ -x "$prefix/$1" ]; then echo "ok: $1"; else echo "missing or not executable: $1"; failures=$((failures + 1)); fi
}

expect_executable bin/varnolix
expect_file share/man/man1/varnolix.1.gz
expect_file share/doc/varnolix/copyright
# The installed program must run from its new place.
scratch="$(mktemp -d)"
printf 'x;1\n' >"$scratch/test.csv"
(cd "$scratch" && "$prefix/bin/varnolix" >/dev/null) && [ "$(cat "$scratch/x")" = "x;1" ] \
  || { echo "installed varnolix did not run"; failures=$((failures + 1)); }
rm -rf "$scratch"

if [ "$with_gui" = ON ]; then
  expect_executable bin/VarnolixGui
  expect_file share/man/man1/VarnolixGui.1.gz
  expect_file share/applications/VarnolixGui.desktop
  grep -qx 'Exec=VarnolixGui' "$prefix/share/applications/VarnolixGui.desktop" \
    || { echo "desktop entry does not start VarnolixGui"; failures=$((failures + 1)); }
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$prefix/share/applications/VarnolixGui.desktop" || failures=$((failures + 1))
  fi
fi

echo "$((failures == 0 ? 1 : 0)) passed, $((failures == 0 ? 0 : 1)) failed"
[ "$failures" -eq 0 ]
