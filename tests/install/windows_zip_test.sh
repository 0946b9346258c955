#!/usr/bin/env bash
# Makes the Windows zip of a cross build with CPack, outside the build tree, checks what it
# holds, and runs the unpacked exe under Wine as a user would.
# usage: windows_zip_test.sh BUILD_DIR VERSION
set -euo pipefail
work=$(mktemp -d "${TMPDIR:-/tmp}/tervalo-zip-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
name=tervalo-$2-windows-x64
cpack -G ZIP --config "$1/CPackConfig.cmake" -B "$work" >/dev/null
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$work/$name.zip")
got=$(cd "$work/unpacked" && find . -type f | sort)
[ "$got" = "$(printf "./$name/%s\n" LICENSE.txt README.txt tervalo.exe)" ] || fail "the zip holds: $got"
top=$work/unpacked/$name
# Every line ends in CR LF, for Notepad before Windows 10.
! grep -q $'[^\r]$\|^$' "$top/README.txt" "$top/LICENSE.txt" || fail "lines without CR LF"
for topic in "--list" "--help" "--version" "--count" "--max-loss" "Device Manager" "255" "MIT"; do
    grep -q -- "$topic" "$top/README.txt" || fail "README.txt says nothing of $topic"
done
# Run from a directory of its own, as after unpacking on Windows.
out=$(cd "$top" && wine ./tervalo.exe --version | tr -d '\r')
[ "$out" = "tervalo $2" ] || fail "the unpacked exe said: $out"
echo "$name.zip: $got, runs"
