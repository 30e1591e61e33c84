#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ suite, the same suite under
# ASan + UBSan (skip with KIFUZAN_SKIP_SANITIZE=1), a short pass of each
# fuzzer (KIFUZAN_SKIP_FUZZ=1; KIFUZAN_FUZZ_SECONDS, default 90 in all), the
# Python suite, and the Python suite again against an ASan + UBSan build of
# the extension (skipped with KIFUZAN_SKIP_SANITIZE=1 too), and finally the
# package as a user installs it: sdist, fresh virtual environment, the sample
# game, the library and export rules (scripts/check_package.sh).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

setup_all

log "C++ tests"
build_cpp "$ROOT/build/cpp" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIFUZAN_WERROR=ON
ctest --test-dir "$ROOT/build/cpp" --output-on-failure -j"$(nproc)"

if [ "${KIFUZAN_SKIP_SANITIZE:-0}" != 1 ]; then
  log "C++ tests under ASan + UBSan"
  build_cpp "$ROOT/build/asan" -DCMAKE_BUILD_TYPE=Debug -DKIFUZAN_SANITIZE=ON -DKIFUZAN_WERROR=ON -DKIFUZAN_BUILD_BENCH=OFF
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$ROOT/build/asan" --output-on-failure -j"$(nproc)"
fi

if [ "${KIFUZAN_SKIP_FUZZ:-0}" != 1 ]; then
  log "fuzzing, ${KIFUZAN_FUZZ_SECONDS:-90} s in all"
  KIFUZAN_FUZZ_OUT="$ROOT/build/fuzz-ci" bash "$ROOT/fuzz/run.sh" "${KIFUZAN_FUZZ_SECONDS:-90}"
fi

if [ "${KIFUZAN_SKIP_SANITIZE:-0}" != 1 ]; then
  bash "$ROOT/scripts/asan_pytest.sh"
fi

log "Python tests"
cd "$ROOT"
"$VENV/bin/python" -m pytest -q tests/python

log "the package, installed from its sdist"
bash "$ROOT/scripts/check_package.sh"
