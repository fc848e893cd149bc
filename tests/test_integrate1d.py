"""1D integration of NumPy arrays against the numpy oracle and known answers."""
import math

import numpy as np
import pytest

import oracle

SHAPE = (97, 131)  # the tilted geometry: pixels are rectangular, beam centre inside near a corner
SMALL = (12, 16)  # for the pixel-splitting oracle
METHOD_IDS = lambda m: m if isinstance(m, str) else None  # noqa: E731
SPREAD_KEYS = dict(intensity="mean", errors="std_errors", azimuthal_std="std")  # oracle values with azimuthal_std

def data_span(geom, unit, lo=0.25, hi=0.75):
    r, _ = oracle.radial_and_correction(geom, SHAPE, unit)
    return tuple(float(v) for v in np.quantile(r, [lo, hi]))

@pytest.mark.parametrize("unit", ["2th_rad", "2th_deg", "q_A^-1", "q_nm^-1"])
@pytest.mark.parametrize("polarization", [None, 0.95, 300.0], ids=["no-pol", "pol", "pol-nonpositive-corr"])
@pytest.mark.parametrize("method, n_ss", [("counting", None), ("histogram", None), ("supersampled", 1)], ids=METHOD_IDS)
@pytest.mark.parametrize("ranged", [False, True], ids=["full", "range"])  # the histogram ignores a radial range
def test_counting_and_histogram_equal_the_oracle(integrator, geoms, unit, polarization, method, n_ss, ranged):
    # A polarization factor of 300 drives the correction negative in places; one subsample
    # per pixel is counting (bins differ only for pixels on an edge, not trusted).
    n, image, geom = 100, oracle.noisy_image(SHAPE, nans=6), geoms["tilted"]
    span = data_span(geom, unit) if ranged else None
    want = oracle.integrate1d(geom, image, n, unit, method if n_ss is None else "counting", polarization, span)
    ok = want["trusted"]
    assert ok.sum() >= n - 4 and np.isnan(want["intensity"]).sum() >= 1
    ai = integrator(geom, method, n_ss, unit=unit, polarization_factor=polarization, radial_range=span)
    for res, (errors, spread) in zip(oracle.forms(ai, image, n), oracle.FORMS):
        assert repr(res) == f"IntegrationResult(1D, {n} points{', with errors' * errors})"
        assert res.n_radial is None and res.n_azimuthal is None and res.azimuthal is None
        assert (res.errors is not None, res.azimuthal_std is not None) == (errors, spread)
        for name in (k for k in oracle.OUTPUTS if getattr(res, k) is not None):
            first = getattr(res, name)  # a new list of floats on every access
            assert type(first) is list and len(first) == n and all(type(v) is float for v in first)
            first.clear()
            got, key = np.array(getattr(res, name)), (SPREAD_KEYS if spread else {}).get(name, name)
            np.testing.assert_allclose(got[ok], want[key][ok], rtol=1e-9, atol=0, err_msg=name)

@pytest.mark.parametrize("pixel1", [None, 0.0], ids=["pixels", "zero-height"])  # zero height: quads of no area
@pytest.mark.parametrize("unit", ["2th_deg", "q_nm^-1"])
@pytest.mark.parametrize("span", [None, (-0.1, 0.6), (0.3, 0.7), (0.45, 1.2)])  # fractions of the radial extent
def test_pixel_split_patterns_equal_the_overlap_area_oracle(integrator, geoms, pixel1, unit, span):
    geom = dict(geoms["close"], **({} if pixel1 is None else {"pixel1": pixel1}))
    r, _ = oracle.radial_and_correction(geom, SMALL, unit)
    span = span and tuple(r.min() + np.multiply(span, np.ptp(r)))
    image = oracle.noisy_image(SMALL, nans=0)
    want = oracle.pixel_split1d(geom, image, 9, unit, span)
    assert (want["intensity"] != 0).sum() >= 3
    got = integrator(geom, "pixel_split", unit=unit, radial_range=span).integrate1d(image, 9, True)
    for key in ("intensity", "errors"):
        np.testing.assert_allclose(getattr(got, key), want[key], rtol=1e-9, atol=0, err_msg=key)

# Unrotated, power-of-two pixels and distance, beam on the centre of pixel (11, 9) of 24 x 20: every offset is
# exact, pixels at equal offsets share their value bit for bit, and 2-theta beyond 32 degrees is reached.
EXACT = dict(pixel1=2.0**-13, pixel2=2.0**-13, distance=2.0**-9, poni1=11.5 * 2.0**-13, poni2=9.5 * 2.0**-13,
             rot1=0.0, rot2=0.0, rot3=0.0, wavelength=1e-10)

