"""Ring finding: peak picking on calibrant images rendered by the numpy model of oracle.py, the ring centre, RANSAC
ellipses and ring identification, against known geometry, exact ellipse points and the seeded generator."""
import json
import math

import numpy as np
import pytest

import karvelum
import oracle
from calibrant_images import CEO2, LAB6, SI, calibrant_image
from karvelum import (Calibrant, estimate_ring_center, find_peaks_image, find_peaks_massif, identify_rings,
                      ransac_ellipses)

# Tilted, beam near the middle of a 400 x 600 detector: rings 0 and 1 whole, 2 to 5 in part.
GEOM = dict(pixel1=1e-4, pixel2=1e-4, distance=0.05, poni1=0.02, poni2=0.03, rot1=0.02, rot2=-0.015, rot3=0.3,
            wavelength=1e-10)
SHAPE = (400, 600)
RINGS = oracle.ring_two_theta(LAB6, GEOM["wavelength"])
WIDTH = 2.5e-3  # Gaussian sigma of a ring in 2-theta, about 1.5 px
GAP = slice(250, 260)  # rows of a gap between detector modules, read as 0
VISIBLE = range(6)
DEFAULT_SEED = 13739370787864702989


@pytest.fixture(scope="module")
def ring_image():
    """LaB6 rings of GEOM on a sloped background with unit noise and a gap; read-only."""
    image = calibrant_image(GEOM, LAB6, SHAPE, WIDTH, background=10.0 + 0.01 * np.arange(SHAPE[1]), gaps=[GAP])
    image.setflags(write=False)
    return image


def nearest_ring(peaks):
    """Index of the nearest ring of each peak and its distance in ring widths."""
    p = np.array(peaks, dtype=float).reshape(-1, 2)
    offset = np.abs(oracle.point_two_theta(GEOM, p[:, 0], p[:, 1])[:, None] - RINGS[None, :])
    return offset.argmin(axis=1), offset.min(axis=1) / WIDTH


def seed_on(ring):
    """A pixel on the ridge of `ring`, inside the image and off the gap."""
    for chi in np.linspace(-np.pi, np.pi, 73):
        d1, d2 = (int(round(float(v[0]))) for v in oracle.ring_points(GEOM, RINGS[ring], chi))
        if 0 <= d1 < SHAPE[0] and 0 <= d2 < SHAPE[1] and not GAP.start - 3 <= d1 < GAP.stop + 3:
            return d1, d2
    raise AssertionError(ring)


@pytest.mark.parametrize("how", ["image", "massif 0", "massif 3", "massif 5", "image with a NaN pixel"])
def test_peaks_lie_on_the_rings(ring_image, how):
    image = ring_image
    if how.startswith("massif"):
        ring = int(how.split()[1])
        peaks, expected = find_peaks_massif(image, seed_on(ring)), {ring}
        assert len(peaks) > 1 and find_peaks_massif(image, seed_on(ring), max_peaks=1) == peaks[:1]
    else:
        if "NaN" in how:
            image = image.copy()
            image[200, 300] = np.nan  # its blur leaves a square of 97 x 97 px of NaN background
        peaks, expected = find_peaks_image(image, max_peaks=10**6), set(VISIBLE)
        assert find_peaks_image(image, max_peaks=7) == peaks[:7]
    ring, off = nearest_ring(peaks)
    assert all(type(p) is tuple and len(p) == 2 and all(type(v) is float for v in p) for p in peaks)
    assert off.max() < 0.4 and set(ring) == expected
    assert all(np.bincount(ring)[list(expected)] >= 20)
    assert not any(GAP.start <= d1 <= GAP.stop - 1 for d1, _ in peaks)


def spot_image(shape=(60, 70), centre=(30.3, 41.6), sigma=2.0, flat_top=False):
    d1, d2 = np.meshgrid(np.arange(shape[0]), np.arange(shape[1]), indexing="ij")
    image = 100.0 * np.exp(-((d1 - centre[0]) ** 2 + (d2 - centre[1]) ** 2) / (2 * sigma ** 2))
    if flat_top:
        image[30:32, 41:43] = image.max() + 1.0
    return image


