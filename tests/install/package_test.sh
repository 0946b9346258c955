#!/usr/bin/env bash
# Builds the .deb of a build with CPack, outside the build tree, and checks its
# contents and fields, then runs the packaged tool from the unpacked package.
# usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tervalo-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
debs=("$work"/tervalo_*.deb)
[ -f "${debs[0]}" ] || fail "no .deb in $work"
deb=${debs[0]}

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for f in ./usr/bin/tervalo ./usr/bin/tervalo-sim \
    ./usr/share/man/man1/tervalo.1.gz ./usr/share/man/man1/tervalo-sim.1.gz; do
    grep -qx -- "$f" <<<"$contents" || fail "$f missing from the package: $contents"
done
[ "$(dpkg-deb -f "$deb" Package)" = tervalo ] || fail "package name"
grep -q 'libc6' <<<"$(dpkg-deb -f "$deb" Depends)" || fail "no libc6 dependency"

dpkg-deb -x "$deb" "$work/root"
status=0
(cd "$work" && "$work/root/usr/bin/tervalo" >/dev/null) || status=$?
[ "$status" -eq 255 ] || fail "packaged tervalo exited $status"
"$work/root/usr/bin/tervalo-sim" --help | grep -q -- '--record' || fail "packaged tervalo-sim"
echo "packaged $(basename "$deb")"
