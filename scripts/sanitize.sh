#!/usr/bin/env bash
# Runs the tests against sanitizer builds, in build directories of their own so that the
# normal build and the installed module stay untouched.
#
#   bash scripts/sanitize.sh           AddressSanitizer + UndefinedBehaviorSanitizer: the C++
#                                      unit tests (LeakSanitizer on), then the Python tests
#                                      that reach the core against a module built the same
#                                      way, with the VRL_FAULT_AFTER fault hook compiled in
#                                      (build/sanitize; clang, which compiles the instrumented
#                                      code in half GCC's time)
#   bash scripts/sanitize.sh --thread  ThreadSanitizer on the C++ unit tests, built with clang
#                                      and LLVM's OpenMP runtime, whose Archer tool tells
#                                      ThreadSanitizer about OpenMP's barriers and tasks
#                                      (build/tsan); extra arguments go to the test binary
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

mode="address"
if [ "${1:-}" = "--thread" ]; then
    mode="thread"
    shift
fi

apt_install libgtest-dev clang libomp-dev
use_ccache
setup_venv test

# UB fails the run at once (the build also sets -fno-sanitize-recover), with a stack trace.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

if [ "$mode" = "thread" ]; then
    BUILD="$ROOT/build/tsan"
    LLVM_LIB="$(dirname "$(readlink -f "$(command -v clang++)")")/../lib"
    # The runtime defines the global operator new, as do the tests to count allocations:
    # the linker keeps the tests' one, which allocates through the intercepted malloc.
    "$VENV/bin/cmake" -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
        -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_EXE_LINKER_FLAGS="-Wl,--allow-multiple-definition" \
        -DVORLENT_SANITIZE=thread -DVORLENT_BUILD_MODULE=OFF -DVORLENT_BUILD_TESTS=ON >/dev/null
    "$VENV/bin/cmake" --build "$BUILD" --parallel 2
    echo "== C++ unit tests under ThreadSanitizer"
    # Two threads at least, so that every region really runs in parallel.
    OMP_NUM_THREADS="${OMP_NUM_THREADS:-2}" \
        OMP_TOOL_LIBRARIES="$LLVM_LIB/libarcher.so" \
        TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1" \
        "$BUILD/vorlent_tests" --gtest_brief=1 "$@"
    exit 0
fi

BUILD="$ROOT/build/sanitize"
# -O1 keeps the sanitizer build and its test runs short (the bindings, thin and slow to
# compile instrumented, at -O0); line tables give readable reports.
"$VENV/bin/cmake" -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
    -DVORLENT_SANITIZE=address,undefined -DVORLENT_FAULT_INJECTION=ON \
    -DVORLENT_QUICK_BINDINGS=ON -DVORLENT_BUILD_MODULE=ON -DVORLENT_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$VENV/bin/python" \
    -Dpybind11_DIR="$("$VENV/bin/python" -m pybind11 --cmakedir)" >/dev/null
"$VENV/bin/cmake" --build "$BUILD" --parallel 2

echo "== C++ unit tests under AddressSanitizer, UndefinedBehaviorSanitizer, LeakSanitizer"
# LLVM's OpenMP runtime keeps its threads' descriptors to the end of the process.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1" \
    LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan-suppressions.txt" \
    run_sharded "$BUILD/vorlent_tests" --gtest_brief=1

echo "== Python tests against the sanitized module"
# The interpreter is not instrumented, so the runtime must be loaded before it, and with
# it the C++ runtime, whose __cxa_throw the sanitizer must find at start-up to intercept
# it. The interpreter's own allocations at exit are not ours to account for, hence no leak
# detection here.
cd "$ROOT"
export LD_PRELOAD="$(clang++ -print-file-name=libclang_rt.asan-x86_64.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export PYTHONPATH="$BUILD"
imported="$("$VENV/bin/python" -c 'import vorlent_core; print(vorlent_core.__file__)' || true)"
case "$imported" in
    "$BUILD"/*) ;;
    *) echo "error: pytest would not import the sanitized module (got '$imported')" >&2; exit 1 ;;
esac
# The tests that reach the core, on every core. Tests marked slow (the thread-count matrix,
# Ctrl-C) repeat code paths the others cover; plots, the command line and Dask clusters run
# Python above the core. All of them run in the release suite.
"$VENV/bin/python" -m pytest -q -p no:cacheprovider -n "$(nproc)" \
    -m "not slow and not plot and not cli and not cluster" tests/python
