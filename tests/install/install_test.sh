#!/usr/bin/env bash
# Installs a build into a temporary prefix, runs the installed programs (the tool against
# the simulator, the plot) and renders the installed manual pages, which must give no
# warnings.
# usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tervalo-install-XXXXXX")
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
cd "$work"

status=0
usage=$("$prefix/bin/tervalo") || status=$?
[ "$status" -eq 255 ] && [ "$usage" = $'usage: tervalo com_port\nexample: tervalo COM1' ] ||
    fail "tervalo without a port: status $status, $usage"

"$prefix/bin/tervalo-sim" >ready.txt 2>/dev/null &
for _ in $(seq 50); do [ -s ready.txt ] && break; sleep 0.1; done
grep -q '^\[info\]:tervalo-sim ready: COM1 -> /dev/pts/' ready.txt || fail "simulator not ready"
"$prefix/bin/tervalo" -c 1 --log run.jsonl COM1 2>/dev/null | grep -q $'^\\[info\\]:response: reply 1\r$' ||
    fail "no response"
kill -TERM %1
wait %1 || fail "simulator exited $? on SIGTERM"
[ ! -e COM1 ] && [ ! -L COM1 ] || fail "COM1 left behind"

# The installed plot finds its matplotlib, whatever python3 comes first on PATH.
"$prefix/bin/tervalo-plot" run.jsonl -o run.png && [ -s run.png ] || fail "tervalo-plot drew nothing"

for page in tervalo tervalo-sim tervalo-plot; do
    found=$(MANPATH="$prefix/share/man" man -w "$page")
    [ "$found" = "$prefix/share/man/man1/$page.1.gz" ] || fail "man -w $page gave $found"
    warnings=$(MANWIDTH=80 man --warnings -l "$found" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page: $warnings"
    MANWIDTH=80 man -l "$found" 2>/dev/null | grep -q '^EXIT STATUS' || fail "$page: no EXIT STATUS"
done
echo "installed, ran and rendered from $prefix"
