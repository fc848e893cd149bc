"""MultiIntegrator: detectors merged into one pattern, its refusals, members in use, inputs."""
import gc

import numpy as np
import pytest

import oracle
from karvelum import IntegrationResult, Integrator, MultiIntegrator, PanicException

SHAPE, EPS = (80, 100), 2.220446049250313e-16

@pytest.fixture(scope="module")
def member(integrator, geoms):
    """Integrator factory with these defaults: the tilted geometry, counting, 2th_deg, n_ss 3 for supersampling
    and the middle 60 % of the detector's radial values as radial range."""
    span = {u: tuple(np.quantile(oracle.radial_and_correction(geoms["tilted"], SHAPE, u)[0], [0.2, 0.8]))
            for u in ("2th_deg", "q_nm^-1")}
    def make(method="counting", geom="tilted", unit="2th_deg", radial_range="auto", n_ss=3, **kw):
        return integrator(geom, method, n_ss if method == "supersampled" else None, unit=unit,
                          radial_range=span[unit] if radial_range == "auto" else radial_range, **kw)
    return make

def image(shape=SHAPE, seed=0):
    return np.random.default_rng(seed).normal(5.0, 4.0, shape)  # many negative samples

def values(result):
    return result.radial, result.intensity, result.errors

@pytest.mark.parametrize("method", ["counting", "pixel_split", "supersampled"])
@pytest.mark.parametrize("unit, polarization", [("2th_deg", None), ("q_nm^-1", 0.9)])
def test_split_image_merges_to_the_whole_and_identical_detectors_halve_the_variance(member, method, unit,
                                                                                      polarization):
    top, bottom, whole, twin = (member(method, unit=unit, polarization_factor=polarization) for _ in range(4))
    half = np.indices(SHAPE)[0] < SHAPE[0] // 2
    top.set_mask(~half)
    bottom.set_mask(half)
    m, img = MultiIntegrator([top, bottom]), image()
    for errors in (False, True):
        got, want = m.integrate1d([img, img], 64, errors), whole.integrate1d(img, 64, errors)
        assert np.all(np.array(want.intensity) != 0) and (got.errors is None) != errors and got.radial == want.radial
        for key in ("intensity", "errors")[:1 + errors]:
            np.testing.assert_allclose(getattr(got, key), getattr(want, key), rtol=1e-12)
    for members in ([whole, whole], [whole, twin]):
        got, want = MultiIntegrator(members).integrate1d([img, img], 64, True), whole.integrate1d(img, 64, True)
        assert got.radial == want.radial
        np.testing.assert_allclose(got.intensity, want.intensity, rtol=1e-14)
        np.testing.assert_allclose(np.array(got.errors) * np.sqrt(2), want.errors, rtol=1e-14)

@pytest.mark.parametrize("method", ["counting", "pixel_split", "supersampled"])
def test_a_panel_cut_in_two_detectors_merges_to_the_whole_panel(member, geoms, method):
    # The two parts have different tables: their raw sums must add up like
    # those of one detector, whatever each part's share of a bin.
    geom, cut = dict(geoms["tilted"], poni1=-1e-3, poni2=-2e-3, distance=0.05), 10
    img = 5.0 + np.random.default_rng(0).random((60, 80))
    img[:cut] += 20.0
    rest = dict(geom, poni1=geom["poni1"] - cut * geom["pixel1"])
    make = lambda g: member(method, g, radial_range=(8.5, 16.0))  # noqa: E731
    want = make(geom).integrate1d(img, 8, True)
    assert np.all(np.array(want.intensity) > 5.0)
    got = MultiIntegrator([make(geom), make(rest)]).integrate1d([img[:cut], img[cut:]], 8, True)
    np.testing.assert_allclose(got.intensity, want.intensity, rtol=1e-12)
    np.testing.assert_allclose(got.errors, want.errors, rtol=1e-12)

