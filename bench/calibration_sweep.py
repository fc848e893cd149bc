"""auto_calibrate over a sweep of synthetic calibrant images of known geometry: per method, how many results are
right (distance and PONI within 1 mm, rot1 and rot2 within 0.5 degree), how many are wrong yet reported as a
success, and how many are refused.

52 cases: LaB6, CeO2, Si and a lamellar calibrant (d = 58.38 / n angstrom, n = 1..30) on 1024^2 to 2048^2
detectors with 75 to 172 um pixels, distances of 0.08 to 0.6 m, tilts of 0 to 30 degrees in several directions,
the PONI on the detector, at its edge and off it. Rings are rendered by the numpy model of tests/oracle.py
(tests/calibrant_images.py) with Poisson noise, module gaps and, where the beam meets the detector, a beam-stop
shadow. Peaks come from find_peaks_image with a cap that covers the image (as the README calls it), every other
argument left at its default.

Run: python3 bench/calibration_sweep.py [--jobs N] [--cache DIR] [--json OUT] [--unchecked JSON] [--max-peaks N]
                                        [--weak] [--only TEXT]
  --cache DIR     keep the peaks of every case in DIR (rendering is most of the first run's time)
  --json OUT      write every case's outcome per method to OUT
  --unchecked J   a --json file of a build that returns every refined geometry (kMinOnRingFraction 0,
                  kMaxResidualRatio 1e300 and any distance accepted in src/calibration/auto.cpp): a case it got
                  right that this build refuses counts as "refused, though right", a fault of the final check
  --max-peaks N   find_peaks_image's cap (default: the pixel count; 5000 is the function's own default)
  --weak          instead, the 24 cases of a tilt up to 10 degrees with the PONI on the detector, with rings of 10
                  counts on a background of 10: many peaks are noise, which the check must tolerate
With the default 3 jobs of 2 threads each on 8 cores: about a minute, 30 s with a warm cache.
"""
import argparse
import json
import math
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import oracle  # noqa: E402
from calibrant_images import CEO2, LAB6, LAMELLAR, SI, detector_geometry, detector_image  # noqa: E402

CALIBRANTS = {"LaB6": LAB6, "CeO2": CEO2, "Si": SI, "lamellar": LAMELLAR}
METHODS = ("radial", "ransac", "grid", "auto")
RIGHT_LENGTH, RIGHT_ANGLE = 1e-3, math.radians(0.5)

# side (px), pixel (m), distance (m), tilt (deg), tilt direction (deg), PONI as a fraction of the side (d1, d2),
# innermost ring's radius as a fraction of the side.
CONFIGS = [
    (1024, 100e-6, 0.10, 0, 0, (0.5, 0.5), 0.15),
    (2048, 75e-6, 0.15, 0, 0, (0.45, 0.55), 0.12),
    (1536, 172e-6, 0.30, 3, 60, (0.4, 0.6), 0.15),
    (2048, 172e-6, 0.60, 5, 135, (0.55, 0.35), 0.10),
    (1024, 75e-6, 0.08, 8, 200, (0.3, 0.6), 0.20),
    (2048, 100e-6, 0.25, 10, 290, (0.6, 0.4), 0.12),
    (1024, 172e-6, 0.40, 10, 45, (0.03, 0.5), 0.15),  # PONI at the edge
    (1536, 100e-6, 0.20, 0, 0, (0.0, 0.0), 0.25),  # at the corner
    (2048, 75e-6, 0.12, 15, 90, (0.5, 0.5), 0.12),
    (1024, 100e-6, 0.30, 20, 315, (-0.2, 0.5), 0.30),  # off the detector
    (2048, 172e-6, 0.50, 30, 180, (0.5, 1.3), 0.30),
    (1536, 75e-6, 0.15, 25, 250, (0.5, 0.5), 0.15),
    (1024, 100e-6, 0.50, 25, 45, None, 0.3),  # the beam meets the middle, the PONI is far off; few rings
]


