"""Calibrant d-spacings and synthetic calibrant images of known geometries, rendered with numpy from the geometry
model of oracle.py; helpers of the ring-finding and automatic-calibration tests."""
import math

import numpy as np

import oracle

# d-spacings in angstrom, largest first.
LAB6 = [4.15690, 2.93937, 2.40001, 2.07845, 1.85902, 1.69705, 1.46969, 1.38564]
CEO2 = [3.12412, 2.70556, 1.91313, 1.63153, 1.56206, 1.35278, 1.24145, 1.20996]
SI = [3.13560, 1.92013, 1.63747, 1.35780, 1.24600, 1.10860, 1.04520, 0.96010]
LAMELLAR = [58.38 / n for n in range(1, 31)]  # orders of a 58.38 angstrom layer spacing: few rings, evenly spaced


def beam_geometry(beam, distance, tilt_deg=0.0, direction_deg=0.0, pixel=1e-4, wavelength=1e-10, rot3=0.0):
    """The geometry whose direct beam meets the detector at pixel `beam` (d1, d2) when the detector is tilted by
    `tilt_deg` towards `direction_deg` (rot1 = tilt cos(direction), rot2 = tilt sin(direction)); a strong tilt puts
    the PONI far from the beam, often off the detector."""
    tilt, direction = math.radians(tilt_deg), math.radians(direction_deg)
    geom = dict(pixel1=pixel, pixel2=pixel, distance=distance, poni1=0.0, poni2=0.0, rot1=tilt * math.cos(direction),
                rot2=tilt * math.sin(direction), rot3=rot3, wavelength=wavelength)
    b1, b2 = oracle.ring_points(geom, 0.0, 0.0)
    geom.update(poni1=float(beam[0] - b1[0]) * pixel, poni2=float(beam[1] - b2[0]) * pixel)
    return geom


def detector_geometry(side, pixel, distance, tilt_deg, direction_deg, poni, ring0, d_spacings):
    """A square detector of `side` pixels whose PONI lies at `poni` (d1, d2 as fractions of the side; None: the beam
    meets the middle), tilted by `tilt_deg` towards `direction_deg` (as beam_geometry), at the wavelength that puts
    the innermost ring `ring0` sides from the PONI, or a little beyond the detector's smallest 2-theta when the
    beam is far off it."""
    geom = beam_geometry((side / 2, side / 2), distance, tilt_deg, direction_deg, pixel)
    if poni is not None:
        geom.update(poni1=poni[0] * side * pixel, poni2=poni[1] * side * pixel)
    grid = np.linspace(0, side, 17)
    seen = oracle.point_two_theta(geom, *np.meshgrid(grid, grid, indexing="ij"))
    two_theta = max(math.atan(ring0 * side * pixel / distance), seen.min() + 0.05 * (seen.max() - seen.min()))
    geom["wavelength"] = 2 * d_spacings[0] * 1e-10 * math.sin(0.5 * two_theta)
    return geom


