# Shared by the gate scripts (sourced, with the repository root as cwd).

# The interpreter with the package and the test dependencies installed.
PY=${PEAKFORGE_PYTHON:-.venv/bin/python}
GATE_PYTEST=("$PY" -m pytest -p no:cacheprovider)

# cmake and ninja from the interpreter's venv, else from PATH; installed into
# the venv when neither has them.
ensure_build_tools() {
  local bin
  bin=$(cd "$(dirname "$PY")" && pwd)
  if [ -x "$bin/cmake" ] && [ -x "$bin/ninja" ]; then
    CMAKE=$bin/cmake NINJA=$bin/ninja
  elif cmake --version >/dev/null 2>&1 && ninja --version >/dev/null 2>&1; then
    CMAKE=$(command -v cmake) NINJA=$(command -v ninja)
  else
    "$PY" -m pip install --quiet cmake ninja
    CMAKE=$bin/cmake NINJA=$bin/ninja
  fi
}

# The compiler's own copy of a sanitizer runtime (libasan.so, libtsan.so).
sanitizer_runtime() {
  local path
  path=$(g++ -print-file-name="$1")
  if [ "$path" = "$1" ] || [ ! -e "$path" ]; then
    echo "error: g++ has no $1 (install the compiler's sanitizer runtime)" >&2
    return 1
  fi
  echo "$path"
}

# sanitizer_build DIR FLAGS: the module, compiled and linked with FLAGS
# instead of the release optimisation, warnings as errors.
sanitizer_build() {
  local dir=$1 flags=$2
  ensure_build_tools
  echo "== building $dir ($flags)"
  "$CMAKE" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" \
    -DPython_EXECUTABLE="$(command -v "$PY")" -DCMAKE_BUILD_TYPE=Sanitize \
    -DPEAKFORGE_STRICT_WARNINGS=ON \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" >/dev/null
  "$CMAKE" --build "$dir" >/dev/null
}

# Fails unless `import peakforge` and the pattern engine (with the
# environment as it is) load the modules from DIR: a gate that silently
# tested another build would pass.
require_module_from() {
  local dir=$1 file module
  for module in peakforge peakforge_pattern._engine; do
    file=$("$PY" -c "import $module as m; print(m.__file__)")
    case "$file" in
      "$PWD/$dir"/*) echo "   module: $file" ;;
      *) echo "error: $module was loaded from $file, not from $dir" >&2; return 1 ;;
    esac
  done
}

# sanitized_pytest DIR PYTEST-ARGS...: runs pytest against the sanitizer build
# in DIR. The tests' standard error goes to DIR/stderr.log rather than into
# pytest's capture, where a report would vanish with the process that halted
# on it; reports of child processes are written into DIR/reports. Fails if
# pytest fails or any report turns up, and prints the reports.
sanitized_pytest() {
  local dir=$PWD/$1 status=0 report first
  shift
  rm -rf "$dir/reports" && mkdir -p "$dir/reports"
  "${GATE_PYTEST[@]}" --capture=sys "$@" 2>"$dir/stderr.log" || status=$?
  first=$(grep -n -m 1 -E "$SANITIZER_REPORT" "$dir/stderr.log" | cut -d: -f1 || true)
  if [ -n "$first" ]; then
    echo "---- sanitizer report in the tests' standard error ($dir/stderr.log):" >&2
    tail -n "+$((first > 2 ? first - 2 : 1))" "$dir/stderr.log" | head -n 150 >&2
    status=1
  elif [ "$status" != 0 ]; then
    echo "---- the tests' standard error ends with:" >&2
    tail -n 40 "$dir/stderr.log" >&2
  fi
  for report in "$dir/reports"/*; do
    [ -e "$report" ] || continue
    echo "---- sanitizer report $report" >&2
    head -n 150 "$report" >&2
    status=1
  done
  return "$status"
}

# First lines of an ASan, UBSan or TSan report.
SANITIZER_REPORT='ERROR: AddressSanitizer|runtime error: |WARNING: ThreadSanitizer|ERROR: ThreadSanitizer|SUMMARY: [A-Za-z]+Sanitizer'
