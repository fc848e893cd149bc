"""1D integration of NumPy arrays against the numpy oracle and known answers."""
import numpy as np
import pytest

import oracle
from karvelum import Integrator

GEOM = dict(pixel1=7.5e-5, pixel2=1.1e-4, distance=0.12, poni1=1.3e-3, poni2=2.1e-3,  # tilted, rotated,
            rot1=0.05, rot2=-0.08, rot3=0.6, wavelength=0.7e-10)  # beam centre inside near a corner
SHAPE = (97, 131)  # pixels are rectangular
TABLE_METHODS = [("counting", None), ("pixel_split", None), ("supersampled", 3)]
METHOD_IDS = lambda m: m if isinstance(m, str) else None  # noqa: E731
FORMS = [(False, False), (True, False), (False, True), (True, True)]  # (errors, azimuthal_std)
SPREAD_KEYS = dict(intensity="mean", errors="std_errors", azimuthal_std="std")  # oracle values with azimuthal_std


def integrator(method="counting", n_ss=None, **kw):
    return Integrator.from_poni_dict(GEOM, method=method, n_ss=n_ss, **kw)


def data_span(unit, lo=0.25, hi=0.75):
    r, _ = oracle.radial_and_correction(GEOM, SHAPE, unit)
    return tuple(float(v) for v in np.quantile(r, [lo, hi]))


@pytest.mark.parametrize("unit", ["2th_rad", "2th_deg", "q_A^-1", "q_nm^-1"])
@pytest.mark.parametrize("polarization", [None, 0.95, 300.0], ids=["no-pol", "pol", "pol-nonpositive-corr"])
@pytest.mark.parametrize("method, n_ss", [("counting", None), ("histogram", None), ("supersampled", 1)], ids=METHOD_IDS)
@pytest.mark.parametrize("ranged", [False, True], ids=["full", "range"])  # the histogram ignores a radial range
def test_counting_and_histogram_equal_the_oracle(unit, polarization, method, n_ss, ranged):
    # A polarization factor of 300 drives the correction negative in places; one subsample
    # per pixel is counting (bins differ only for pixels on an edge, not trusted).
    n, image = 100, oracle.noisy_image(SHAPE, nans=6)
    span = data_span(unit) if ranged else None
    want = oracle.integrate1d(GEOM, image, n, unit, method if n_ss is None else "counting", polarization, span)
    ok = want["trusted"]
    assert ok.sum() >= n - 4 and np.isnan(want["intensity"]).sum() >= 1
    ai = integrator(method, n_ss, unit=unit, polarization_factor=polarization, radial_range=span)
    for errors, spread in FORMS:
        got = oracle.outputs(ai.integrate1d(image, n, errors, azimuthal_std=spread))
        assert (got["errors"] is not None, got["azimuthal_std"] is not None) == (errors, spread)
        for name in (k for k in oracle.OUTPUTS if got[k] is not None):
            assert len(got[name]) == n
            key = (SPREAD_KEYS if spread else {}).get(name, name)
            np.testing.assert_allclose(got[name][ok], want[key][ok], rtol=1e-9, atol=0, err_msg=name)


@pytest.mark.parametrize("unit", ["2th_deg", "q_nm^-1"])
@pytest.mark.parametrize("method, n_ss", TABLE_METHODS, ids=METHOD_IDS)
def test_patterns_of_a_smooth_image_follow_its_profile(unit, method, n_ss):
    r, corr = oracle.radial_and_correction(GEOM, SHAPE, unit)
    lo, hi = data_span(unit, 0.1, 0.9)
    profile = lambda x: 2.0 + np.sin(6.0 * (x - lo) / (hi - lo))  # noqa: E731
    got = integrator(method, n_ss, unit=unit, radial_range=(lo, hi)).integrate1d((corr * profile(r)).reshape(SHAPE), 40)
    np.testing.assert_allclose(got.intensity, profile(np.array(got.radial)), rtol=3e-3)


@pytest.mark.parametrize("method, n_ss", TABLE_METHODS, ids=METHOD_IDS)
@pytest.mark.parametrize("unit", ["2th_rad", "q_A^-1"])
def test_pixels_outside_the_radial_range_do_not_contribute(method, n_ss, unit):
    lo, hi = span = data_span(unit, 0.3, 0.7)
    corner_min, corner_max = oracle.corner_radial_extent(GEOM, SHAPE, unit)
    outside = ((corner_max < lo) | (corner_min > hi)).reshape(SHAPE)
    assert 0.4 < outside.mean() < 0.8
    image = oracle.noisy_image(SHAPE, nans=0)
    ai = integrator(method, n_ss, unit=unit, radial_range=span)
    for errors, spread in FORMS:
        want = ai.integrate1d(image, 50, errors, azimuthal_std=spread)
        oracle.assert_same(ai.integrate1d(oracle.with_junk(image, outside), 50, errors, azimuthal_std=spread), want)
        np.testing.assert_allclose(want.radial, lo + (hi - lo) * (np.arange(50) + 0.5) / 50, rtol=1e-13)
        assert (np.array(want.intensity) != 0).all()


@pytest.mark.parametrize("unit", ["q_A^-1", "q_nm^-1"])
def test_q_unit_without_wavelength_fails_and_leaves_the_integrator_usable(unit):
    ai = Integrator.from_poni_dict({k: v for k, v in GEOM.items() if k != "wavelength"}, method="counting", unit=unit)
    image = oracle.noisy_image(SHAPE, nans=6)
    for spread in (False, True):
        with pytest.raises(ValueError, match="^Wavelength must be positive for q conversion$"):
            ai.integrate1d(image, 50, azimuthal_std=spread)
    ai.set_unit("2th_deg")
    oracle.assert_same(ai.integrate1d(image, 50), integrator(unit="2th_deg").integrate1d(image, 50))
