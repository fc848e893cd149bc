"""2D (radial x azimuthal) integration against the numpy oracle and known answers; with 1D: caches,
thread counts, argument errors."""
import numpy as np
import pytest
import tifffile

import oracle

SHAPE, SMALL, TURN = (90, 110), (12, 16), 2 * np.pi  # SMALL: for the pixel-splitting oracle
# Azimuthal ranges per geometry: inside the data, across the +-pi seam or shifted by a turn, a whole turn.
RANGES = {"around": [(-1.0, 2.0), (2.5, 3.8), (-1.0, TURN - 1.0)],
          "aside": [(0.9, 1.7), (1.2 - TURN, 1.9 - TURN), (2.0 - TURN, 2.0)]}
GEOM_SPANS = [(g, None) for g in RANGES] + [(g, r) for g in RANGES for r in RANGES[g]]
METHODS = [("histogram", None), ("counting", None), ("pixel_split", None), ("supersampled", 3)]
METHOD_IDS = lambda m: m if isinstance(m, str) else None  # noqa: E731

def test_no_pixel_centre_sits_on_the_azimuthal_seam(geoms):  # there it could go to either end without a range
    chi = [oracle.pixel_geometry(geoms[name], SHAPE)["chi"] for name in ("around", "aside")]
    assert min(np.abs(np.pi - np.abs(c)).min() for c in chi) > 1e-6 and chi[0].min() < -3.1 < 3.1 < chi[0].max()

@pytest.mark.parametrize("name, span", GEOM_SPANS)
@pytest.mark.parametrize("unit", ["2th_deg", "q_nm^-1"])
@pytest.mark.parametrize("polarization", [None, 0.95, 300.0], ids=["no-pol", "pol", "pol-nonpositive-corr"])
@pytest.mark.parametrize("method", ["counting", "histogram"])
@pytest.mark.parametrize("n_az", [1, 10])
def test_counting_and_histogram_cakes_equal_the_oracle(integrator, geoms, name, span, unit, polarization, method, n_az):
    # A polarization factor of 300 drives the correction negative in places.
    geom, image, n_rad = geoms[name], oracle.noisy_image(SHAPE), 24
    want = oracle.integrate2d(geom, image, n_rad, n_az, unit, method, polarization, span)
    ok = want["trusted"]
    assert ok.mean() >= 0.9 and np.isnan(want["intensity"]).any() and (want["intensity"] != 0).mean() >= 0.1
    ai = integrator(geom, method, unit=unit, polarization_factor=polarization)
    for errors in (False, True):
        res = ai.integrate2d(image, n_rad, n_az, errors, span)
        assert repr(res) == f"IntegrationResult(2D, {n_rad * n_az} points{', with errors' * errors})"
        assert (res.n_radial, res.n_azimuthal) == (n_rad, n_az) and res.azimuthal is None
        got = oracle.outputs(res)
        assert got["radial"] is None and got["azimuthal_std"] is None and (got["errors"] is not None) == errors
        for key in ("intensity", "errors")[:1 + errors]:
            assert len(got[key]) == n_rad * n_az
            np.testing.assert_allclose(got[key][ok], want[key][ok], rtol=1e-9, atol=0, err_msg=key)

# Unrotated, power-of-two pixel sizes and distance, the PONI on the centre of pixel (11, 9) of 24 x 20: the
# pixels right of it in row 11 lie exactly at chi = 0, those above it in column 9 exactly at -pi / 2.
ON_CENTRE = dict(pixel1=2.0**-13, pixel2=2.0**-12, distance=2.0**-9, poni1=11.5 * 2.0**-13, poni2=9.5 * 2.0**-12,
                 rot1=0.0, rot2=0.0, rot3=0.0, wavelength=1e-10)

