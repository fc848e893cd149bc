"""1D integration of NumPy arrays against the numpy oracle and known answers."""
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import karvelum
import oracle
from karvelum import Integrator

# Tilted, rotated, beam centre inside the detector near a corner, rectangular pixels.
GEOM = dict(pixel1=7.5e-5, pixel2=1.1e-4, distance=0.12, poni1=1.3e-3, poni2=2.1e-3,
            rot1=0.05, rot2=-0.08, rot3=0.6, wavelength=0.7e-10)
SHAPE = (97, 131)
UNITS = ["2th_rad", "2th_deg", "q_A^-1", "q_nm^-1"]
TABLE_METHODS = [("counting", None), ("pixel_split", None), ("supersampled", 3)]
ALL_METHODS = [("histogram", None)] + TABLE_METHODS
METHOD_IDS = lambda m: m if isinstance(m, str) else None  # noqa: E731


def integrator(method="counting", n_ss=None, **kw):
    return Integrator.from_poni_dict(GEOM, method=method, n_ss=n_ss, **kw)


def noisy_image(shape=SHAPE, seed=0, nans=6):
    """Values around 5 with many negative samples and a few NaN pixels."""
    rng = np.random.default_rng(seed)
    image = rng.normal(5.0, 4.0, shape)
    image.flat[rng.choice(image.size, nans, replace=False)] = np.nan
    return image


def arrays(result):
    return {k: None if getattr(result, k) is None else np.array(getattr(result, k))
            for k in ("radial", "intensity", "errors", "azimuthal_std")}


def assert_same(a, b):
    for key in a:
        if a[key] is None or b[key] is None:
            assert a[key] is b[key] is None, key
        else:
            np.testing.assert_array_equal(a[key], b[key], err_msg=key)


def data_span(unit, lo=0.25, hi=0.75):
    r, _ = oracle.radial_and_correction(GEOM, SHAPE, unit)
    return tuple(float(v) for v in np.quantile(r, [lo, hi]))


@pytest.mark.parametrize("unit", UNITS)
@pytest.mark.parametrize("polarization", [None, 0.95, 300.0], ids=["no-pol", "pol", "pol-nonpositive-corr"])
@pytest.mark.parametrize("method, ranged", [("counting", False), ("counting", True), ("histogram", False),
                                            ("histogram", True)],
                         ids=["counting", "counting-range", "histogram", "histogram-range-ignored"])
def test_counting_and_histogram_equal_the_oracle(unit, polarization, method, ranged):
    # A polarization factor of 300 drives the correction negative in places.
    n, image = 100, noisy_image()
    span = data_span(unit) if ranged else None
    want = oracle.integrate1d(GEOM, image, n, unit, method, polarization, span)
    ok = want["trusted"]
    assert ok.sum() >= n - 4 and np.isnan(want["intensity"]).sum() >= 1
    ai = integrator(method, unit=unit, polarization_factor=polarization, radial_range=span)

    def check(got, key, name):
        assert len(got[name]) == n
        np.testing.assert_allclose(got[name][ok], want[key][ok], rtol=1e-9, atol=0, err_msg=name)

    plain, with_errors = arrays(ai.integrate1d(image, n)), arrays(ai.integrate1d(image, n, True))
    assert plain["errors"] is None and plain["azimuthal_std"] is None
    for got in (plain, with_errors):
        check(got, "radial", "radial")
        check(got, "intensity", "intensity")
    check(with_errors, "errors", "errors")
    for errors in (False, True):
        got = arrays(ai.integrate1d(image, n, errors, azimuthal_std=True))
        check(got, "radial", "radial")
        check(got, "mean", "intensity")
        check(got, "std", "azimuthal_std")
        assert (got["errors"] is not None) == errors
        if errors:
            check(got, "std_errors", "errors")