def cases(weak=False):
    """Name and parameters of every case: each configuration with each calibrant, the tilt direction turned by
    40 degrees per calibrant. weak: the cases of a tilt up to 10 degrees and the PONI on the detector only, with
    rings of 10 counts on a background of 10 (many of the peaks are noise)."""
    out = []
    for c, (calibrant, d) in enumerate(CALIBRANTS.items()):
        for i, (side, pixel, distance, tilt, direction, poni, ring0) in enumerate(CONFIGS):
            direction = (direction + 40 * c) % 360 if tilt else 0
            if calibrant == "lamellar":
                ring0 *= 0.5  # orders are evenly spaced: half the step shows twice the rings
            geom = detector_geometry(side, pixel, distance, tilt, direction, poni, ring0, d)
            grid = np.linspace(0, side, 17)
            seen = oracle.point_two_theta(geom, *np.meshgrid(grid, grid, indexing="ij"))
            rings = oracle.ring_two_theta(d, geom["wavelength"])
            crossing = int(np.sum((rings > seen.min()) & (rings < min(seen.max(), np.pi / 2))))
            at = (geom["poni1"] / (side * pixel), geom["poni2"] / (side * pixel))
            where = "on" if 0.05 <= min(at) and max(at) <= 0.95 else "edge" if -0.01 <= min(at) and \
                max(at) <= 1.01 else "off"
            name = f"{calibrant} {side}px {pixel * 1e6:.0f}um {distance:.2f}m tilt {tilt} dir {direction} " \
                   f"PONI {where}"
            if weak and not (tilt <= 10 and where == "on"):
                continue
            out.append(dict(name=("weak " if weak else "") + name, calibrant=calibrant, shape=(side, side), geom=geom,
                            tilt=tilt, where=where, seed=100 * c + i, rings=crossing, weak=weak))
    return out


def run_case(args):
    case, max_peaks, cache = args
    import karvelum
    peaks = None
    path = os.path.join(cache, f"{case['seed']}_{max_peaks}{'_weak' if case['weak'] else ''}.npy") if cache else None
    if path and os.path.exists(path):
        peaks = [tuple(p) for p in np.load(path).tolist()]
    if peaks is None:
        contrast = dict(height=10.0, background=10.0) if case["weak"] else {}
        image = detector_image(case["geom"], CALIBRANTS[case["calibrant"]], case["shape"], case["seed"], **contrast)
        peaks = karvelum.find_peaks_image(image, max_peaks=image.size if max_peaks is None else max_peaks)
        if path:
            np.save(path, np.asarray(peaks, dtype=float).reshape(-1, 2))
    geom = case["geom"]
    calibrant = karvelum.Calibrant.from_d_spacings(case["calibrant"], CALIBRANTS[case["calibrant"]])
    out = dict(name=case["name"], tilt=case["tilt"], where=case["where"], peaks=len(peaks), rings=case["rings"],
               methods={},
               floor=noise_floor(peaks, geom, calibrant, CALIBRANTS[case["calibrant"]]))
    for method in METHODS:
        t = time.perf_counter()
        try:
            r = karvelum.auto_calibrate(peaks, calibrant, geom["wavelength"], geom["pixel1"], geom["pixel2"],
                                        method=method)
        except ValueError as e:
            out["methods"][method] = dict(outcome="refused", error=str(e), seconds=time.perf_counter() - t)
            continue
        poni = r.poni
        off = {k: poni[k] - geom[k] for k in ("distance", "poni1", "poni2", "rot1", "rot2")}
        right = all(abs(off[k]) <= RIGHT_LENGTH for k in ("distance", "poni1", "poni2")) and \
            all(abs(off[k]) <= RIGHT_ANGLE for k in ("rot1", "rot2"))
        out["methods"][method] = dict(outcome="right" if right else "wrong", off=off, rms=r.rms_rad,
                                      identified=r.n_identified_ellipses, detected=r.n_detected_ellipses,
                                      on_ring=on_ring_fraction(peaks, poni, CALIBRANTS[case["calibrant"]]),
                                      residual_ratio=ring_residual_ratio(peaks, poni, CALIBRANTS[case["calibrant"]]),
                                      seconds=time.perf_counter() - t)
    return out


