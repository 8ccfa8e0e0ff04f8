#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ unit tests, then pytest on CPython 3.12,
# a build and smoke test on CPython 3.11 and 3.13, then the C++ tests and pytest again
# against AddressSanitizer and UndefinedBehaviorSanitizer builds (scripts/sanitize.sh;
# VORLENT_SKIP_SANITIZE=1 leaves that part out for a quick run).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

apt_install libgtest-dev
setup_venv test
install_module

echo "== C++ unit tests"
"$VENV/bin/cmake" -S "$ROOT" -B "$ROOT/build/cpp-tests" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DVORLENT_BUILD_MODULE=OFF -DVORLENT_BUILD_TESTS=ON >/dev/null
"$VENV/bin/cmake" --build "$ROOT/build/cpp-tests" --parallel
"$ROOT/build/cpp-tests/vorlent_tests" --gtest_brief=1

echo "== Python tests"
cd "$ROOT"
"$VENV/bin/python" -m pytest -q tests/python

# The other supported interpreters: build, install and a smoke test with numpy alone
# (set VORLENT_SKIP_OTHER_PYTHONS=1 to skip).
if [ "${VORLENT_SKIP_OTHER_PYTHONS:-0}" != "1" ]; then
    for version in 3.11 3.13; do
        echo "== Smoke test on CPython $version"
        setup_venv build "$version" "$ROOT/.venv-$version"
        install_module "$ROOT/.venv-$version"
        "$ROOT/.venv-$version/bin/python" "$ROOT/tests/smoke/check_install.py"
    done
fi

# The C++ tests and pytest again under AddressSanitizer and UndefinedBehaviorSanitizer
# (set VORLENT_SKIP_SANITIZE=1 to skip).
if [ "${VORLENT_SKIP_SANITIZE:-0}" != "1" ]; then
    bash "$ROOT/scripts/sanitize.sh"
fi

# A bounded fuzzing session of the model-bytes reader (set VORLENT_FUZZ_SECONDS=0 to skip).
# A machine that cannot build or run the fuzzer passes; a finding fails the tests.
if [ "${VORLENT_FUZZ_SECONDS:-45}" != "0" ]; then
    echo "== Fuzzing the model bytes"
    VORLENT_FUZZ_OPTIONAL=1 bash "$ROOT/tests/fuzz/run_native.sh" "${VORLENT_FUZZ_SECONDS:-45}"
fi
