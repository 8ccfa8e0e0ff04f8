#!/usr/bin/env bash
# Fuzzes the model-bytes reader natively: tests/fuzz/run_native.sh SECONDS [RUNS]
# Builds the model code with clang, AddressSanitizer, UndefinedBehaviorSanitizer and
# libFuzzer's coverage into build/fuzz-native, links tests/fuzz/fuzz_model_bytes.cpp
# against it, seeds the corpus from tests/fuzz/make_corpus.py and runs for SECONDS (and at
# most RUNS inputs when given). Exits non-zero on a finding; the input that caused it is
# written to build/fuzz-native/findings, and the grown corpus stays in build/fuzz-native/corpus.
#
# A machine that cannot build the fuzzer (no clang, no network for apt) is not a finding:
# with VORLENT_FUZZ_OPTIONAL=1 the script then says so and exits 0.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"

SECONDS_TO_RUN="${1:?usage: tests/fuzz/run_native.sh SECONDS [RUNS]}"
RUNS="${2:--1}"
OUT="$ROOT/build/fuzz-native"

unavailable() {
    echo "native fuzzing unavailable: $1" >&2
    if [ "${VORLENT_FUZZ_OPTIONAL:-0}" = "1" ]; then exit 0; fi
    exit 2
}

apt_install clang libomp-dev || unavailable "could not install clang and libomp-dev"
command -v clang++ >/dev/null || unavailable "clang++ is not on PATH"
# The build needs the venv's cmake and ninja, and the corpus holds models made by training,
# so the module must be importable. A venv that has all three is used as it is.
if [ ! -x "$VENV/bin/cmake" ] || ! "$VENV/bin/python" -c "import vorlent_core" 2>/dev/null; then
    setup_venv build
    install_module
fi

echo "== sanitized fuzzing build"
# -O1 and line tables: a build that takes a minute less, for a fuzzing session of seconds.
"$VENV/bin/cmake" -S "$ROOT" -B "$OUT/lib" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link -fno-sanitize-recover=undefined" \
    -DVORLENT_SANITIZE=address,undefined \
    -DVORLENT_BUILD_MODULE=OFF -DVORLENT_BUILD_TESTS=OFF >/dev/null
# The harness reaches the model, its reader and writer, and the Booster that holds them:
# only their objects are compiled, not the training code.
objects=()
for source in "$ROOT"/src/{common,model,io}/*.cpp "$ROOT/src/boosting/booster.cpp"; do
    objects+=("CMakeFiles/vorlent_lib.dir/${source#"$ROOT"/}.o")
done
"$VENV/bin/ninja" -C "$OUT/lib" "${objects[@]}" >/dev/null
clang++ -std=c++20 -O1 -g1 -fno-omit-frame-pointer -ffp-contract=off -fopenmp \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I "$ROOT/src" "$ROOT/tests/fuzz/fuzz_model_bytes.cpp" "${objects[@]/#/$OUT/lib/}" \
    -o "$OUT/fuzz_model_bytes"

mkdir -p "$OUT/corpus" "$OUT/findings"
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export OMP_NUM_THREADS=1

# A sanitizer runtime that cannot start here (an unusual kernel memory layout, no ptrace
# for the leak checker) says nothing about the reader: one empty input shows it runs.
if ! smoke="$("$OUT/fuzz_model_bytes" -runs=1 -artifact_prefix="$OUT/findings/" 2>&1)"; then
    echo "$smoke" | tail -20 >&2
    unavailable "the sanitized fuzzer does not run on this machine"
fi

echo "== seed corpus"
"$VENV/bin/python" "$ROOT/tests/fuzz/make_corpus.py" "$OUT/seeds"

echo "== fuzzing for $SECONDS_TO_RUN s"
# The grown corpus comes first: libFuzzer adds the inputs it finds to the first directory.
status=0
"$OUT/fuzz_model_bytes" "$OUT/corpus" "$OUT/seeds" \
    -max_total_time="$SECONDS_TO_RUN" -runs="$RUNS" -max_len=65536 \
    -rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=10 \
    -use_value_profile=1 -artifact_prefix="$OUT/findings/" -print_final_stats=1 || status=$?
if [ "$status" -ne 0 ]; then
    echo "FUZZING FOUND A PROBLEM (exit $status): the input is in $OUT/findings;" >&2
    echo "replay it with $OUT/fuzz_model_bytes <file>" >&2
    exit "$status"
fi
