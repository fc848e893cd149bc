"""Independent numpy computations of detector geometry and integration, written from the physics
with rotation matrices, not from the engine's per-pixel expressions; helpers of the integration and
calibration tests."""
import numpy as np

GEOMETRY_KEYS = ("pixel1", "pixel2", "distance", "poni1", "poni2", "rot1", "rot2", "rot3", "wavelength")

def _rotation(axis, a):
    """Rotation by `a` about the coordinate axis `axis` (0, 1 or 2)."""
    c, s, (i, j) = np.cos(a), np.sin(a), ((axis + 1) % 3, (axis + 2) % 3)
    m = np.eye(3)
    m[i, i], m[i, j], m[j, i], m[j, j] = c, -s, s, c
    return m

def lab_coordinates(geom, d1, d2):
    """Laboratory coordinates (beam along the third axis) of points given in pixel units (d1 along rows)."""
    p1 = np.asarray(d1, dtype=float) * geom["pixel1"] - geom["poni1"]
    p2 = np.asarray(d2, dtype=float) * geom["pixel2"] - geom["poni2"]
    local = np.stack([p1, p2, np.full_like(p1, geom["distance"])]).reshape(3, -1)
    rotation = _rotation(2, geom["rot3"]) @ _rotation(1, -geom["rot2"]) @ _rotation(0, -geom["rot1"])
    return rotation @ local, p1.ravel(), p2.ravel()

def pixel_geometry(geom, shape, polarization=None):
    """Per-pixel 2-theta, chi, solid angle and polarization, flat row-major."""
    t, p1, p2 = lab_coordinates(geom, *np.meshgrid(np.arange(shape[0]) + 0.5, np.arange(shape[1]) + 0.5, indexing="ij"))
    two_theta, chi = np.arctan2(np.hypot(t[0], t[1]), t[2]), np.arctan2(t[0], t[1])
    L = geom["distance"]
    solid_angle = (L / np.sqrt(L * L + p1 * p1 + p2 * p2)) ** 3
    pol = np.ones_like(two_theta) if polarization is None else \
        0.5 * (1 + np.cos(two_theta) ** 2 - polarization * np.cos(2 * chi) * np.sin(two_theta) ** 2)
    return {"two_theta": two_theta, "chi": chi, "solid_angle": solid_angle, "polarization": pol,
            "correction": pol * solid_angle}

def to_unit(two_theta, unit, wavelength):
    two_theta = np.array(two_theta, dtype=float)
    if unit.startswith("2th_"):
        return two_theta if unit == "2th_rad" else np.degrees(two_theta)
    return 4 * np.pi * np.sin(two_theta / 2) / (wavelength * {"q_A^-1": 1e10, "q_nm^-1": 1e9}[unit])

# --- 1D integration -------------------------------------------------------

SPAN_MARGIN = 2.220446049250313e-15  # added to the upper end of a bin span
TURN = 2 * np.pi

def radial_and_correction(geom, shape, unit, polarization=None):
    g = pixel_geometry(geom, shape, polarization)
    return to_unit(g["two_theta"], unit, geom["wavelength"]), g["correction"]

def bin_layout(r, n, radial_range=None, azimuthal=False):
    """Bin of every radial value (-1 when left out), bin centres, and the bins one can trust: those with
    no value within 1e-9 (relative) of an edge that decides between two bins or between in and out.
    azimuthal=True with a range (min, max) bins azimuths: each is first taken into [min, min + 2 pi) by
    whole turns, the width is (max - min) / n with no margin, and a value at or beyond max is left out."""
    lo, hi = (np.min(r), np.max(r)) if radial_range is None else (float(radial_range[0]), float(radial_range[1]))
    wrapped = azimuthal and radial_range is not None
    if wrapped:
        r = lo + np.mod(r - lo, TURN)
    step = (hi - lo if wrapped else hi + SPAN_MARGIN - lo) / n
    t = (r - lo) / step
    bins = np.minimum(n - 1, np.floor(np.maximum(t, 0.0))).astype(np.int64)
    k = np.rint(t).astype(np.int64)
    if radial_range is None:
        deciding = (k >= 1) & (k <= n - 1)
    else:
        bins[(r < lo) | (r >= hi)] = -1
        deciding = (k >= 0) & (k <= n)
    scale = 1e-9 * np.maximum(np.abs(r), step)
    near = deciding & (np.abs(r - (lo + k * step)) <= scale)
    trusted = np.ones(n, dtype=bool)
    for edge in np.unique(k[near]):
        trusted[max(edge - 1, 0):min(edge + 1, n)] = False
    if wrapped and np.any(np.abs(r - TURN - lo) <= scale):  # just below min: first or last bin, or out
        trusted[[0, -1]] = False
    return bins, lo + step * (np.arange(n) + 0.5), trusted