def detector_image(geom, d_spacings, shape, seed=0, height=None, background=None):
    """Poisson counts of rings 1.5 px wide (calibrant_image) of a random height (or `height`) on a random background
    (or `background`), with module gaps (a band of rows, one of columns, a second band of rows from 2048 rows) and,
    where the beam meets the detector, a beam stop with its arm."""
    rng, n = np.random.default_rng(seed), shape[0]
    gaps = [slice(n // 2 - 4, n // 2 + 4), (slice(None), slice(int(0.3 * n), int(0.3 * n) + 6))]
    if n >= 2048:
        gaps.append(slice(n // 4, n // 4 + 8))
    b1, b2 = (float(v[0]) for v in oracle.ring_points(geom, 0.0, 0.0))
    if 0 <= b1 < shape[0] and 0 <= b2 < shape[1]:
        rows, cols = np.ogrid[:shape[0], :shape[1]]
        radius = 0.03 * n
        stop = (rows - b1) ** 2 + (cols - b2) ** 2 < radius ** 2
        gaps.append(stop | ((np.abs(cols - b2) < radius / 3) & (rows > b1)))  # the stop and its arm
    width = 1.5 * geom["pixel1"] / geom["distance"]
    drawn = rng.uniform(50.0, 200.0), rng.uniform(5.0, 20.0)
    expected = calibrant_image(geom, d_spacings, shape, width, height=height or drawn[0],
                               background=background or drawn[1], noise=0.0, gaps=gaps)
    return rng.poisson(expected).astype(np.float64)


def calibrant_image(geom, d_spacings, shape, width, height=100.0, background=10.0, noise=1.0, seed=0, gaps=()):
    """Gaussian rings of 2-theta standard deviation `width` (radians) at the calibrant's ring angles below 90
    degrees on `background` (a number or an array broadcast to `shape`) with Gaussian noise of standard deviation
    `noise`; the pixels of each index in `gaps` (module gaps) read 0."""
    two_theta = oracle.pixel_geometry(geom, shape)["two_theta"].reshape(shape)
    image = background + np.random.default_rng(seed).normal(0.0, noise, shape)
    for ring in oracle.ring_two_theta(d_spacings, geom["wavelength"]):
        if ring < np.pi / 2:
            image = image + height * np.exp(-0.5 * ((two_theta - ring) / width) ** 2)
    for gap in gaps:
        image[gap] = 0.0
    return image


def parameter_spread(geom, peaks, d_spacings, names=("distance", "poni1", "poni2", "rot1", "rot2"), on_ring=0.002):
    """Standard deviation of each named geometry parameter that a least-squares fit of the peaks to their rings
    can reach: the rms 2-theta residual of the peaks within `on_ring` radians of a ring at the true geometry,
    times sqrt(diag((J^T J)^-1)) with J the derivatives of the numpy model there."""
    d1, d2 = np.asarray(peaks, dtype=float).T
    two_theta = oracle.point_two_theta(geom, d1, d2)
    rings = oracle.ring_two_theta(d_spacings, geom["wavelength"])
    offset = two_theta[:, None] - rings[None, :]
    nearest = np.nanargmin(np.abs(offset), axis=1)
    residual = offset[np.arange(len(d1)), nearest]
    on = np.abs(residual) < on_ring
    steps = {name: 1e-6 if name.startswith("rot") else 1e-7 for name in names}
    jacobian = np.stack([(oracle.point_two_theta(dict(geom, **{k: geom[k] + h}), d1[on], d2[on]) - two_theta[on]) / h
                         for k, h in steps.items()], axis=1)
    spread = np.sqrt(np.diag(np.linalg.inv(jacobian.T @ jacobian)) * np.mean(residual[on] ** 2))
    return dict(zip(names, spread))


def two_theta_span(geom, shape, points=17):
    """Smallest and largest 2-theta over a grid of points x points spanning the detector, its edges included: the
    angles the detector reaches (the grid misses the exact extremes by a little where they lie inside it)."""
    grid = np.meshgrid(np.linspace(0, shape[0], points), np.linspace(0, shape[1], points), indexing="ij")
    seen = oracle.point_two_theta(geom, *grid)
    return float(seen.min()), float(seen.max())


def inner_rings(geom, d_spacings, shape):
    """The d-spacings (largest first, as given) of the rings inside half the detector's reach: those of
    tan(2-theta) <= 0.5 tan(2-theta_max), 2-theta_max the largest on the detector (two_theta_span), below 90
    degrees. For an untilted detector, the rings within half the largest radius; an image of all the rings then
    shows rings beyond the last one listed."""
    top = two_theta_span(geom, shape)[1]
    limit = 0.5 * math.tan(top) if top < 0.5 * math.pi else math.inf
    rings = oracle.ring_two_theta(d_spacings, geom["wavelength"])
    with np.errstate(invalid="ignore"):
        keep = np.isfinite(rings) & (rings < 0.5 * np.pi) & (np.tan(rings) <= limit)
    return [d for d, k in zip(d_spacings, keep) if k]


def ring_peaks(geom, d_spacings, peaks, within=0.002):
    """Which peaks lie within `within` radians of 2-theta of a ring at the geometry `geom` (boolean per peak)."""
    p = np.asarray(peaks, dtype=float).reshape(-1, 2)
    two_theta = oracle.point_two_theta(geom, p[:, 0], p[:, 1])
    rings = oracle.ring_two_theta(d_spacings, geom["wavelength"])
    rings = rings[np.isfinite(rings)]
    if rings.size == 0 or len(p) == 0:
        return np.zeros(len(p), dtype=bool)
    return np.min(np.abs(two_theta[:, None] - rings[None, :]), axis=1) < within


def between_rings(geom, d_spacings, shape):
    """2-theta midway between the 2nd and 3rd calibrant rings on the detector (the first rings beyond its smallest
    2-theta, two_theta_span); with fewer than 3 rings on it, midway between the last two rings below its largest
    2-theta (and 90 degrees). NaN with fewer than two such rings."""
    low, top = two_theta_span(geom, shape)
    rings = np.sort(oracle.ring_two_theta(d_spacings, geom["wavelength"]))
    rings = rings[np.isfinite(rings) & (rings < min(top, 0.5 * np.pi))]
    on = np.flatnonzero(rings > low)
    if on.size >= 3:
        return float(0.5 * (rings[on[1]] + rings[on[2]]))
    return float(0.5 * (rings[-2] + rings[-1])) if rings.size >= 2 else math.nan


def extra_ring_peaks(geom, d_spacings, shape, peaks, fraction, seed=0, scatter=0.25):
    """Peaks of a ring the calibrant does not list, at 2-theta between_rings: round(fraction x the number of
    `peaks` on the calibrant's rings (ring_peaks)) points of the cone at uniformly random azimuths that fall on
    the detector (0 <= d < shape; module gaps are not left out), each moved by Gaussian noise of `scatter` px
    along both axes (ring peaks of detector_image scatter by about 0.25 px across their ring). Array (n, 2) of
    (d1, d2); fewer points (none) when the ring barely (never) meets the detector."""
    two_theta = between_rings(geom, d_spacings, shape)
    count = int(round(fraction * np.count_nonzero(ring_peaks(geom, d_spacings, peaks))))
    rng = np.random.default_rng(seed)

    def on_detector(chi, noise=0.0):
        d1, d2 = oracle.ring_points(geom, two_theta, chi)
        with np.errstate(invalid="ignore"):  # ring_points projects the back half of the cone onto the plane too
            front = np.abs(oracle.point_two_theta(geom, d1, d2) - two_theta) < 1e-9
        n = int(front.sum())
        d1, d2 = d1[front] + noise * rng.standard_normal(n), d2[front] + noise * rng.standard_normal(n)
        inside = (d1 >= 0) & (d1 < shape[0]) & (d2 >= 0) & (d2 < shape[1])
        return np.stack([d1[inside], d2[inside]], axis=1)

    if count == 0 or not math.isfinite(two_theta):
        return np.zeros((0, 2))
    share = len(on_detector(np.linspace(-np.pi, np.pi, 3600, endpoint=False))) / 3600
    if share == 0:
        return np.zeros((0, 2))
    out = np.zeros((0, 2))
    for _ in range(20):
        out = np.concatenate([out, on_detector(rng.uniform(-np.pi, np.pi, int(2 * count / share) + 16), scatter)])
        if len(out) >= count:
            break
    return out[:count]


def in_scan_order(peaks, extra):
    """`peaks` in find_peaks_image's order (row by row from the top) with the `extra` peaks put where a row scan
    would meet them: each after the peaks of its row (rounded d1) and the rows above it. Array (n, 2)."""
    p = np.asarray(peaks, dtype=float).reshape(-1, 2)
    e = np.asarray(extra, dtype=float).reshape(-1, 2)
    e = e[np.lexsort((e[:, 1], np.rint(e[:, 0])))]
    rows = np.maximum.accumulate(np.rint(p[:, 0])) if len(p) else np.zeros(0)
    return np.insert(p, np.searchsorted(rows, np.rint(e[:, 0]), side="right"), e, axis=0)
