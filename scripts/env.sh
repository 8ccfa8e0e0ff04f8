# Sourced by the other scripts: finds CPython, creates the virtual environment in .venv
# (.venv-X.Y for other versions), installs the Python requirements and builds and installs
# the vorlent package into it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

# Prints the path of a CPython X.Y interpreter: pyenv's, else pythonX.Y on PATH.
find_python() {
    local version="$1" candidate
    if command -v pyenv >/dev/null 2>&1; then
        for candidate in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do
            [ -x "$candidate" ] && { echo "$candidate"; return 0; }
        done
    fi
    for candidate in "$HOME"/.pyenv/versions/"$version".*/bin/python"$version" \
        "$(command -v python"$version" || true)"; do
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

# Creates (or reuses) a virtual environment for CPython X.Y and installs a requirements file:
# setup_venv REQUIREMENTS [X.Y [DIR]], by default CPython 3.12 in .venv.
setup_venv() {
    local requirements="$1" version="${2:-3.12}" venv="${3:-$VENV}" python
    if ! python="$(find_python "$version")"; then
        echo "error: CPython $version was not found (looked in pyenv's versions and for python$version on PATH)." >&2
        echo "       Install it, for example with 'pyenv install $version', and run this again." >&2
        exit 1
    fi
    if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))"; then
        rm -rf "$venv"
        "$python" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$ROOT/requirements/$requirements.txt"
}

# Builds and installs the package into a virtual environment (by default .venv); further
# arguments go to pip (for example -Ccmake.define.X=Y).
install_module() {
    local venv="${1:-$VENV}"
    (cd "$ROOT" && "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
        --no-build-isolation "${@:2}" .)
}

# Runs a GoogleTest binary as two shards side by side (one per core) and fails when either
# does: run_sharded BINARY [ARGS...].
run_sharded() {
    local status=0 shard pids=()
    for shard in 0 1; do
        GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard "$@" &
        pids+=($!)
    done
    for shard in 0 1; do wait "${pids[$shard]}" || status=$?; done
    return $status
}

# Compiles through ccache when it is installed, with the cache in build/ccache: builds of
# the same sources with the same flags (the core library for each interpreter, a rebuild
# after a small change) reuse the objects instead of compiling them again.
use_ccache() {
    command -v ccache >/dev/null 2>&1 || return 0
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_DIR="${CCACHE_DIR:-$ROOT/build/ccache}"
    export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-2G}"
}