def variance(x):
    """Poisson variance of the samples: negatives count as 0, NaN as 0."""
    return np.where(np.isnan(x), 0.0, np.maximum(x, 0.0))

def _sum(bins, n, values):
    keep = bins >= 0
    return np.bincount(bins[keep], weights=values[keep], minlength=n)

def ratio(num, den):
    return np.divide(num, den, out=np.zeros_like(num), where=den != 0)

def counting(x, c, bins, n):
    """Intensity sum(x)/sum(c) and sigma sqrt(sum(var))/|sum(c)| per bin."""
    s, norm = _sum(bins, n, x), _sum(bins, n, c)
    return ratio(s, norm), ratio(np.sqrt(_sum(bins, n, variance(x))), np.abs(norm))

def histogram(x, c, bins, n):
    """Plain mean of x/c (0 where c <= 0) per bin, error sqrt(sum(var/c^2))/count."""
    pos = c > 0
    y = np.divide(x, c, out=np.zeros_like(x), where=pos)
    v = np.divide(variance(x), c * c, out=np.zeros_like(x), where=pos)
    count = _sum(bins, n, np.ones_like(x))
    return ratio(_sum(bins, n, y), count), ratio(np.sqrt(_sum(bins, n, v)), count)

def azimuthal_stats(s, w, bins, n, var):
    """Per bin over valid pixels (finite s, finite w > 0): mean sum(s)/sum(w), the w-weighted population
    spread of s/w (NaN without valid pixel) and the error sqrt(sum(var))/sum(w)."""
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        v = s / w
        valid = np.isfinite(s) & np.isfinite(w) & (w > 0) & np.isfinite(v)
    b = np.where(valid, bins, -1)
    sw = _sum(b, n, w)
    m = ratio(_sum(b, n, np.where(valid, w * v, 0.0)), sw)
    spread = _sum(b, n, np.where(valid, w * (v - m[np.maximum(b, 0)]) ** 2, 0.0))
    std = np.full(n, np.nan)
    np.sqrt(np.divide(spread, sw, out=np.zeros(n), where=sw > 0), out=std, where=sw > 0)
    return ratio(_sum(b, n, np.where(valid, s, 0.0)), sw), std, ratio(np.sqrt(_sum(b, n, var)), sw)

def integrate1d(geom, image, n, unit, method, polarization=None, radial_range=None):
    """Counting or histogram pattern of `image` as a dict with radial, intensity,
    errors, the azimuthal statistics (mean, std, std_errors) and trusted bins."""
    x, hist = np.asarray(image, dtype=float).ravel(), method == "histogram"
    r, c = radial_and_correction(geom, image.shape, unit, polarization)
    bins, centres, trusted = bin_layout(r, n, None if hist else radial_range)  # the histogram has no range
    intensity, errors = (histogram if hist else counting)(x, c, bins, n)
    s, w, var = x, c, variance(x)
    if hist:  # samples x/c of weight 1
        s = np.divide(x, c, out=np.full_like(x, np.nan), where=c > 0)
        w, var = np.ones_like(x), np.divide(var, c * c, out=np.zeros_like(x), where=c > 0)
    mean, std, std_errors = azimuthal_stats(s, w, bins, n, var)
    return dict(radial=centres, intensity=intensity, errors=errors, mean=mean, std=std, std_errors=std_errors,
                trusted=trusted)

# --- 2D integration -------------------------------------------------------

