"""Several detectors merged into one 1D pattern with MultiIntegrator."""
import gc
import threading

import numpy as np
import pytest

import karvelum
import oracle
from karvelum import Integrator, MultiIntegrator

GEOM = dict(pixel1=7.5e-5, pixel2=1.1e-4, distance=0.12, poni1=1.3e-3, poni2=2.1e-3,
            rot1=0.05, rot2=-0.08, rot3=0.6, wavelength=0.7e-10)
SHAPE = (80, 100)
TABLE_METHODS = [("counting", None), ("pixel_split", None), ("supersampled", 3)]
METHOD_IDS = lambda m: m if isinstance(m, str) else None  # noqa: E731
MISSING = "No such file or directory (os error 2)"
EPS = 2.220446049250313e-16


def span(unit="2th_deg", geom=GEOM, shape=SHAPE, lo=0.2, hi=0.8):
    r, _ = oracle.radial_and_correction(geom, shape, unit)
    return tuple(float(v) for v in np.quantile(r, [lo, hi]))


def integrator(method="counting", n_ss=None, geom=GEOM, unit="2th_deg", radial_range="auto", **kw):
    if radial_range == "auto":
        radial_range = span(unit)
    return Integrator.from_poni_dict(geom, method=method, n_ss=n_ss, unit=unit, radial_range=radial_range, **kw)


def image(shape=SHAPE, seed=0):
    """Values around 5 with many negative samples."""
    return np.random.default_rng(seed).normal(5.0, 4.0, shape)


def arrays(result):
    return {k: None if getattr(result, k) is None else np.array(getattr(result, k))
            for k in ("radial", "intensity", "errors")}


def assert_same(got, want):
    for key in want:
        if want[key] is None:
            assert got[key] is None, key
        else:
            np.testing.assert_array_equal(got[key], want[key], err_msg=key)


# --- merged sums -------------------------------------------------------------

