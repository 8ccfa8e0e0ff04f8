#!/usr/bin/env bash
# Sets everything up and runs every test: pytest on CPython 3.12, a build and smoke test on
# CPython 3.11 and 3.13, the C++ unit tests and the Python tests that reach the core under
# AddressSanitizer and UndefinedBehaviorSanitizer (scripts/sanitize.sh), and a fixed-length
# fuzzing session of the model-bytes reader.
#
# The C++ tests run once, in the sanitizer build (in the release build when the sanitizers
# are left out). ccache hands the other interpreters' builds the release build's core
# objects. pytest runs on every core (pytest-xdist).
#
#   VORLENT_SKIP_OTHER_PYTHONS=1   leave out the CPython 3.11 and 3.13 builds
#   VORLENT_SKIP_SANITIZE=1        leave out the sanitizer builds and runs
#   VORLENT_FUZZ_SECONDS=N         fuzz for N seconds (default 30; 0 leaves fuzzing out)
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

started=$SECONDS
# Prints how long the run has taken so far, after each part.
lap() { echo "-- $1 done after $((SECONDS - started)) s"; }

apt_install libgtest-dev ccache
use_ccache
setup_venv test
RELEASE="$ROOT/build/release"
sanitize="$([ "${VORLENT_SKIP_SANITIZE:-0}" = "1" ] && echo 0 || echo 1)"
cpp_tests="$([ "$sanitize" = "1" ] && echo OFF || echo ON)"
install_module "$VENV" -Cbuild-dir="$RELEASE" -Ccmake.define.VORLENT_BUILD_TESTS="$cpp_tests"
lap "set-up and release build"

if [ "$cpp_tests" = "ON" ]; then
    echo "== C++ unit tests"
    "$RELEASE/vorlent_tests" --gtest_brief=1
    lap "C++ unit tests"
fi

echo "== Python tests"
cd "$ROOT"
"$VENV/bin/python" -m pytest -q -n "$(nproc)" tests/python
lap "Python tests"

if [ "${VORLENT_SKIP_OTHER_PYTHONS:-0}" != "1" ]; then
    for version in 3.11 3.13; do
        echo "== Smoke test on CPython $version"
        setup_venv build "$version" "$ROOT/.venv-$version"
        # The release build as it is: ccache has its core objects, and the bindings compile
        # fastest with link-time optimisation (it generates code for what the module uses).
        install_module "$ROOT/.venv-$version"
        "$ROOT/.venv-$version/bin/python" "$ROOT/tests/smoke/check_install.py"
    done
    lap "other interpreters"
fi

if [ "$sanitize" = "1" ]; then
    bash "$ROOT/scripts/sanitize.sh"
    lap "sanitizers"
fi

# A machine that cannot build or run the fuzzer passes; a finding fails the tests.
if [ "${VORLENT_FUZZ_SECONDS:-30}" != "0" ]; then
    echo "== Fuzzing the model bytes"
    VORLENT_FUZZ_OPTIONAL=1 bash "$ROOT/tests/fuzz/run_native.sh" "${VORLENT_FUZZ_SECONDS:-30}"
    lap "fuzzing"
fi
