#!/usr/bin/env bash
# Sets everything up, peers included, and runs the training benchmark; arguments are passed
# on (for example --quick, or --threads). With --suite first, runs the whole suite instead
# (benchmarks/suite.py), which writes benchmarks/RESULTS.md:
#   bash scripts/bench.sh --suite [--quick] [suite options]
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

setup_venv bench
# ISLP carries three of the defaults benchmark's tables; its own requirements pin old
# versions of the scientific stack, which the tables do not need.
"$VENV/bin/python" -m pip install -q --no-deps ISLP
install_module
cd "$ROOT"
if [ "${1:-}" = "--suite" ]; then
    shift
    exec "$VENV/bin/python" benchmarks/suite.py "$@"
fi
"$VENV/bin/python" benchmarks/bench_train.py "$@"