@pytest.mark.parametrize("method", ["counting", "histogram"])
def test_pixels_at_the_upper_end_of_the_azimuthal_range_are_left_out_of_the_cake(integrator, method):
    geom, shape, n_rad, n_az, span = ON_CENTRE, (24, 20), 6, 3, (-np.pi / 2, 0.0)
    g, image = oracle.pixel_geometry(geom, shape), oracle.noisy_image(shape, nans=0)
    chi, radial = g["chi"], np.degrees(g["two_theta"])
    at_hi = chi == 0.0
    assert at_hi.sum() == 11 and (chi == -np.pi / 2).sum() == 11
    want = oracle.integrate2d(geom, image, n_rad, n_az, "2th_deg", method, None, span)
    # The oracle distrusts the end bins for the pixels exactly on the range's ends: both sides decide those alike.
    on_end = at_hi | (chi == -np.pi / 2)
    a_ok = oracle.bin_layout(chi[~on_end], n_az, span, azimuthal=True)[2]
    r_bins, _, r_ok = oracle.bin_layout(radial, n_rad)
    ok = (a_ok[:, None] & r_ok[None, :]).ravel()
    assert ok[(n_az - 1) * n_rad + r_bins[at_hi]].sum() >= 3  # cells the pixels at chi = 0 would change
    res = integrator(geom, method, unit="2th_deg").integrate2d(image, n_rad, n_az, True, span)
    for key in ("intensity", "errors"):
        np.testing.assert_allclose(np.array(getattr(res, key))[ok], want[key][ok], rtol=1e-9, atol=0, err_msg=key)

# Azimuthal ranges: inside the data, across the seam, whole turns from -1, pi / 2 and -5 pi / 2, a turn below.
CAKES = [(None, 8), (None, 1), ((0.3, 2.0), 8), ((2.5, 3.8), 5), ((-1.0, TURN - 1.0), 8), ((np.pi / 2, 2.5 * np.pi), 1),
         ((-2.5 * np.pi, -np.pi / 2), 8), ((-7.0, -6.0), 3)]

@pytest.mark.parametrize("pixel1", [None, 0.0], ids=["pixels", "zero-height"])  # zero height: quads of no area
@pytest.mark.parametrize("span, n_az", CAKES)
def test_pixel_split_cakes_equal_the_overlap_area_oracle(integrator, geoms, pixel1, span, n_az):
    geom = dict(geoms["close"], **({} if pixel1 is None else {"pixel1": pixel1}))
    image = oracle.noisy_image(SMALL, nans=0)
    want = oracle.pixel_split2d(geom, image, 6, n_az, "2th_deg", span)
    got = integrator(geom, "pixel_split", unit="2th_deg").integrate2d(image, 6, n_az, True, span)
    for key in ("intensity", "errors"):
        np.testing.assert_allclose(getattr(got, key), want[key], rtol=1e-9, atol=0, err_msg=key)

@pytest.mark.parametrize("name, span", GEOM_SPANS)
@pytest.mark.parametrize("n_ss", [1, 3])
def test_supersampled_cakes_of_the_correction_are_one(integrator, geoms, name, span, n_ss):
    flat = oracle.radial_and_correction(geoms[name], SHAPE, "2th_rad", 0.95)[1].reshape(SHAPE)
    ai = integrator(name, "supersampled", n_ss, polarization_factor=0.95)
    got = np.array(ai.integrate2d(flat, 20, 12, False, span).intensity)
    cells, _, _ = oracle.cell_layout(geoms[name], SHAPE, 20, 12, "2th_rad", span)
    assert (got != 0).sum() >= 0.9 * len(np.unique(cells[cells >= 0]))
    np.testing.assert_allclose(got[got != 0], 1.0, rtol=1e-13)

@pytest.mark.parametrize("name, span", [("around", None), ("aside", None), ("around", (2.5, 3.8)),
                                        ("aside", (1.2 - TURN, 1.9 - TURN))])
