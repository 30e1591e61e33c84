#!/usr/bin/env bash
# Instructions per input byte and per event for the whole C++ pipeline (parse
# to serialized lines) on the given records, counted by callgrind: repeatable
# where timing is noisy. Usage: bench/instructions.sh BUILD_DIR FILE...
set -euo pipefail
build=$1
shift
loop="$build/bench/pipeline_loop"
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
count() {  # instructions of `pipeline_loop REPS files...`
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$loop" "$@" 2>&1 |
    sed -n 's/.*Collected : *\([0-9]*\).*/\1/p; s/.*I *refs: *\([0-9,]*\).*/\1/p' | tr -d , | tail -1
}
# The difference of two runs cancels start-up and file reading.
read -r bytes events < <("$loop" 1 "$@")
one=$(count 1 "$@")
six=$(count 6 "$@")
awk -v a="$one" -v b="$six" -v n="$bytes" -v e="$events" 'BEGIN {
  printf "pipeline: %.1f instructions per input byte, %.0f per event (%d bytes, %d events, %d instructions a pass)\n",
    (b - a) / 5 / n, (b - a) / 5 / e, n, e, (b - a) / 5
}'
