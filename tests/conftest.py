import itertools, json, os, subprocess, sys, textwrap

import pytest
import tifffile

import karvelum

# A complete geometry file as a calibration step writes it.
GOOD_PONI = ("# Calibration done at Mon Jan 01 00:00:00 2024\nponi_version: 2.1\nDetector: Detector\n"
             'Detector_config: {"pixel1": 7.5e-05, "pixel2": 7.5e-05, "max_shape": [1065, 1030]}\n'
             "Distance: 0.1\nPoni1: 0.04\nPoni2: 0.039\nRot1: 0.01\nRot2: -0.02\nRot3: 0.0\nWavelength: 1e-10\n")


@pytest.fixture
def write_poni(tmp_path):
    """Write `content` (str, or bytes byte for byte) to a new file; return its path as str."""
    counter = itertools.count()
    def write(content):
        path = tmp_path / f"geometry_{next(counter)}.poni"
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)
    return write


@pytest.fixture
def write_tiff(tmp_path):
    """Write `data` with tifffile (keyword arguments passed on); return the path as str."""
    counter = itertools.count()
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
    """Run `code` in a fresh interpreter without inherited RAYON_* variables; return the JSON on its last line."""
    def run(code, **env):
        environ = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                              text=True, env={**environ, **env}, timeout=120)
        assert proc.returncode == 0, proc.stderr
        return json.loads(proc.stdout.strip().splitlines()[-1])
    return run