def exact_samples(geom, shape, n_ss):
    """2th_deg of the n_ss x n_ss sub-sample points of every pixel (its centre for n_ss = 1) with the pixel each
    belongs to, computed as the engine computes them: with no rotation the laboratory point is the offset itself."""
    p1 = (np.arange(shape[0])[:, None] + (np.arange(n_ss) + 0.5) / n_ss).ravel() * geom["pixel1"] - geom["poni1"]
    p2 = (np.arange(shape[1] * n_ss) + 0.5) / n_ss * geom["pixel2"] - geom["poni2"]
    tth = [math.atan2(math.sqrt(a * a + b * b), geom["distance"]) for a in p1 for b in p2]
    pixel = np.arange(shape[0]).repeat(n_ss)[:, None] * shape[1] + np.arange(shape[1]).repeat(n_ss)
    return np.array(tth) * 57.29577951308232, pixel.ravel()

@pytest.mark.parametrize("method", ["histogram", "counting", "pixel_split", "supersampled"])
def test_values_on_the_edges_of_the_bins_land_where_the_binning_rules_say(integrator, method):
    # Histogram: the minimum in the first bin, the maximum (on the upper edge: the margin is below half an ulp
    # there) clamped into the last. With a radial range [lo, hi): counting and the sub-samples (the middle one of 3
    # x 3 sits on the pixel centre) keep lo and leave hi out; pixels of no area (zero height) go whole into the
    # bin of their centre, hi included, as it lies below the upper edge of the last bin.
    geom, shape, n, n_ss = dict(EXACT), (24, 20), 7, 3 if method == "supersampled" else 1
    if method == "pixel_split":
        geom.update(pixel1=0.0, poni1=0.0)
    (r, pixel), centre = exact_samples(geom, shape, n_ss), exact_samples(geom, shape, 1)[0]
    np.testing.assert_allclose(centre, oracle.radial_and_correction(geom, shape, "2th_deg")[0], rtol=1e-13)
    lo, hi = (r.min(), r.max()) if method == "histogram" else centre.reshape(shape)[[14, 17], [13, 17]]
    step = (hi + oracle.SPAN_MARGIN - lo) / n
    t = np.floor((r - lo) / step)
    keep = {"histogram": r == r, "pixel_split": (t >= 0) & (t < n)}.get(method, (r >= lo) & (r < hi))
    assert (r == lo).any() and keep[r == lo].all() and (t[r == lo] == 0).all() and (r == hi).any()
    assert keep[r == hi].all() == (method in ("histogram", "pixel_split"))
    assert method != "histogram" or (t[r == hi] == n).all()  # only the clamp keeps the maximum in
    bins, image = np.minimum(t, n - 1).astype(int)[keep], oracle.noisy_image(shape, nans=0).ravel()
    c = oracle.radial_and_correction(geom, shape, "2th_deg")[1]
    got = integrator(geom, method, n_ss, unit="2th_deg", radial_range=None if method == "histogram" else (lo, hi))
    if method == "histogram":  # plain mean of image / correction
        want = np.bincount(bins, (image / c)[pixel]) / np.bincount(bins, minlength=n)
    else:
        want = oracle.ratio(np.bincount(bins, image[pixel][keep], n), np.bincount(bins, c[pixel][keep], n))
    np.testing.assert_allclose(got.integrate1d(image.reshape(shape), n).intensity, want, rtol=1e-12)

@pytest.mark.parametrize("made_by", ["constructor", "set_method"])
def test_supersampling_without_n_ss_takes_5_x_5_sub_samples(integrator, made_by):
    # On the exact geometry the oracle's sub-samples are the engine's; 5 x 5 and 4 x 4 give different patterns.
    geom, shape, n, span = EXACT, (24, 20), 7, (5.0, 35.0)
    image, c = oracle.noisy_image(shape, nans=0).ravel(), oracle.radial_and_correction(geom, shape, "2th_deg")[1]
    want = {}
    for n_ss in (4, 5):
        r, pixel = exact_samples(geom, shape, n_ss)
        bins, _, trusted = oracle.bin_layout(r, n, span)
        keep = bins >= 0
        assert trusted.all() and 0.2 < keep.mean() < 0.9
        bins, pixel = bins[keep], pixel[keep]
        want[n_ss] = oracle.ratio(np.bincount(bins, image[pixel], n), np.bincount(bins, c[pixel], n))
    assert (np.abs(want[4] - want[5]) > 1e-3 * np.abs(want[5])).sum() >= 3
    if made_by == "constructor":
        ai = integrator(geom, "supersampled", None, unit="2th_deg", radial_range=span)
    else:
        ai = integrator(geom, "counting", unit="2th_deg", radial_range=span)
        ai.set_method("supersampled")
    np.testing.assert_allclose(ai.integrate1d(image.reshape(shape), n).intensity, want[5], rtol=1e-12)

