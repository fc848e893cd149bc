"""Per-pixel geometry of the engine against the numpy oracle."""
import os
import pathlib
import subprocess

import numpy as np
import pytest

import oracle

ROOT = pathlib.Path(__file__).resolve().parent.parent
DUMP = pathlib.Path(os.environ.get("KARVELUM_GEOMETRY_DUMP", ROOT / "build" / "cpp" / "karvelum_geometry_dump"))

def dump(geom, shape, polarization, unit):
    if not DUMP.exists():
        if os.environ.get("CI"):
            pytest.fail(f"geometry dump tool missing at {DUMP}")
        pytest.skip("C++ test tools not built (scripts/run_tests.sh builds them)")
    args = [str(DUMP), str(shape[0]), str(shape[1])] + [repr(geom[k]) for k in oracle.GEOMETRY_KEYS]
    args += ["none" if polarization is None else repr(polarization), unit]
    out = subprocess.run(args, check=True, capture_output=True).stdout
    arrays = np.frombuffer(out, dtype="<f8").reshape(6, shape[0] * shape[1])
    return dict(zip(["two_theta", "radial", "chi", "solid_angle", "polarization", "correction"], arrays))

@pytest.mark.parametrize("name", ["tilted", "centred"])
@pytest.mark.parametrize("polarization", [None, 0.0, 0.95, -0.5])
@pytest.mark.parametrize("unit", ["2th_rad", "2th_deg", "q_A^-1", "q_nm^-1"])
def test_pixel_geometry_matches_rotation_matrix_oracle(geoms, name, polarization, unit):
    geom, shape = geoms[name], (61, 47)
    got = dump(geom, shape, polarization, unit)
    want = oracle.pixel_geometry(geom, shape, polarization)
    np.testing.assert_allclose(got["two_theta"], want["two_theta"], rtol=1e-12, atol=1e-15)
    # Chi is undefined at the beam centre; compare it away from there.
    away = want["two_theta"] > 1e-9
    np.testing.assert_allclose(got["chi"][away], want["chi"][away], rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(got["solid_angle"], want["solid_angle"], rtol=1e-13)
    np.testing.assert_allclose(got["polarization"], want["polarization"], rtol=1e-13)
    np.testing.assert_allclose(got["correction"], want["correction"], rtol=1e-13)
    radial = oracle.to_unit(want["two_theta"], unit, geom["wavelength"])
    np.testing.assert_allclose(got["radial"], radial, rtol=1e-12, atol=1e-14)
