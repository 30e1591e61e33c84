#!/usr/bin/env bash
# Runs the Python tests against an ASan + UBSan build of the extension. The
# build lives in its own virtual environment (.venv-asan) and build directory,
# so the normal .venv is left alone. Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ASAN_VENV="$ROOT/.venv-asan"

install_system_packages
py=$(find_python312)
if [ ! -x "$ASAN_VENV/bin/python" ] || ! "$ASAN_VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
  log "creating $ASAN_VENV with $py"
  rm -rf "$ASAN_VENV"
  "$py" -m venv "$ASAN_VENV"
fi
log "installing Python build and test packages into $ASAN_VENV"
"$ASAN_VENV/bin/python" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.8" "cmake>=3.20" ninja pytest mahjong hypothesis tqdm "dask[bag]" distributed
export PATH="$ASAN_VENV/bin:$PATH"

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