def noise_floor(peaks, geom, calibrant, d_spacings):
    """rms of the least-squares fit (refine, Huber loss as auto_calibrate's) of the peaks on rings under the true
    geometry, each labelled with its nearest ring, started from the truth: the best rms a result can reach."""
    import karvelum
    p = np.asarray(peaks, dtype=float).reshape(-1, 2)
    two_theta = oracle.point_two_theta(geom, p[:, 0], p[:, 1])
    rings = oracle.ring_two_theta(d_spacings, geom["wavelength"])
    nearest = np.nanargmin(np.abs(two_theta[:, None] - rings[None, :]), axis=1)
    on = np.abs(two_theta - rings[nearest]) < 0.002
    points = karvelum.CalibrationPoints()
    points.extend(p[on, 0].tolist(), p[on, 1].tolist(), nearest[on].tolist())
    return karvelum.refine(geom, points, calibrant, loss={"type": "huber", "c": 0.002}).rms_rad


def on_ring_fraction(peaks, poni, d_spacings, within=0.1):
    """Fraction of the peaks whose 2-theta under `poni` lies within `within` of the gap to the neighbouring ring
    (on its side) from the nearest ring angle below 90 degrees: what auto_calibrate requires of a result, computed
    here with numpy as a diagnostic."""
    p = np.asarray(peaks, dtype=float).reshape(-1, 2)
    p = p[np.isfinite(p).all(axis=1)]
    two_theta = oracle.point_two_theta(poni, p[:, 0], p[:, 1])
    rings = oracle.ring_two_theta(d_spacings, poni["wavelength"])
    rings = np.unique(rings[np.isfinite(rings) & (rings > 0) & (rings < np.pi / 2)])
    if rings.size == 0 or len(p) == 0:
        return 0.0
    gaps = np.diff(rings) if rings.size > 1 else rings[:1]
    j = np.searchsorted(rings, two_theta)
    inner = np.clip(j, 1, max(rings.size - 1, 1))
    below, over = two_theta - rings[inner - 1], rings[np.minimum(inner, rings.size - 1)] - two_theta
    distance = np.where(j == 0, rings[0] - two_theta, np.where(j == rings.size, two_theta - rings[-1],
                                                                 np.minimum(below, over)))
    gap = np.where(j == 0, gaps[0], np.where(j == rings.size, gaps[-1], gaps[np.minimum(inner - 1, gaps.size - 1)]))
    return float(np.mean(distance <= within * gap))


def ring_residual_ratio(peaks, poni, d_spacings):
    """Median pixel distance of the peaks on rings (as on_ring_fraction) from their ring under `poni`, over their
    median distance from an ellipse fitted to each ring's peaks alone (rings of 20 peaks or more): near 1 for a
    geometry at the least-squares optimum of the right rings. The other condition auto_calibrate sets on a result."""
    p = np.asarray(peaks, dtype=float).reshape(-1, 2)
    p = p[np.isfinite(p).all(axis=1)]
    two_theta = oracle.point_two_theta(poni, p[:, 0], p[:, 1])
    rings = oracle.ring_two_theta(d_spacings, poni["wavelength"])
    usable = np.isfinite(rings) & (rings > 0) & (rings < np.pi / 2)
    order = np.flatnonzero(usable)[np.argsort(rings[usable])]
    if order.size < 2:
        return float("nan")
    angles = rings[order]
    j = np.clip(np.searchsorted(angles, two_theta), 1, angles.size - 1)
    lower = two_theta - angles[j - 1] <= angles[j] - two_theta
    k = np.where(lower, j - 1, j)
    on = np.abs(two_theta - angles[k]) <= 0.1 * (angles[j] - angles[j - 1])
    step = 0.5
    grad = np.hypot(oracle.point_two_theta(poni, p[:, 0] + step, p[:, 1]) - two_theta,
                    oracle.point_two_theta(poni, p[:, 0], p[:, 1] + step) - two_theta) / step
    off_ring, off_ellipse = [], []
    for ring in np.unique(k[on]):
        m = on & (k == ring)
        if m.sum() < 20:
            continue
        x, y = p[m, 0] - p[m, 0].mean(), p[m, 1] - p[m, 1].mean()
        (a, b, c, d, e), *_ = np.linalg.lstsq(np.stack([x * x, x * y, y * y, x, y], 1), np.ones_like(x), rcond=None)
        q = a * x * x + b * x * y + c * y * y + d * x + e * y - 1
        off_ellipse.append(np.abs(q) / np.hypot(2 * a * x + b * y + d, b * x + 2 * c * y + e))
        off_ring.append(np.abs(two_theta[m] - angles[ring]) / grad[m])
    if not off_ring:
        return float("nan")
    return float(np.median(np.concatenate(off_ring)) / np.median(np.concatenate(off_ellipse)))


