#!/usr/bin/env bash
# Builds the .deb of a build with CPack, outside the build tree, checks its contents
# and fields, has Debian's lintian check it (no error and no warning passes), then runs
# the packaged tool from the unpacked package.
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
for f in ./usr/bin/tervalo ./usr/bin/tervalo-sim ./usr/bin/tervalo-plot \
    ./usr/share/man/man1/tervalo.1.gz ./usr/share/man/man1/tervalo-sim.1.gz \
    ./usr/share/man/man1/tervalo-plot.1.gz ./usr/share/tervalo/tervalo-rules.yml \
    ./usr/share/doc/tervalo/copyright ./usr/share/doc/tervalo/changelog.gz \
    ./usr/lib/systemd/system/tervalo@.service ./usr/lib/udev/rules.d/70-tervalo.rules \
    ./usr/libexec/tervalo/tervalo-bench ./usr/lib/sysusers.d/tervalo.conf; do
    grep -qx -- "$f" <<<"$contents" || fail "$f missing from the package: $contents"
done
[ "$(dpkg-deb -f "$deb" Package)" = tervalo ] || fail "package name"
grep -q 'libc6' <<<"$(dpkg-deb -f "$deb" Depends)" || fail "no libc6 dependency"
[ "$(dpkg-deb -f "$deb" Recommends)" = python3-matplotlib ] || fail "Recommends"

command -v lintian >/dev/null || fail "lintian is missing: scripts/install-deps all"
# As root, lintian says so on standard error on every run; that line is no finding.
status=0
findings=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
findings=$(grep -v '^running with root privileges' <<<"$findings" || true)
[ "$status" -eq 0 ] || fail "lintian (status $status): $findings"

dpkg-deb -x "$deb" "$work/root"
status=0
(cd "$work" && "$work/root/usr/bin/tervalo" >/dev/null) || status=$?
[ "$status" -eq 255 ] || fail "packaged tervalo exited $status"
"$work/root/usr/bin/tervalo-sim" --help | grep -q -- '--record' || fail "packaged tervalo-sim"
echo "packaged $(basename "$deb")"
