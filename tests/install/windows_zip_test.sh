#!/usr/bin/env bash
# Makes the Windows zip of a cross build with CPack, outside the build tree, checks
# what it holds, and runs the unpacked exe under Wine as a user would.
# usage: windows_zip_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tervalo-zip-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

name=tervalo-$version-windows-x64
cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
[ -f "$work/$name.zip" ] || fail "no $name.zip in $work: $(ls "$work")"

mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$work/$name.zip")
expected="$name/LICENSE.txt
$name/README.txt
$name/tervalo.exe"
got=$(cd "$work/unpacked" && find . -type f | sed 's|^\./||' | sort)
[ "$got" = "$expected" ] || fail "the zip holds: $got"

top=$work/unpacked/$name
for text in README.txt LICENSE.txt; do
    # Every line ends in CR LF, for Notepad before Windows 10.
    if grep -q $'[^\r]$\|^$' "$top/$text"; then fail "$text has lines without CR LF"; fi
done
for topic in "--list" "--help" "--version" "--count" "--max-loss" "Device Manager" "255" "MIT"; do
    grep -q -- "$topic" "$top/README.txt" || fail "README.txt says nothing of $topic"
done

# Run from a directory of its own, as after unpacking on Windows.
out=$(cd "$top" && wine ./tervalo.exe --version | tr -d '\r')
[ "$out" = "tervalo $version" ] || fail "the unpacked exe said: $out"
echo "$name.zip: $(echo "$got" | tr '\n' ' ')runs"
