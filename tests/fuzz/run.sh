#!/usr/bin/env bash
# Fuzzes the model-bytes reader for a bounded time: tests/fuzz/run.sh SECONDS
# Builds vorlent_core with clang's coverage instrumentation (and AddressSanitizer) into
# build/fuzz, seeds the corpora from tests/fuzz/make_corpus.py, and runs the atheris
# harnesses for SECONDS each: fuzz_deserialize.py on the core's model bytes, then
# fuzz_model_file.py on the model file envelope (decode_model, then the core's reader).
# Findings are written to build/fuzz/findings; the grown corpora stay in build/fuzz/corpus
# and build/fuzz/envelope-corpus.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"

SECONDS_TO_RUN="${1:?usage: tests/fuzz/run.sh SECONDS}"
OUT="$ROOT/build/fuzz"

apt_install clang libomp-dev
setup_venv fuzz
# The corpus holds models made by training with the ordinary module.
"$VENV/bin/python" -c "import vorlent_core" 2>/dev/null || install_module

echo "== instrumented build"
"$VENV/bin/cmake" -S "$ROOT" -B "$OUT/module" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF \
    -DVORLENT_SANITIZE=address,undefined \
    -DPython_EXECUTABLE="$VENV/bin/python" \
    -Dpybind11_DIR="$("$VENV/bin/python" -m pybind11 --cmakedir)" \
    -DVORLENT_BUILD_MODULE=ON -DVORLENT_BUILD_TESTS=OFF >/dev/null
"$VENV/bin/cmake" --build "$OUT/module" --parallel 2 --target vorlent_core

echo "== seed corpus"
mkdir -p "$OUT/corpus" "$OUT/envelope-corpus" "$OUT/findings"
"$VENV/bin/python" "$ROOT/tests/fuzz/make_corpus.py" "$OUT/seeds" "$OUT/envelope-seeds"

# The sanitizer runtime is preloaded so that the Python process starts under it. It must
# carry libFuzzer inside: a preloaded sanitizer alone would take the module's coverage
# callbacks with its weak stubs and the fuzzer would see no native coverage.
echo "== sanitizer runtime with libFuzzer"
RUNTIME_DIR="$(dirname "$(clang++ -print-file-name=libclang_rt.asan-x86_64.a)")"
PRELOAD="$OUT/asan_with_fuzzer.so"
if [ ! -f "$PRELOAD" ]; then
    scratch="$(mktemp -d)"
    cp "$RUNTIME_DIR/libclang_rt.asan-x86_64.a" "$scratch/asan.a"
    ar d "$scratch/asan.a" asan_preinit.cpp.o  # .preinit_array is not allowed in a shared library
    clang++ -shared -o "$PRELOAD" -Wl,--whole-archive \
        "$RUNTIME_DIR/libclang_rt.fuzzer_no_main-x86_64.a" "$scratch/asan.a" \
        "$RUNTIME_DIR/libclang_rt.asan_cxx-x86_64.a" -Wl,--no-whole-archive -lpthread -ldl -lrt
    rm -rf "$scratch"
fi

echo "== fuzzing for $SECONDS_TO_RUN s"
export VORLENT_FUZZ_MODULE_DIR="$OUT/module"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export OMP_NUM_THREADS=1
LD_PRELOAD="$PRELOAD" "$VENV/bin/python" "$ROOT/tests/fuzz/fuzz_deserialize.py" \
    "$OUT/corpus" "$OUT/seeds" \
    -max_total_time="$SECONDS_TO_RUN" -rss_limit_mb=4096 -max_len=65536 \
    -use_value_profile=1 -artifact_prefix="$OUT/findings/" -print_final_stats=1

echo "== fuzzing the model file envelope for $SECONDS_TO_RUN s"
LD_PRELOAD="$PRELOAD" "$VENV/bin/python" "$ROOT/tests/fuzz/fuzz_model_file.py" \
    "$OUT/envelope-corpus" "$OUT/envelope-seeds" \
    -max_total_time="$SECONDS_TO_RUN" -rss_limit_mb=4096 -max_len=65536 \
    -use_value_profile=1 -artifact_prefix="$OUT/findings/envelope-" -print_final_stats=1