def cell_layout(geom, shape, n_radial, n_azimuthal, unit, azimuthal_range=None, polarization=None):
    """Flat cell (azimuthal bin * n_radial + radial bin, -1 when left out) of every
    pixel by its centre, the pixel corrections and the trusted cells (flat)."""
    g = pixel_geometry(geom, shape, polarization)
    rb, _, r_ok = bin_layout(to_unit(g["two_theta"], unit, geom["wavelength"]), n_radial)
    ab, _, a_ok = bin_layout(g["chi"], n_azimuthal, azimuthal_range, azimuthal=True)
    cells = np.where(ab >= 0, ab * n_radial + rb, -1)
    return cells, g["correction"], (a_ok[:, None] & r_ok[None, :]).ravel()

def integrate2d(geom, image, n_radial, n_azimuthal, unit, method, polarization=None, azimuthal_range=None):
    """Counting or histogram cake of `image`: flat intensity, errors and trusted cells."""
    x = np.asarray(image, dtype=float).ravel()
    cells, c, trusted = cell_layout(geom, image.shape, n_radial, n_azimuthal, unit, azimuthal_range, polarization)
    per_cell = histogram if method == "histogram" else counting
    intensity, errors = per_cell(x, c, cells, n_radial * n_azimuthal)
    return dict(intensity=intensity, errors=errors, trusted=trusted)

# --- pixel splitting --------------------------------------------------------

def pixel_quads(geom, shape, unit):
    """Every pixel's corners (row, col), (row, col + 1), (row + 1, col + 1), (row + 1, col) as (radial, chi) with
    chi taken within half a turn of the pixel centre's (quads, shape (pixels, 4, 2)), the pixel centres' radial
    values, chi and corrections, and the smallest and largest corner chi as atan2 gives them."""
    d1, d2 = np.meshgrid(np.arange(shape[0] + 1.0), np.arange(shape[1] + 1.0), indexing="ij")
    t = lab_coordinates(geom, d1, d2)[0]
    grid = [to_unit(np.arctan2(np.hypot(t[0], t[1]), t[2]), unit, geom["wavelength"]).reshape(d1.shape),
            np.arctan2(t[0], t[1]).reshape(d1.shape)]
    quads = np.stack([np.stack([g[:-1, :-1], g[:-1, 1:], g[1:, 1:], g[1:, :-1]], -1).reshape(-1, 4) for g in grid], -1)
    g = pixel_geometry(geom, shape)
    d = quads[..., 1] - g["chi"][:, None]
    quads[..., 1] -= TURN * ((d > np.pi).astype(float) - (d < -np.pi))
    return dict(quads=quads, radial=to_unit(g["two_theta"], unit, geom["wavelength"]), chi=g["chi"],
                correction=g["correction"], chi_span=(grid[1].min(), grid[1].max()))

def _clip(poly, axis, edge, side):
    """Sutherland-Hodgman: the part of `poly` (list of (radial, chi)) with side * (v[axis] - edge) >= 0."""
    out = []
    for prev, cur in zip(poly[-1:] + poly[:-1], poly):
        a, b = side * (prev[axis] - edge), side * (cur[axis] - edge)
        if (a >= 0) != (b >= 0):
            f = a / (a - b)
            out.append((prev[0] + f * (cur[0] - prev[0]), prev[1] + f * (cur[1] - prev[1])))
        if b >= 0:
            out.append(cur)
    return out

def overlap(poly, r0, r1, c0=-np.inf, c1=np.inf):
    """Area of the polygon `poly` inside [r0, r1] x [c0, c1]."""
    for axis, edge, side in ((0, r0, 1), (0, r1, -1), (1, c0, 1), (1, c1, -1)):
        if np.isfinite(edge) and len(poly) >= 3:
            poly = _clip(poly, axis, edge, side)
    x, y = np.array(poly).T if len(poly) >= 3 else np.zeros((2, 1))
    return abs(0.5 * np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y))

def _no_area(q):
    """Quadrilaterals whose shoelace sum is exactly zero."""
    return 0.5 * sum(q[:, k, 0] * q[:, k - 3, 1] - q[:, k - 3, 0] * q[:, k, 1] for k in range(4)) == 0.0

