#!/usr/bin/env bash
# Installs what building and testing need: oneTBB, libtiff and libdeflate from Debian,
# the Python packages with pip at the versions pinned in scripts/constraints.txt,
# then builds and installs karvelum itself into the python3 first on PATH. Any failed step fails the script.
# KARVELUM_WERROR=ON builds with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for pkg in g++ libtbb-dev libtiff-dev libdeflate-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
python3 -m pip install -q -c scripts/constraints.txt numpy scipy pytest tifffile imagecodecs matplotlib \
    cmake ninja nanobind scikit-build-core "dask[distributed]"
# Built with the pinned build tools just installed, not with whatever release an
# isolated build environment would fetch.
python3 -m pip install -q --no-build-isolation . \
    --config-settings=cmake.define.KARVELUM_WERROR="${KARVELUM_WERROR:-OFF}"
# Imported from outside the source tree, so the installed module is the one tested.
(cd / && python3 -c "import karvelum")
