#!/usr/bin/env bash
# Sets everything up and runs the benchmarks: the Python-level table, the
# per-stage C++ benchmarks, the heap per stage and the instruction counts.
# Extra arguments go to bench/run.py (e.g. --quick, --records DIR).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

setup_all
"$VENV/bin/python" -m pip install -q --disable-pip-version-check orjson
records=("$ROOT"/../shared/corpus/four_player/*.json)
[ -e "${records[0]}" ] || records=("$ROOT"/examples/*.json)

log "Python: ratios against references in the same process"
"$VENV/bin/python" "$ROOT/bench/run.py" "$@"

log "C++: each stage on the records"
cmake -S "$ROOT" -B "$ROOT/build/bench" -G Ninja -DKIFUZAN_BUILD_TESTS=OFF -DKIFUZAN_BUILD_BENCH=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$ROOT/build/bench" -j"$(nproc)"
KIFUZAN_CORPUS=$(dirname "${records[0]}") "$ROOT/build/bench/bench/stage_bench" --benchmark_min_time=0.5

log "C++: writing the lines, two writes per event against 64 KiB chunks of whole lines"
KIFUZAN_CORPUS=$(dirname "${records[0]}") "$ROOT/build/bench/bench/write_bench" --benchmark_min_time=0.5

log "C++: mjlog XML records, to the document and to mjai lines against their tenhou.net/6 text"
"$ROOT/build/bench/bench/mjlog_bench" --benchmark_min_time=0.5

log "C++: heap per stage against the output, the 1,000-kyoku game"
biggest=$(ls -S "${records[@]}" | head -1)
"$ROOT/build/bench/bench/memory_bench" "$biggest" 1000

log "C++: instructions per input byte and per event (callgrind)"
if command -v valgrind >/dev/null; then
  "$ROOT/bench/instructions.sh" "$ROOT/build/bench" "${records[@]}"
else
  echo "valgrind not installed; skipped"
fi
