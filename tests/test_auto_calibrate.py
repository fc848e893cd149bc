"""Automatic calibration: the radial, ransac, grid and auto methods on calibrant images of known geometries rendered
by the numpy model (peaks from find_peaks_image), the grid's first start against a numpy scoring of its candidates,
and the arguments, failures and result of auto_calibrate."""
import inspect
import json
import math

import numpy as np
import pytest

import oracle
from calibrant_images import CEO2, LAB6, LAMELLAR, SI, beam_geometry, detector_geometry, detector_image, \
    in_scan_order, parameter_spread
import calibrant_images
import karvelum
from karvelum import AutoCalibrateResult, Calibrant, auto_calibrate, find_peaks_image

SHAPE = (1024, 1024)
FITTED = ("distance", "poni1", "poni2", "rot1", "rot2")
# A right geometry: lengths within 1 mm, angles within half a degree.
RIGHT = dict(distance=1e-3, poni1=1e-3, poni2=1e-3, rot1=math.radians(0.5), rot2=math.radians(0.5))
NO_ELLIPSES = "no ellipses detected by RANSAC"
NOT_IDENTIFIED = "could not confidently assign ellipses to calibrant rings"


def no_iterations_to_check(max_iter, fit_iterations):
    return f"max_iter={max_iter} leaves too few iterations to check the fit, which used {fit_iterations}; " \
        "raise max_iter"


def near_grid(distance, rings):
    """Three distances about `distance`, tilts of -10, 0 and 10 degrees, PONI offsets 10 px apart; the first
    `rings` rings (those that reach the detector: the grid ranks candidates by rings hit before peaks hit)."""
    return dict(grid_distance_min=0.9 * distance, grid_distance_max=distance / 0.9, grid_distance_steps=3,
                grid_rot_max_deg=10.0, grid_rot_steps=3, grid_poni_search_radius_px=300.0, grid_poni_steps=61,
                grid_max_ring_index=rings)


# Name: geometry, calibrant, the methods that must recover the geometry (any other method recovers it or refuses,
# never reports a wrong one), grid arguments. Tilts of 20 degrees and more put the PONI far off the detector; the
# bootstrap must take the tilt's sign from the drift of ring centres. The last four come from the sweep of
# bench/calibration_sweep.py, where methods returned wrong geometries as successes: a subset of the rings identified,
# or a geometry that fits some rings and leaves the other rings' peaks between rings.
CASES = {
    "LaB6 flat, beam centred": (beam_geometry((512, 512), 0.1, wavelength=0.7e-10), LAB6, "radial ransac grid",
                                near_grid(0.1, 8)),
    "CeO2 8 deg, beam off centre": (beam_geometry((400, 450), 0.12, 8, 100, wavelength=0.6e-10), CEO2,
                                    "radial ransac", {}),
    "Si 10 deg": (beam_geometry((560, 500), 0.15, 10, 180, wavelength=0.6e-10), SI, "radial ransac grid",
                  near_grid(0.15, 4)),
    "LaB6 0.5 m, 200 um pixels": (beam_geometry((512, 512), 0.5, pixel=2e-4, wavelength=0.5e-10), LAB6,
                                  "radial ransac grid", near_grid(0.5, 5)),
    "LaB6 20 deg towards 270": (beam_geometry((512, 512), 0.5, 20, 270, wavelength=0.25e-10), LAB6, "radial ransac",
                                {}),
    "LaB6 25 deg towards 45": (beam_geometry((512, 512), 0.5, 25, 45, wavelength=0.25e-10), LAB6, "radial", {}),
    "LaB6 25 deg towards 225": (beam_geometry((512, 512), 0.4, 25, 225, wavelength=0.3e-10), LAB6, "radial", {}),
    "Si flat, beam on the detector": (detector_geometry(1024, 1e-4, 0.1, 0, 0, (0.5, 0.5), 0.15, SI), SI,
                                      "radial ransac", {}),
    "lamellar flat": (detector_geometry(1024, 1e-4, 0.1, 0, 0, (0.5, 0.5), 0.075, LAMELLAR), LAMELLAR, "radial", {}),
    "Si 20 deg, PONI off the detector": (detector_geometry(1024, 1e-4, 0.3, 20, 35, (-0.2, 0.5), 0.3, SI), SI, "",
                                         {}),
    "CeO2 25 deg": (detector_geometry(1024, 75e-6, 0.15, 25, 290, (0.5, 0.5), 0.15, CEO2), CEO2, "", {}),
    "CeO2 flat, weak rings": (detector_geometry(1024, 1e-4, 0.1, 0, 0, (0.5, 0.5), 0.15, CEO2), CEO2, "radial", {}),
}
# Rings of 6 counts on a background of 10: a third of the peaks are noise, most of them between the rings.
CONTRAST = {"CeO2 flat, weak rings": dict(height=6.0, background=10.0)}


@pytest.fixture(scope="module")
def case_peaks():
    """Peaks of a case's image (Poisson counts, module gaps, a beam stop), as the README picks them; rendered
    once."""
    cache = {}

    def peaks(name):
        if name not in cache:
            geom, d_spacings = CASES[name][:2]
            image = detector_image(geom, d_spacings, SHAPE, **CONTRAST.get(name, {}))
            cache[name] = find_peaks_image(image, max_peaks=image.size)
        return cache[name]
    return peaks


def calibrate(peaks, geom, d_spacings, **kwargs):
    calibrant = Calibrant.from_d_spacings("c", d_spacings)
    return auto_calibrate(peaks, calibrant, geom["wavelength"], geom["pixel1"], geom["pixel2"], **kwargs)


