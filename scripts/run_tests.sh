#!/usr/bin/env bash
# Builds karvelum and its C++ tests, then runs the C++ tests and pytest.
# KARVELUM_WERROR=ON builds with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh

cmake -S . -B build/cpp -G Ninja -DKARVELUM_PYTHON=OFF -DKARVELUM_TESTS=ON \
    -DKARVELUM_WERROR="${KARVELUM_WERROR:-OFF}" >/dev/null
cmake --build build/cpp
(cd build/cpp && ctest --output-on-failure)

export KARVELUM_GEOMETRY_DUMP="$PWD/build/cpp/karvelum_geometry_dump"
export KARVELUM_WORKING_SET_DUMP="$PWD/build/cpp/karvelum_working_set_dump"
python3 -m pytest -q tests "$@"