def _reached(lo, hi, origin, width, n):
    """The bins of width `width` from `origin` (0 .. n - 1) that [lo, hi] reaches."""
    return range(max(int(np.floor((lo - origin) / width)), 0), min(int(np.floor((hi - origin) / width)), n - 1) + 1)

def _weighted(w, image, c):
    """sum(w x) / sum(w c) per bin and the error sqrt(sum(w^2 var)) / |sum(w c)| (rows of w: bins)."""
    x = np.asarray(image, dtype=float).ravel()
    norm = w @ c
    return dict(intensity=ratio(w @ x, norm), errors=ratio(np.sqrt((w * w) @ variance(x)), np.abs(norm)))

def pixel_split1d(geom, image, n, unit, radial_range=None):
    """Each pixel weighted into bin b by the area of its quadrilateral inside the strip of b; a pixel of no area
    goes whole into the bin of its centre, if any (image without NaN)."""
    g = pixel_quads(geom, image.shape, unit)
    lo, hi = radial_range or (g["quads"][..., 0].min(), g["quads"][..., 0].max())
    step = (hi + SPAN_MARGIN - lo) / n
    w, flat = np.zeros((n, len(g["quads"]))), _no_area(g["quads"])
    for p, q in enumerate(g["quads"]):
        ends = [g["radial"][p]] * 2 if flat[p] else [q[:, 0].min(), q[:, 0].max()]
        for b in _reached(*ends, lo, step, n):
            w[b, p] = 1.0 if flat[p] else overlap(list(map(tuple, q)), lo + b * step, lo + (b + 1) * step)
    return _weighted(w, image, g["correction"])

