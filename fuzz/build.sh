#!/usr/bin/env bash
# Builds the libFuzzer harnesses into build/fuzz/. Rerunnable: objects are
# rebuilt only when a source or header is newer than them.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${KIFUZAN_FUZZ_OUT:-$root/build/fuzz}"
obj="$out/obj"
mkdir -p "$obj"

need=()
for pkg in clang libclang-rt-14-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  echo "installing: ${need[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

cxx="${CXX:-clang++}"
# The simdjson definitions are those of the CMake build (third_party/).
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
  -DSIMDJSON_EXCEPTIONS=0
  -DPUGIXML_NO_EXCEPTIONS -DPUGIXML_NO_XPATH -DPUGIXML_NO_STL
  -I"$root/src" -I"$root/fuzz" -isystem "$root/third_party/simdjson" -I"$root/third_party/pugixml" -Wall -Wextra)

core=(src/base/utf8.cpp src/mjai/tile.cpp src/mjai/json_writer.cpp
  src/kifuzan/conv/document.cpp src/kifuzan/conv/normalise.cpp
  src/kifuzan/conv/decode.cpp src/kifuzan/conv/play.cpp
  src/kifuzan/conv/driver.cpp src/kifuzan/conv/pipeline.cpp
  src/kifuzan/conv/error.cpp src/kifuzan/conv/locate.cpp src/kifuzan/conv/diagnose.cpp
  src/kifuzan/mjlog/reader.cpp src/kifuzan/mjlog/pipeline.cpp src/kifuzan/record/format.cpp
  third_party/pugixml/pugixml.cpp
  third_party/simdjson/simdjson.cpp)

# Flags or this script changed: rebuild everything.
stamp="$obj/.flags"
want_flags="$cxx ${flags[*]}"
if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$want_flags" || "$root/fuzz/build.sh" -nt "$stamp" ]]; then
  rm -f "$obj"/*.o
fi

compile() {  # source object
  local src="$1" o="$2"
  # Up to date unless the source or any header is newer than the object.
  if [[ -f "$o" && ! "$src" -nt "$o" ]] &&
    [[ -z "$(find "$root/src/mjai" "$root/src/kifuzan" "$root/fuzz" "$root/third_party" -name '*.h' -newer "$o" -print -quit)" ]]; then
    return 0
  fi
  echo "  CXX $(realpath --relative-to="$root" "$src")"
  "$cxx" "${flags[@]}" -c "$src" -o "$o"
}

pids=()
objs=()
for src in "${core[@]}"; do
  o="$obj/$(echo "$src" | tr / _).o"
  objs+=("$o")
  compile "$root/$src" "$o" &
  pids+=($!)
  # Two at a time: the machine is shared.
  if ((${#pids[@]} >= 2)); then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
done
for p in "${pids[@]}"; do wait "$p"; done

for h in pipeline_fuzzer structure_fuzzer mjlog_fuzzer; do
  o="$obj/fuzz_$h.o"
  compile "$root/fuzz/$h.cpp" "$o"
  bin="$out/$h"
  relink=0
  [[ -f "$bin" ]] || relink=1
  for x in "$o" "${objs[@]}"; do [[ "$x" -nt "$bin" ]] && relink=1; done
  if ((relink)); then
    echo "  LD  build/fuzz/$h"
    "$cxx" "${flags[@]}" "$o" "${objs[@]}" -o "$bin"
  fi
done
printf '%s' "$want_flags" >"$stamp"
echo "built: $out/pipeline_fuzzer $out/structure_fuzzer $out/mjlog_fuzzer"
