#!/usr/bin/env bash
# Builds karvelum with ThreadSanitizer in build/tsan and runs the C++ tests
# and the Python tests of batches, streams, the in-use rule and multi-detector
# integrators against that build. Any report ends the process and fails the
# run. Arguments go to pytest. Needs the packages that scripts/install_deps.sh
# installs, and Debian's source archive.
#
# The sanitizer sees the synchronisation of instrumented code only, and the
# pools hand every parallel loop's work from thread to thread inside oneTBB:
# against Debian's build of it, each loop would look like a race. So oneTBB is
# built from Debian's source package, with the sanitizer, into build/tsan-tbb
# (once), and karvelum links that build. With every library that passes work
# between threads instrumented, no report needs suppressing; the interpreter
# and NumPy are not instrumented, and their own accesses are not seen.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

tbb="$PWD/build/tsan-tbb"
if [ ! -f "$tbb/install/lib/cmake/TBB/TBBConfig.cmake" ]; then
    rm -rf "$tbb"
    if ! command -v dpkg-source >/dev/null; then
        sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq dpkg-dev >/dev/null
    fi
    # The source archives of the Debian archives the machine installs from;
    # apt's lists and downloads for them stay in build/tsan-tbb.
    apt="$tbb/apt"
    mkdir -p "$apt/sources" "$apt/lists/partial" "$apt/cache/archives/partial" "$tbb/src"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$apt/sources/debian-src.sources"
    else
        grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' >"$apt/sources/debian-src.list"
    fi
    apt_private=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt/sources"
                 -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o APT::Sandbox::User=root)
    apt-get "${apt_private[@]}" -qq update
    (cd "$tbb/src" && apt-get "${apt_private[@]}" -qq source onetbb >/dev/null)
    # Its CMake files predate the policies that CMake 4 requires.
    cmake -S "$(echo "$tbb"/src/onetbb-*/)" -B "$tbb/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -Wno-dev -Wno-deprecated -DCMAKE_POLICY_VERSION_MINIMUM=3.5 -DTBB_SANITIZE=thread -DTBB_TEST=OFF -DTBBMALLOC_BUILD=OFF \
        -DTBB_STRICT=OFF -DCMAKE_INSTALL_PREFIX="$tbb/install" >/dev/null
    cmake --build "$tbb/build" >/dev/null
    cmake --install "$tbb/build" >/dev/null
fi

cmake -S . -B build/tsan -G Ninja -DKARVELUM_SANITIZE_THREAD=ON -DKARVELUM_TESTS=ON \
    -DKARVELUM_WERROR="${KARVELUM_WERROR:-OFF}" -DTBB_DIR="$tbb/install/lib/cmake/TBB" >/dev/null
cmake --build build/tsan
# A longer history lets a report show the stack of the earlier access too.
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:history_size=4"
# The summation order of the kernels on tables of up to 70,000 bins takes
# minutes under the sanitizer; its threads are those of every other case.
(cd build/tsan && ctest --output-on-failure -E '^pixel_order_kernels_add_each_bin_as_its_row_in_ascending_pixel_order$')
echo "thread sanitizer build and C++ tests: $((SECONDS - started)) s"

# The interpreter is not built with the sanitizer: its runtime and the C++
# library it wraps are loaded first. Reports are written to standard error
# by the process that meets them, past pytest's capture of Python's streams.
export LD_PRELOAD="$(g++ -print-file-name=libtsan.so) $(g++ -print-file-name=libstdc++.so)"
export PYTHONPATH="$PWD/build/tsan" KARVELUM_GEOMETRY_DUMP="$PWD/build/tsan/karvelum_geometry_dump"
python3 -m pytest -q -p no:cacheprovider --capture=sys tests/test_batch.py tests/test_stream.py \
    tests/test_multi.py tests/test_integrator_settings.py "$@"