@pytest.mark.parametrize("call, expected", [
    (lambda img: find_peaks_image(img), "spot"),
    (lambda img: find_peaks_massif(img, (30, 42)), "spot"),
    # Equal neighbours do not disqualify a maximum: every pixel of a flat top is one, all refined alike.
    (lambda img: find_peaks_image(spot_image(flat_top=True)), [(30.5, 41.5)] * 4),
    (lambda img: find_peaks_image(spot_image(flat_top=True), max_peaks=1), [(30.5, 41.5)]),
    (lambda img: find_peaks_massif(spot_image(flat_top=True), (31, 41)), [(30.5, 41.5)]),
    (lambda img: find_peaks_image(img + spot_image(centre=(50.0, 10.0)), max_peaks=1), "spot"),
    (lambda img: find_peaks_image(img, max_peaks=0), []),
    (lambda img: find_peaks_massif(img, (30, 42), max_peaks=0), []),
    (lambda img: find_peaks_massif(img, (60, 0)), []),
    (lambda img: find_peaks_massif(img, (2, 3)), []),  # on the flat background
    (lambda img: find_peaks_image(spot_image(centre=(0.0, 20.0))), []),  # on the border
    (lambda img: find_peaks_image(img, valley_size=0.0), []),  # NaN weights: no background
    (lambda img: find_peaks_image(img, valley_size=-1.0), []),  # one tap: background = image
    (lambda img: find_peaks_image(np.zeros((2, 70))), []),
    (lambda img: find_peaks_massif(np.zeros((0, 5)), (0, 0)), []),
])
def test_spots_caps_and_empty_answers(call, expected):
    peaks = call(spot_image())
    if expected == "spot":
        assert len(peaks) == 1 and np.hypot(peaks[0][0] - 30.3, peaks[0][1] - 41.6) < 0.15
    else:
        assert peaks == expected


@pytest.mark.parametrize("shape, sigma", [((100, 100), 5.0), ((300, 200), 6.0), ((60, 4000), 80.0)])
def test_default_valley_size_is_the_larger_side_over_50_at_least_5(shape, sigma):
    image = np.random.default_rng(1).normal(0.0, 1.0, shape) + spot_image(shape, (30.3, 41.6))
    peaks = find_peaks_image(image)
    assert peaks and peaks == find_peaks_image(image, valley_size=sigma)
    assert find_peaks_massif(image, (30, 42)) == find_peaks_massif(image, (30, 42), valley_size=sigma)


def test_peaks_leave_the_pool_unstarted_and_do_not_depend_on_the_thread_count(ring_image, run_isolated, tmp_path):
    np.save(tmp_path / "image.npy", ring_image)
    # Peak picking runs on the caller's thread: the pool can still be sized after it.
    out = run_isolated(f"""
        import json, numpy as np, karvelum
        image = np.load({str(tmp_path / "image.npy")!r})
        peaks = lambda: [karvelum.find_peaks_image(image), karvelum.find_peaks_massif(image, {seed_on(0)})]
        before = peaks()
        karvelum.set_rayon_threads(1)
        print(json.dumps([before, peaks(), karvelum.rayon_num_threads()]))
    """)
    want = json.loads(json.dumps([find_peaks_image(ring_image), find_peaks_massif(ring_image, seed_on(0))]))
    assert out == [want, want, 1]


# --- ring centre ------------------------------------------------------------------


