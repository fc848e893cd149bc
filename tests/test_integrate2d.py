"""2D (radial x azimuthal) integration against the numpy oracle and known answers."""
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import tifffile

import oracle
from karvelum import Integrator

SHAPE = (90, 110)
# Beam centre inside the detector: azimuths cover the whole circle, rectangular pixels.
AROUND = dict(pixel1=7.5e-5, pixel2=1.1e-4, distance=0.1, poni1=3.1e-3, poni2=5.3e-3,
              rot1=0.012, rot2=-0.009, rot3=0.6, wavelength=0.7e-10)
# Detector to one side of the beam: azimuths within about [0.65, 2.0].
ASIDE = dict(pixel1=1.1e-4, pixel2=7.5e-5, distance=0.08, poni1=-6e-3, poni2=2.5e-3,
             rot1=0.03, rot2=0.05, rot3=-0.4, wavelength=1.2e-10)
GEOMS = {"around": AROUND, "aside": ASIDE}
# Azimuthal ranges per geometry: one inside the data, one across the +-pi seam or shifted by a turn.
RANGES = {"around": [(-1.0, 2.0), (2.5, 3.8)], "aside": [(0.9, 1.7), (1.2 - 2 * np.pi, 1.9 - 2 * np.pi)]}
ALL_METHODS = [("histogram", None), ("counting", None), ("pixel_split", None), ("supersampled", 3)]
SPLIT_METHODS = ALL_METHODS[2:]
METHOD_IDS = lambda m: m if isinstance(m, str) else None  # noqa: E731
STEP_ERROR = "azimuthal_step must be positive"


def integrator(geom=AROUND, method="counting", n_ss=None, **kw):
    return Integrator.from_poni_dict(geom, method=method, n_ss=n_ss, **kw)


def noisy_image(shape=SHAPE, seed=0, nans=4):
    """Values around 5 with many negative samples and a few NaN pixels."""
    rng = np.random.default_rng(seed)
    image = rng.normal(5.0, 4.0, shape)
    image.flat[rng.choice(image.size, nans, replace=False)] = np.nan
    return image


def cake(result):
    """Intensity and errors as (n_azimuthal, n_radial) arrays (errors None when absent)."""
    shape = (result.n_azimuthal, result.n_radial)
    errors = None if result.errors is None else np.array(result.errors).reshape(shape)
    return np.array(result.intensity).reshape(shape), errors


def assert_same(a, b):
    for x, y in zip(cake(a), cake(b)):
        assert (x is None) == (y is None)
        if x is not None:
            assert np.array_equal(x, y, equal_nan=True)


def correction(geom, polarization=None):
    return oracle.pixel_geometry(geom, SHAPE, polarization)["correction"].reshape(SHAPE)


def wrapped_chi(geom, lo):
    """Pixel-centre azimuths taken into [lo, lo + 2 pi)."""
    return lo + np.mod(oracle.pixel_geometry(geom, SHAPE)["chi"] - lo, 2 * np.pi).reshape(SHAPE)


def geom_spans():
    return [(g, None) for g in GEOMS] + [(g, r) for g in GEOMS for r in RANGES[g]]


def test_no_pixel_centre_sits_on_the_azimuthal_seam():
    # A pixel at +-pi could be binned at either end without a range; the geometries avoid it.
    for geom in GEOMS.values():
        assert np.abs(np.pi - np.abs(oracle.pixel_geometry(geom, SHAPE)["chi"])).min() > 1e-6
    chi = oracle.pixel_geometry(AROUND, SHAPE)["chi"]
    assert chi.min() < -3.1 and chi.max() > 3.1


