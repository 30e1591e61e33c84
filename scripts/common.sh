# Shared set-up for the project's scripts: system packages, Python 3.12, the
# virtual environment and the build. Sourced, not run.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"
# The package itself needs only a C++20 compiler (CMake, Ninja and simdjson
# come from PyPI or third_party/); the C++ tests and benchmarks need these.
DEMO_APT_PACKAGES=(g++)
TEST_APT_PACKAGES=(g++ clang libgtest-dev libbenchmark-dev libssl-dev)
BUILD_PACKAGES=("scikit-build-core>=0.11" "cmake>=3.21" ninja)
DEMO_PACKAGES=("${BUILD_PACKAGES[@]}")  # the package brings its own dependencies
TEST_PACKAGES=("${DEMO_PACKAGES[@]}" build pytest mahjong hypothesis mypy "dask[bag]" distributed)

log() { printf '== %s\n' "$*" >&2; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# install_system_packages [PACKAGE...]: the Debian packages given (default:
# those of the tests) that are not installed yet.
install_system_packages() {
  local missing=() wanted=("$@")
  [ "$#" -gt 0 ] || wanted=("${TEST_APT_PACKAGES[@]}")
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    log "installing system packages: ${missing[*]}"
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

find_python312() {
  if command -v python3.12 >/dev/null 2>&1 && python3.12 -c 'import sys' >/dev/null 2>&1; then
    command -v python3.12
    return
  fi
  local root
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for p in "$root"/versions/3.12.*/bin/python3.12; do
    if [ -x "$p" ]; then echo "$p"; return; fi
  done
  echo "error: Python 3.12 not found (tried python3.12 and $root/versions/3.12.*)" >&2
  return 1
}

# make_venv DIR [PACKAGE...]: a Python 3.12 virtual environment at DIR with
# the packages given (default: those of the tests), first on PATH.
make_venv() {
  local dir=$1 py
  shift
  local packages=("$@")
  [ "$#" -gt 0 ] || packages=("${TEST_PACKAGES[@]}")
  py=$(find_python312)
  if [ ! -x "$dir/bin/python" ] || ! "$dir/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    log "creating $dir with $py"
    rm -rf "$dir"
    "$py" -m venv "$dir"
  fi
  log "installing Python packages into $dir: ${packages[*]}"
  "$dir/bin/python" -m pip install -q --disable-pip-version-check "${packages[@]}"
  export PATH="$dir/bin:$PATH"
}

setup_venv() {
  make_venv "$VENV"
}

build_module() {
  log "building and installing kifuzan"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -Cbuild-dir="$ROOT/build/py" "$ROOT"
}

# build_cpp DIR [cmake args...]: configure and build the C++ core and tests.
build_cpp() {
  local dir=$1
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DKIFUZAN_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

setup_all() {
  install_system_packages
  setup_venv
  build_module
}

# What the demo needs: a compiler, the build packages and the package itself.
setup_demo() {
  install_system_packages "${DEMO_APT_PACKAGES[@]}"
  make_venv "$VENV" "${DEMO_PACKAGES[@]}"
  build_module
}