@pytest.mark.parametrize("method, n_ss", TABLE_METHODS, ids=METHOD_IDS)
@pytest.mark.parametrize("unit, polarization", [("2th_deg", None), ("q_nm^-1", 0.9)])
def test_image_split_between_two_masked_detectors_merges_to_the_whole_image(method, n_ss, unit, polarization):
    h = SHAPE[0]
    top, bottom = np.zeros(SHAPE, bool), np.zeros(SHAPE, bool)
    top[h // 2:], bottom[:h // 2] = True, True
    members = [integrator(method, n_ss, unit=unit, polarization_factor=polarization) for _ in range(2)]
    for member, mask in zip(members, (top, bottom)):
        member.set_mask(mask)
    whole = integrator(method, n_ss, unit=unit, polarization_factor=polarization)
    m, img = MultiIntegrator(members), image()
    for errors in (False, True):
        got, want = arrays(m.integrate1d([img, img], 64, errors)), arrays(whole.integrate1d(img, 64, errors))
        assert (want["intensity"] != 0).all()
        np.testing.assert_array_equal(got["radial"], want["radial"])
        np.testing.assert_allclose(got["intensity"], want["intensity"], rtol=1e-12)
        if errors:
            np.testing.assert_allclose(got["errors"], want["errors"], rtol=1e-12)
        else:
            assert got["errors"] is None


# Two detectors of other shapes, distances and tilts; both reach past the common range on either side.
NEAR = dict(pixel1=5e-5, pixel2=6e-5, distance=0.09, poni1=1.2e-3, poni2=2.0e-3,
            rot1=0.04, rot2=-0.06, rot3=0.4, wavelength=1e-10)
FAR = dict(pixel1=7e-5, pixel2=5e-5, distance=0.14, poni1=4.5e-3, poni2=-0.5e-3,
           rot1=-0.07, rot2=0.03, rot3=-0.9, wavelength=1e-10)
DETECTORS = [(NEAR, (80, 100)), (FAR, (70, 90))]
RING_RANGE = (3.2, 4.9)
RINGS = (3.6, 4.1, 4.5)


def rings(tth):
    """Three Gaussian rings on a sloping background (so edge bins tell kept from dropped pixels)."""
    return 0.5 * tth + sum(a * np.exp(-0.5 * ((tth - c) / 0.06) ** 2) for a, c in zip((20, 35, 25), RINGS))


def ring_images():
    """Per detector: the ring image (times the correction) and its radial values and corrections."""
    out = []
    for geom, shape in DETECTORS:
        r, c = oracle.radial_and_correction(geom, shape, "2th_deg")
        assert r.min() < RING_RANGE[0] and r.max() > RING_RANGE[1]
        out.append(((rings(r) * c).reshape(shape), r, c))
    return out


def peaks(radial, intensity):
    return [radial[np.argmax(np.where(np.abs(radial - c) < 0.2, intensity, -np.inf))] for c in RINGS]


@pytest.mark.parametrize("method, n_ss", TABLE_METHODS, ids=METHOD_IDS)
def test_two_detectors_see_the_same_rings(method, n_ss):
    n = 40
    step = (RING_RANGE[1] - RING_RANGE[0]) / n
    members = [integrator(method, n_ss, geom, radial_range=RING_RANGE) for geom, _ in DETECTORS]
    data = ring_images()
    merged = arrays(MultiIntegrator(members).integrate1d([d[0] for d in data], n, True))
    np.testing.assert_allclose(merged["radial"], RING_RANGE[0] + step * (np.arange(n) + 0.5), rtol=1e-12)
    where = peaks(merged["radial"], merged["intensity"])
    for member, (img, _, _) in zip(members, data):
        alone = arrays(member.integrate1d(img, n))
        np.testing.assert_array_equal(alone["radial"], merged["radial"])
        np.testing.assert_allclose(peaks(alone["radial"], alone["intensity"]), where, atol=1.01 * step)
    np.testing.assert_allclose(where, RINGS, atol=1.01 * step)
    if method == "counting":
        x = np.concatenate([d[0].ravel() for d in data])
        r = np.concatenate([d[1] for d in data])
        c = np.concatenate([d[2] for d in data])
        bins, centres, trusted = oracle.bin_layout(r, n, RING_RANGE)
        assert trusted[[0, -1]].all() and trusted.sum() >= n - 4
        intensity, errors = oracle.counting(x, c, bins, n)
        np.testing.assert_allclose(merged["intensity"][trusted], intensity[trusted], rtol=1e-9)
        np.testing.assert_allclose(merged["errors"][trusted], errors[trusted], rtol=1e-9)


def test_identical_detectors_halve_the_variance_but_keep_the_intensity():
    ai, img = integrator("pixel_split"), image()
    single = arrays(ai.integrate1d(img, 50, True))
    twin = integrator("pixel_split")
    for members in ([ai, ai], [ai, twin]):
        got = arrays(MultiIntegrator(members).integrate1d([img, img], 50, True))
        np.testing.assert_array_equal(got["radial"], single["radial"])
        np.testing.assert_array_equal(got["intensity"], single["intensity"])
        np.testing.assert_allclose(got["errors"] * np.sqrt(2), single["errors"], rtol=1e-14)


# --- construction -----------------------------------------------------------

R = (1.0, 1.5)  # bounds with an ulp of exactly EPS above them
SAME_RANGE = "All integrators must have the same radial_range (integrator {} differs)"


def member(method="counting", unit="2th_deg", radial_range=R):
    return integrator(method, unit=unit, radial_range=radial_range)


@pytest.mark.parametrize("members, message", [
    ([], "MultiIntegrator requires at least one integrator"),
    ([member("histogram")], "MultiIntegrator does not support Histogram method (integrator 0)"),
    ([member(), member(), member("histogram")], "MultiIntegrator does not support Histogram method (integrator 2)"),
    ([member(), member(unit="2th_rad")], "All integrators must have the same radial_unit (integrator 1 differs)"),
    ([member(radial_range=None)], "All integrators must have a radial_range set for MultiIntegrator"),
    ([member("histogram", "q_A^-1", None), member(radial_range=None)],
     "All integrators must have a radial_range set for MultiIntegrator"),
    ([member(), member(), member(radial_range=None)],
     "All integrators must have a radial_range set (integrator 2 missing)"),
    ([member(), member(radial_range=(R[0] + 2 * EPS, R[1]))], SAME_RANGE.format(1)),
    ([member(), member(), member(radial_range=(R[0], R[1] + 2 * EPS))], SAME_RANGE.format(2)),
    ([member(), member(radial_range=(R[0], R[1] - 2 * EPS))], SAME_RANGE.format(1)),
    ([member(), member(unit="q_A^-1"), member("histogram")],
     "All integrators must have the same radial_unit (integrator 1 differs)"),
    ([member(), member("histogram", "q_A^-1")], "MultiIntegrator does not support Histogram method (integrator 1)"),
    ([member(), member(unit="q_A^-1", radial_range=None)],
     "All integrators must have the same radial_unit (integrator 1 differs)"),
    ([member(), member(radial_range=None), member("histogram")],
     "All integrators must have a radial_range set (integrator 1 missing)"),
], ids=["empty", "histogram-0", "histogram-2", "unit", "no-range-0", "no-range-0-before-all", "no-range-2",
        "lo", "hi-above", "hi-below", "unit-before-later-histogram", "histogram-before-unit",
        "unit-before-range", "range-before-later-histogram"])
def test_constructor_refusals(members, message):
    with pytest.raises(ValueError) as exc:
        MultiIntegrator(members)
    assert str(exc.value) == message
    for ai in members:  # the refused construction holds no member
        ai.set_unit(ai.get_unit())


@pytest.mark.parametrize("bounds", [(R[0] + EPS, R[1]), (R[0] - EPS, R[1]), (R[0], R[1] + EPS),
                                    (R[0], R[1] - EPS), (R[0] + EPS, R[1] - EPS)])
def test_ranges_within_one_epsilon_are_the_same(bounds):
    ref, other = member(), member(radial_range=bounds)
    assert abs(bounds[0] - R[0]) <= EPS and abs(bounds[1] - R[1]) <= EPS and bounds != R
    m, img = MultiIntegrator([ref, other]), image()
    assert len(m.integrate1d([img, img], 10).intensity) == 10


@pytest.mark.parametrize("arg, message", [
    ("abc", "Can't extract `str` to `Vec`"),
    ([1], "'int' object is not an instance of 'Integrator'"),
    ([None], "'None' is not an instance of 'Integrator'"),
    (42, "'int' object is not an instance of 'Sequence'"),
], ids=["str", "int-item", "none-item", "int"])
def test_constructor_type_errors(arg, message):
    with pytest.raises(TypeError) as exc:
        MultiIntegrator(arg)
    assert str(exc.value) == message
    assert exc.value.__notes__ == ["while processing 'integrators'"]


# --- members in use ----------------------------------------------------------

SETTERS = {
    "set_method": lambda ai: ai.set_method("pixel_split"),
    "set_unit": lambda ai: ai.set_unit("q_A^-1"),
    "set_polarization_factor": lambda ai: ai.set_polarization_factor(0.5),
    "set_mask": lambda ai: ai.set_mask(np.ones(SHAPE, bool)),
    "clear_mask": lambda ai: ai.clear_mask(),
}


@pytest.mark.parametrize("setter", SETTERS)
def test_members_refuse_setters_while_merged_and_accept_them_afterwards(setter):
    a, b, img = integrator(), integrator(), image()
    a.set_mask(np.eye(*SHAPE, dtype=bool))
    before = arrays(a.integrate1d(img, 30, True))
    m = MultiIntegrator([a, b, a])
    for ai in (a, b):
        with pytest.raises(ValueError) as exc:
            SETTERS[setter](ai)
        assert str(exc.value) == "Integrator is in use by a batch operation"
    assert a.get_unit() == "2th_deg"
    assert_same(arrays(a.integrate1d(img, 30, True)), before)
    assert len(m.integrate1d([img] * 3, 30).intensity) == 30
    del m
    gc.collect()
    for ai in (a, b):
        SETTERS[setter](ai)
    changed = arrays(a.integrate1d(img, 30, True))
    assert not np.array_equal(changed["intensity"], before["intensity"])


def run_in_thread(fn):
    """Run `fn` on a new thread (garbage collection held off) and return what it raised."""
    caught = []

    def body():
        try:
            fn()
        except BaseException as e:  # the panic exception is not an Exception
            caught.append(e)
    gc.collect()
    gc.disable()
    try:
        t = threading.Thread(target=body)
        t.start()
        t.join()
    finally:
        gc.enable()
    return caught


@pytest.mark.parametrize("call", [lambda m, img: m.integrate1d([img], 10),
                                  lambda m, img: m.batch1d([[img]], 10)], ids=["integrate1d", "batch1d"])
def test_multi_integrator_is_bound_to_its_creating_thread(call):
    m, img = MultiIntegrator([integrator()]), image()
    caught = run_in_thread(lambda: call(m, img))
    assert [type(e) for e in caught] == [karvelum.PanicException]
    assert str(caught[0]) == ("karvelum::python::multi_integrator::PyMultiIntegrator is unsendable, "
                              "but sent to another thread")
    assert call(m, img)  # still usable on its own thread


# --- images --------------------------------------------------------------------

@pytest.fixture
def pair(write_tiff):
    """A two-detector MultiIntegrator, two images and their TIFF files."""
    imgs = [image(seed=1), image((60, 110), seed=2)]
    members = [integrator("supersampled", 2), integrator("pixel_split", geom=dict(GEOM, distance=0.1))]
    return MultiIntegrator(members), imgs, [write_tiff(np.flipud(im)) for im in imgs]


def test_paths_arrays_and_mixed_lists_give_the_same_pattern(pair):
    m, imgs, paths = pair
    for errors in (False, True):
        want = arrays(m.integrate1d(imgs, 40, errors))
        assert (want["intensity"] != 0).all() and (want["errors"] is None) != errors
        for inputs in (paths, [paths[0], imgs[1]], [imgs[0], paths[1]]):
            assert_same(arrays(m.integrate1d(inputs, 40, errors)), want)
        got = m.batch1d([imgs, paths, [imgs[0], paths[1]], imgs[::-1]], 40, errors)
        assert [type(r) for r in got] == [karvelum.IntegrationResult] * 4
        for res in got[:3]:
            assert_same(arrays(res), want)
        assert_same(arrays(got[3]), arrays(m.integrate1d(imgs[::-1], 40, errors)))
        if errors:
            assert type(got[0].errors) is list and len(got[0].errors) == 40
            assert all(type(v) is float for v in got[0].errors)
    assert m.batch1d([], 40) == []


@pytest.mark.parametrize("call, message", [
    (lambda m, i, p: m.integrate1d(["/nonexistent/a.tif", p[1]], 0), "n_points must be positive"),
    (lambda m, i, p: m.batch1d([["/nonexistent/a.tif", p[1]]], 0), "n_points must be positive"),
    (lambda m, i, p: m.integrate1d(["/nonexistent/a.tif"], 10), "Expected 2 images (one per detector), got 1"),
    (lambda m, i, p: m.integrate1d(["/nonexistent/a.tif"] * 3, 10), "Expected 2 images (one per detector), got 3"),
    (lambda m, i, p: m.integrate1d([p[0], "/nonexistent/b.tif"], 10), f"Failed to load TIFF for detector 1: {MISSING}"),
    (lambda m, i, p: m.integrate1d([i[0], "/nonexistent/b.tif"], 10), f"Failed to load TIFF for detector 1: {MISSING}"),
    (lambda m, i, p: m.integrate1d([i[0], i[1].T], 10), "Array must be C-contiguous (row-major) and float64"),
    (lambda m, i, p: m.integrate1d([i[0][:, ::2], p[1]], 10), "Array must be C-contiguous (row-major) and float64"),
    (lambda m, i, p: m.batch1d([p, [p[0]]], 10), "Frame set 1 has 1 images, expected 2 (one per detector)"),
    (lambda m, i, p: m.batch1d([i, i, i + i], 10), "Frame set 2 has 4 images, expected 2 (one per detector)"),
    (lambda m, i, p: m.batch1d([p, ["/nonexistent/a.tif", p[1]]], 10),
     f"Failed to load TIFF for detector 0 frame 1: {MISSING}"),
    (lambda m, i, p: m.batch1d([i, [i[0], "/nonexistent/b.tif"]], 10),
     f"Failed to load TIFF for detector 1 frame 1: {MISSING}"),
], ids=["zero-points", "batch-zero-points", "too-few", "too-many", "missing-second", "missing-after-array",
        "transposed", "strided", "short-set", "long-set", "batch-missing", "batch-missing-after-array"])
def test_bad_image_lists_are_value_errors(pair, call, message):
    m, imgs, paths = pair
    want = arrays(m.integrate1d(imgs, 10, True))
    with pytest.raises(ValueError) as exc:
        call(m, imgs, paths)
    assert str(exc.value) == message
    assert_same(arrays(m.integrate1d(imgs, 10, True)), want)


@pytest.mark.parametrize("mask_shape, message", [
    ((81, 100), "mask dim1 mismatch: mask = 81, data = 80"),
    ((80, 102), "mask dim2 mismatch: mask = 102, data = 100"),
])
@pytest.mark.parametrize("as_path", [False, True], ids=["array", "path"])
def test_mask_of_another_shape_is_a_value_error(write_tiff, mask_shape, message, as_path):
    good, bad, img = integrator(), integrator(), image()
    bad.set_mask(np.zeros(mask_shape, np.uint8))
    m, fitting = MultiIntegrator([good, bad]), image(mask_shape)
    want = arrays(m.integrate1d([img, fitting], 20, True))
    arg = write_tiff(np.flipud(img)) if as_path else img
    for call in (lambda: m.integrate1d([arg, arg], 20, True), lambda: m.batch1d([[arg, arg]], 20)):
        with pytest.raises(ValueError) as exc:
            call()
        assert str(exc.value) == message
    assert_same(arrays(m.integrate1d([img, fitting], 20, True)), want)
