#!/usr/bin/env bash
# Proves the package is whole, as a user would get it: builds the sdist,
# installs it into a fresh virtual environment (build requirements from PyPI,
# warnings as errors) and converts the sample game there. Every extension
# module installed must need only the C/C++ runtime and export only its
# PyInit_* function; the licenses must be in the sdist and the dist-info.
#
# Run as root where mount namespaces work, it hides the system's simdjson,
# GoogleTest and Google Benchmark (headers, libraries, CMake packages) from
# all of this, so nothing can quietly use them.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [ "${KIFUZAN_HIDDEN:-0}" != 1 ] && [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
  exec unshare -m env KIFUZAN_HIDDEN=1 bash "${BASH_SOURCE[0]}" "$@"
fi

fail() { echo "check_package: $*" >&2; exit 1; }

if [ "${KIFUZAN_HIDDEN:-0}" = 1 ]; then
  empty=$(mktemp -d)
  hidden=()
  shopt -s nullglob
  for p in /usr/include/simdjson.h /usr/include/simdjson /usr/include/gtest /usr/include/gmock /usr/include/benchmark \
    /usr/lib/*/libsimdjson.* /usr/lib/*/libgtest* /usr/lib/*/libgmock* /usr/lib/*/libbenchmark* \
    /usr/lib/*/cmake/simdjson /usr/lib/*/cmake/GTest /usr/lib/*/cmake/benchmark /usr/lib/*/pkgconfig/simdjson.pc; do
    if [ -d "$p" ]; then mount --bind "$empty" "$p"; elif [ -e "$p" ]; then mount --bind /dev/null "$p"; else continue; fi
    hidden+=("$p")
  done
  shopt -u nullglob
  log "hidden from this check: ${hidden[*]:-nothing (none installed)}"
else
  log "mount namespaces unavailable: system libraries stay visible to this check"
fi

# The sdist is built with the test environment's packages.
"$VENV/bin/python" -c 'import build, scikit_build_core' 2>/dev/null || setup_venv

CHECK="$ROOT/build/package-check"
rm -rf "$CHECK"
mkdir -p "$CHECK"

log "building the sdist"
"$VENV/bin/python" -m build --sdist --no-isolation --outdir "$CHECK/dist" "$ROOT" >"$CHECK/sdist.log"
sdist=$(echo "$CHECK"/dist/kifuzan-*.tar.gz)
[ -f "$sdist" ] || fail "no sdist in $CHECK/dist"

licenses=(LICENSE)
for f in "$ROOT"/third_party/*/LICENSE; do licenses+=("${f#"$ROOT/"}"); done
tar -tzf "$sdist" >"$CHECK/sdist-files"
for f in "${licenses[@]}"; do
  grep -qx "kifuzan-[^/]*/$f" "$CHECK/sdist-files" || fail "$f is not in $(basename "$sdist")"
done

log "installing $(basename "$sdist") into a fresh virtual environment"
"$(find_python312)" -m venv "$CHECK/venv"
py="$CHECK/venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check -Ccmake.define.KIFUZAN_WERROR=ON "$sdist"

log "converting the sample game there"
(cd "$CHECK" && "$CHECK/venv/bin/kifuzan" "$ROOT/examples/sample_game.json" >sample.mjson)
cmp "$CHECK/sample.mjson" "$ROOT/examples/sample_game.mjson" || fail "the sample game converts differently"

# The installed files, from the distribution's own record.
"$py" - "${licenses[@]}" >"$CHECK/extensions" <<'EOF'
import importlib.metadata as m
import sys

files = m.files("kifuzan") or []
names = {f.as_posix() for f in files}
for lic in sys.argv[1:]:
    if not any(n.endswith(".dist-info/licenses/" + lic) for n in names):
        sys.exit(f"check_package: {lic} is not in the installed dist-info")
if "_kifuzan-stubs/__init__.pyi" not in names:
    sys.exit("check_package: the _kifuzan-stubs package is not installed")
for f in files:
    if f.name.endswith(".so"):
        print(f.locate())
EOF
[ -s "$CHECK/extensions" ] || fail "no extension module installed"

runtime='^(linux-vdso\.so\.[0-9]+|libc\.so\.[0-9]+|libm\.so\.[0-9]+|libstdc\+\+\.so\.[0-9]+|libgcc_s\.so\.[0-9]+|(/[^ ]*/)?ld-linux[^ /]*\.so\.[0-9]+)$'
while read -r so; do
  name=$(basename "$so")
  libs=$(ldd "$so" | awk '{print $1}')
  if ldd "$so" | grep -q "not found"; then fail "$name: a library is missing: $(ldd "$so" | grep "not found")"; fi
  extra=$(grep -Ev "$runtime" <<<"$libs" || true)
  [ -z "$extra" ] || fail "$name needs more than the C/C++ runtime: $extra"
  exported=$(nm -D --defined-only "$so" | awk '{print $NF}')
  grep -q '^PyInit_' <<<"$exported" || fail "$name exports no PyInit_ function"
  extra=$(grep -v '^PyInit_' <<<"$exported" || true)
  [ -z "$extra" ] || fail "$name exports more than PyInit_*: $(tr '\n' ' ' <<<"$extra")"
  log "$name: needs only the C/C++ runtime, exports only $(tr '\n' ' ' <<<"$exported")"
done <"$CHECK/extensions"
log "package check passed ($(basename "$sdist"), wheel installed into $CHECK/venv)"
