import numpy as np
import pytest

import karvelum


@pytest.fixture(scope="module")
def integrate(integrator):
    ai, image = integrator("tilted", "pixel_split"), np.random.default_rng(2).normal(10.0, 3.0, (40, 50))
    return lambda n, errors, spread: ai.integrate1d(image, n, errors, azimuthal_std=spread)


@pytest.mark.parametrize("errors", [False, True])
@pytest.mark.parametrize("spread", [False, True])
def test_1d_result_holds_what_was_asked_for_as_new_float_lists(integrate, errors, spread):
    res = integrate(1000, errors, spread)
    assert repr(res) == "IntegrationResult(1D, 1000 points" + (", with errors" if errors else "") + ")"
    assert res.n_radial is None and res.n_azimuthal is None and res.azimuthal is None
    assert (res.errors is not None) == errors and (res.azimuthal_std is not None) == spread
    for name in ("intensity", "radial") + ("errors",) * errors + ("azimuthal_std",) * spread:
        first = getattr(res, name)
        kept, first[:] = list(first), [-1.0]
        assert type(first) is list and len(kept) == 1000 and all(type(v) is float for v in kept)
        assert np.array_equal(getattr(res, name), kept, equal_nan=True), name


@pytest.mark.parametrize("cls", [karvelum.IntegrationResult, karvelum.BatchResult])
def test_result_classes_cannot_be_built_from_python(cls):
    with pytest.raises(TypeError):
        cls()
