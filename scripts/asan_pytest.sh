#!/usr/bin/env bash
# Runs the Python tests against an ASan + UBSan build of the extension. The
# build lives in its own virtual environment (.venv-asan) and build directory,
# so the normal .venv is left alone. Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ASAN_VENV="$ROOT/.venv-asan"

install_system_packages
make_venv "$ASAN_VENV"

log "building kifuzan with ASan + UBSan"
"$ASAN_VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Cbuild-dir="$ROOT/build/py-asan" -Ccmake.define.KIFUZAN_SANITIZE=ON -Ccmake.build-type=Debug "$ROOT"

# The interpreter is not instrumented, so the runtime must be loaded before
# anything else. UBSan is linked into the module itself.
libasan=$(gcc -print-file-name=libasan.so)
if [ ! -e "$libasan" ]; then
  echo "error: libasan.so not found (gcc -print-file-name=libasan.so gave '$libasan')" >&2
  exit 1
fi

log "Python tests under ASan + UBSan"
cd "$ROOT"
# PYTHONMALLOC=malloc: Python objects go through ASan's allocator too.
# detect_leaks=0: CPython keeps memory until exit on purpose.
# KIFUZAN_ASAN=1: tests that measure memory, or need operator new to throw
# for a 256 TiB request (ASan aborts instead), skip themselves.
KIFUZAN_ASAN=1 \
LD_PRELOAD="$libasan" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS=detect_leaks=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$ASAN_VENV/bin/python" -m pytest -q -p no:cacheprovider tests/python "$@"
