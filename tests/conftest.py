import json
import os
import subprocess
import sys
import textwrap

import pytest
import tifffile

import karvelum

# A complete, well-formed geometry file as a calibration step writes it.
GOOD_PONI = """\
# Calibration done at Mon Jan 01 00:00:00 2024
poni_version: 2.1
Detector: Detector
Detector_config: {"pixel1": 7.5e-05, "pixel2": 7.5e-05, "max_shape": [1065, 1030]}
Distance: 0.1
Poni1: 0.04
Poni2: 0.039
Rot1: 0.01
Rot2: -0.02
Rot3: 0.0
Wavelength: 1e-10
"""


@pytest.fixture
def write_poni(tmp_path):
    """Write `content` (str or bytes, written byte for byte) and return the path as str."""
    counter = iter(range(10**6))

    def write(content, name=None):
        path = tmp_path / (name or f"geometry_{next(counter)}.poni")
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write


@pytest.fixture
def write_tiff(tmp_path):
    """Write `data` with tifffile (keyword arguments passed on) and return the path as str."""
    counter = iter(range(10**6))

    def write(data, **kwargs):
        path = str(tmp_path / f"image_{next(counter)}.tif")
        tifffile.imwrite(path, data, **kwargs)
        return path

    return write


@pytest.fixture
def poni_path(write_poni):
    return write_poni(GOOD_PONI)


@pytest.fixture
def ai(poni_path):
    return karvelum.Integrator(poni_path)


@pytest.fixture
def run_isolated():
    """Run `code` in a fresh interpreter without inherited RAYON_* variables.

    The code must print one JSON value as its last line; that value is returned.
    """

    def run(code, **env):
        environ = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        environ.update(env)
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True, text=True, env=environ, timeout=120,
        )
        assert proc.returncode == 0, proc.stderr
        return json.loads(proc.stdout.strip().splitlines()[-1])

    return run
