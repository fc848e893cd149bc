"""Geometry refinement: refine beside scipy.optimize.least_squares (method "lm") on the same residuals; then
auto_calibrate on the peaks of a 2048 x 2048 synthetic LaB6 image, per method, with the accuracy reached, and the
grid's scoring of its 59,150 default candidates on the process-wide pool beside the same on one thread.

Run: python3 bench/calibration.py   (refine: 2,000 control points on 8 rings, 0.25 px noise, all six geometry
parameters free, start off by 2 % in distance, 0.5 mm in the PONI and 0.01 rad in the tilts)
"""
import json
import os
import subprocess
import sys
import tempfile
import textwrap

import numpy as np
from scipy.optimize import least_squares

from common import GEOMETRY, best

import karvelum

D_SPACINGS = [4.15690, 2.93937, 2.40001, 2.07845, 1.85902, 1.69705, 1.46969, 1.38564]
TRUE = dict(pixel1=7.5e-5, pixel2=7.5e-5, distance=0.15, poni1=0.0792, poni2=0.0731,
            rot1=0.012, rot2=-0.018, rot3=0.0, wavelength=0.7e-10)
START = dict(TRUE, distance=TRUE["distance"] * 1.02, poni1=TRUE["poni1"] + 5e-4, poni2=TRUE["poni2"] - 5e-4,
             rot1=TRUE["rot1"] + 0.01, rot2=TRUE["rot2"] - 0.01)
FREE = ["distance", "poni1", "poni2", "rot1", "rot2", "rot3"]
N_POINTS, NOISE_PX = 2000, 0.25


def two_theta(params, d1, d2, pixel1, pixel2):
    """Predicted 2-theta of points (pixel centres at integers) for (distance, poni1, poni2, rot1, rot2, rot3)."""
    L, poni1, poni2, r1, r2, r3 = params
    p1, p2 = pixel1 * (d1 + 0.5) - poni1, pixel2 * (d2 + 0.5) - poni2
    c1, s1, c2, s2, c3, s3 = np.cos(r1), np.sin(r1), np.cos(r2), np.sin(r2), np.cos(r3), np.sin(r3)
    t1 = p1 * c2 * c3 + p2 * (s1 * s2 * c3 - c1 * s3) - L * (c1 * s2 * c3 + s1 * s3)
    t2 = p1 * c2 * s3 + p2 * (s1 * s2 * s3 + c1 * c3) - L * (c1 * s2 * s3 - s1 * c3)
    t3 = p1 * s2 - p2 * s1 * c2 + L * c1 * c2
    return np.arctan2(np.sqrt(t1 * t1 + t2 * t2), t3)


