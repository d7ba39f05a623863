# Shared set-up for scripts/demo and scripts/test: a project virtual
# environment on CPython 3.12, the package installed into it, and a
# redis-server binary. Sourced, not run.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

find_python312() {
  local c
  for c in "${PYTHON:-}" "$(command -v python3.12 2>/dev/null || true)"; do
    [[ -n $c && -x $c ]] && "$c" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null && { echo "$c"; return; }
  done
  if command -v pyenv >/dev/null 2>&1; then
    for v in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.|$)' | sort -rV); do
      c="$(pyenv prefix "$v")/bin/python3.12"
      [[ -x $c ]] && { echo "$c"; return; }
    done
  fi
  for c in "$HOME"/.pyenv/versions/3.12*/bin/python3.12 /root/.pyenv/versions/3.12*/bin/python3.12 \
           /usr/local/bin/python3.12 /usr/bin/python3.12; do
    [[ -x $c ]] && { echo "$c"; return; }
  done
  return 1
}

ensure_venv() {
  if [[ ! -x $VENV/bin/python ]] || ! "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
    local py
    py="$(find_python312)" || { echo "CPython 3.12 not found: install it (e.g. pyenv install 3.12) or set PYTHON=/path/to/python3.12" >&2; exit 1; }
    echo "== creating $VENV with $py"
    rm -rf "$VENV"
    "$py" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
  fi
}

install_package() {
  echo "== building and installing the native modules (pip install .[test])"
  "$VENV/bin/python" -m pip install -q "$ROOT[test]"
}

ensure_redis() {
  command -v redis-server >/dev/null 2>&1 && return
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null 2>&1; then
    echo "== installing redis-server (apt-get)"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq redis-server >/dev/null
  else
    echo "redis-server is missing: install Debian's redis-server package (sudo apt-get install -y redis-server)" >&2
    exit 1
  fi
}