@pytest.mark.parametrize("method, n_ss", TABLE_METHODS + [("supersampled", 1)], ids=METHOD_IDS)
@pytest.mark.parametrize("ranged", [False, True], ids=["full", "range"])
def test_image_equal_to_the_correction_integrates_to_one(method, n_ss, ranged):
    unit = "2th_deg"
    _, corr = oracle.radial_and_correction(GEOM, SHAPE, unit, 0.95)
    span = data_span(unit, 0.0, 0.5) if ranged else None
    ai = integrator(method, n_ss, unit=unit, polarization_factor=0.95, radial_range=span)
    got = arrays(ai.integrate1d(corr.reshape(SHAPE), 60, True, azimuthal_std=True))
    filled = got["intensity"] != 0
    assert filled.sum() >= 58
    np.testing.assert_allclose(got["intensity"][filled], 1.0, rtol=1e-13)
    np.testing.assert_allclose(got["azimuthal_std"][filled], 0.0, atol=1e-12)
    assert np.isnan(got["azimuthal_std"][~filled]).all()


@pytest.mark.parametrize("unit", ["2th_deg", "q_nm^-1"])
def test_split_and_supersampled_patterns_converge_to_counting_on_a_smooth_image(unit):
    r, corr = oracle.radial_and_correction(GEOM, SHAPE, unit)
    lo, hi = data_span(unit, 0.1, 0.9)
    profile = lambda x: 2.0 + np.sin(6.0 * (x - lo) / (hi - lo))  # noqa: E731
    image = (corr * profile(r)).reshape(SHAPE)
    results = {m: arrays(integrator(m, n_ss, unit=unit, radial_range=(lo, hi)).integrate1d(image, 40))
               for m, n_ss in TABLE_METHODS}
    counting = results["counting"]
    np.testing.assert_allclose(counting["intensity"], profile(counting["radial"]), rtol=5e-3)
    for name, got in results.items():
        np.testing.assert_array_equal(got["radial"], counting["radial"])
        np.testing.assert_allclose(got["intensity"], counting["intensity"], rtol=5e-3, err_msg=name)


@pytest.mark.parametrize("ranged", [False, True], ids=["full", "range"])
def test_one_subsample_per_pixel_matches_counting(ranged):
    # The span rules differ by 1.6e-15 at the top, so bins agree except for pixels on an edge.
    unit, image = "q_A^-1", noisy_image()
    span = data_span(unit) if ranged else None
    ok = oracle.integrate1d(GEOM, image, 100, unit, "counting", None, span)["trusted"]
    count = arrays(integrator("counting", unit=unit, radial_range=span).integrate1d(image, 100, True))
    ss = arrays(integrator("supersampled", 1, unit=unit, radial_range=span).integrate1d(image, 100, True))
    for key in ("radial", "intensity", "errors"):
        np.testing.assert_allclose(ss[key][ok], count[key][ok], rtol=1e-9, err_msg=key)


@pytest.mark.parametrize("method, n_ss", TABLE_METHODS, ids=METHOD_IDS)
@pytest.mark.parametrize("unit", ["2th_rad", "q_A^-1"])
def test_pixels_outside_the_radial_range_do_not_contribute(method, n_ss, unit):
    lo, hi = span = data_span(unit, 0.3, 0.7)
    corner_min, corner_max = oracle.corner_radial_extent(GEOM, SHAPE, unit)
    outside = ((corner_max < lo) | (corner_min > hi)).reshape(SHAPE)
    assert 0.4 < outside.mean() < 0.8
    image = noisy_image(nans=0)
    junk = image.copy()
    junk[outside] = 1e30
    junk[outside & (np.arange(SHAPE[1]) % 2 == 0)] = np.nan
    ai = integrator(method, n_ss, unit=unit, radial_range=span)
    for errors, spread in [(False, False), (True, False), (True, True)]:
        want = arrays(ai.integrate1d(image, 50, errors, azimuthal_std=spread))
        assert_same(arrays(ai.integrate1d(junk, 50, errors, azimuthal_std=spread)), want)
        np.testing.assert_allclose(want["radial"], lo + (hi - lo) * (np.arange(50) + 0.5) / 50, rtol=1e-13)
        assert (want["intensity"] != 0).all()


