#!/usr/bin/env bash
# Usage: fuzz/run.sh [SECONDS]   (default 90)
# Builds if needed, replays fuzz/regressions/, seeds the corpora, then fuzzes
# each of the three harnesses for a third of SECONDS. Exits non-zero if
# anything crashed.
set -uo pipefail

total="${1:-90}"
if ! [[ "$total" =~ ^[0-9]+$ ]] || ((total < 3)); then
  echo "usage: $0 [SECONDS >= 3]" >&2
  exit 2
fi
third=$((total / 3))

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${KIFUZAN_FUZZ_OUT:-$root/build/fuzz}"
dict="$root/fuzz/tenhou.dict"
regressions="$root/fuzz/regressions"
shared="$root/../shared/corpus"

KIFUZAN_FUZZ_OUT="$out" bash "$root/fuzz/build.sh" || { echo "build failed" >&2; exit 1; }

# Seeds: real logs, the changed copies of them, and every past finding.
fill_corpus() {  # corpus-dir with-regressions(0/1)
  local dir="$1" f
  mkdir -p "$dir"
  if [[ "$dir" == *-mjlog ]]; then
    # The mjlog reader starts from the XML records instead, three-player ones too.
    for f in "$shared"/mjlog/*.xml "$shared"/three_player/xml/*.xml "$regressions"/mjlog-*; do
      [[ -f "$f" ]] && cp -f "$f" "$dir/start-$(basename "$f")"
    done
    return
  fi
  for f in "$shared"/four_player/*.json "$shared"/three_player/*.json "$shared"/three_player/json/*.json \
    "$root"/examples/*.json; do
    [[ -f "$f" ]] || continue
    cp -f "$f" "$dir/start-$(basename "$(dirname "$f")")-$(basename "$f")"
  done
  if [[ -f "$shared/variants.jsonl" ]]; then
    python3 -c '
import json, os, sys
d = sys.argv[2]
for i, line in enumerate(open(sys.argv[1], encoding="utf-8")):
    line = line.strip()
    if not line:
        continue
    try:
        text = json.loads(line)["input"]
    except (ValueError, KeyError, TypeError):
        continue
    with open(os.path.join(d, "start-variant-%03d.json" % i), "w", encoding="utf-8", newline="") as f:
        f.write(text)
' "$shared/variants.jsonl" "$dir" || echo "warning: could not decode variants.jsonl" >&2
  fi
  if (($2)); then
    for f in "$regressions"/*; do
      [[ -f "$f" ]] && cp -f "$f" "$dir/regression-$(basename "$f")"
    done
  fi
}

status=0
regression_files=()
for f in "$regressions"/*; do [[ -f "$f" ]] && regression_files+=("$f"); done

# Fuzzes one harness for up to $2 seconds, restarting after a crash so that a
# long run keeps going; at most 10 restarts.
fuzz() {  # name seconds max_len dict
  local name="$1" budget="$2" max_len="$3" dict="$4"
  local bin="$out/$name" corpus="$out/corpus-${name%_fuzzer}" art="$out/artifacts/$name/"
  local log="$out/$name.log" execs=0 crashes=0 cov="?" rc start now left
  mkdir -p "$art"
  : >"$log"

  local with_regressions=1
  if ((${#regression_files[@]})); then
    if ! "$bin" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$art" "${regression_files[@]}" >>"$log" 2>&1; then
      echo "$name: a regression input fails again (see $log)"
      crashes=$((crashes + 1))
      # Keep them out of the corpus, or every start would stop on them.
      with_regressions=0
      rm -f "$corpus"/regression-*
    fi
  fi
  fill_corpus "$corpus" "$with_regressions"

  start=$(date +%s)
  for ((attempt = 0; attempt <= 10; attempt++)); do
    now=$(date +%s)
    left=$((budget - (now - start)))
    ((left >= 1)) || break
    local part="$out/$name.part.log"
    "$bin" -max_total_time="$left" -dict="$dict" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$art" -print_final_stats=1 "$corpus" >"$part" 2>&1
    rc=$?
    cat "$part" >>"$log"
    local n c
    n="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$part" | tail -1 | grep -o '[0-9]*$')"
    if [[ -z "$n" ]]; then
      # No final stats after a crash: take the last progress line's count.
      n="$(grep -oE '^#[0-9]+' "$part" | tail -1 | tr -d '#')"
    fi
    execs=$((execs + ${n:-0}))
    c="$(grep -oE 'cov: [0-9]+' "$part" | tail -1 | grep -oE '[0-9]+')"
    [[ -n "$c" ]] && cov="$c"
    if ((rc == 0)); then break; fi
    crashes=$((crashes + 1))
    grep -E 'Test unit written to|ERROR: (AddressSanitizer|libFuzzer|UndefinedBehavior)|runtime error' "$part" | head -3 | sed "s/^/$name: /"
  done
  rm -f "$out/$name.part.log"
  echo "$name: execs=$execs cov=$cov crashes=$crashes corpus=$(find "$corpus" -type f | wc -l) log=$log"
  ((crashes == 0)) || status=1
}

fuzz pipeline_fuzzer "$third" 131072 "$dict"
fuzz structure_fuzzer "$third" 65536 "$dict"
fuzz mjlog_fuzzer "$third" 131072 "$root/fuzz/mjlog.dict"
exit "$status"