def attempt(peaks, geom, d_spacings, **kwargs):
    """The result, or None for an honest refusal."""
    try:
        return calibrate(peaks, geom, d_spacings, **kwargs)
    except ValueError as e:
        assert str(e) in (NOT_IDENTIFIED, NO_ELLIPSES)
        return None


@pytest.mark.parametrize("name", CASES)
def test_methods_recover_the_geometry_or_refuse_and_auto_keeps_the_smallest_residual(case_peaks, name):
    geom, d_spacings, methods, grid = CASES[name]
    peaks = case_peaks(name)
    results = {m: attempt(peaks, geom, d_spacings, method=m, **grid) for m in ("radial", "ransac", "grid", "auto")}
    spread = parameter_spread(geom, peaks, d_spacings)
    for method, result in results.items():
        assert result is not None or method not in methods.split() + ["auto"] * bool(methods), method
        if result is not None:
            poni = result.poni
            off = {k: abs(poni[k] - geom[k]) / spread[k] for k in FITTED}
            assert max(off.values()) < 10, (method, off)
            assert [poni[k] for k in ("pixel1", "pixel2", "wavelength")] == \
                [geom[k] for k in ("pixel1", "pixel2", "wavelength")]
    # auto: the first of radial, ransac and grid with the smallest rms, refused only when all three are.
    found = [results[m] for m in ("radial", "ransac", "grid") if results[m] is not None]
    assert (results["auto"] is None) == (not found)
    if found:
        best = min(found, key=lambda r: r.rms_rad)
        assert repr(results["auto"]) == repr(best) and results["auto"].poni == best.poni