def test_results_do_not_depend_on_the_thread_count(tmp_path):
    script = textwrap.dedent(f"""
        import sys, numpy as np, karvelum
        karvelum.set_rayon_threads(int(sys.argv[1]))
        image = np.random.default_rng(3).normal(5.0, 4.0, (300, 400))
        image[7, 11] = np.nan
        out = {{}}
        for method, n_ss in {ALL_METHODS!r}:
            for span in (None, (0.02, 0.08)):
                ai = karvelum.Integrator.from_poni_dict({GEOM!r}, method=method, n_ss=n_ss,
                                                        polarization_factor=0.9, radial_range=span)
                for spread in (False, True):
                    res = ai.integrate1d(image, 500, True, azimuthal_std=spread)
                    for key in ("radial", "intensity", "errors", "azimuthal_std"):
                        if getattr(res, key) is not None:
                            out[f"{{method}}-{{span}}-{{spread}}-{{key}}"] = np.array(getattr(res, key))
        np.savez(sys.argv[2], **out)
    """)
    saved = []
    for threads in (1, 8):
        path = tmp_path / f"threads{threads}.npz"
        subprocess.run([sys.executable, "-c", script, str(threads), str(path)], check=True, timeout=120)
        saved.append(np.load(path))
    one, eight = saved
    assert sorted(one.files) == sorted(eight.files) and len(one.files) == 4 * 2 * 7
    for key in one.files:
        assert np.array_equal(one[key], eight[key], equal_nan=True), key


def test_changed_settings_give_the_results_of_a_fresh_integrator():
    image, ai = noisy_image(), integrator()
    for method, n_ss in ALL_METHODS + [("supersampled", 2)]:
        ai.set_method(method, n_ss=n_ss)
        for unit in ("q_nm^-1", "2th_rad"):
            ai.set_unit(unit)
            for n in (64, 100):
                fresh = integrator(method, n_ss, unit=unit)
                assert_same(arrays(ai.integrate1d(image, n, True)), arrays(fresh.integrate1d(image, n, True)))


@pytest.mark.parametrize("method, n_ss", ALL_METHODS, ids=METHOD_IDS)
def test_alternating_image_shapes_match_fresh_integrators(method, n_ss):
    images = [noisy_image(), noisy_image((61, 173), seed=1)]
    want = [arrays(integrator(method, n_ss).integrate1d(im, 80, True)) for im in images]
    ai = integrator(method, n_ss)
    for i in (0, 1, 0, 1, 1, 0):
        assert_same(arrays(ai.integrate1d(images[i], 80, True)), want[i])


@pytest.mark.parametrize("method, n_ss", ALL_METHODS, ids=METHOD_IDS)
def test_repeated_integration_is_identical_and_leaves_the_array_alone(method, n_ss):
    image = noisy_image()
    copy = image.copy()
    ai = integrator(method, n_ss)
    first = arrays(ai.integrate1d(image, 90, True))
    assert_same(arrays(ai.integrate1d(image, 90, True)), first)
    np.testing.assert_array_equal(image, copy)
    image.flags.writeable = False
    assert_same(arrays(ai.integrate1d(image, 90, True)), first)


NOT_ROW_MAJOR = "Array must be C-contiguous (row-major) and float64"