def control_points(rng):
    """Points on the rings of TRUE with Gaussian pixel noise, found by bisection along rays from the PONI."""
    rings = 2 * np.arcsin(TRUE["wavelength"] * 1e10 / (2 * np.asarray(D_SPACINGS)))
    ring = np.repeat(np.arange(len(D_SPACINGS)), N_POINTS // len(D_SPACINGS))
    chi = rng.uniform(-np.pi, np.pi, ring.size)
    c1 = TRUE["poni1"] / TRUE["pixel1"] - 0.5
    c2 = TRUE["poni2"] / TRUE["pixel2"] - 0.5
    lo, hi = np.zeros(ring.size), np.full(ring.size, 1e5)
    params = [TRUE[k] for k in FREE]
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        inside = two_theta(params, c1 + mid * np.sin(chi), c2 + mid * np.cos(chi), TRUE["pixel1"],
                           TRUE["pixel2"]) < rings[ring]
        lo, hi = np.where(inside, mid, lo), np.where(inside, hi, mid)
    d1 = c1 + lo * np.sin(chi) + NOISE_PX * rng.standard_normal(ring.size)
    d2 = c2 + lo * np.cos(chi) + NOISE_PX * rng.standard_normal(ring.size)
    return d1, d2, ring, rings


def main():
    d1, d2, ring, rings = control_points(np.random.default_rng(7))
    points = karvelum.CalibrationPoints()
    points.extend(d1.tolist(), d2.tolist(), ring.tolist())
    calibrant = karvelum.Calibrant.from_d_spacings("LaB6", D_SPACINGS)
    fix = [k for k in ("distance", "poni1", "poni2", "rot1", "rot2", "rot3", "wavelength") if k not in FREE]

    ours = karvelum.refine(START, points, calibrant, fix=fix)
    t_ours = best(lambda: karvelum.refine(START, points, calibrant, fix=fix), repeat=20)

    target = rings[ring]
    residuals = lambda p: two_theta(p, d1, d2, TRUE["pixel1"], TRUE["pixel2"]) - target
    x0 = np.array([START[k] for k in FREE])
    runs = {"default tolerances": {}, "tolerances 1e-12": dict(xtol=1e-12, ftol=1e-12, gtol=1e-12)}
    fits = {label: least_squares(residuals, x0, method="lm", **kw) for label, kw in runs.items()}
    times = {label: best(lambda: least_squares(residuals, x0, method="lm", **kw), repeat=20)
             for label, kw in runs.items()}
    converged = fits["tolerances 1e-12"].x
    mine = np.array([ours.poni[k] for k in FREE])

    def off(x):  # largest relative distance from the converged minimum, rot3 left out
        return np.max(np.abs(x[:5] - converged[:5]) / np.abs(converged[:5]))

    print(f"{N_POINTS} control points on {len(D_SPACINGS)} rings, {NOISE_PX} px noise, free: {', '.join(FREE)}")
    print(f"  karvelum.refine                        {t_ours * 1e3:7.2f} ms   {ours.n_iter} iterations, "
          f"rms {ours.rms_rad:.7e} rad, off the minimum {off(mine):.1e}")
    for label, fit in fits.items():
        print(f"  scipy lm, {label:<28} {times[label] * 1e3:7.2f} ms   rms {np.sqrt(np.mean(fit.fun ** 2)):.7e} rad, "
              f"off the minimum {off(fit.x):.1e}   ratio {times[label] / t_ours:.1f}x")
    print("  parameter     karvelum                  scipy (1e-12)             truth")
    for name, a, b in zip(FREE, mine, converged):
        print(f"  {name:<10} {a:24.16e}  {b:24.16e}  {TRUE[name]:10.6g}")
    print("  (rot3 does not change 2-theta: any value fits; refine keeps the start value)")


SHAPE = (2048, 2048)


def calibrant_peaks(rng):
    """Peaks of a LaB6 image of the common bench geometry: rings 1.5 px wide, noise, a module gap."""
    g = GEOMETRY
    d1, d2 = np.meshgrid(np.arange(SHAPE[0], dtype=float), np.arange(SHAPE[1], dtype=float), indexing="ij")
    tth = two_theta([g[k] for k in FREE], d1, d2, g["pixel1"], g["pixel2"])
    rings = 2 * np.arcsin(g["wavelength"] * 1e10 / (2 * np.asarray(D_SPACINGS)))
    width = 1.5 * g["pixel1"] / g["distance"]
    image = 20.0 + rng.normal(0.0, 3.0, SHAPE)
    for ring in rings:
        image += 400.0 * np.exp(-0.5 * ((tth - ring) / width) ** 2)
    image[1000:1017, :] = 0.0
    return karvelum.find_peaks_image(image, max_peaks=10**6)


# The grid's candidate scoring alone: one start, refined with no iteration (and then refused, as a rule).
SCORING = dict(method="grid", grid_top_k=1, max_iter=0)
SCORING_ONE_THREAD = """
    import json, sys, time
    import karvelum
    peaks, d_spacings, wavelength, pixel1, pixel2, kwargs = json.load(open(sys.argv[1]))
    peaks, calibrant = [tuple(p) for p in peaks], karvelum.Calibrant.from_d_spacings("LaB6", d_spacings)
    times = []
    for _ in range(5):
        t = time.perf_counter()
        try:
            karvelum.auto_calibrate(peaks, calibrant, wavelength, pixel1, pixel2, **kwargs)
        except ValueError:  # the start is no geometry of these peaks: refused
            pass
        times.append(time.perf_counter() - t)
    print(json.dumps([karvelum.rayon_num_threads(), min(times)]))
"""


def refused_or(call):
    """call(), or None when auto_calibrate refuses (ValueError)."""
    try:
        return call()
    except ValueError:
        return None


def auto_calibrate_figures():
    g = GEOMETRY
    peaks = calibrant_peaks(np.random.default_rng(11))
    calibrant = karvelum.Calibrant.from_d_spacings("LaB6", D_SPACINGS)
    args = (peaks, calibrant, g["wavelength"], g["pixel1"], g["pixel2"])
    print(f"\nauto_calibrate on {len(peaks)} peaks of a {SHAPE[0]} x {SHAPE[1]} LaB6 image "
          f"({karvelum.rayon_num_threads()} threads); errors against the true geometry")
    print(f"  {'method':8} {'time':>9}   {'rms (rad)':>9}  {'distance':>9}  {'poni1':>8}  {'poni2':>8}  "
          f"{'rot1':>9}  {'rot2':>9}")
    runs = {m: dict(method=m) for m in ("radial", "ransac", "grid", "auto")}
    # Distances 11 % apart, tilts of -10, 0 and 10 degrees, PONI offsets of 10 px: a start near the truth.
    runs["grid*"] = dict(method="grid", grid_distance_min=0.9 * g["distance"], grid_distance_max=g["distance"] / 0.9,
                         grid_distance_steps=3, grid_rot_max_deg=10.0, grid_rot_steps=3,
                         grid_poni_search_radius_px=300.0, grid_poni_steps=61)
    for label, kwargs in runs.items():
        t = best(lambda: refused_or(lambda: karvelum.auto_calibrate(*args, **kwargs)), repeat=5)
        result = refused_or(lambda: karvelum.auto_calibrate(*args, **kwargs))
        if result is None:
            print(f"  {label:8} {t * 1e3:7.1f} ms   refused: no geometry that puts the peaks on the rings")
            continue
        poni = result.poni
        print(f"  {label:8} {t * 1e3:7.1f} ms   {result.rms_rad:9.2e}  {(poni['distance'] - g['distance']) * 1e6:+7.2f} um"
              f"  {(poni['poni1'] - g['poni1']) * 1e6:+6.2f} um  {(poni['poni2'] - g['poni2']) * 1e6:+6.2f} um"
              f"  {(poni['rot1'] - g['rot1']) * 1e6:+6.1f} urad  {(poni['rot2'] - g['rot2']) * 1e6:+6.1f} urad")
    print("  (grid: the default grid, whose tilt, PONI and distance steps are too coarse to start near this\n"
          "   geometry, so that it refuses; grid*: 110,889 candidates about it)")
    t_pool = best(lambda: refused_or(lambda: karvelum.auto_calibrate(*args, **SCORING)), repeat=5)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "arguments.json")
        with open(path, "w") as f:
            json.dump([peaks, D_SPACINGS, g["wavelength"], g["pixel1"], g["pixel2"], SCORING], f)
        env = {**os.environ, "RAYON_NUM_THREADS": "1"}
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(SCORING_ONE_THREAD), path], env=env, check=True,
                             capture_output=True, text=True).stdout
    threads, t_one = json.loads(out.splitlines()[-1])
    print(f"  grid scoring of 59,150 candidates x 400 peaks, with the radial bands and the check of one start: "
          f"{t_pool * 1e3:.1f} ms on "
          f"{karvelum.rayon_num_threads()} threads, {t_one * 1e3:.1f} ms on {threads}: {t_one / t_pool:.1f}x")


if __name__ == "__main__":
    main()
    auto_calibrate_figures()
