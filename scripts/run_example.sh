#!/usr/bin/env bash
# Builds karvelum and runs the example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
python3 examples/integrate_example.py "$@"