@pytest.mark.parametrize("name, span", geom_spans())
@pytest.mark.parametrize("unit", ["2th_deg", "q_nm^-1"])
@pytest.mark.parametrize("polarization", [None, 0.95, 300.0], ids=["no-pol", "pol", "pol-nonpositive-corr"])
@pytest.mark.parametrize("method", ["counting", "histogram"])
def test_counting_and_histogram_cakes_equal_the_oracle(name, span, unit, polarization, method):
    # A polarization factor of 300 drives the correction negative in places.
    geom, image, n_rad, n_az = GEOMS[name], noisy_image(), 24, 10
    want = oracle.integrate2d(geom, image, n_rad, n_az, unit, method, polarization, span)
    ok = want["trusted"]
    assert ok.sum() >= 0.9 * ok.size and np.isnan(want["intensity"]).sum() >= 1
    assert (want["intensity"] != 0).sum() >= 0.1 * ok.size
    ai = integrator(geom, method, unit=unit, polarization_factor=polarization)
    for errors in (False, True):
        res = ai.integrate2d(image, n_rad, n_az, errors, span)
        assert repr(res) == f"IntegrationResult(2D, {n_rad * n_az} points{', with errors' * errors})"
        assert (res.n_radial, res.n_azimuthal) == (n_rad, n_az)
        assert res.radial is None and res.azimuthal is None and res.azimuthal_std is None
        assert (res.errors is not None) == errors and len(res.intensity) == n_rad * n_az
        for key in ("intensity", "errors")[:1 + errors]:
            np.testing.assert_allclose(np.array(getattr(res, key))[ok], want[key][ok], rtol=1e-9, atol=0,
                                       err_msg=key)


@pytest.mark.parametrize("name, span", [("around", None), ("aside", None), ("around", (-1.0, 2 * np.pi - 1.0)),
                                        ("aside", (2.0 - 2 * np.pi, 2.0))])
@pytest.mark.parametrize("method", ["counting", "histogram"])
@pytest.mark.parametrize("n_az", [1, 12])
def test_cakes_summed_over_azimuth_reproduce_the_1d_pattern(name, span, method, n_az):
    # Every range here spans a whole turn, so every pixel is counted. The per-cell weight
    # (sum of corrections for counting, pixel count for the histogram) is read back from
    # the errors of an image whose cells all have a known error: 1/sqrt(weight).
    geom, unit, n_rad = GEOMS[name], "q_nm^-1", 30
    corr = correction(geom, 0.95)
    ai = integrator(geom, method, unit=unit, polarization_factor=0.95)
    probe = corr if method == "counting" else corr * corr
    _, probe_errors = cake(ai.integrate2d(probe, n_rad, n_az, True, span))
    weight = np.divide(1.0, probe_errors ** 2, out=np.zeros_like(probe_errors), where=probe_errors > 0)
    assert (weight > 0).sum() >= 0.15 * weight.size
    image = noisy_image(nans=0)
    intensity, errors = cake(ai.integrate2d(image, n_rad, n_az, True, span))
    total = weight.sum(axis=0)
    line = ai.integrate1d(image, n_rad, True)
    np.testing.assert_allclose((intensity * weight).sum(axis=0) / total, line.intensity, rtol=1e-10)
    np.testing.assert_allclose(np.sqrt(((errors * weight) ** 2).sum(axis=0)) / total, line.errors, rtol=1e-10)


@pytest.mark.parametrize("name, span", geom_spans())
@pytest.mark.parametrize("method, n_ss", SPLIT_METHODS + [("supersampled", 1)], ids=METHOD_IDS)
def test_image_equal_to_the_correction_gives_a_flat_cake(name, span, method, n_ss):
    geom = GEOMS[name]
    ai = integrator(geom, method, n_ss, unit="2th_rad", polarization_factor=0.95)
    got, _ = cake(ai.integrate2d(correction(geom, 0.95), 20, 12, False, span))
    filled = got != 0
    cells, _, _ = oracle.cell_layout(geom, SHAPE, 20, 12, "2th_rad", span)
    assert filled.sum() >= 0.9 * len(np.unique(cells[cells >= 0]))
    np.testing.assert_allclose(got[filled], 1.0, rtol=1e-13)


