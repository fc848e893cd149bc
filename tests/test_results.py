"""The result class of 1D integration as seen from Python."""
import numpy as np
import pytest

import karvelum


@pytest.fixture(scope="module")
def image():
    return np.random.default_rng(2).normal(10.0, 3.0, (40, 50))


@pytest.fixture(scope="module")
def ai():
    return karvelum.Integrator.from_poni_dict(dict(pixel1=1e-4, pixel2=1.2e-4, distance=0.1, poni1=1e-3,
                                                   poni2=2e-3, rot1=0.02, wavelength=1e-10))


@pytest.mark.parametrize("errors, spread", [(False, False), (True, False), (False, True), (True, True)])
def test_one_dimensional_result_holds_what_was_asked_for(ai, image, errors, spread):
    res = ai.integrate1d(image, 1000, errors, azimuthal_std=spread)
    assert repr(res) == "IntegrationResult(1D, 1000 points" + (", with errors" if errors else "") + ")"
    assert res.n_radial is None and res.n_azimuthal is None and res.azimuthal is None
    assert len(res.intensity) == len(res.radial) == 1000
    assert (res.errors is not None) == errors and (res.azimuthal_std is not None) == spread
    for name in ("intensity", "radial") + ("errors",) * errors + ("azimuthal_std",) * spread:
        values = getattr(res, name)
        assert type(values) is list and len(values) == 1000 and all(type(v) is float for v in values)


def test_every_read_returns_a_fresh_list(ai, image):
    res = ai.integrate1d(image, 20, True, azimuthal_std=True)
    for name in ("intensity", "radial", "errors", "azimuthal_std"):
        first = getattr(res, name)
        kept = list(first)
        first[:] = [-1.0]
        second = getattr(res, name)
        assert second is not first and np.array_equal(second, kept, equal_nan=True), name


@pytest.mark.parametrize("cls", [karvelum.IntegrationResult, karvelum.BatchResult])
def test_result_classes_cannot_be_built_from_python(cls):
    with pytest.raises(TypeError):
        cls()