def splitmix64(seed):
    mask = 2 ** 64 - 1
    while True:
        seed = (seed + 0x9E3779B97F4A7C15) & mask
        z = ((seed ^ (seed >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        yield z ^ (z >> 31)


def first_circle_centre(peaks, seed=DEFAULT_SEED):
    """Centre of the circle through the first triple of distinct peaks drawn that is not collinear and whose
    centre lies within the default max_radius_px."""
    draws, n = splitmix64(seed), len(peaks)
    while True:
        picked = []
        while len(picked) < 3:
            i = next(draws) % n
            if i not in picked:
                picked.append(i)
        (x0, y0), (x1, y1), (x2, y2) = (peaks[i] for i in picked)
        a = np.array([[2 * (x0 - x1), 2 * (y0 - y1)], [2 * (x1 - x2), 2 * (y1 - y2)]])
        if abs(np.linalg.det(a)) >= 1e-12:
            b = [x0 ** 2 + y0 ** 2 - x1 ** 2 - y1 ** 2, x1 ** 2 + y1 ** 2 - x2 ** 2 - y2 ** 2]
            centre = np.linalg.solve(a, b)
            if np.all(np.abs(centre) <= 5000.0):
                return centre


def concentric_peaks(centre=(512.0, 487.0), radii=(120, 200, 260, 330), per_ring=60, outliers=60, seed=2):
    rng = np.random.default_rng(seed)
    chi = rng.uniform(-np.pi, np.pi, (len(radii), per_ring))
    r = np.asarray(radii, dtype=float)[:, None] + rng.normal(0.0, 0.3, chi.shape)
    points = np.stack([centre[0] + r * np.cos(chi), centre[1] + r * np.sin(chi)], -1).reshape(-1, 2)
    points = np.concatenate([points, rng.uniform(100.0, 900.0, (outliers, 2))])
    return [tuple(p) for p in rng.permutation(points)]


@pytest.mark.parametrize("peaks, kwargs, expected", [
    # Concentric circles with outliers: the centre within a radial bin, the same on every call.
    (concentric_peaks(), {}, "within a bin"),
    (concentric_peaks(), dict(radial_bin_width=2.0), "within a bin"),
    (concentric_peaks(), dict(radial_bin_width=8.0, top_k_bins=3), "within a bin"),
    (concentric_peaks(), dict(rng_seed=0, max_trials=300), "within a bin"),
    ([(0.0, 0.0), (1.0, 5.0)], {}, None),
    (concentric_peaks(), dict(max_trials=0), None),
    ([(0.0, 0.0), (1.0, 1.0), (2.0, 2.0), (3.0, 3.0)], {}, None),  # collinear
    ([(6000.0 + 50 * math.cos(a), 10.0 + 50 * math.sin(a)) for a in range(5)], {}, None),  # beyond max_radius_px
    (concentric_peaks(), dict(max_radius_px=-1.0), None),
    ([(math.nan, 1.0), (2.0, 3.0), (4.0, 1.0)], {}, None),
    # Scores that are all equal keep the first scored centre: no bins, a bin per peak (far more bins than any
    # histogram could hold), or every peak counted.
    (concentric_peaks(), dict(radial_bin_width=-4.0), "first"),
    (concentric_peaks(), dict(radial_bin_width=math.nan), "first"),
    (concentric_peaks(), dict(radial_bin_width=1e-300), "first"),
    (concentric_peaks(), dict(radial_bin_width=1e-6), "first"),  # 5e9 bins: the sampled three share one
    (concentric_peaks(), dict(radial_bin_width=0.0), "first"),
    (concentric_peaks(), dict(top_k_bins=10**6), "first"),
    (concentric_peaks(), dict(top_k_bins=0, rng_seed=5), "first"),
])
def test_ring_centre(peaks, kwargs, expected):
    centre = estimate_ring_center(peaks, **kwargs)
    if expected == "within a bin":
        assert type(centre) is tuple and all(type(v) is float for v in centre)
        assert np.hypot(centre[0] - 512.0, centre[1] - 487.0) <= kwargs.get("radial_bin_width", 4.0)
        assert estimate_ring_center(peaks, **kwargs) == centre
    elif expected == "first":
        assert centre == pytest.approx(first_circle_centre(peaks, kwargs.get("rng_seed", DEFAULT_SEED)), rel=1e-9)
    else:
        assert centre is expected


# --- ellipses -----------------------------------------------------------------------


def ellipse_points(centre, a, b, theta, n, rng):
    t = rng.uniform(0, 2 * np.pi, n)
    x, y = a * np.cos(t), b * np.sin(t)
    return np.stack([centre[0] + x * np.cos(theta) - y * np.sin(theta),
                     centre[1] + x * np.sin(theta) + y * np.cos(theta)], -1)


def sampson(points, centre, a, b, theta):
    """First-order distance of points from an ellipse given by its parameters."""
    p = np.asarray(points) - centre
    u = p[:, 0] * np.cos(theta) + p[:, 1] * np.sin(theta)
    v = -p[:, 0] * np.sin(theta) + p[:, 1] * np.cos(theta)
    return np.abs(u ** 2 / a ** 2 + v ** 2 / b ** 2 - 1) / np.hypot(2 * u / a ** 2, 2 * v / b ** 2)


ELLIPSES = [((400.0, 380.0), 250.0, 225.0, 1.2), ((402.0, 377.0), 120.0, 110.0, 0.5),
            ((398.0, 383.0), 330.0, 300.0, -0.4), ((401.0, 381.0), 180.0, 170.0, -1.3)]


def ellipse_set(ellipses=ELLIPSES, per_ellipse=60, outlier_share=0.2, seed=4):
    """Exact points on the ellipses, then outliers (a share of all points) that lie well off every ellipse,
    shuffled; the points and the true ellipse of each (None for an outlier)."""
    rng = np.random.default_rng(seed)
    points = [ellipse_points(c, a, b, t, per_ellipse, rng) for c, a, b, t in ellipses]
    truth = [k for k in range(len(ellipses)) for _ in range(per_ellipse)]
    n_out = round(outlier_share * len(truth) / (1 - outlier_share))
    cloud = rng.uniform(0.0, 800.0, (20 * n_out + 10, 2))
    cloud = cloud[np.min([sampson(cloud, *e) for e in ellipses], axis=0) > 6.0][:n_out]
    points, truth = np.concatenate(points + [cloud]), truth + [None] * n_out
    order = rng.permutation(len(truth))
    return [tuple(p) for p in points[order]], [truth[i] for i in order]


def assert_ellipse(fit, centre, a, b, theta, tol=1e-7):
    assert fit.center == pytest.approx(centre, abs=tol) and fit.semi_major == pytest.approx(a, rel=tol)
    assert fit.semi_minor == pytest.approx(b, rel=tol)
    assert abs(math.remainder(fit.theta - theta, math.pi)) < tol and -math.pi / 2 < fit.theta <= math.pi / 2


def test_ransac_finds_every_ellipse_among_outliers_sorted_by_size():
    points, truth = ellipse_set()
    result = ransac_ellipses(points)
    by_size = sorted(range(len(ELLIPSES)), key=lambda k: ELLIPSES[k][1])
    assert result.n_ellipses() == len(ELLIPSES)
    for fit, k in zip(result.ellipses, by_size):
        assert_ellipse(fit, *ELLIPSES[k])
        # The conic: F is -1 or +1, A > 0, and every point of the ellipse lies on it.
        A, B, C, D, E, F = fit.conic
        assert abs(F) == 1.0 and A > 0
        x, y = np.array([p for p, t in zip(points, truth) if t == k]).T
        assert np.abs(A * x * x + B * x * y + C * y * y + D * x + E * y + F).max() < 1e-9
    assert result.assignments == [None if t is None else by_size.index(t) for t in truth]
    assert result.inlier_mask() == [t is not None for t in truth]
    assert truth.count(None) == round(0.2 * len(truth))
    assert ransac_ellipses(points).assignments == result.assignments  # same seed, same answer
    assert result.ellipses[0] is not result.ellipses[0] and result.assignments is not result.assignments


@pytest.mark.parametrize("n", [5, 6, 40])
@pytest.mark.parametrize("ellipse", [((3.0, -7.0), 50.0, 50.0, 0.0), ((900.5, 12.25), 300.0, 40.0, -1.1),
                                     ((-20.0, 60.0), 80.0, 79.0, math.pi / 2 - 0.01), ((40.0, 25.0), 9.0, 3.0, 0.3)])
def test_fit_is_exact_on_exact_ellipse_points(n, ellipse):
    points = [tuple(p) for p in ellipse_points(*ellipse, n, np.random.default_rng(n))]
    result = ransac_ellipses(points, min_inliers=5, max_iterations=1)
    assert result.assignments == [0] * n
    if ellipse[1] == ellipse[2]:  # a circle: no major axis
        fit = result.ellipses[0]
        assert fit.center == pytest.approx(ellipse[0], abs=1e-9)
        assert [fit.semi_major, fit.semi_minor] == pytest.approx([ellipse[1]] * 2, rel=1e-9)
    else:
        assert_ellipse(result.ellipses[0], *ellipse)
    off = np.array(ellipse[0]) + [ellipse[1] * 0.3, -ellipse[2] * 0.8]
    assert result.ellipses[0].distance(tuple(off)) == pytest.approx(sampson([off], *ellipse)[0], rel=1e-6)


def test_distance_is_infinite_where_the_gradient_vanishes():
    # Points symmetric about both axes: the conic is exactly x^2 + y^2 = 25, with no gradient at the origin.
    circle = [(5.0, 0.0), (-5.0, 0.0), (0.0, 5.0), (0.0, -5.0), (3.0, 4.0), (-3.0, 4.0), (3.0, -4.0), (-3.0, -4.0)]
    fit = ransac_ellipses(circle, min_inliers=5).ellipses[0]
    assert fit.conic[1] == fit.conic[3] == fit.conic[4] == 0.0 and fit.distance((0, 0)) == math.inf
    assert fit.distance((5.0, 0.0)) == 0.0 and fit.distance((7, 0)) == pytest.approx(24 / 14, rel=1e-12)


# Ellipses whose sizes differ by 1 % (pairs (0, 1) and (1, 2) within the default 2 %, (0, 2) not) and whose
# centres are 0.5 px apart: found one by one with a narrow threshold, then merged as the options say.
@pytest.mark.parametrize("sizes, kwargs, groups", [
    ([200.0, 202.0], {}, [[0, 1]]),
    ([200.0, 202.0], dict(dedupe_center_dist=0.0, dedupe_size_rel=0.0), [[0], [1]]),
    ([200.0, 202.0], dict(dedupe_size_rel=0.005), [[0], [1]]),
    ([200.0, 202.0], dict(dedupe_center_dist=0.4), [[0], [1]]),
    ([200.0, 202.0, 204.02], {}, [[0, 1, 2]]),
])
def test_near_identical_ellipses_are_merged_and_refit(sizes, kwargs, groups):
    points, truth = ellipse_set([((300.0 + 0.5 * k, 310.0), a, 0.9 * a, 0.7) for k, a in enumerate(sizes)],
                                per_ellipse=80, outlier_share=0.0)
    result = ransac_ellipses(points, inlier_threshold=0.4, **kwargs)
    expected = {k: g for g, group in enumerate(groups) for k in group}
    assert result.assignments == [expected[t] for t in truth]
    assert [e.semi_major for e in result.ellipses] == sorted(e.semi_major for e in result.ellipses)
    for g, group in enumerate(groups):
        if len(group) == 1:
            k = group[0]
            assert_ellipse(result.ellipses[g], (300.0 + 0.5 * k, 310.0), sizes[k], 0.9 * sizes[k], 0.7)
        else:  # refit on the pooled points: between the merged ones
            assert sizes[group[0]] < result.ellipses[g].semi_major < sizes[group[-1]]


@pytest.mark.parametrize("points, kwargs, found", [
    ([], {}, 0),
    ([(1.0, 2.0), (3.0, 1.0), (0.0, 0.0), (5.0, 5.0)], dict(min_inliers=0), 0),
    (ellipse_set(per_ellipse=6, outlier_share=0.0)[0][:9], {}, 0),  # fewer than min_inliers
    (ellipse_set()[0], dict(max_iterations=0), 0),
    (ellipse_set()[0], dict(max_ellipses=0), 0),
    (ellipse_set()[0], dict(max_axis_ratio=0.5), 0),  # no ellipse is that round
    ([(float(i), 0.0) for i in range(20)], dict(min_inliers=0, max_ellipses=2**64 - 1), 0),  # no ellipse fits
    # With min_inliers 0 the search ends at an ellipse without inliers: at a threshold near rounding, the refit on
    # the best sample's points misses even those points.
    ([tuple(p) for p in np.random.default_rng(14).uniform(0.0, 1000.0, (20, 2))],
     dict(inlier_threshold=1e-11, min_inliers=0, max_ellipses=2**64 - 1, max_iterations=50), 1),
])
def test_searches_that_assign_no_point(points, kwargs, found):
    result = ransac_ellipses(points, **kwargs)
    assert result.n_ellipses() == len(result.ellipses) == found
    assert result.assignments == [None] * len(points) and result.inlier_mask() == [False] * len(points)


# --- ring identification ----------------------------------------------------------


def ring_fits(d_spacings, wavelength, distance, rings, extra_radii=(), tilt=0.01):
    """Ellipses fitted to points on the given rings of a slightly tilted detector (plus circles of the extra
    radii in pixels around the same centre), sorted by size."""
    geom = dict(GEOM, distance=distance, poni1=0.2, poni2=0.2, rot1=tilt, rot2=-tilt, wavelength=wavelength)
    angles = oracle.ring_two_theta(d_spacings, wavelength)
    chi = np.linspace(-np.pi, np.pi, 40, endpoint=False)
    points = [np.stack(oracle.ring_points(geom, angles[k], chi), -1) for k in rings]
    points += [np.stack([2000 + r * np.cos(chi), 2000 + r * np.sin(chi)], -1) for r in extra_radii]
    result = ransac_ellipses([tuple(p) for p in np.concatenate(points)], inlier_threshold=0.5)
    assert result.n_ellipses() == len(rings) + len(extra_radii)
    return result.ellipses


@pytest.mark.parametrize("calibrant, wavelength, distance, rings, extra, kwargs, expected", [
    (LAB6, 1e-10, 0.1, [0, 1, 2, 3], (), {}, [0, 1, 2, 3]),
    (LAB6, 0.7e-10, 0.25, [1, 2, 3, 5], (), {}, [1, 2, 3, 5]),  # inner ring and ring 4 not seen
    (CEO2, 0.5e-10, 0.3, [0, 1, 2, 3, 4], (), {}, [0, 1, 2, 3, 4]),
    (SI, 1.5e-10, 0.08, [0, 1, 2], (), {}, [0, 1, 2]),
    (SI, 1.5e-10, 0.08, [0, 1, 2], (1000.0,), {}, [0, 1, None, 2]),  # a spurious ellipse between rings 1 and 2
    (LAB6, 1e-10, 0.1, [0, 1], (), {}, [None, None]),  # two matches are not enough
    (LAB6, 1e-10, 0.1, [0, 1], (), dict(min_matches=2), [0, 1]),
    (LAB6, 1e-10, 0.1, [5, 6, 7], (), dict(max_anchor_ring=3), [None] * 3),  # no anchor above ring 3 allowed
])
def test_rings_are_identified_by_their_size_ratios(calibrant, wavelength, distance, rings, extra, kwargs, expected):
    fits = ring_fits(calibrant, wavelength, distance, rings, extra)
    result = identify_rings(fits, Calibrant.from_d_spacings("c", calibrant), wavelength, **kwargs)
    matched = sum(r is not None for r in expected)
    assert result.ring_index == expected and result.anchor_ring == expected[0]
    assert (result.n_matched, result.confident) == (matched, matched >= kwargs.get("min_matches", 3))
    assert result.ring_index is not result.ring_index


@pytest.mark.parametrize("fits, d_spacings, wavelength, min_matches, expected", [
    ("none", LAB6, 1e-10, 0, ([], None, 0, False)),
    ("rings", LAB6, -1e-10, 0, ([None] * 3, None, 0, False)),  # no ring angle
    ("rings", [0.4, 0.3], 1e-10, 0, ([None] * 3, None, 0, False)),  # the wavelength is too long for both
    ("rings", [0.7, 0.6], 1e-10, 0, ([None] * 3, None, 0, False)),  # both rings at 90 degrees or more
    ("rings", LAB6, 1e-10, 4, ([None] * 3, None, 0, False)),
    # Sizes that match no ratio: each anchor alone is a hypothesis of spread 0; the first of them wins.
    ("odd", LAB6, 1e-10, 0, ([0, None, None], 0, 1, True)),
    ("odd", LAB6, 1e-10, 2, ([None] * 3, None, 0, False)),
])
def test_unusable_input_gives_no_rings(fits, d_spacings, wavelength, min_matches, expected):
    fits = {"none": [], "rings": ring_fits(LAB6, 1e-10, 0.1, [0, 1, 2]),
            "odd": ring_fits(LAB6, 1e-10, 0.1, [], (100.0, 400.0, 1800.0))}[fits]
    result = identify_rings(fits, Calibrant.from_d_spacings("c", d_spacings), wavelength, min_matches=min_matches)
    assert (result.ring_index, result.anchor_ring, result.n_matched, result.confident) == expected


# --- arguments and reprs ------------------------------------------------------------

IMAGE = np.zeros((8, 9))
POINTS = [(1.0, 2.0)] * 3
FIT = ransac_ellipses([tuple(p) for p in ellipse_points((5.0, 6.0), 4.0, 3.0, 0.2, 6, np.random.default_rng(0))],
                      min_inliers=5).ellipses[0]
MISALIGNED = np.frombuffer(bytearray(8 * 72 + 1), dtype=np.float64, offset=1).reshape(8, 9)
NOT_CONTIGUOUS = "image must be contiguous: The given array is not contiguous or is misaligned."
NOT_ROW_MAJOR = "image must be C-contiguous (row-major) float64"
VALLEY = "valley_size must be finite and at most the image size"
LENGTH = "expected tuple of length 2, but got tuple of length {}"
LAB = Calibrant.from_d_spacings("LaB6", LAB6)

# A call and the exception expected: type, message (None: not checked), note (None: no note).
REFUSED = {
    "image list": (lambda: find_peaks_image(IMAGE.tolist()), TypeError, None, "image"),
    "image float32": (lambda: find_peaks_image(IMAGE.astype(np.float32)), TypeError, None, "image"),
    "image 1-D": (lambda: find_peaks_massif(IMAGE.ravel(), (0, 0)), TypeError, None, "image"),
    "image transposed": (lambda: find_peaks_image(IMAGE.T), ValueError, NOT_ROW_MAJOR, None),
    "image strided": (lambda: find_peaks_massif(IMAGE[:, ::2], (0, 0)), ValueError, NOT_ROW_MAJOR, None),
    "image misaligned": (lambda: find_peaks_image(MISALIGNED), ValueError, NOT_CONTIGUOUS, None),
    "valley str": (lambda: find_peaks_image(IMAGE, valley_size="5"), TypeError, None, "valley_size"),
    "valley inf": (lambda: find_peaks_image(IMAGE, valley_size=math.inf), ValueError, VALLEY, None),
    "valley nan": (lambda: find_peaks_massif(IMAGE, (0, 0), valley_size=math.nan), ValueError, VALLEY, None),
    "valley huge": (lambda: find_peaks_image(IMAGE, valley_size=9.5, max_peaks=0), ValueError, VALLEY, None),
    "threshold None": (lambda: find_peaks_image(IMAGE, threshold_factor=None), TypeError, None, "threshold_factor"),
    "max_peaks negative": (lambda: find_peaks_image(IMAGE, max_peaks=-1), OverflowError, None, "max_peaks"),
    "max_peaks float": (lambda: find_peaks_massif(IMAGE, (0, 0), max_peaks=2.0), TypeError, None, "max_peaks"),
    "seed list": (lambda: find_peaks_massif(IMAGE, [0, 0]), TypeError, None, "seed"),
    "seed length": (lambda: find_peaks_massif(IMAGE, (0, 0, 0)), ValueError, LENGTH.format(3), "seed"),
    "seed negative": (lambda: find_peaks_massif(IMAGE, (-1, 0)), OverflowError, None, "seed"),
    "seed float": (lambda: find_peaks_massif(IMAGE, (1, 0.5)), TypeError, None, "seed"),
    "dedup str": (lambda: find_peaks_massif(IMAGE, (0, 0), dedup_dist="1"), TypeError, None, "dedup_dist"),
    "peaks str": (lambda: estimate_ring_center("abc"), TypeError, "Can't extract `str` to `Vec`", "peaks"),
    "peaks lists": (lambda: estimate_ring_center([[1.0, 2.0]] * 3), TypeError, None, "peaks"),
    "peaks array": (lambda: estimate_ring_center(np.ones((3, 2))), TypeError, None, "peaks"),
    "peaks triple": (lambda: estimate_ring_center([(1.0, 2.0, 3.0)]), ValueError, LENGTH.format(3), "peaks"),
    "max_trials negative": (lambda: estimate_ring_center(POINTS, max_trials=-1), OverflowError, None, "max_trials"),
    "bin width None": (lambda: estimate_ring_center(POINTS, radial_bin_width=None), TypeError, None,
                       "radial_bin_width"),
    "top_k float": (lambda: estimate_ring_center(POINTS, top_k_bins=1.0), TypeError, None, "top_k_bins"),
    "max_radius str": (lambda: estimate_ring_center(POINTS, max_radius_px="x"), TypeError, None, "max_radius_px"),
    "seed too big": (lambda: estimate_ring_center(POINTS, rng_seed=2**64), OverflowError, None, "rng_seed"),
    "points str": (lambda: ransac_ellipses("abc"), TypeError, "Can't extract `str` to `Vec`", "points"),
    "points lists": (lambda: ransac_ellipses([[1.0, 2.0]]), TypeError, None, "points"),
    "threshold str": (lambda: ransac_ellipses(POINTS, inlier_threshold="1"), TypeError, None, "inlier_threshold"),
    "min_inliers negative": (lambda: ransac_ellipses(POINTS, min_inliers=-1), OverflowError, None, "min_inliers"),
    "axis ratio str": (lambda: ransac_ellipses(POINTS, max_axis_ratio="2"), TypeError, None, "max_axis_ratio"),
    "rng_seed negative": (lambda: ransac_ellipses(POINTS, rng_seed=-1), OverflowError, None, "rng_seed"),
    "ellipses str": (lambda: identify_rings("abc", LAB, 1e-10), TypeError, "Can't extract `str` to `Vec`", "ellipses"),
    "ellipses item": (lambda: identify_rings([FIT, 1], LAB, 1e-10), TypeError, None, "ellipses"),
    "calibrant": (lambda: identify_rings([FIT], LAB6, 1e-10), TypeError, None, "calibrant"),
    "wavelength None": (lambda: identify_rings([FIT], LAB, None), TypeError, None, "wavelength"),
    "anchor negative": (lambda: identify_rings([FIT], LAB, 1e-10, max_anchor_ring=-1), OverflowError, None,
                        "max_anchor_ring"),
    "min_matches float": (lambda: identify_rings([FIT], LAB, 1e-10, min_matches=3.0), TypeError, None, "min_matches"),
    "distance list": (lambda: FIT.distance([1.0, 2.0]), TypeError, None, "point"),
    "distance length": (lambda: FIT.distance((1.0,)), ValueError, LENGTH.format(1), "point"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_argument_refusals(assert_refused, case):
    assert_refused(*REFUSED[case])


def test_reprs_and_getters_of_the_results():
    fit = FIT
    assert repr(fit) == (f"EllipseFit(center=({fit.center[0]:.2f}, {fit.center[1]:.2f}), "
                         f"semi=({fit.semi_major:.2f}, {fit.semi_minor:.2f}), theta={fit.theta:.4f})")
    assert repr(fit) == "EllipseFit(center=(5.00, 6.00), semi=(4.00, 3.00), theta=0.2000)"
    assert len(fit.conic) == 6 and fit.conic is not fit.conic and all(type(v) is float for v in fit.conic)
    result = identify_rings(ring_fits(LAB6, 1e-10, 0.1, [0, 1, 2]), LAB, 1e-10)
    assert repr(result) == "RingIdResult(n_matched=3, confident=true, anchor_ring=Some(0))"
    assert repr(identify_rings([], LAB, 1e-10)) == "RingIdResult(n_matched=0, confident=false, anchor_ring=None)"
    # Any sequence of EllipseFit objects.
    assert identify_rings(tuple(ring_fits(LAB6, 1e-10, 0.1, [0, 1, 2])), LAB, 1e-10).ring_index == [0, 1, 2]
