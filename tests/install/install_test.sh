#!/usr/bin/env bash
# Installs a build into a temporary prefix, runs both installed programs against each
# other, and renders the installed manual pages, which must give no warnings.
# usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tervalo-install-XXXXXX")
sim_pid=""
cleanup() {
    [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

for f in bin/tervalo bin/tervalo-sim bin/tervalo-plot; do
    [ -x "$prefix/$f" ] || fail "$f not installed"
done
for page in tervalo tervalo-sim tervalo-plot; do
    [ -f "$prefix/share/man/man1/$page.1.gz" ] || fail "manual page $page not installed"
done

# The installed tool, without a port: the usage text and status 255.
status=0
usage=$(cd "$work" && "$prefix/bin/tervalo") || status=$?
[ "$status" -eq 255 ] || fail "tervalo without a port exited $status"
[ "$usage" = $'usage: tervalo com_port\nexample: tervalo COM1' ] || fail "usage text: $usage"

# The installed pair: one cycle answered.
mkdir "$work/run"
cd "$work/run"
"$prefix/bin/tervalo-sim" --log sim.log >ready.txt &
sim_pid=$!
for _ in $(seq 50); do
    [ -s ready.txt ] && break
    sleep 0.1
done
grep -q '^\[info\]:tervalo-sim ready: COM1 -> /dev/pts/' ready.txt || fail "simulator not ready"
timeout 4 "$prefix/bin/tervalo" COM1 >tool.txt || true
grep -q $'^\\[info\\]:response: reply 1\r$' tool.txt || fail "no response: $(cat tool.txt)"
kill -TERM "$sim_pid"
status=0
wait "$sim_pid" || status=$?
sim_pid=""
[ "$status" -eq 0 ] || fail "simulator exited $status on SIGTERM"
[ ! -e COM1 ] && [ ! -L COM1 ] || fail "COM1 left behind"

# The installed plot finds its matplotlib, whatever python3 comes first on PATH.
printf '%s\n' '{"t": "2026-12-08T14:03:07.412+01:00", "event": "start", "port": "COM1"}' \
    '{"t": "2026-12-08T14:03:07.500+01:00", "seq": 1, "result": "response", "rtt_us": 412}' \
    >run.jsonl
"$prefix/bin/tervalo-plot" run.jsonl -o run.png || fail "tervalo-plot did not draw"
[ -s run.png ] || fail "tervalo-plot wrote no picture"

# The manual pages: found where man looks, rendered without a warning.
for page in tervalo tervalo-sim tervalo-plot; do
    found=$(MANPATH="$prefix/share/man" man -w "$page")
    [ "$found" = "$prefix/share/man/man1/$page.1.gz" ] || fail "man -w $page gave $found"
    warnings=$(MANWIDTH=80 man --warnings -l "$found" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page: $warnings"
    MANWIDTH=80 man -l "$found" 2>/dev/null | grep -q '^EXIT STATUS' || fail "$page: no EXIT STATUS"
done
echo "installed, ran and rendered from $prefix"
