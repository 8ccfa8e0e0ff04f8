#!/usr/bin/env bash
# Sets everything up, peers included, and runs the training benchmark; arguments are passed
# on (for example --quick, or --threads).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

setup_venv bench
install_module
cd "$ROOT"
"$VENV/bin/python" benchmarks/bench_train.py "$@"