def test_members_weighing_in_different_units_merge_their_raw_sums(member, geoms):
    # A counting member weighs a pixel 1 in a bin, a 5 x 5 supersampled one the fraction of its sub-samples there:
    # each member's sums are taken in those raw units and the merge adds signal and normalisation before dividing.
    # Images of 1 and 3 on one geometry merge to about 2 (weights of 25 per pixel would give about 2.92).
    geom, n = geoms["tilted"], 30
    r, c = oracle.radial_and_correction(geom, SHAPE, "2th_deg")
    span = tuple(np.quantile(r, [0.2, 0.8]))
    counted, supersampled = member(radial_range=span), member("supersampled", n_ss=5, radial_range=span)
    got = MultiIntegrator([counted, supersampled]).integrate1d([np.ones(SHAPE), np.full(SHAPE, 3.0)], n, True)
    weights = []  # per member: bins x pixels, each pixel's weight in each bin
    for radial, pixel, per_pixel in [(r, np.arange(c.size), 1), (*oracle.subsamples(geom, SHAPE, 5, "2th_deg"), 25)]:
        bins, _, trusted = oracle.bin_layout(radial, n, span)
        keep = bins >= 0
        counts = np.bincount(bins[keep] * c.size + pixel[keep], minlength=n * c.size).reshape(n, -1)
        weights.append((counts / per_pixel, trusted))
    (w1, ok1), (w2, ok2) = weights
    s1, n1, v1 = w1 @ np.ones_like(c), w1 @ c, (w1 * w1) @ np.ones_like(c)  # signal, normalisation, variance
    s2, n2, v2 = w2 @ np.full_like(c, 3.0), w2 @ c, (w2 * w2) @ np.full_like(c, 3.0)
    ok = ok1 & ok2
    assert ok.sum() >= n - 4 and (n1 > 0).all() and (n2 > 0).all()
    np.testing.assert_allclose(np.array(got.intensity)[ok], ((s1 + s2) / (n1 + n2))[ok], rtol=1e-9)
    np.testing.assert_allclose(np.array(got.errors)[ok], (np.sqrt(v1 + v2) / (n1 + n2))[ok], rtol=1e-9)
    np.testing.assert_allclose(got.intensity, 2.0, atol=0.1)
    assert (np.abs(np.array(got.intensity) - (s1 + 25 * s2) / (n1 + 25 * n2)) > 0.5).all()

NEAR = dict(pixel1=5e-5, pixel2=6e-5, distance=0.09, poni1=1.2e-3, poni2=2e-3, rot1=0.04, rot2=-0.06, rot3=0.4)
FAR = dict(pixel1=7e-5, pixel2=5e-5, distance=0.14, poni1=4.5e-3, poni2=-5e-4, rot1=-0.07, rot2=0.03, rot3=-0.9)
DETECTORS = [(dict(NEAR, wavelength=1e-10), (80, 100)), (dict(FAR, wavelength=1e-10), (70, 90))]
RING_RANGE, RINGS = (3.2, 4.9), (3.6, 4.1, 4.5)

def peaks(radial, intensity):
    return [radial[np.argmax(np.where(np.abs(radial - c) < 0.2, intensity, -np.inf))] for c in RINGS]

@pytest.mark.parametrize("method", ["counting", "pixel_split", "supersampled"])
def test_two_detectors_see_the_same_rings(member, method):
    n, step, members, imgs, r, c = 40, (RING_RANGE[1] - RING_RANGE[0]) / 40, [], [], [], []
    for geom, shape in DETECTORS:  # Gaussian rings on a sloping background, so edge bins tell kept pixels apart
        tth, corr = oracle.radial_and_correction(geom, shape, "2th_deg")
        assert tth.min() < RING_RANGE[0] and tth.max() > RING_RANGE[1]
        ring = 0.5 * tth + sum(a * np.exp(-0.5 * ((tth - x) / 0.06) ** 2) for a, x in zip((20, 35, 25), RINGS))
        members.append(member(method, geom, radial_range=RING_RANGE))
        imgs, r, c = imgs + [(ring * corr).reshape(shape)], r + [tth], c + [corr]
    merged = MultiIntegrator(members).integrate1d(imgs, n, True)
    radial, intensity = np.array(merged.radial), np.array(merged.intensity)
    np.testing.assert_allclose(radial, RING_RANGE[0] + step * (np.arange(n) + 0.5), rtol=1e-12)
    np.testing.assert_allclose(peaks(radial, intensity), RINGS, atol=1.01 * step)
    if method == "counting":
        bins, _, trusted = oracle.bin_layout(np.concatenate(r), n, RING_RANGE)
        assert trusted[[0, -1]].all() and trusted.sum() >= n - 4
        want = oracle.counting(np.concatenate([i.ravel() for i in imgs]), np.concatenate(c), bins, n)
        for got, w in zip((intensity, np.array(merged.errors)), want):
            np.testing.assert_allclose(got[trusted], w[trusted], rtol=1e-9)

