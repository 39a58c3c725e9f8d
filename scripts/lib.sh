# Shared set-up of scripts/run and scripts/test: finds a Python 3.13 and
# makes the project's virtual environment in .venv.

# Prints the path of a Python 3.13 interpreter, checking each candidate's
# version rather than trusting its name (a pyenv shim named python3.13 fails
# unless pyenv selects 3.13).
find_python313() {
  local candidates=()
  [ -n "${PYTHON:-}" ] && candidates+=("$PYTHON")
  candidates+=(python3.13)
  local root
  if root=$(pyenv root 2>/dev/null); then :; else root="$HOME/.pyenv"; fi
  for p in "$root"/versions/3.13.*/bin/python3.13; do [ -x "$p" ] && candidates+=("$p"); done
  candidates+=(/usr/local/bin/python3.13 /usr/bin/python3.13 python3)
  for c in "${candidates[@]}"; do
    if "$c" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1; then
      "$c" -c 'import sys; print(sys.executable)'
      return 0
    fi
  done
  # Last resort: let pyenv pick any installed 3.13.
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.13(\.|$)' | tail -n 1)
    if [ -n "$v" ] && PYENV_VERSION="$v" python3.13 -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1; then
      PYENV_VERSION="$v" python3.13 -c 'import sys; print(sys.executable)'
      return 0
    fi
  fi
  echo "error: no Python 3.13 found (set PYTHON=/path/to/python3.13)" >&2
  return 1
}

# Creates .venv (once) and installs the package with the given extras; any
# further arguments go to pip install (build settings, say).
setup_venv() {
  local extras="$1"
  shift
  if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1; then
    local python
    python=$(find_python313)
    rm -rf .venv
    "$python" -m venv .venv
  fi
  .venv/bin/python -m pip install --quiet --upgrade pip
  .venv/bin/python -m pip install --quiet "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja
  .venv/bin/python -m pip install --quiet "$@" ".${extras}"
}