def grid_start(peaks, d_spacings, wavelength, pixel, options):
    """The first grid start by the numpy model: every candidate (distance outermost, then rot1, rot2, the d1 and d2
    offsets from the peaks' mean) scored by the rings and peaks that fall within the tolerance of a ring, the best
    by rings, then peaks, the earliest on ties; its geometry and peaks hit."""
    o = {k: v for k, v in DEFAULTS.items() if k.startswith("grid_")} | options
    p = np.asarray(peaks, dtype=float)
    n, cap = len(p), o["grid_max_peaks"]
    scoring = p if cap == 0 or n <= cap else p[::-(-n // cap)]
    g1, g2 = (sum(p[:, i].tolist()) / n for i in (0, 1))
    rings = oracle.ring_two_theta(d_spacings[:o["grid_max_ring_index"]], wavelength)
    rings = rings[~np.isnan(rings)]

    def axis(start, end, k):
        return [start] if k < 2 else [start + (end - start) / (k - 1) * i for i in range(k)]
    lo, hi, k = o["grid_distance_min"], o["grid_distance_max"], o["grid_distance_steps"]
    distances = [lo] if k < 2 else [lo * ((hi / lo) ** (1 / (k - 1))) ** i for i in range(k)]
    tilt, radius = o["grid_rot_max_deg"] * 0.017453292519943295, o["grid_poni_search_radius_px"]
    tilts, offsets = axis(-tilt, tilt, o["grid_rot_steps"]), axis(-radius, radius, o["grid_poni_steps"])
    L, r1, r2, o1, o2 = (a.ravel() for a in np.meshgrid(distances, tilts, tilts, offsets, offsets, indexing="ij"))
    poni1, poni2 = (g1 + o1 + 0.5) * pixel, (g2 + o2 + 0.5) * pixel
    x1, x2 = (scoring[:, 0] + 0.5) * pixel, (scoring[:, 1] + 0.5) * pixel
    rings_hit, peaks_hit = np.zeros(L.size, dtype=int), np.zeros(L.size, dtype=int)
    for s in range(0, L.size, 2048):
        c = slice(s, s + 2048)
        sa, ca, sb, cb = (f(a[c])[:, None] for f, a in ((np.sin, r1), (np.cos, r1), (np.sin, r2), (np.cos, r2)))
        X, Y, Lc = x1[None, :] - poni1[c, None], x2[None, :] - poni2[c, None], L[c, None]
        u = cb * X + sa * sb * Y - Lc * ca * sb
        v = ca * Y + Lc * sa
        z = sb * X - sa * cb * Y + Lc * ca * cb
        two_theta = np.arctan2(np.sqrt(u * u + v * v), z)
        best, best_distance = np.full(two_theta.shape, -1), np.full(two_theta.shape, np.inf)
        for k, ring in enumerate(rings):
            distance = np.abs(two_theta - ring)
            take = (distance < o["grid_tolerance_rad"]) & (distance < best_distance)
            best[take], best_distance[take] = k, distance[take]
        peaks_hit[c] = (best >= 0).sum(axis=1)
        rings_hit[c] = sum((best == k).any(axis=1) for k in range(len(rings)))
    first = next(i for i in np.lexsort((-peaks_hit, -rings_hit)) if peaks_hit[i] > 0)
    return dict(distance=L[first], poni1=poni1[first], poni2=poni2[first], rot1=r1[first], rot2=r2[first]), \
        peaks_hit[first]


@pytest.mark.parametrize("name, options", [
    # 70,227 candidates: more than one round of scoring.
    ("CeO2 8 deg, beam off centre",
     dict(grid_distance_min=0.1, grid_distance_max=0.144, grid_distance_steps=3, grid_rot_steps=9,
          grid_rot_max_deg=12.0, grid_poni_steps=17, grid_poni_search_radius_px=240.0, grid_max_peaks=100)),
    # Every peak scores. (A start that the refinement of every peak cannot bring to the rings is refused: the grid
    # refines its starts once.)
    ("LaB6 flat, beam centred",
     dict(near_grid(0.1, 8), grid_poni_steps=5, grid_poni_search_radius_px=20.0, grid_max_peaks=0,
          grid_tolerance_rad=0.01)),
    # One candidate: an axis of one step (or none) holds its start only.
    ("LaB6 flat, beam centred",
     dict(grid_distance_steps=0, grid_distance_min=0.1, grid_rot_steps=1, grid_rot_max_deg=-0.1, grid_poni_steps=1,
          grid_poni_search_radius_px=-10.0, grid_max_ring_index=3)),
])
def test_grid_refines_the_best_scoring_candidate(case_peaks, name, options):
    geom, d_spacings = CASES[name][:2]
    peaks = case_peaks(name)
    start, hits = grid_start(peaks, d_spacings, geom["wavelength"], geom["pixel1"], options)
    result = calibrate(peaks, geom, d_spacings, method="grid", grid_top_k=1, **options)
    assert (result.n_detected_ellipses, result.n_identified_ellipses) == (1, hits)
    assert [result.bootstrap_distance, result.bootstrap_ring_center_d1, result.bootstrap_ring_center_d2] == \
        pytest.approx([start["distance"], start["poni1"], start["poni2"]], rel=1e-12)
    spread = parameter_spread(geom, peaks, d_spacings)
    assert max(abs(result.poni[k] - geom[k]) / spread[k] for k in FITTED) < 10


def test_grid_and_auto_do_not_depend_on_the_thread_count(case_peaks, run_isolated, tmp_path):
    name = "Si 10 deg"
    geom, d_spacings, _, grid = CASES[name]
    path = tmp_path / "arguments.json"
    path.write_text(json.dumps([case_peaks(name), d_spacings, geom["wavelength"], geom["pixel1"], grid]))
    code = f"""
        import json, karvelum
        peaks, d_spacings, wavelength, pixel, grid = json.load(open({str(path)!r}))
        calibrant = karvelum.Calibrant.from_d_spacings("c", d_spacings)
        out = []
        for method in ("grid", "auto"):
            r = karvelum.auto_calibrate([tuple(p) for p in peaks], calibrant, wavelength, pixel, pixel, method=method,
                                        **grid)
            out.append([repr(r), r.chi2, r.poni, r.bootstrap_distance, r.bootstrap_ring_center_d1,
                        r.bootstrap_ring_center_d2])
        print(json.dumps([karvelum.rayon_num_threads(), out]))
    """
    one, many = run_isolated(code, RAYON_NUM_THREADS="1"), run_isolated(code, RAYON_NUM_THREADS="8")
    assert (one[0], many[0]) == (1, 8) and one[1] == many[1]


# --- arguments, failures and the result ------------------------------------------------------

FLAT = CASES["LaB6 flat, beam centred"][0]
LAB = Calibrant.from_d_spacings("LaB6", LAB6)


@pytest.fixture(scope="module")
def ring_peaks():
    """60 points on each of the first six LaB6 rings of FLAT with 0.05 px of noise."""
    rings = oracle.ring_two_theta(LAB6, FLAT["wavelength"])[:6]
    chi = np.linspace(-np.pi, np.pi, 60, endpoint=False)
    d1, d2 = oracle.ring_points(FLAT, np.repeat(rings, 60), np.tile(chi, 6))
    noise = np.random.default_rng(3).normal(0.0, 0.05, (2, d1.size))
    return [tuple(p) for p in np.stack([d1 + noise[0], d2 + noise[1]], -1).tolist()]


def call(peaks, /, **changes):
    """auto_calibrate of `peaks` with FLAT's calibrant and beam; `changes` replace arguments, `peaks` too."""
    args = dict(peaks=peaks, calibrant=LAB, wavelength=FLAT["wavelength"], pixel1=FLAT["pixel1"],
                pixel2=FLAT["pixel2"])
    args.update(changes)
    return auto_calibrate(**args)


def outcome(result):
    return repr(result), result.chi2, result.poni, result.bootstrap_distance, result.bootstrap_ring_center_d1, \
        result.bootstrap_ring_center_d2


# The defaults of the signature (test_signatures.py checks its text), passed explicitly below.
DEFAULTS = {k: p.default for k, p in inspect.signature(auto_calibrate).parameters.items() if p.default is not p.empty}
# Three distances, tilts and PONI offsets each about FLAT, scored on the six rings of ring_peaks.
SMALL_GRID = dict(grid_distance_min=0.09, grid_distance_max=0.1 / 0.9, grid_distance_steps=3, grid_rot_max_deg=10.0,
                  grid_rot_steps=3, grid_poni_steps=3, grid_max_ring_index=6)


@pytest.mark.parametrize("kwargs, same_as", [
    (DEFAULTS, {}),
    (dict(method="RaDiAl", huber_c=np.float64(0.002), max_iter=np.int64(200)), {}),
    (dict(rng_seed=7), {}),  # the radial method's ring centre has a seed of its own
    (dict(method="RANSAC"), dict(method="ransac")),
    (dict(fix=["wl", "wavelength"]), dict(fix=None)),
    (dict(method="Grid", grid_max_peaks=0, **SMALL_GRID), dict(method="grid", grid_max_peaks=10**6, **SMALL_GRID)),
    # Non-finite peaks are left out of the grid.
    (dict(method="grid", peaks=lambda p: p + [(math.nan, 1.0), (2.0, math.inf)], **near_grid(0.1, 6)),
     dict(method="grid", **near_grid(0.1, 6))),
])
def test_equivalent_arguments_give_the_same_result(ring_peaks, kwargs, same_as):
    kwargs = {k: v(ring_peaks) if k == "peaks" else v for k, v in kwargs.items()}
    assert outcome(call(ring_peaks, **kwargs)) == outcome(call(ring_peaks, **same_as))


@pytest.mark.parametrize("fix, fixed", [
    (None, {"wavelength"}),
    ([], set()),
    (["dist", "wl"], {"distance", "wavelength"}),
    (["poni1", "poni2", "rot1", "rot2", "rot3"], {"poni1", "poni2", "rot1", "rot2"}),
])
def test_fixed_parameters_keep_their_bootstrap_values(ring_peaks, fix, fixed):
    wavelength = FLAT["wavelength"] * 1.001  # a free wavelength has somewhere to go
    r = call(ring_peaks, wavelength=wavelength, fix=fix)
    # The rings of a flat detector are circles: the radial bootstrap is untilted, centred on the mean ring centre.
    start = dict(distance=r.bootstrap_distance, poni1=r.bootstrap_ring_center_d1, poni2=r.bootstrap_ring_center_d2,
                 rot1=0.0, rot2=0.0, rot3=0.0, wavelength=wavelength)
    assert {k for k in start if r.poni[k] == start[k]} == fixed | {"rot3"}  # rot3 never moves 2-theta


def test_result_getters_and_repr(ring_peaks):
    r = call(ring_peaks)
    poni = r.poni
    assert list(poni) == list(oracle.GEOMETRY_KEYS) and all(type(v) is float for v in poni.values())
    assert poni is not r.poni and (poni["pixel1"], poni["pixel2"]) == (FLAT["pixel1"], FLAT["pixel2"])
    assert all(type(getattr(r, k)) is int for k in ("n_iter", "n_detected_ellipses", "n_identified_ellipses"))
    assert (r.n_detected_ellipses, r.n_identified_ellipses) == (6, 6)
    # Circles about the PONI: the distance estimates and the mean ring centre are the truth, to the noise.
    assert [r.bootstrap_distance, r.bootstrap_ring_center_d1, r.bootstrap_ring_center_d2] == \
        pytest.approx([FLAT["distance"], FLAT["poni1"], FLAT["poni2"]], rel=1e-4)
    assert r.chi2 == pytest.approx(360 * r.rms_rad ** 2, rel=1e-12)  # every point is a control point
    mantissa, exponent = f"{r.rms_rad:.3e}".split("e")
    assert repr(r) == f"AutoCalibrateResult(n_iter={r.n_iter}, rms_rad={mantissa}e{int(exponent)}, detected=6, " \
                      f"identified=6)"
    assert AutoCalibrateResult.bootstrap_ring_center_d1.__doc__ == \
        "Mean ring-center (d1, meters) used to initialise the bootstrap PONI."


SCATTERED = [tuple(p) for p in np.random.default_rng(5).uniform(0.0, 1000.0, (30, 2)).tolist()]
CIRCLE = [(500.0 + 100.0 * math.cos(a), 500.0 + 100.0 * math.sin(a)) for a in (0.3, 1.5, 2.8, 4.0, 5.3)]
HUBER = "huber_c must be positive and finite"

# Changes to a valid call, and the exception expected: type, message (None: not checked), note (None: no note).
REFUSED = {
    **{f"no peaks, {m}": (dict(peaks=[], method=m), ValueError, NO_ELLIPSES, None)
       for m in ("radial", "ransac", "grid", "auto")},
    "scattered, radial": (dict(peaks=SCATTERED), ValueError, NO_ELLIPSES, None),
    "scattered, ransac": (dict(peaks=SCATTERED, method="ransac"), ValueError, NO_ELLIPSES, None),
    "scattered, auto: the grid fails last": (dict(peaks=SCATTERED, method="auto", grid_tolerance_rad=0.0), ValueError,
                                             NOT_IDENTIFIED, None),
    "grid, nothing within the tolerance": (dict(method="grid", grid_tolerance_rad=0.0), ValueError, NOT_IDENTIFIED,
                                           None),
    # Detector turned over at a negative distance: the same 2-theta everywhere, but no geometry.
    "grid, a mirrored start": (dict(method="grid", grid_distance_min=-0.1, grid_distance_steps=1,
                                    grid_rot_max_deg=180.0, grid_rot_steps=3, grid_poni_steps=1,
                                    grid_poni_search_radius_px=0.0, grid_top_k=1), ValueError, NOT_IDENTIFIED, None),
    "too few matches": (dict(min_matches=7), ValueError, NOT_IDENTIFIED, None),
    "ransac centre filter leaves too few": (dict(method="ransac", center_consistency_px=1e-9), ValueError,
                                            NOT_IDENTIFIED, None),
    "refinement": (dict(peaks=CIRCLE, method="ransac", ransac_min_inliers=5, min_matches=1), ValueError,
                   "refinement failed: underdetermined: 5 effective points < 6 free parameters", None),
    "grid overflow": (dict(method="grid", grid_distance_steps=2**32, grid_rot_steps=2**16), ValueError,
                      "grid search has too many candidates", None),
    "grid of a day's scoring": (dict(method="grid", grid_distance_steps=10**4, grid_rot_steps=100,
                                     grid_poni_steps=10), ValueError, "grid search has too many candidates", None),
    **{f"{name} {value}": (dict({name: value}), ValueError, f"{name} must be positive and finite", None)
       for name, value in (("pixel1", math.nan), ("pixel2", 0.0), ("pixel1", -1e-4), ("pixel2", math.inf))},
    **{f"huber_c {c}": (dict(huber_c=c), ValueError, HUBER, None) for c in (0.0, -1e-3, math.nan, math.inf)},
    "method": (dict(method="Bogus", fix=["nope"]), ValueError,
               "unknown method 'bogus'; valid: 'radial' (default), 'ransac', 'grid', or 'auto'", None),
    "method type": (dict(method=3), TypeError, None, "method"),
    "conversion before the method": (dict(method="bogus", tol="x"), TypeError, None, "tol"),
    "fix type before the method": (dict(method="bogus", fix=("rot1",)), TypeError, None, "fix"),
    "fix unknown": (dict(fix=["rot3", "Distance"]), ValueError, "unknown parameter 'Distance' in fix list", None),
    "fix item": (dict(fix=[3]), TypeError, None, None),
    "peaks str, first": (dict(peaks="abc", calibrant=None), TypeError, "Can't extract `str` to `Vec`", "peaks"),
    "peaks lists": (dict(peaks=[[1.0, 2.0]]), TypeError, None, "peaks"),
    "calibrant": (dict(calibrant=LAB6), TypeError, None, "calibrant"),
    "wavelength None": (dict(wavelength=None), TypeError, None, "wavelength"),
    "axis ratio None": (dict(ransac_max_axis_ratio=None), TypeError, None, "ransac_max_axis_ratio"),
    "count negative": (dict(grid_top_k=-1), OverflowError, None, "grid_top_k"),
    "count float": (dict(ransac_min_inliers=10.0), TypeError, None, "ransac_min_inliers"),
    "seed too big": (dict(rng_seed=2**64), OverflowError, None, "rng_seed"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_refusals_and_failures(ring_peaks, assert_refused, case):
    changes, *expected = REFUSED[case]
    assert_refused(lambda: call(ring_peaks, **changes), *expected)


# --- the result is the fit of the peaks the method assigned ---------------------------------------------------

def ransac_fit(peaks, d_spacings, geom, max_iter=200):
    """The ransac method rebuilt from the public functions, on an untilted detector (circles: the bootstrap is the
    mean ring centre and the mean distance estimate): RANSAC ellipses, the centre filter, ring identities, then one
    refinement of the peaks of the identified ellipses, each labelled with its ring."""
    found = karvelum.ransac_ellipses(peaks, max_axis_ratio=1.2)
    ellipses = found.ellipses
    centres = np.array([e.center for e in ellipses])
    middle = np.sort(centres, axis=0)[len(ellipses) // 2]
    kept = [i for i, c in enumerate(centres) if np.sum((c - middle) ** 2) <= 30.0 ** 2]
    ids = karvelum.identify_rings([ellipses[i] for i in kept], Calibrant.from_d_spacings("c", d_spacings),
                                  geom["wavelength"], ratio_tolerance=0.03)
    ring = {e: k for e, k in zip(kept, ids.ring_index) if k is not None}
    angles = oracle.ring_two_theta(d_spacings, geom["wavelength"])
    pixel = math.sqrt(geom["pixel1"] * geom["pixel2"])
    used = sorted(ring)
    start = dict(geom, rot1=0.0, rot2=0.0, rot3=0.0,
                 distance=sum(pixel * ellipses[e].semi_minor / math.tan(angles[ring[e]]) for e in used) / len(used),
                 poni1=(sum(ellipses[e].center[0] for e in used) / len(used) + 0.5) * geom["pixel1"],
                 poni2=(sum(ellipses[e].center[1] for e in used) / len(used) + 0.5) * geom["pixel2"])
    points = karvelum.CalibrationPoints()
    for (d1, d2), e in zip(peaks, found.assignments):
        if e in ring:
            points.add(d1, d2, ring[e])
    return karvelum.refine(start, points, Calibrant.from_d_spacings("c", d_spacings), loss={"type": "huber", "c": 0.002},
                           max_iter=max_iter, tol=1e-9)


@pytest.mark.parametrize("noise_peaks", [0, 100, 300])
@pytest.mark.parametrize("max_iter", [1, 3, 40, 200])
def test_ransac_returns_the_fit_of_its_identified_rings_within_max_iter(ring_peaks, noise_peaks, max_iter):
    """Peaks off the rings do not move the result away from the fit of the identified rings' peaks, and max_iter
    bounds every iteration the call runs. 300 noise peaks mix rings in the ellipses: that fit is 1 mm and half a
    degree off, and is refused."""
    noise = np.random.default_rng(11).uniform(0.0, 1024.0, (noise_peaks, 2))
    peaks = ring_peaks + [tuple(p) for p in noise.tolist()]
    try:
        result = call(peaks, method="ransac", max_iter=max_iter)
    except ValueError as e:
        # A fit cut short may not yet hold, or leave the check no iterations: that refusal names the fit's (with
        # 300 noise peaks the rebuilt fit is not the method's).
        if max_iter < 200 and str(e) != NOT_IDENTIFIED:
            used = ransac_fit(peaks, LAB6, FLAT, max_iter).n_iter if noise_peaks < 300 else \
                min(range(max_iter + 1), key=lambda n: str(e) != no_iterations_to_check(max_iter, n))
            assert str(e) == no_iterations_to_check(max_iter, used)
        else:
            assert (max_iter < 200 or noise_peaks == 300) and str(e) == NOT_IDENTIFIED
        return
    assert result.n_iter <= max_iter
    if noise_peaks == 300:
        assert max(abs(result.poni[k] - FLAT[k]) / RIGHT[k] for k in FITTED) < 1
        return
    expected = ransac_fit(peaks, LAB6, FLAT, max_iter)
    assert result.n_iter == expected.n_iter <= max_iter
    assert [result.poni[k] for k in FITTED] == pytest.approx([expected.poni[k] for k in FITTED], rel=1e-9, abs=1e-12)
    assert result.rms_rad == pytest.approx(expected.rms_rad, rel=1e-6)
    if max_iter == 200:
        spread = parameter_spread(FLAT, ring_peaks, LAB6)
        assert max(abs(result.poni[k] - FLAT[k]) / spread[k] for k in FITTED) < 10


def test_a_fit_stopped_along_the_tilt_valley_is_refitted_within_max_iter(case_peaks):
    """The RANSAC ellipses of the tilted CeO2 image mix the peaks of two rings: the fit of the identified rings stops
    after 9 iterations, 0.2 mm off, tens of noise spreads. With iterations left, the same peaks, each labelled with
    the ring it lies on, are fitted on; every iteration counts against max_iter, and a fit that has used them all
    cannot be held against every ring peak: the budget is refused."""
    name = "CeO2 8 deg, beam off centre"
    geom, d_spacings = CASES[name][:2]
    peaks = case_peaks(name)
    with pytest.raises(ValueError) as refused:
        calibrate(peaks, geom, d_spacings, method="ransac", max_iter=9)
    assert str(refused.value) == no_iterations_to_check(9, 9)
    for max_iter in (40, 200):
        result = calibrate(peaks, geom, d_spacings, method="ransac", max_iter=max_iter)
        assert 9 < result.n_iter <= max_iter
        spread = parameter_spread(geom, peaks, d_spacings)
        assert max(abs(result.poni[k] - geom[k]) / spread[k] for k in FITTED) < 10


@pytest.mark.parametrize("seed", [0, 2])
def test_a_fit_of_ring_arcs_along_the_tilt_valley_is_never_returned(seed):
    """Weak rings 0.6 m away on a 2048 px detector tilted by 5 degrees: the radial bands about one centre hold arcs of
    each ring among noise peaks, and their fit lies 1.3 to 1.7 mm off along the valley of tilt and PONI, with
    residuals no larger than the truth's. The peaks of the whole rings contradict it: right or refused."""
    geom = detector_geometry(2048, 172e-6, 0.6, 5, 135, (0.55, 0.35), 0.10, LAB6)
    image = detector_image(geom, LAB6, (2048, 2048), seed, height=10.0, background=10.0)
    result = attempt(find_peaks_image(image, max_peaks=image.size), geom, LAB6)
    assert result is None or max(abs(result.poni[k] - geom[k]) / RIGHT[k] for k in FITTED) <= 1


def test_auto_takes_a_grid_too_large_to_search_as_the_grid_failing(ring_peaks):
    huge = dict(grid_distance_steps=10**4, grid_rot_steps=100, grid_poni_steps=10)
    result = call(ring_peaks, method="auto", **huge)
    best = min((call(ring_peaks, method=m) for m in ("radial", "ransac")), key=lambda r: r.rms_rad)
    assert outcome(result) == outcome(best)


def ring_points_of(geom, two_theta, count, seed):
    """`count` points at random azimuths on the cone of `two_theta`, with 0.1 px of noise."""
    rng = np.random.default_rng(seed)
    d1, d2 = oracle.ring_points(geom, np.full(count, two_theta), rng.uniform(-np.pi, np.pi, count))
    return [tuple(p) for p in (np.stack([d1, d2], -1) + rng.normal(0.0, 0.1, (count, 2))).tolist()]


# LaB6 rings 0-5 of FLAT, 80 points each; the calibrant list given, and an extra ring that it does not list (d in
# angstrom and its points as a fraction of the ring points).
FOREIGN = {
    "the four inner rings listed": (LAB6[:4], None),
    "three rings listed": (LAB6[:3], None),
    "another phase, 20 %": (LAB6, (2.65, 0.2)),
    "another phase, 30 %, between rings 2 and 3": (LAB6, (2.2, 0.3)),
    "another phase, 20 %, four rings listed": (LAB6[:4], (2.65, 0.2)),
}


@pytest.mark.parametrize("name", FOREIGN)
@pytest.mark.parametrize("method", ["radial", "ransac", "auto"])
def test_rings_the_calibrant_does_not_list_keep_a_right_result(name, method):
    listed, extra = FOREIGN[name]
    angles = oracle.ring_two_theta(LAB6, FLAT["wavelength"])[:6]
    peaks = [p for k, a in enumerate(angles) for p in ring_points_of(FLAT, a, 80, k)]
    if extra:
        d, fraction = extra
        peaks += ring_points_of(FLAT, oracle.ring_two_theta([d], FLAT["wavelength"])[0], int(fraction * len(peaks)), 9)
        peaks = [peaks[i] for i in np.random.default_rng(4).permutation(len(peaks))]
    result = calibrate(peaks, FLAT, listed, method=method)
    assert max(abs(result.poni[k] - FLAT[k]) / RIGHT[k] for k in FITTED) < 0.1


# A flat detector 0.1 m away with the first `rings` LaB6 rings at a wavelength (m) that keeps them all within 25 mm of
# the beam, and a grid that searches only about the distance 0.1 m / scale. There the rings whose sin-theta is `scale`
# times that of a listed ring sit on it, and the fit holds them near its optimum. The other rings lie off the listed
# rings: past the last one, or between them, where they are not concentric under the fit or are too many to be
# foreign rings (at 1/sqrt(2), h^2 + k^2 + l^2 = 1, 3, 5 fall between 1, 2, 3, while 2, 4, 6 sit on them). With the
# four inner rings at sqrt(2) every ring sits (1, 2, 3, 4 on 2, 4, 6, 8), and only the residuals, which the scaling
# leaves where the angles grow, tell the fit from the truth.
WRONG_DISTANCE = {
    "sqrt(3/2)": (0.3e-10, math.sqrt(1.5), 8),
    "sqrt(3)": (0.3e-10, math.sqrt(3.0), 8),
    "2": (0.3e-10, 2.0, 8),
    "sqrt(2), rings not concentric under the fit": (0.2e-10, math.sqrt(2.0), 8),
    "sqrt(2), four rings, every ring on a listed ring": (0.5e-10, math.sqrt(2.0), 4),
    "sqrt(2), two rings, every ring on a listed ring": (0.7e-10, math.sqrt(2.0), 2),
    "1/sqrt(2), six rings, every other one between listed rings": (0.3e-10, 1 / math.sqrt(2.0), 6),
    "1/sqrt(2), two rings, one between listed rings": (0.5e-10, 1 / math.sqrt(2.0), 2),
}


@pytest.mark.parametrize("name", WRONG_DISTANCE)
def test_a_grid_about_a_wrong_distance_returns_no_geometry_that_leaves_rings_off_the_calibrant(name):
    """The fit at the wrong distance holds the rings it puts on listed rings near its optimum; the detected rings
    it leaves off them, or the residuals of the rings it puts on them, refuse it (without that, it came back 19 to
    51 mm off as a success)."""
    wavelength, scale, count = WRONG_DISTANCE[name]
    geom = beam_geometry((512, 512), 0.1, wavelength=wavelength)
    rings = oracle.ring_two_theta(LAB6, wavelength)[:count]
    rng = np.random.default_rng(0)
    n = 960 // count
    d1, d2 = oracle.ring_points(geom, np.repeat(rings, n), rng.uniform(-np.pi, np.pi, n * rings.size))
    peaks = [tuple(p) for p in (np.stack([d1, d2], -1) + rng.normal(0.0, 0.25, (d1.size, 2))).tolist()]
    grid = dict(grid_distance_min=0.1 / scale, grid_distance_max=0.1 / scale, grid_distance_steps=1,
                grid_rot_steps=1, grid_rot_max_deg=0.0, grid_poni_steps=5, grid_poni_search_radius_px=4.0)
    result = attempt(peaks, geom, LAB6, method="grid", **grid)
    assert result is None or max(abs(result.poni[k] - geom[k]) / RIGHT[k] for k in FITTED) < 1


@pytest.mark.parametrize("method, budgets", [("radial", [9]), ("ransac", [9]), ("auto", [9]), ("grid", [5, 9])])
def test_a_budget_that_leaves_the_check_no_iterations_is_refused_as_such(method, budgets):
    """Four LaB6 rings on a detector tilted by 6 degrees: the fit converges in 9 (radial) or 8 (ransac) iterations,
    right; its refit, in rounds, may take up to 16 more. A budget that the fit and the refit use up before the fit of
    every ring peak leaves the check undecided: the refusal names max_iter and the fit's iterations, which a larger
    budget returns unchanged. Auto, with every method refused, names the first that the budget left undecided; the
    grid, with no start that holds, the first start left undecided. How many rounds the refit takes depends on the
    last bits of the machine's mathematical functions: for one method, every budget from the fit's iterations up to
    the first that leaves room is tried."""
    geom = beam_geometry((512, 512), 0.1, 6, 100, wavelength=0.7e-10)
    rings = oracle.ring_two_theta(LAB6, geom["wavelength"])[:4]
    rng = np.random.default_rng(2)
    d1, d2 = oracle.ring_points(geom, np.repeat(rings, 200), rng.uniform(-np.pi, np.pi, 800))
    peaks = [tuple(p) for p in (np.stack([d1, d2], -1) + rng.normal(0.0, 0.3, (2, 800)).T).tolist()]
    grid = near_grid(0.1, 4) if method == "grid" else {}
    result = calibrate(peaks, geom, LAB6, method="radial" if method == "auto" else method, max_iter=200, **grid)
    assert max(abs(result.poni[k] - geom[k]) / RIGHT[k] for k in FITTED) < 0.1
    if method in ("radial", "ransac"):
        def with_room(max_iter):
            try:
                return outcome(calibrate(peaks, geom, LAB6, method=method, max_iter=max_iter)) == outcome(result)
            except ValueError:
                return False
        first_with_room = next(n for n in range(result.n_iter, result.n_iter + 18) if with_room(n))
        budgets = sorted(set(budgets) | set(range(result.n_iter, first_with_room)))
    for max_iter in budgets:
        with pytest.raises(ValueError) as refused:
            calibrate(peaks, geom, LAB6, method=method, max_iter=max_iter, **grid)
        # The grid's starts are fitted to every peak, each in its own iterations.
        used = result.n_iter if method != "grid" else \
            min(range(max_iter + 1), key=lambda n: str(refused.value) != no_iterations_to_check(max_iter, n))
        assert str(refused.value) == no_iterations_to_check(max_iter, used)
    raised = calibrate(peaks, geom, LAB6, method=method, max_iter=budgets[-1] + 3, **grid)
    assert max(abs(raised.poni[k] - geom[k]) / RIGHT[k] for k in FITTED) < 0.1
    assert method in ("auto", "grid") or outcome(raised) == outcome(result)


def uniform_noise(shape, count, seed):
    """`count` points uniformly over a detector of `shape` pixels."""
    return np.random.default_rng(seed).uniform(0.0, 1.0, (count, 2)) * np.asarray(shape, dtype=float)


def noisy_lab6_rings(geom, noise_peaks, seed):
    """200 points at random azimuths on each of the first four LaB6 rings with 0.3 px of noise, among `noise_peaks`
    points uniform over the 1024 x 1024 detector, in random order."""
    rng = np.random.default_rng(seed)
    rings = oracle.ring_two_theta(LAB6, geom["wavelength"])[:4]
    points = []
    for angle in rings:
        d1, d2 = oracle.ring_points(geom, np.full(200, angle), rng.uniform(-np.pi, np.pi, 200))
        points.append(np.stack([d1, d2], -1) + rng.normal(0.0, 0.3, (200, 2)))
    points.append(rng.uniform(0.0, 1024.0, (noise_peaks, 2)))
    p = np.concatenate(points)
    return [tuple(x) for x in p[rng.permutation(len(p))].tolist()]


def lamellar_among_noise(fraction):
    """The peaks of a lamellar calibrant's image 0.5 m away, tilted by 25 degrees with the PONI far off the detector
    (four orders cross it), with uniform noise peaks as many as `fraction` of those on the rings, in row-scan
    order."""
    geom = detector_geometry(1024, 100e-6, 0.5, 25, 165, None, 0.15, LAMELLAR)
    peaks = find_peaks_image(detector_image(geom, LAMELLAR, SHAPE, 312), max_peaks=SHAPE[0] * SHAPE[1])
    count = int(round(fraction * np.count_nonzero(calibrant_images.ring_peaks(geom, LAMELLAR, peaks))))
    return geom, [tuple(p) for p in in_scan_order(peaks, uniform_noise(SHAPE, count, 312 + 7919)).tolist()]


NOISY_FLAT = beam_geometry((450, 560), 0.12, wavelength=0.8e-10)
NOISY_TILTED = dict(NOISY_FLAT, rot1=math.radians(4), rot2=math.radians(-3))
# Name: the geometry and peaks. Under a distance 69 mm short the two inner LaB6 rings sit on the calibrant's rings 4
# and 7, skipping 5 and 6, and the two outer ones lie past the last listed ring, concentric with it; a flat
# geometry 85 mm away puts the bands about one centre through the lamellar arcs on orders 5, 11, 16 and 20. The
# noise peaks inside the bands loosen their scatter, so the residuals look as tight as the truth's. Among 3000 noise
# peaks on the tilted detector a fit 41 mm short passes the check of the rings it sits on and agrees with the fit
# of every ring peak: its residuals, set against those of the rings' own ellipses, refuse it, as do the rings it sits
# on, which stand out of the noise no more than those it skips. Among 3600, a fit
# 92 mm short is refused only because a seen ring it leaves off the calibrant's rings is not concentric with them.
# Among 2400, a fit 43 mm short sits three rings on the calibrant's rings 1, 4 and 7 and forgives the fourth: the
# listed rings between hold as many noise peaks as those sat on, but spread over their bands, not on the rings.
# In a third draw of 2400 on the flat one, a fit 40 mm short whose rings show is refused by its residuals alone.
# Among 1200 on the tilted detector, a fit 71 mm short sits its seen rings on the calibrant's rings 4, 5 and 7: the
# noise fills those bands as evenly as the one it skips, so the rings sat on show no more than it does.
MANY_NOISE = {
    "LaB6 flat, 1600 noise peaks": lambda: (NOISY_FLAT, noisy_lab6_rings(NOISY_FLAT, 1600, 24)),
    "LaB6 flat, 2400 noise peaks": lambda: (NOISY_FLAT, noisy_lab6_rings(NOISY_FLAT, 2400, 15)),
    "LaB6 flat, 2400 noise peaks, another draw": lambda: (NOISY_FLAT, noisy_lab6_rings(NOISY_FLAT, 2400, 19)),
    "LaB6 flat, 2400 noise peaks, a third draw": lambda: (NOISY_FLAT, noisy_lab6_rings(NOISY_FLAT, 2400, 63)),
    "LaB6 4 and -3 deg, 1200 noise peaks": lambda: (NOISY_TILTED, noisy_lab6_rings(NOISY_TILTED, 1200, 28)),
    "LaB6 4 and -3 deg, 1600 noise peaks": lambda: (NOISY_TILTED, noisy_lab6_rings(NOISY_TILTED, 1600, 10)),
    "LaB6 4 and -3 deg, 2400 noise peaks": lambda: (NOISY_TILTED, noisy_lab6_rings(NOISY_TILTED, 2400, 9)),
    "LaB6 4 and -3 deg, 3000 noise peaks": lambda: (NOISY_TILTED, noisy_lab6_rings(NOISY_TILTED, 3000, 6)),
    "LaB6 4 and -3 deg, 3600 noise peaks": lambda: (NOISY_TILTED, noisy_lab6_rings(NOISY_TILTED, 3600, 10)),
    "lamellar 25 deg, noise 75 % of the ring peaks": lambda: lamellar_among_noise(0.75),
    "lamellar 25 deg, noise 125 % of the ring peaks": lambda: lamellar_among_noise(1.25),
}


@pytest.mark.parametrize("name", MANY_NOISE)
def test_many_noise_peaks_never_give_a_geometry_of_the_wrong_scale(name):
    geom, peaks = MANY_NOISE[name]()
    d_spacings = LAMELLAR if name.startswith("lamellar") else LAB6
    for method in ("radial", "ransac", "auto"):
        result = attempt(peaks, geom, d_spacings, method=method)
        assert result is None or max(abs(result.poni[k] - geom[k]) / RIGHT[k] for k in FITTED) <= 1, method


# LaB6 rings of FLAT, 80 points each, one ring missing from the image; the calibrant list given.
MISSING = {
    "ring 2 missing": ([0, 1, 3, 4, 5, 6], LAB6),
    "ring 2 missing, rings past the list": ([0, 1, 3, 4, 5, 6], LAB6[:5]),
    "ring 1 missing, the last listed ring past three sat on": ([0, 2, 3, 4, 5], LAB6[:4]),
}


@pytest.mark.parametrize("name", MISSING)
@pytest.mark.parametrize("method", ["radial", "ransac", "auto"])
def test_a_listed_ring_missing_from_the_peaks_keeps_a_right_result(name, method):
    shown, listed = MISSING[name]
    angles = oracle.ring_two_theta(LAB6, FLAT["wavelength"])
    peaks = [p for k in shown for p in ring_points_of(FLAT, angles[k], 80, k)]
    result = calibrate(peaks, FLAT, listed, method=method)
    assert max(abs(result.poni[k] - FLAT[k]) / RIGHT[k] for k in FITTED) < 0.1