def sector(name, span):
    """Number of azimuthal bins, first and one-past-last bin of a sector, and its [a, b)."""
    if span is None:
        chi = oracle.pixel_geometry(GEOMS[name], SHAPE)["chi"]
        n_az, k0, k1, lo = 16, 5, 10, chi.min()
        width = (chi.max() + oracle.SPAN_MARGIN - lo) / n_az
        if name == "aside":  # its azimuths are in about [0.65, 2.0]: narrow bins
            n_az, k0, k1 = 8, 3, 6
            width *= 2
    else:
        n_az, k0, k1, lo = 8, 2, 6, span[0]
        width = (span[1] - span[0]) / n_az
    return n_az, k0, k1, lo + k0 * width, lo + k1 * width


@pytest.mark.parametrize("name, span", [("around", None), ("aside", None), ("around", (2.5, 3.8)),
                                        ("aside", (1.2 - 2 * np.pi, 1.9 - 2 * np.pi))])
@pytest.mark.parametrize("method, n_ss", ALL_METHODS, ids=METHOD_IDS)
def test_a_sector_image_fills_only_the_bins_of_that_sector(name, span, method, n_ss):
    # The range across the seam puts its sector across +-pi.
    geom, n_rad, unit = GEOMS[name], 20, "2th_deg"
    n_az, k0, k1, a, b = sector(name, span)
    cmin, cmax = oracle.corner_chi_extent(geom, SHAPE)
    small = (cmax - cmin < 0.5 * (b - a) / (k1 - k0)).reshape(SHAPE)  # not the pixels at the beam centre
    inside = (wrapped_chi(geom, a) < b) & small
    assert 0.03 < inside.mean() < 0.7
    image = correction(geom) * inside
    got, _ = cake(integrator(geom, method, n_ss, unit=unit).integrate2d(image, n_rad, n_az, False, span))
    cells, _, trusted = oracle.cell_layout(geom, SHAPE, n_rad, n_az, unit, span)
    core = np.zeros((n_az, n_rad), dtype=bool)
    core[k0:k1] = True
    if method in ("counting", "histogram"):
        want = np.zeros(n_az * n_rad, dtype=bool)
        want[cells[inside.ravel() & (cells >= 0)]] = True
        assert want.reshape(core.shape)[~core].sum() == 0
        np.testing.assert_array_equal((got != 0).ravel()[trusted], want[trusted])
        return
    # Split pixels on the sector's edges reach the neighbouring bins with small weights.
    far = np.ones(n_az, dtype=bool)
    far[k0 - 1:k1 + 1] = False
    assert (got[far] == 0).all()
    # In cells away from the beam centre with several pixel centres, the sector bins hold
    # mostly sector pixels and their neighbours mostly others.
    counts = np.bincount(cells[cells >= 0], minlength=n_az * n_rad).reshape(core.shape)
    judged = (counts >= 4) & (np.arange(n_rad) >= n_rad // 4)
    assert judged[core].sum() >= 10 and judged[~core].sum() >= 10
    np.testing.assert_array_equal((got > 0.5)[judged], core[judged])


@pytest.mark.parametrize("name, span", [("around", (0.2, 1.0)), ("around", (2.5, 3.8)), ("aside", (0.9, 1.3))])
@pytest.mark.parametrize("method, n_ss", ALL_METHODS, ids=METHOD_IDS)
def test_pixels_outside_the_azimuthal_range_do_not_contribute(name, span, method, n_ss):
    geom, (lo, hi) = GEOMS[name], span
    cmin, cmax = oracle.corner_chi_extent(geom, SHAPE)
    reaches = np.zeros(cmin.shape, dtype=bool)
    for turns in range(-2, 3):
        shift = 2 * np.pi * turns
        reaches |= (cmax + shift >= lo - 1e-9) & (cmin + shift <= hi + 1e-9)
    outside = (~reaches & (cmax - cmin < 1.0)).reshape(SHAPE)  # not the pixels around the beam centre
    assert 0.5 < outside.mean() < 0.95
    image = noisy_image(nans=0)
    junk = image.copy()
    junk[outside] = 1e30
    junk[outside & (np.arange(SHAPE[1]) % 2 == 0)] = np.nan
    ai = integrator(geom, method, n_ss, unit="q_nm^-1")
    for errors in (False, True):
        want = ai.integrate2d(image, 20, 8, errors, span)
        assert_same(ai.integrate2d(junk, 20, 8, errors, span), want)
        assert (np.array(want.intensity) != 0).mean() > 0.3


def test_a_tiny_azimuthal_width_does_not_stall_pixel_splitting(run_isolated):
    # Pixels crossing the ray at 0.3 rad span 1e7 bin widths: only the cells that exist are visited.
    intensity = np.array(run_isolated(f"""
        import json, numpy as np, karvelum
        ai = karvelum.Integrator.from_poni_dict({AROUND!r}, method="pixel_split")
        print(json.dumps(ai.integrate2d(np.ones({SHAPE!r}), 20, 4, False, (0.3, 0.3 + 1e-9)).intensity))
    """))
    filled = intensity[intensity != 0]
    assert len(filled) >= 10 and ((filled >= 1.0) & (filled < 1.01)).all()


@pytest.mark.parametrize("method, n_ss", ALL_METHODS, ids=METHOD_IDS)
def test_tiff_path_and_array_give_identical_cakes(tmp_path, method, n_ss):
    image = noisy_image()
    path = str(tmp_path / "image.tif")
    tifffile.imwrite(path, image[::-1])  # a file's last row is the detector's first
    ai = integrator(AROUND, method, n_ss, polarization_factor=0.9)
    for errors in (False, True):
        for span in (None, (2.5, 3.8)):
            assert_same(ai.integrate2d(path, 20, 12, errors, span), ai.integrate2d(image, 20, 12, errors, span))


def test_cakes_do_not_depend_on_the_thread_count(tmp_path):
    script = textwrap.dedent(f"""
        import sys, numpy as np, karvelum
        karvelum.set_rayon_threads(int(sys.argv[1]))
        image = np.random.default_rng(3).normal(5.0, 4.0, (240, 300))
        image[7, 11] = np.nan
        out = {{}}
        for method, n_ss in {ALL_METHODS!r}:
            ai = karvelum.Integrator.from_poni_dict({AROUND!r}, method=method, n_ss=n_ss,
                                                    polarization_factor=0.9)
            for span in (None, (2.5, 3.8)):
                res = ai.integrate2d(image, 100, 36, True, span)
                out[f"{{method}}-{{span}}-intensity"] = np.array(res.intensity)
                out[f"{{method}}-{{span}}-errors"] = np.array(res.errors)
        np.savez(sys.argv[2], **out)
    """)
    saved = []
    for threads in (1, 8):
        path = tmp_path / f"threads{threads}.npz"
        subprocess.run([sys.executable, "-c", script, str(threads), str(path)], check=True, timeout=120)
        saved.append(np.load(path))
    one, eight = saved
    assert sorted(one.files) == sorted(eight.files) and len(one.files) == 4 * 2 * 2
    for key in one.files:
        assert np.array_equal(one[key], eight[key], equal_nan=True), key


def test_changed_settings_give_the_cakes_of_a_fresh_integrator():
    image, ai = noisy_image(), integrator()
    calls = [(12, None), (7, None), (12, (0.0, 1.57)), (12, (0.0, 1.6)), (12, None), (12, (0.0, 1.57))]
    for method, n_ss in ALL_METHODS + [("supersampled", 2)]:
        ai.set_method(method, n_ss=n_ss)
        for unit in ("q_nm^-1", "2th_rad"):
            ai.set_unit(unit)
            fresh = integrator(AROUND, method, n_ss, unit=unit)
            for n_az, span in calls:
                args = (image, 20, n_az, True, span)
                assert_same(ai.integrate2d(*args), fresh.integrate2d(*args))


@pytest.mark.parametrize("method, n_ss", ALL_METHODS, ids=METHOD_IDS)
def test_repeated_calls_and_a_negative_zero_start_give_identical_cakes(method, n_ss):
    image, ai = noisy_image(), integrator(AROUND, method, n_ss)
    copy = image.copy()
    first = ai.integrate2d(image, 20, 12, True, (0.0, 1.57))
    for span in ((0.0, 1.57), (-0.0, 1.57), (0.0, 1.57), (-0.0, 1.57)):
        assert_same(ai.integrate2d(image, 20, 12, True, span), first)
    whole = ai.integrate2d(image, 20, 12, True)
    assert_same(ai.integrate2d(image, 20, 12, True), whole)
    np.testing.assert_array_equal(image, copy)


@pytest.mark.parametrize("method, n_ss", ALL_METHODS, ids=METHOD_IDS)
def test_image_shapes_1d_calls_and_the_radial_range_leave_cakes_alone(method, n_ss):
    images = [noisy_image(), noisy_image((61, 173), seed=1)]
    want = [integrator(AROUND, method, n_ss).integrate2d(im, 20, 12, True, (2.5, 3.8)) for im in images]
    ai = integrator(AROUND, method, n_ss, radial_range=(0.5, 1.5))
    for i in (0, 1, 0, 1, 1, 0):
        assert len(ai.integrate1d(images[i], 40).intensity) == 40
        assert_same(ai.integrate2d(images[i], 20, 12, True, (2.5, 3.8)), want[i])


@pytest.mark.parametrize("args, kwargs, exc_type, message", [
    ((0, 12), {}, ValueError, "n_radial must be positive"),
    ((20, 0), {}, ValueError, "n_azimuthal must be positive"),
    ((0, 12), {"azimuthal_range": (0.0, 1.0)}, ValueError, "n_radial must be positive"),
    ((20, 0), {"azimuthal_range": (0.0, 1.0)}, ValueError, "n_azimuthal must be positive"),
    ((20, 12), {"azimuthal_range": (0.0,)}, ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ((20, 12), {"azimuthal_range": [0.0, 1.0]}, TypeError, None),
    ((20, 12), {"azimuthal_range": (1.0, 1.0)}, ValueError, STEP_ERROR),
    ((20, 12), {"azimuthal_range": (1.0, 0.5)}, ValueError, STEP_ERROR),
    ((20, 12), {"azimuthal_range": (0.0, np.nan)}, ValueError, STEP_ERROR),
    ((20, 12), {"azimuthal_range": (np.nan, 1.0)}, ValueError, STEP_ERROR),
    ((20, 12), {"azimuthal_range": (0.0, np.inf)}, ValueError, STEP_ERROR),
    ((20, 12), {"azimuthal_range": (-np.inf, 0.0)}, ValueError, STEP_ERROR),
    ((-1, 12), {}, OverflowError, None),
    ((20, 12, 1), {}, TypeError, None),
], ids=["zero-radial", "zero-azimuthal", "zero-radial-range", "zero-azimuthal-range", "short-range", "list-range",
        "empty-range", "reversed-range", "nan-end", "nan-start", "infinite-end", "infinite-start",
        "negative-count", "int-errors"])
@pytest.mark.parametrize("method, n_ss", ALL_METHODS, ids=METHOD_IDS)
def test_bad_arguments_are_refused_and_the_integrator_still_works(method, n_ss, args, kwargs, exc_type, message):
    image = noisy_image()
    want = integrator(AROUND, method, n_ss).integrate2d(image, 20, 12, True, (0.0, 1.0))
    ai = integrator(AROUND, method, n_ss)
    with pytest.raises(exc_type) as exc:
        ai.integrate2d(image, *args, **kwargs)
    if message is not None:
        assert str(exc.value) == message
    assert_same(ai.integrate2d(image, 20, 12, True, (0.0, 1.0)), want)