R = (1.0, 1.5)  # bounds with an ulp of exactly EPS above them
M = lambda method="counting", unit="2th_deg", r=R: dict(method=method, unit=unit, radial_range=r)  # noqa: E731
HIST = "MultiIntegrator does not support Histogram method (integrator {})"
NO_R = "All integrators must have a radial_range"
SAME = "All integrators must have the same radial_{} (integrator {} differs)"
REFUSED = {  # members and the exact text; the mixed cases show the order of the checks
    "empty": ([], "MultiIntegrator requires at least one integrator"),
    "histogram-0": ([M("histogram")], HIST.format(0)), "histogram-2": ([M(), M(), M("histogram")], HIST.format(2)),
    "unit": ([M(), M(unit="2th_rad")], SAME.format("unit", 1)),
    "no-range-0": ([M(r=None)], NO_R + " set for MultiIntegrator"),
    "no-range-0-before-all": ([M("histogram", "q_A^-1", None), M(r=None)], NO_R + " set for MultiIntegrator"),
    "no-range-2": ([M(), M(), M(r=None)], NO_R + " set (integrator 2 missing)"),
    "lo": ([M(), M(r=(R[0] + 2 * EPS, R[1]))], SAME.format("range", 1)),
    "hi-above": ([M(), M(), M(r=(R[0], R[1] + 2 * EPS))], SAME.format("range", 2)),
    "hi-below": ([M(), M(r=(R[0], R[1] - 2 * EPS))], SAME.format("range", 1)),
    "unit-before-later-histogram": ([M(), M(unit="q_A^-1"), M("histogram")], SAME.format("unit", 1)),
    "histogram-before-unit": ([M(), M("histogram", "q_A^-1")], HIST.format(1)),
    "unit-before-range": ([M(), M(unit="q_A^-1", r=None)], SAME.format("unit", 1)),
    "range-before-later-histogram": ([M(), M(r=None), M("histogram")], NO_R + " set (integrator 1 missing)"),
    "split-with-counting": ([M("pixel_split"), M()],
                            "MultiIntegrator cannot mix pixel splitting with other methods (integrator 1 differs)")}
NOT_A_LIST = {"str": ("abc", "Can't extract `str` to `Vec`"),
              "int": (42, "'int' object is not an instance of 'Sequence'"),
              "int-item": ([1], "'int' object is not an instance of 'Integrator'"),
              "none-item": ([None], "'None' is not an instance of 'Integrator'"),
              "array-item": ([np.zeros(2)], "'ndarray' object is not an instance of 'Integrator'"),
              "uninitialised-item": ([Integrator.__new__(Integrator)], "the Integrator was never initialised")}
@pytest.mark.parametrize("case", [*REFUSED, *NOT_A_LIST])
def test_constructor_refusals(member, assert_refused, case):
    arg, message = REFUSED.get(case) or NOT_A_LIST[case]
    arg = [member(**changes) for changes in arg] if case in REFUSED else arg
    assert_refused(lambda: MultiIntegrator(arg), *((ValueError, message) if case in REFUSED else
                                                   (TypeError, message, "integrators")))
    for ai in arg if case in REFUSED else []:  # the refused construction holds no member
        ai.set_unit(ai.get_unit())

def test_bin_counts_beyond_memory_are_memory_errors(member):
    m = MultiIntegrator([member(**M())])
    for call in (lambda: m.integrate1d([image()], 2**61), lambda: m.batch1d([[image()]], 2**61)):
        with pytest.raises(MemoryError):
            call()
    assert len(m.integrate1d([image()], 10).intensity) == 10

def test_ranges_within_one_epsilon_are_the_same(member):
    for lo, hi in [(R[0] + EPS, R[1]), (R[0] - EPS, R[1]), (R[0], R[1] + EPS), (R[0], R[1] - EPS),
                   (R[0] + EPS, R[1] - EPS)]:
        assert abs(lo - R[0]) <= EPS and abs(hi - R[1]) <= EPS and (lo, hi) != R
        merged = MultiIntegrator([member(**M()), member(**M(r=(lo, hi)))])
        assert len(merged.integrate1d([image()] * 2, 10).intensity) == 10

SETTERS = {"set_method": lambda ai: ai.set_method("pixel_split"), "set_unit": lambda ai: ai.set_unit("q_A^-1"),
           "set_polarization_factor": lambda ai: ai.set_polarization_factor(0.5),
           "set_mask": lambda ai: ai.set_mask(np.ones(SHAPE, bool)), "clear_mask": lambda ai: ai.clear_mask()}
@pytest.mark.parametrize("setter", SETTERS)
def test_members_refuse_setters_while_merged_and_accept_them_afterwards(member, setter):
    a, b, img = member(), member(), image()
    a.set_mask(np.eye(*SHAPE, dtype=bool))
    before, m = a.integrate1d(img, 30, True), MultiIntegrator([a, b, a])
    for ai in (a, b):
        with pytest.raises(ValueError, match="^Integrator is in use by a batch operation$"):
            SETTERS[setter](ai)
    assert a.get_unit() == "2th_deg" and values(a.integrate1d(img, 30, True)) == values(before)
    assert len(m.integrate1d([img] * 3, 30).intensity) == 30
    del m
    gc.collect()
    for ai in (a, b):
        SETTERS[setter](ai)
    assert a.integrate1d(img, 30, True).intensity != before.intensity

