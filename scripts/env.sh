# Sourced by the other scripts: finds CPython 3.12, creates the virtual environment in
# .venv, installs the Python requirements and builds and installs vorlent_core into it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

find_python312() {
    local candidate
    if command -v pyenv >/dev/null 2>&1; then
        for candidate in "$(pyenv root)"/versions/3.12.*/bin/python3.12; do
            [ -x "$candidate" ] && { echo "$candidate"; return 0; }
        done
    fi
    for candidate in "$HOME"/.pyenv/versions/3.12.*/bin/python3.12 "$(command -v python3.12 || true)"; do
        [ -n "$candidate" ] && [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
    return 1
}

# Installs Debian packages that are missing (root, or sudo when available).
apt_install() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing Debian packages: ${missing[*]}"
    $sudo apt-get install -y "${missing[@]}" >/dev/null 2>&1 || {
        $sudo apt-get update >/dev/null 2>&1
        $sudo apt-get install -y "${missing[@]}" >/dev/null
    }
}

setup_venv() {
    local python
    if ! python="$(find_python312)"; then
        echo "error: CPython 3.12 was not found (looked in pyenv's versions and for python3.12 on PATH)." >&2
        echo "       Install it, for example with 'pyenv install 3.12', and run this again." >&2
        exit 1
    fi
    if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
        rm -rf "$VENV"
        "$python" -m venv "$VENV"
    fi
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check -r "$ROOT/requirements/$1.txt"
}

install_module() {
    (cd "$ROOT" && "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
        --no-build-isolation .)
}
