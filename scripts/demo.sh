#!/usr/bin/env bash
# Sets everything up and runs the main job: train, evaluate and save a model.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

setup_venv demo
install_module
cd "$ROOT"
"$VENV/bin/python" examples/demo.py "$@"