def test_multi_integrator_is_bound_to_its_creating_thread(member, on_other_thread):
    m, img = MultiIntegrator([member()]), image()
    for call in (lambda: m.integrate1d([img], 10), lambda: m.batch1d([[img]], 10)):
        caught = on_other_thread(call, caught=True)
        assert type(caught) is PanicException and str(caught) == (
            "karvelum::python::multi_integrator::PyMultiIntegrator is unsendable, but sent to another thread")
        assert call()  # still usable on its own thread

@pytest.fixture
def pair(member, write_tiff):  # two detectors (the second masked), two images and their files
    imgs, second = [image(seed=1), image((60, 110), seed=2)], member("counting", distance=0.1)
    second.set_mask(np.eye(60, 110, dtype=bool))
    paths = [write_tiff(np.flipud(im)) for im in imgs]
    return MultiIntegrator([member("supersampled", n_ss=2), second]), imgs, paths

def test_paths_arrays_and_mixed_lists_give_the_same_pattern(pair):
    (m, imgs, paths), other = pair, [image(seed=3), image((60, 110), seed=4)]
    mixed = [paths, [paths[0], imgs[1]], [imgs[0], paths[1]]]
    for errors in (False, True):
        want = values(m.integrate1d(imgs, 40, errors))
        assert np.all(np.array(want[1]) != 0) and (want[2] is None) != errors
        assert [values(m.integrate1d(inputs, 40, errors)) for inputs in mixed] == [want] * 3
        got = m.batch1d([imgs, *mixed[::2], other], 40, errors)
        assert [type(r) for r in got] == [IntegrationResult] * 4
        assert [values(r) for r in got] == [want] * 3 + [values(m.integrate1d(other, 40, errors))]
        assert not errors or (type(got[0].errors) is list and all(type(v) is float for v in got[0].errors))
    assert m.batch1d([], 40) == []

LOAD = "Failed to load TIFF for detector {}: No such file or directory (os error 2)"
COUNT, SET = "Expected 2 images (one per detector), got {}", "Frame set {} has {} images, expected 2 (one per detector)"
ROW_MAJOR, ROWS = "Array must be C-contiguous (row-major) and float64", "mask dim1 mismatch: mask = 60, data = 80"
COLUMNS = "mask dim2 mismatch: mask = 110, data = 50"
BAD_LISTS = [  # method, frame sets split by "|" of a, b: arrays, A, B: their files, x, y: missing files; exact text
    ("integrate1d", "x B", 0, "n_points must be positive"), ("batch1d", "x B", 0, "n_points must be positive"),
    ("integrate1d", "x", 10, COUNT.format(1)), ("integrate1d", "x x x", 10, COUNT.format(3)),
    ("integrate1d", "A y", 10, LOAD.format(1)), ("integrate1d", "a y", 10, LOAD.format(1)),
    ("integrate1d", "a b.T", 10, ROW_MAJOR), ("integrate1d", "a[:,::2] B", 10, ROW_MAJOR),
    ("batch1d", "A B|A", 10, SET.format(1, 1)), ("batch1d", "a b|a b|a b a b", 10, SET.format(2, 4)),
    ("batch1d", "A B|x B", 10, LOAD.format("0 frame 1")), ("batch1d", "a b|a y", 10, LOAD.format("1 frame 1")),
    ("integrate1d", "a a", 10, ROWS), ("integrate1d", "A A", 10, ROWS), ("batch1d", "A B|A A", 10, ROWS),
    ("batch1d", "a b|a a", 10, ROWS), ("integrate1d", "a b[:,:50]", 10, COLUMNS),
    ("batch1d", "a b|a b[:,:50]", 10, COLUMNS)]
@pytest.mark.parametrize("method, frames, n, message", BAD_LISTS)
def test_bad_image_lists_are_value_errors(pair, method, frames, n, message):
    m, (a, b), (A, B) = pair
    tokens = {"a": a, "b": b, "A": A, "B": B, "x": "/nonexistent/a.tif", "y": "/nonexistent/b.tif", "b.T": b.T,
              "a[:,::2]": a[:, ::2], "b[:,:50]": np.ascontiguousarray(b[:, :50])}
    sets, want = [[tokens[t] for t in s.split()] for s in frames.split("|")], values(m.integrate1d([a, b], 10, True))
    with pytest.raises(ValueError) as exc:
        getattr(m, method)(sets if method == "batch1d" else sets[0], n)
    assert str(exc.value) == message and values(m.integrate1d([a, b], 10, True)) == want