def pixel_split2d(geom, image, n_radial, n_azimuthal, unit, azimuthal_range=None):
    """Each pixel weighted into a cell by the area of its quadrilateral inside it, counting every copy of the
    quadrilateral shifted by whole periods of the azimuthal bins (without a range: the n bins spanning the corner
    azimuths wrap around; with a range (min, max): whole turns, and only [min, min(max, min + 2 pi)) is binned).
    A pixel of no area goes whole into the cell of its centre, if any (image without NaN)."""
    g = pixel_quads(geom, image.shape, unit)
    quads, r, chi = g["quads"], g["radial"], g["chi"]
    r0, dr = quads[..., 0].min(), (quads[..., 0].max() + SPAN_MARGIN - quads[..., 0].min()) / n_radial
    if azimuthal_range is None:
        c0, dc = g["chi_span"][0], (g["chi_span"][1] + SPAN_MARGIN - g["chi_span"][0]) / n_azimuthal
        period = n_azimuthal * dc
        end = c0 + period
    else:
        c0, dc, period = azimuthal_range[0], (azimuthal_range[1] - azimuthal_range[0]) / n_azimuthal, TURN
        end = min(azimuthal_range[1], c0 + TURN)
    w, flat = np.zeros((n_radial * n_azimuthal, len(quads))), _no_area(quads)
    for p, q in enumerate(quads):
        if flat[p]:
            a = c0 + np.mod(chi[p] - c0, period)  # radial values beyond either end are clamped
            if a < end:
                i = min(max(int((r[p] - r0) // dr), 0), n_radial - 1)
                w[i + n_radial * min(int((a - c0) // dc), n_azimuthal - 1), p] = 1.0
            continue
        for m in range(int(np.floor((c0 - q[:, 1].max()) / period)), int(np.ceil((end - q[:, 1].min()) / period)) + 1):
            y = q[:, 1] + m * period
            for k in _reached(y.min(), y.max(), c0, dc, n_azimuthal):
                for i in _reached(q[:, 0].min(), q[:, 0].max(), r0, dr, n_radial):
                    w[i + n_radial * k, p] += overlap(list(zip(q[:, 0], y)), r0 + i * dr, r0 + (i + 1) * dr,
                                                      c0 + k * dc, min(c0 + (k + 1) * dc, end))
    return _weighted(w, image, g["correction"])

def subsamples(geom, shape, n_ss, unit):
    """Radial values of the n_ss x n_ss sub-sample points of every pixel, at (i + 0.5) / n_ss of its height and
    width, each with the flat index of its pixel."""
    offsets = (np.arange(n_ss) + 0.5) / n_ss
    d1 = (np.arange(shape[0])[:, None] + offsets).ravel()
    d2 = (np.arange(shape[1])[:, None] + offsets).ravel()
    t = lab_coordinates(geom, *np.meshgrid(d1, d2, indexing="ij"))[0]
    pixel = np.arange(shape[0]).repeat(n_ss)[:, None] * shape[1] + np.arange(shape[1]).repeat(n_ss)
    return to_unit(np.arctan2(np.hypot(t[0], t[1]), t[2]), unit, geom["wavelength"]), pixel.ravel()

# --- helpers of the integration tests --------------------------------------

OUTPUTS = ("radial", "intensity", "errors", "azimuthal_std")
FORMS = [(False, False), (True, False), (False, True), (True, True)]  # (errors, azimuthal_std) of integrate1d

def noisy_image(shape, seed=0, nans=4):
    """Values around 5 with many negative samples and a few NaN pixels."""
    rng = np.random.default_rng(seed)
    image = rng.normal(5.0, 4.0, shape)
    image.flat[rng.choice(image.size, nans, replace=False)] = np.nan
    return image

def with_junk(image, outside):
    """A copy of `image` with 1e30 on the `outside` pixels, NaN on those in even columns."""
    junk = image.copy()
    junk[outside] = 1e30
    junk[outside & (np.arange(image.shape[1]) % 2 == 0)] = np.nan
    return junk

def outputs(result, keys=OUTPUTS):
    """The vectors (or other `keys`) of an integration result as arrays, None where absent."""
    return {k: None if getattr(result, k) is None else np.array(getattr(result, k)) for k in keys}

def forms(ai, image, n):
    """The 1D results of `image` in every form of FORMS."""
    return [ai.integrate1d(image, n, errors, azimuthal_std=spread) for errors, spread in FORMS]

def assert_same(a, b, keys=OUTPUTS):
    """Integration results, or lists of them, with the same vectors (or other `keys`) bit for bit."""
    a, b = ([outputs(r, keys) for r in (x if isinstance(x, list) else [x])] for x in (a, b))
    assert len(a) == len(b)
    for x, y in zip(a, b):
        for key in keys:
            assert (x[key] is None) == (y[key] is None), key
            assert x[key] is None or x[key].tobytes() == y[key].tobytes(), key

# --- calibration ------------------------------------------------------------

def ring_two_theta(d_spacings, wavelength):
    """2-theta of each ring, NaN where the ring cannot be reached."""
    x = wavelength * 1e10 / (2 * np.asarray(d_spacings, dtype=float))
    with np.errstate(invalid="ignore"):
        return np.where(np.abs(x) <= 1, 2 * np.arcsin(x), np.nan)

def point_two_theta(geom, d1, d2):
    """2-theta of points in pixel coordinates where an integer is a pixel centre."""
    t, _, _ = lab_coordinates(geom, np.asarray(d1, dtype=float) + 0.5, np.asarray(d2, dtype=float) + 0.5)
    return np.arctan2(np.hypot(t[0], t[1]), t[2])

def ring_points(geom, two_theta, chi):
    """Pixel coordinates (d1, d2) where the cone of angle two_theta meets the detector at azimuth chi: the
    beam direction turned back into the detector frame and scaled onto its plane."""
    two_theta, chi = np.broadcast_arrays(np.asarray(two_theta, dtype=float), np.asarray(chi, dtype=float))
    u = np.stack([np.sin(two_theta) * np.sin(chi), np.sin(two_theta) * np.cos(chi), np.cos(two_theta)])
    rotation = _rotation(2, geom["rot3"]) @ _rotation(1, -geom["rot2"]) @ _rotation(0, -geom["rot1"])
    a, b, c = rotation.T @ u.reshape(3, -1)
    p1, p2 = geom["distance"] * a / c, geom["distance"] * b / c
    return (p1 + geom["poni1"]) / geom["pixel1"] - 0.5, (p2 + geom["poni2"]) / geom["pixel2"] - 0.5
