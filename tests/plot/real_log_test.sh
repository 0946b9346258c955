#!/bin/sh
# The plot test's checks on a real record: tervalo -c 6 against tervalo-sim --mix 11,
# whose first cycles hold an answer with a warning and one without, and the device
# away for two cycles after the second greeting.
# usage: real_log_test.sh TERVALO TERVALO_SIM
set -eu
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
log=$(mktemp "${TMPDIR:-/tmp}/tervalo-plot-real-XXXXXX.jsonl")
trap 'rm -f "$log" "$log.prom" "$log.stderr"' EXIT
"$source_dir/scripts/record-run" "$1" "$2" 6 11 "$log" 2 2 "$log"
"$source_dir/tests/plot/plot_test.py" "$source_dir/plot/tervalo-plot" "$log" "$log"