def table(results, unchecked):
    print(f"\n{'method':8} {'right':>6} {'wrong, as success':>18} {'refused':>8} {'refused, though right':>22}")
    for method in METHODS:
        counts = {"right": 0, "wrong": 0, "refused": 0}
        though_right = 0
        for r in results:
            o = r["methods"][method]["outcome"]
            counts[o] += 1
            if o == "refused" and unchecked and unchecked[r["name"]]["methods"][method]["outcome"] == "right":
                though_right += 1
        print(f"{method:8} {counts['right']:6} {counts['wrong']:18} {counts['refused']:8} "
              f"{though_right if unchecked else '-':>22}")
    target = [r for r in results if r["tilt"] <= 10 and r["where"] == "on"]
    right = sum(r["methods"]["auto"]["outcome"] == "right" for r in target)
    def values(key, outcome):
        return [r["methods"][m][key] for r in results for m in METHODS if r["methods"][m]["outcome"] == outcome]
    # Diagnostics, computed with numpy from the geometries returned.
    for outcome in ("right", "wrong"):
        on_ring, ratio = values("on_ring", outcome), values("residual_ratio", outcome)
        rms = [v / r["floor"] for r in results for m in METHODS if r["methods"][m]["outcome"] == outcome
               for v in [r["methods"][m]["rms"]]]
        if on_ring:
            print(f"{outcome} results: peaks on rings {min(on_ring):.3f} to {max(on_ring):.3f}; pixel residuals over "
                  f"those about one ellipse per ring {np.nanmin(ratio):.2f} to {np.nanmax(ratio):.2f}; rms over the "
                  f"least-squares rms from the true rings {min(rms):.2f} to {max(rms):.2f}")
    print(f"auto right on {right} of the {len(target)} cases with a tilt of at most 10 degrees and the PONI on the "
          f"detector")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--jobs", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2, help="pool threads per job")
    parser.add_argument("--cache")
    parser.add_argument("--json")
    parser.add_argument("--unchecked")
    parser.add_argument("--max-peaks", type=int)
    parser.add_argument("--only", help="run only the cases whose name holds this text")
    parser.add_argument("--weak", action="store_true", help="the weak-ring variants of the target cases instead")
    args = parser.parse_args()
    if args.cache:
        os.makedirs(args.cache, exist_ok=True)
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)  # read by the module when its pool starts
    selected = [c for c in cases(args.weak) if args.only is None or args.only in c["name"]]
    t = time.perf_counter()
    with ProcessPoolExecutor(args.jobs) as pool:
        results = list(pool.map(run_case, [(c, args.max_peaks, args.cache) for c in selected]))
    short = {"right": "R", "wrong": "W", "refused": "-"}
    print(f"{'case':58} {'rings':>5} {'peaks':>7}  " + "  ".join(f"{m:>6}" for m in METHODS)
          + "   (R right, W wrong, - refused)")
    for r in results:
        marks = "  ".join(f"{short[r['methods'][m]['outcome']]:>6}" for m in METHODS)
        print(f"{r['name']:58} {r['rings']:5} {r['peaks']:7}  {marks}")
    unchecked = None
    if args.unchecked:
        with open(args.unchecked) as f:
            unchecked = {r["name"]: r for r in json.load(f)}
    table(results, unchecked)
    print(f"{len(results)} cases in {time.perf_counter() - t:.0f} s")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