@pytest.mark.parametrize("unit", ["2th_deg", "q_nm^-1"])
def test_supersampled_patterns_of_a_smooth_image_follow_its_profile(integrator, geoms, unit):
    r, corr = oracle.radial_and_correction(geoms["tilted"], SHAPE, unit)
    lo, hi = data_span(geoms["tilted"], unit, 0.1, 0.9)
    profile = lambda x: 2.0 + np.sin(6.0 * (x - lo) / (hi - lo))  # noqa: E731
    ai = integrator("tilted", "supersampled", 3, unit=unit, radial_range=(lo, hi))
    got = ai.integrate1d((corr * profile(r)).reshape(SHAPE), 40)
    np.testing.assert_allclose(got.intensity, profile(np.array(got.radial)), rtol=3e-3)

@pytest.mark.parametrize("method, n_ss", [("counting", None), ("pixel_split", None), ("supersampled", 3)],
                         ids=METHOD_IDS)
@pytest.mark.parametrize("unit", ["2th_rad", "q_A^-1"])
def test_pixels_outside_the_radial_range_do_not_contribute(integrator, geoms, method, n_ss, unit):
    lo, hi = span = data_span(geoms["tilted"], unit, 0.3, 0.7)
    quads = oracle.pixel_quads(geoms["tilted"], SHAPE, unit)["quads"][..., 0]
    outside = ((quads.max(axis=1) < lo) | (quads.min(axis=1) > hi)).reshape(SHAPE)
    assert 0.4 < outside.mean() < 0.8
    image = oracle.noisy_image(SHAPE, nans=0)
    ai = integrator("tilted", method, n_ss, unit=unit, radial_range=span)
    want = oracle.forms(ai, image, 50)
    oracle.assert_same(oracle.forms(ai, oracle.with_junk(image, outside), 50), want)
    for res in want:
        np.testing.assert_allclose(res.radial, lo + (hi - lo) * (np.arange(50) + 0.5) / 50, rtol=1e-13)
        assert (np.array(res.intensity) != 0).all()

@pytest.mark.parametrize("unit", ["q_A^-1", "q_nm^-1"])
def test_q_unit_without_wavelength_fails_and_leaves_the_integrator_usable(integrator, unit):
    ai, image = integrator("tilted", wavelength=0.0, unit=unit), oracle.noisy_image(SHAPE, nans=6)
    for spread in (False, True):
        with pytest.raises(ValueError, match="^Wavelength must be positive for q conversion$"):
            ai.integrate1d(image, 50, azimuthal_std=spread)
    ai.set_unit("2th_deg")
    oracle.assert_same(ai.integrate1d(image, 50), integrator("tilted", unit="2th_deg").integrate1d(image, 50))

def test_histogram_pixels_of_zero_correction_add_zero_not_infinity(integrator):
    # At a distance of 1e-200 m every pixel's solid angle, (d / r)^3, underflows to exactly 0 (the PONI on a pixel
    # corner: no pixel at r = 0), and all pixels fall at 2-theta = pi/2, in the first bin. A pixel whose correction
    # is not positive has the value 0 in the mean (never sample / 0 = inf) and is no valid pixel of the spread: the
    # means and errors are 0, and every form equals that of the same image with every pixel masked.
    geom = dict(pixel1=1e-4, pixel2=1.5e-4, distance=1e-200, poni1=3.0e-3, poni2=2.1e-3, rot1=0.0, rot2=0.0,
                rot3=0.0, wavelength=1e-10)
    shape, n = (64, 48), 10
    image = np.abs(oracle.noisy_image(shape, nans=0)) + 1.0
    r, c = oracle.radial_and_correction(geom, shape, "2th_rad")
    assert (c == 0).all()
    bins, _, _ = oracle.bin_layout(r, n)
    want = oracle.histogram(image.ravel(), c, bins, n)
    assert (bins == 0).all() and not want[0].any() and not want[1].any()
    got = oracle.forms(integrator(geom, "histogram", unit="2th_rad"), image, n)
    for res, (errors, spread) in zip(got, oracle.FORMS):
        assert np.isfinite(res.intensity).all() and (res.errors is None or np.isfinite(res.errors).all())
        if not spread:
            np.testing.assert_array_equal(res.intensity, want[0])
            assert res.errors is None or np.array_equal(res.errors, want[1])
    masked = integrator(geom, "histogram", unit="2th_rad", mask=np.ones(shape, dtype=bool))
    oracle.assert_same(got, oracle.forms(masked, image, n))
