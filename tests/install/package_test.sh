#!/usr/bin/env bash
# Builds the .deb of a build with CPack, outside the build tree, checks its contents and
# fields, has Debian's lintian check it (no error and no warning passes), then runs the
# packaged programs from the unpacked package.
# usage: package_test.sh BUILD_DIR
set -euo pipefail
work=$(mktemp -d "${TMPDIR:-/tmp}/tervalo-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cpack -G DEB --config "$1/CPackConfig.cmake" -B "$work" >/dev/null
deb=$(echo "$work"/tervalo_*.deb)
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for f in bin/tervalo bin/tervalo-sim bin/tervalo-plot share/man/man1/tervalo.1.gz \
    share/man/man1/tervalo-sim.1.gz share/man/man1/tervalo-plot.1.gz share/tervalo/tervalo-rules.yml \
    share/doc/tervalo/copyright share/doc/tervalo/changelog.gz lib/systemd/system/tervalo@.service \
    lib/udev/rules.d/70-tervalo.rules libexec/tervalo/tervalo-bench lib/sysusers.d/tervalo.conf; do
    grep -qx -- "./usr/$f" <<<"$contents" || fail "$f missing from the package: $contents"
done
[ "$(dpkg-deb -f "$deb" Package Recommends)" = $'Package: tervalo\nRecommends: python3-matplotlib' ] ||
    fail "fields: $(dpkg-deb -f "$deb" Package Recommends)"
grep -q libc6 <<<"$(dpkg-deb -f "$deb" Depends)" || fail "no libc6 dependency"

command -v lintian >/dev/null || fail "lintian is missing: scripts/install-deps all"
# As root, lintian says so on standard error on every run; that line is no finding.
status=0
findings=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
[ "$status" -eq 0 ] || fail "lintian (status $status): $(grep -v '^running with root' <<<"$findings")"

dpkg-deb -x "$deb" "$work/root"
status=0
(cd "$work" && "$work/root/usr/bin/tervalo" >/dev/null) || status=$?
[ "$status" -eq 255 ] || fail "packaged tervalo exited $status"
"$work/root/usr/bin/tervalo-sim" --help | grep -q -- '--record' || fail "packaged tervalo-sim"
echo "packaged $(basename "$deb")"