@pytest.mark.parametrize("image, n_points, message", [
    (np.ones((4, 5)), 0, "n_points must be positive"),
    (np.ones((0, 5)), 10, "Image must not be empty"),
    (np.ones((5, 0)), 10, "Image must not be empty"),
    (np.ones((5, 4)).T, 10, NOT_ROW_MAJOR),
    (np.ones((5, 8))[:, ::2], 10, NOT_ROW_MAJOR),
    (np.ones((5, 8))[:, 3:4], 10, NOT_ROW_MAJOR),
], ids=["zero-points", "no-rows", "no-columns", "transposed", "strided-columns", "column-of-wide"])
@pytest.mark.parametrize("method, n_ss", ALL_METHODS, ids=METHOD_IDS)
@pytest.mark.parametrize("spread", [False, True], ids=["mean", "spread"])
def test_bad_images_and_counts_are_value_errors(method, n_ss, spread, image, n_points, message):
    ai = integrator(method, n_ss)
    with pytest.raises(ValueError) as exc:
        ai.integrate1d(image, n_points, True, azimuthal_std=spread)
    assert str(exc.value) == message
    assert len(ai.integrate1d(np.ones((4, 5)), 10).intensity) == 10


ENUM = "failed to extract enum ImageInput"


@pytest.mark.parametrize("args, kwargs, exc_type, message", [
    ((np.ones((4, 5), dtype=np.float32), 10), {}, TypeError, ENUM),
    ((np.ones((4, 5), dtype=np.int64), 10), {}, TypeError, ENUM),
    ((np.ones((1, 4, 5)), 10), {}, TypeError, ENUM),
    (([[1.0, 2.0], [3.0, 4.0]], 10), {}, TypeError, ENUM),
    ((np.ones((4, 5)), 10, 1), {}, TypeError, None),
    ((np.ones((4, 5)), 10), {"azimuthal_std": 1}, TypeError, None),
    ((np.ones((4, 5)), 10, False, True), {}, TypeError, None),
    ((np.ones((4, 5)), -1), {}, OverflowError, None),
], ids=["float32", "int64", "3d", "list", "int-errors", "int-spread", "spread-positional", "negative-points"])
def test_arguments_of_the_wrong_type_are_refused(args, kwargs, exc_type, message):
    ai = integrator()
    with pytest.raises(exc_type) as exc:
        ai.integrate1d(*args, **kwargs)
    if message is not None:
        assert str(exc.value).startswith(message)
    assert len(ai.integrate1d(np.ones((4, 5)), 10).intensity) == 10


BASE = np.random.default_rng(5).normal(5.0, 1.0, (9, 9))


@pytest.mark.parametrize("view", [BASE[2:3, :], BASE[2:3, :].T, BASE[:, 4:5].copy().T],
                         ids=["row-of-wide", "transposed-row", "transposed-column"])
@pytest.mark.parametrize("method, n_ss", ALL_METHODS, ids=METHOD_IDS)
def test_single_row_or_column_views_are_accepted(method, n_ss, view):
    got = arrays(integrator(method, n_ss).integrate1d(view, 5, True))
    assert_same(got, arrays(integrator(method, n_ss).integrate1d(view.copy(), 5, True)))


def test_numpy_bools_are_accepted_as_flags():
    ai, image = integrator(), noisy_image()
    want = arrays(ai.integrate1d(image, 30, True, azimuthal_std=True))
    assert_same(arrays(ai.integrate1d(image, 30, np.bool_(True), azimuthal_std=np.bool_(True))), want)
    assert_same(arrays(ai.integrate1d(image, 30, errors=np.bool_(False))), arrays(ai.integrate1d(image, 30)))


@pytest.mark.parametrize("unit", ["q_A^-1", "q_nm^-1"])
def test_q_unit_without_wavelength_fails_and_leaves_the_integrator_usable(unit):
    geom = {k: v for k, v in GEOM.items() if k != "wavelength"}
    ai = Integrator.from_poni_dict(geom, method="counting", unit=unit)
    image = noisy_image()
    for spread in (False, True):
        with pytest.raises(ValueError) as exc:
            ai.integrate1d(image, 50, azimuthal_std=spread)
        assert str(exc.value) == "Wavelength must be positive for q conversion"
    ai.set_unit("2th_deg")
    want = oracle.integrate1d(GEOM, image, 50, "2th_deg", "counting")
    assert want["trusted"].all()
    np.testing.assert_allclose(ai.integrate1d(image, 50).intensity, want["intensity"], rtol=1e-9)