def test_a_sector_image_fills_only_the_supersampled_bins_of_that_sector(integrator, geoms, name, span):
    # Bins k0 to k1 of n_az hold [a, b); the range across the seam puts it across +-pi. Sub-samples of pixels on
    # its edges reach the neighbouring bins with small weights; in cells with several pixel centres away from
    # the beam centre, only the sector bins hold mostly sector pixels. (The other methods: the oracles.)
    geom, n_rad, unit = geoms[name], 20, "2th_deg"
    n_az, k0, k1 = (8, 2, 6) if span else (8, 3, 6) if name == "aside" else (16, 5, 10)
    chi, corr = (oracle.pixel_geometry(geom, SHAPE)[k].reshape(SHAPE) for k in ("chi", "correction"))
    lo, hi = span or (chi.min(), chi.max() + oracle.SPAN_MARGIN)
    a, b = lo + k0 * (hi - lo) / n_az, lo + k1 * (hi - lo) / n_az
    corners = oracle.pixel_quads(geom, SHAPE, unit)["quads"][..., 1]
    small = np.ptp(corners, axis=1).reshape(SHAPE) < 0.5 * (b - a) / (k1 - k0)  # not the pixels at the beam centre
    inside = (a + np.mod(chi - a, TURN) < b) & small
    assert 0.03 < inside.mean() < 0.7
    ai = integrator(geom, "supersampled", 3, unit=unit)
    got = np.array(ai.integrate2d(corr * inside, n_rad, n_az, False, span).intensity).reshape(n_az, -1)
    assert (got[np.r_[:k0 - 1, k1 + 1:n_az]] == 0).all()
    cells, _, _ = oracle.cell_layout(geom, SHAPE, n_rad, n_az, unit, span)
    core = np.zeros((n_az, n_rad), dtype=bool)
    core[k0:k1] = True
    counts = np.bincount(cells[cells >= 0], minlength=core.size).reshape(core.shape)
    judged = (counts >= 4) & (np.arange(n_rad) >= n_rad // 4)
    assert judged[core].sum() >= 10 and judged[~core].sum() >= 10
    np.testing.assert_array_equal((got > 0.5)[judged], core[judged])

@pytest.mark.parametrize("name, span", [("around", (0.2, 1.0)), ("around", (2.5, 3.8)), ("aside", (0.9, 1.3))])
@pytest.mark.parametrize("method, n_ss", METHODS, ids=METHOD_IDS)
def test_pixels_outside_the_azimuthal_range_do_not_contribute(integrator, geoms, name, span, method, n_ss):
    geom, (lo, hi) = geoms[name], span
    corners = oracle.pixel_quads(geom, SHAPE, "2th_rad")["quads"][..., 1]
    cmin, cmax, turns = corners.min(axis=1), corners.max(axis=1), TURN * np.arange(-2, 3)[:, None]
    reaches = ((cmax + turns >= lo - 1e-9) & (cmin + turns <= hi + 1e-9)).any(axis=0)
    outside = (~reaches & (cmax - cmin < 1.0)).reshape(SHAPE)  # not the pixels around the beam centre
    assert 0.5 < outside.mean() < 0.95
    image, ai = oracle.noisy_image(SHAPE, nans=0), integrator(geom, method, n_ss, unit="q_nm^-1")
    for errors in (False, True):
        want = ai.integrate2d(image, 20, 8, errors, span)
        oracle.assert_same(ai.integrate2d(oracle.with_junk(image, outside), 20, 8, errors, span), want)
        assert (np.array(want.intensity) != 0).mean() > 0.3

def test_a_tiny_azimuthal_width_does_not_stall_pixel_splitting(run_isolated, geoms):
    # Pixels crossing the ray at 0.3 rad span 1e7 bin widths: only the cells that exist are visited.
    intensity = np.array(run_isolated(f"""
        import json, numpy as np, karvelum
        ai = karvelum.Integrator.from_poni_dict({geoms["around"]!r}, method="pixel_split")
        print(json.dumps(ai.integrate2d(np.ones({SHAPE!r}), 20, 4, False, (0.3, 0.3 + 1e-9)).intensity))
    """))
    filled = intensity[intensity != 0]
    assert len(filled) >= 10 and ((filled >= 1.0) & (filled < 1.01)).all()

def test_patterns_cakes_and_files_read_in_place_do_not_depend_on_the_thread_count(run_isolated, geoms):
    code = f"""
        import hashlib, json, os, tempfile, numpy as np, tifffile, karvelum
        geom = {geoms["around"]!r}
        image, res, keys = np.random.default_rng(3).normal(5.0, 4.0, (240, 300)), [], {oracle.OUTPUTS!r}
        image[7, 11] = np.nan
        # The same image as a float32 file, read in place by the table kernels.
        path = os.path.join(tempfile.mkdtemp(), "image.tif")
        tifffile.imwrite(path, image[::-1].astype(np.float32))
        mask = np.random.default_rng(4).random(image.shape) < 0.1  # in every chunk of pixels
        for (method, n_ss), span in [(m, s) for m in {METHODS!r} for s in (None, (0.02, 0.08))]:
            ai = karvelum.Integrator.from_poni_dict(geom, method=method, n_ss=n_ss, polarization_factor=0.9,
                                                    radial_range=span)
            ai.set_mask(mask if span else None)
            res += [ai.integrate1d(image, 500, True, azimuthal_std=spread) for spread in (False, True)]
            res.append(ai.integrate1d(path, 500, True))
            res.append(ai.integrate2d(image, 100, 36, True, (2.5, 3.8) if span else None))
        res.append(ai.integrate2d(image, 300, 240, True))  # more cells than fit one block of the histogram
        res.append(karvelum.Integrator.from_poni_dict(geom, method="histogram").integrate2d(image, 300, 240, True))
        digest = lambda v: v is not None and hashlib.sha256(np.array(v).tobytes()).hexdigest()
        print(json.dumps([karvelum.rayon_num_threads()] + [digest(getattr(r, k)) for r in res for k in keys]))
    """
    one, three, eight = (run_isolated(code, RAYON_NUM_THREADS=str(n)) for n in (1, 3, 8))
    assert (one[0], three[0], eight[0]) == (1, 3, 8) and len(one) == 1 + (4 * 2 * 4 + 2) * 4
    assert sum(map(bool, one)) == 1 + 4 * 2 * 12 + 2 * 2
    assert one[1:] == three[1:] == eight[1:]

def test_cached_tables_files_views_and_numpy_bools_give_the_results_of_fresh_integrators(integrator, tmp_path):
    # Settings changed, shapes alternated, 1D and 2D calls interleaved, a -0.0 start; cakes ignore the
    # radial range; a read-only image is accepted and none is written to.
    images = [oracle.noisy_image(SHAPE), oracle.noisy_image((61, 173), seed=1)]
    images[1].flags.writeable = False
    base = np.random.default_rng(5).normal(5.0, 1.0, (9, 9))
    views = [base[2:3, :], base[2:3, :].T, base[:, 4:5].copy().T]  # row of wide, transposed row and column
    sources, arrays = images + [str(tmp_path / "im.tif")] + views, images + images[:1] + [v.copy() for v in views]
    tifffile.imwrite(sources[2], images[0][::-1])  # a file's last row is the detector's first
    copies, ai = [im.copy() for im in images], integrator("around")
    calls = [(0, 64, 12, None), (3, 64, 12, None), (0, 100, 7, None), (1, 64, 12, (0.0, 1.57)),  # (source,
             (0, 64, 12, (0.0, 1.57)), (2, 64, 12, None), (4, 100, 12, None), (0, 64, 12, (0.0, 1.6)),  # n, n_az,
             (1, 100, 12, None), (0, 64, 12, (-0.0, 1.57)), (5, 64, 7, None), (2, 64, 12, (-0.0, 1.57))]  # span)
    for method, n_ss in METHODS + [("supersampled", 2)]:
        ai.set_method(method, n_ss=n_ss)
        for unit in ("q_nm^-1", "2th_rad"):
            ai.set_unit(unit)
            at_zero = []
            for k, (i, n, n_az, span) in enumerate(calls):
                errors, spread = k % 2 == 0, k % 3 == 0
                fresh = [integrator("around", method, n_ss, unit=unit, radial_range=r) for r in (None, (0.02, 0.08))]
                oracle.assert_same(ai.integrate1d(sources[i], n, np.bool_(errors), azimuthal_std=np.bool_(spread)),
                                   fresh[0].integrate1d(arrays[i], n, errors, azimuthal_std=spread))
                got = ai.integrate2d(sources[i], 20, n_az, np.bool_(True), span)
                oracle.assert_same(got, fresh[1].integrate2d(arrays[i], 20, n_az, True, span))
                at_zero += [got] if i in (0, 2) and span and span[1] == 1.57 else []
            for got in at_zero:
                oracle.assert_same(got, at_zero[0])
    assert all(np.array_equal(im, copy, equal_nan=True) for im, copy in zip(images, copies))

ONES, IMAGE, ENUM = np.ones((4, 5)), oracle.noisy_image(SHAPE), "failed to extract enum ImageInput..."
NOT_ROW_MAJOR, STEP = "Array must be C-contiguous (row-major) and float64", "azimuthal_step must be positive"
BAD_ARGUMENTS = {  # id: call, arguments, keywords, exception, its message ("..." ends a start; None: unchecked)
    "zero-points": ("1d", (ONES, 0, True), {}, ValueError, "n_points must be positive"),
    "no-rows": ("1d", (np.ones((0, 5)), 10, True), {}, ValueError, "Image must not be empty"),
    "no-columns": ("1d", (np.ones((5, 0)), 10, True), {}, ValueError, "Image must not be empty"),
    "transposed": ("1d", (np.ones((5, 4)).T, 10, True), {}, ValueError, NOT_ROW_MAJOR),
    "strided-columns": ("1d", (np.ones((5, 8))[:, ::2], 10, True), {}, ValueError, NOT_ROW_MAJOR),
    "column-of-wide": ("1d", (np.ones((5, 8))[:, 3:4], 10, True), {}, ValueError, NOT_ROW_MAJOR),
    **{name: ("1d", (image, 10), {}, TypeError, ENUM) for name, image in [
        ("float32", ONES.astype(np.float32)), ("int64", ONES.astype(np.int64)), ("3d", np.ones((1, 4, 5))),
        ("list", [[1.0, 2.0], [3.0, 4.0]])]},
    "int-errors": ("1d", (ONES, 10, 1), {}, TypeError, None),
    "int-spread": ("1d", (ONES, 10), {"azimuthal_std": 1}, TypeError, None),
    "spread-positional": ("1d", (ONES, 10, False, True), {}, TypeError, None),
    "negative-points": ("1d", (ONES, -1), {}, OverflowError, None),
    **{f"zero-{what}{'-range' * bool(kw)}": ("2d", (IMAGE, *n), kw, ValueError, f"n_{what} must be positive")
       for what, n in [("radial", (0, 12)), ("azimuthal", (20, 0))] for kw in ({}, {"azimuthal_range": (0.0, 1.0)})},
    "short-range": ("2d", (IMAGE, 20, 12), {"azimuthal_range": (0.0,)}, ValueError,
                    "expected tuple of length 2, but got tuple of length 1"),
    "list-range": ("2d", (IMAGE, 20, 12), {"azimuthal_range": [0.0, 1.0]}, TypeError, None),
    **{name: ("2d", (IMAGE, 20, 12), {"azimuthal_range": span}, ValueError, STEP) for name, span in [
        ("empty-range", (1.0, 1.0)), ("reversed-range", (1.0, 0.5))]},
    **{name: ("2d", (IMAGE, 20, 12), {"azimuthal_range": span}, ValueError,
              "azimuthal_range must be finite with a finite width") for name, span in [
        ("nan-end", (0.0, np.nan)), ("nan-start", (np.nan, 1.0)), ("infinite-end", (0.0, np.inf)),
        ("infinite-start", (-np.inf, 0.0)), ("overflowing-width", (-1e308, 1e308))]},
    "negative-count": ("2d", (IMAGE, -1, 12), {}, OverflowError, None),
    # Arrays this large could be mapped but never filled: refused up front.
    "huge-points": ("1d", (ONES, 2**40), {}, MemoryError, None),
    "huge-cake": ("2d", (IMAGE, 2**20, 2**20), {}, MemoryError, None),
    "zero-radial-before-file": ("2d", ("/nonexistent/cake.tif", 0, 12), {}, ValueError, "n_radial must be positive"),
    "nul-in-path": ("1d", ("image.tif\0.npy", 10), {}, ValueError, "Failed to load TIFF: embedded null byte"),
    "int-errors-2d": ("2d", (IMAGE, 20, 12, 1), {}, TypeError, None),
}

@pytest.mark.parametrize("call, args, kwargs, exc_type, message", BAD_ARGUMENTS.values(), ids=BAD_ARGUMENTS.keys())
@pytest.mark.parametrize("method, n_ss", METHODS, ids=METHOD_IDS)
def test_bad_arguments_are_refused_with_their_message_and_leave_the_integrator_working(
        integrator, method, n_ss, call, args, kwargs, exc_type, message):
    want = [integrator("around", method, n_ss).integrate1d(IMAGE, 10, True),
            integrator("around", method, n_ss).integrate2d(IMAGE, 20, 12, True, (0.0, 1.0))]
    ai = integrator("around", method, n_ss)
    for spread in (False, True):  # of integrate1d
        with pytest.raises(exc_type) as exc:
            getattr(ai, "integrate" + call)(*args, **{**({"azimuthal_std": spread} if call == "1d" else {}), **kwargs})
        text = str(exc.value)
        assert message is None or (text.startswith(message[:-3]) if message.endswith("...") else text == message)
    oracle.assert_same(ai.integrate1d(IMAGE, 10, True), want[0])
    oracle.assert_same(ai.integrate2d(IMAGE, 20, 12, True, (0.0, 1.0)), want[1])


@pytest.mark.parametrize("call", ["1d", "2d"])
@pytest.mark.parametrize("n_ss", [10**5, 10**6])
def test_a_supersampling_whose_table_cannot_be_built_is_refused_at_once(run_isolated, geoms, call, n_ss):
    # Each build worker holds one pixel's n_ss^2 sub-sample bins, 4 * 10^10 bytes and more: the call must end in
    # MemoryError before the memory estimate evaluates a single pixel's sub-samples (which took minutes and
    # 16 GiB). The child's run is bounded by run_isolated; what it takes is its high-water mark.
    outcome, rise = run_isolated(f"""
        import json, numpy as np, karvelum
        def high_water():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmHWM:"))
        ai = karvelum.Integrator.from_poni_dict({geoms["tilted"]!r}, method="supersampled", n_ss={n_ss})
        image = np.ones((40, 56))
        karvelum.Integrator.from_poni_dict({geoms["tilted"]!r}).integrate1d(image, 10)  # the pool starts
        before = high_water()
        try:
            ai.integrate1d(image, 100) if {call!r} == "1d" else ai.integrate2d(image, 100, 36)
            outcome = "result"
        except MemoryError:
            outcome = "MemoryError"
        print(json.dumps([outcome, high_water() - before]))
    """)
    assert outcome == "MemoryError" and rise < 64 << 20, (outcome, rise)
