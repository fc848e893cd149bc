#!/usr/bin/env bash
# Installs what building and testing need: oneTBB and libtiff from Debian,
# the Python packages with pip, then builds and installs karvelum itself into
# the python3 first on PATH.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for pkg in g++ libtbb-dev libtiff-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check numpy pytest tifffile imagecodecs cmake ninja 2>&1 \
    | grep -v -e "Running pip as the 'root' user" -e "is ignored: it is neither" || true
python3 -m pip install -q --disable-pip-version-check . 2>&1 \
    | grep -v -e "Running pip as the 'root' user" -e "is ignored: it is neither" || true
python3 -c "import karvelum" 
