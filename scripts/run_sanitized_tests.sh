#!/usr/bin/env bash
# Builds karvelum with AddressSanitizer and UndefinedBehaviorSanitizer in
# build/asan and runs the C++ tests and pytest against that build. Any
# sanitizer report ends the process and fails the run. Needs the packages
# that scripts/install_deps.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/asan -G Ninja -DKARVELUM_SANITIZE=ON -DKARVELUM_TESTS=ON \
    -DKARVELUM_WERROR="${KARVELUM_WERROR:-OFF}" >/dev/null
cmake --build build/asan
# Allocations fail (MemoryError) past 4 GiB at once or 3 GiB resident, in
# place of the address-space caps of the plain test run.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:max_allocation_size_mb=4096:soft_rss_limit_mb=3072"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
(cd build/asan && ctest --output-on-failure)

# The interpreter is not built with the sanitizer: its runtime and the C++
# library it wraps are loaded first.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export KARVELUM_SANITIZED=1 PYTHONPATH="$PWD/build/asan"
export KARVELUM_GEOMETRY_DUMP="$PWD/build/asan/karvelum_geometry_dump"
python3 -m pytest -q -p no:cacheprovider tests "$@"
