"""auto_calibrate over a sweep of synthetic calibrant images of known geometry: per method, how many results are
right (distance and PONI within 1 mm, rot1 and rot2 within 0.5 degree), how many are wrong yet reported as a
success, and how many are refused.

52 images: LaB6, CeO2, Si and a lamellar calibrant (d = 58.38 / n angstrom, n = 1..30) on 1024^2 to 2048^2
detectors with 75 to 172 um pixels, distances of 0.08 to 0.6 m, tilts of 0 to 30 degrees in several directions,
the PONI on the detector, at its edge and off it. Rings are rendered by the numpy model of tests/oracle.py
(tests/calibrant_images.py) with Poisson noise, module gaps and, where the beam meets the detector, a beam-stop
shadow. Peaks come from find_peaks_image with a cap that covers the image (as the README calls it), every other
argument left at its default.

Each image makes 9 cases (468 in all), its variants of the same peaks:
  base     the peaks and the calibrant as they are;
  cut      the calibrant cut to its rings inside half the detector's reach (inner_rings of calibrant_images.py:
           tan(2-theta) at most half that of the largest 2-theta on the detector); the rings beyond the last one
           listed are still in the image and its peaks;
  extra10, extra20, extra30
           peaks of a ring the calibrant does not list, midway in 2-theta between the 2nd and 3rd rings on the
           detector, as many as 10, 20 or 30 % of the peaks on the calibrant's rings, at random azimuths with
           0.25 px of scatter (extra_ring_peaks), put into the peak list in row-scan order (in_scan_order);
  noise20, noise40, noise75, noise125
           uniform noise peaks over the whole detector, as many as 20, 40, 75 or 125 % of the peaks on the
           calibrant's rings (noise_peaks), put into the peak list in row-scan order; base is the 0 % of this
           series.

Run: python3 bench/calibration_sweep.py [--jobs N] [--threads N] [--cache DIR] [--json OUT] [--unchecked JSON]
                                        [--max-peaks N] [--weak] [--variants LIST] [--only TEXT]
  --cache DIR     keep the peaks of every image in DIR (rendering is most of the first run's time); the variants
                  of an image share its peaks
  --json OUT      write every case's outcome, and the geometry returned, per method to OUT
  --unchecked J   a --json file of a build that returns every method's refined geometry without the final check:
                  a case it got right that this build refuses counts as "refused, though right", a fault of the
                  check; and the "median error ratio" column compares the geometries of both builds: over the cases
                  where both returned one, the median of this build's error over the unchecked build's, the error
                  being max(|distance - true|, |poni1 - true|, |poni2 - true|) in metres (below 1: this build's
                  geometry is the closer one)
  --max-peaks N   find_peaks_image's cap (default: the pixel count; 5000 is the function's own default)
  --weak          instead, the 24 images of a tilt up to 10 degrees with the PONI on the detector (in each variant),
                  with rings of 10 counts on a background of 10: many peaks are noise, which the check must tolerate
  --variants L    the variants to run, comma-separated (default: all of them)
  --only TEXT     only the cases whose name (which ends with the variant) holds TEXT
Besides the outcome of every case, it prints the counts per method over all cases and per variant, with the median
of that error (mm) over the right results, and lists the cases refused though right and those wrong as a success.

To compare with the unchecked build (CMake option KARVELUM_UNCHECKED_CALIBRATION):
  cmake -S . -B build/unchecked -G Ninja -DKARVELUM_UNCHECKED_CALIBRATION=ON && cmake --build build/unchecked
  PYTHONPATH=build/unchecked python3 bench/calibration_sweep.py --cache CACHE --json unchecked.json
  PYTHONPATH=build/py python3 bench/calibration_sweep.py --cache CACHE --unchecked unchecked.json
With 3 jobs of 1 thread each (or 2 of 2) on 8 cores shared with other work: about 11 minutes for the 468 cases
with a warm cache (grid search is most of it: alone and within auto), some 55 s more to render the images.
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
from calibrant_images import (CEO2, LAB6, LAMELLAR, SI, detector_geometry, detector_image,  # noqa: E402
                              extra_ring_peaks, in_scan_order, inner_rings, ring_peaks, two_theta_span)

CALIBRANTS = {"LaB6": LAB6, "CeO2": CEO2, "Si": SI, "lamellar": LAMELLAR}
METHODS = ("radial", "ransac", "grid", "auto")
VARIANTS = ("base", "cut", "extra10", "extra20", "extra30", "noise20", "noise40", "noise75", "noise125")
PARAMETERS = ("distance", "poni1", "poni2", "rot1", "rot2")
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


def cases(weak=False, variants=VARIANTS):
    """Name and parameters of every case: each configuration with each calibrant, the tilt direction turned by
    40 degrees per calibrant, in each of `variants`. weak: the cases of a tilt up to 10 degrees and the PONI on the
    detector only, with rings of 10 counts on a background of 10 (many of the peaks are noise). rings: how many
    of the listed rings cross the detector."""
    out = []
    for c, (calibrant, d) in enumerate(CALIBRANTS.items()):
        for i, (side, pixel, distance, tilt, direction, poni, ring0) in enumerate(CONFIGS):
            direction = (direction + 40 * c) % 360 if tilt else 0
            if calibrant == "lamellar":
                ring0 *= 0.5  # orders are evenly spaced: half the step shows twice the rings
            geom = detector_geometry(side, pixel, distance, tilt, direction, poni, ring0, d)
            low, top = two_theta_span(geom, (side, side))
            at = (geom["poni1"] / (side * pixel), geom["poni2"] / (side * pixel))
            where = "on" if 0.05 <= min(at) and max(at) <= 0.95 else "edge" if -0.01 <= min(at) and \
                max(at) <= 1.01 else "off"
            name = f"{calibrant} {side}px {pixel * 1e6:.0f}um {distance:.2f}m tilt {tilt} dir {direction} " \
                   f"PONI {where}"
            if weak and not (tilt <= 10 and where == "on"):
                continue
            for variant in variants:
                listed = inner_rings(geom, d, (side, side)) if variant == "cut" else d
                rings = oracle.ring_two_theta(listed, geom["wavelength"])
                crossing = int(np.sum((rings > low) & (rings < min(top, np.pi / 2))))
                out.append(dict(name=("weak " if weak else "") + f"{name} {variant}", variant=variant,
                                calibrant=calibrant, d_spacings=listed, shape=(side, side), geom=geom, tilt=tilt,
                                where=where, seed=100 * c + i, rings=crossing, weak=weak))
    return out


def image_peaks(args):
    """find_peaks_image's peaks of the case's image, (n, 2), from the cache when it holds them."""
    case, max_peaks, cache = args
    path = os.path.join(cache, f"{case['seed']}_{max_peaks}{'_weak' if case['weak'] else ''}.npy") if cache else None
    if path and os.path.exists(path):
        return np.load(path)
    import karvelum
    contrast = dict(height=10.0, background=10.0) if case["weak"] else {}
    image = detector_image(case["geom"], CALIBRANTS[case["calibrant"]], case["shape"], case["seed"], **contrast)
    peaks = np.asarray(karvelum.find_peaks_image(image, max_peaks=image.size if max_peaks is None else max_peaks),
                       dtype=float).reshape(-1, 2)
    if path:
        np.save(path, peaks)
    return peaks


def variant_peaks(case, peaks):
    """The peaks of the case's variant: the image's, with those of an unlisted ring for the extra variants and
    uniform noise peaks for the noise ones; and how many peaks were added."""
    if case["variant"].startswith("noise"):
        fraction = int(case["variant"][len("noise"):]) / 100
        noise = noise_peaks(case["geom"], CALIBRANTS[case["calibrant"]], case["shape"], peaks, fraction,
                            seed=case["seed"])
        return in_scan_order(peaks, noise), len(noise)
    if not case["variant"].startswith("extra"):
        return peaks, 0
    fraction = int(case["variant"][len("extra"):]) / 100
    extra = extra_ring_peaks(case["geom"], CALIBRANTS[case["calibrant"]], case["shape"], peaks, fraction,
                             seed=case["seed"])
    return in_scan_order(peaks, extra), len(extra)


def noise_peaks(geom, d_spacings, shape, peaks, fraction, seed=0):
    """round(fraction x the number of `peaks` on the calibrant's rings (ring_peaks)) points uniformly over the
    detector (0 <= d < shape), array (n, 2): peaks of nothing, which no ring holds more of than its area."""
    count = int(round(fraction * np.count_nonzero(ring_peaks(geom, d_spacings, peaks))))
    return np.random.default_rng(seed + 7919).uniform(0.0, 1.0, (count, 2)) * np.asarray(shape, dtype=float)


def run_case(args):
    case, image = args
    import karvelum
    array, extra = variant_peaks(case, image)
    peaks = [tuple(p) for p in array.tolist()]
    geom, d = case["geom"], case["d_spacings"]
    calibrant = karvelum.Calibrant.from_d_spacings(case["calibrant"], d)
    out = dict(name=case["name"], variant=case["variant"], tilt=case["tilt"], where=case["where"], peaks=len(peaks),
               extra=extra, rings=case["rings"], methods={}, floor=noise_floor(peaks, geom, calibrant, d))
    for method in METHODS:
        t = time.perf_counter()
        try:
            r = karvelum.auto_calibrate(peaks, calibrant, geom["wavelength"], geom["pixel1"], geom["pixel2"],
                                        method=method)
        except ValueError as e:
            out["methods"][method] = dict(outcome="refused", error=str(e), seconds=time.perf_counter() - t)
            continue
        poni = r.poni
        off = {k: poni[k] - geom[k] for k in PARAMETERS}
        right = all(abs(off[k]) <= RIGHT_LENGTH for k in ("distance", "poni1", "poni2")) and \
            all(abs(off[k]) <= RIGHT_ANGLE for k in ("rot1", "rot2"))
        out["methods"][method] = dict(outcome="right" if right else "wrong", geometry={k: poni[k] for k in PARAMETERS},
                                      off=off, rms=r.rms_rad, identified=r.n_identified_ellipses,
                                      detected=r.n_detected_ellipses, on_ring=on_ring_fraction(peaks, poni, d),
                                      residual_ratio=ring_residual_ratio(peaks, poni, d),
                                      seconds=time.perf_counter() - t)
    return out


def noise_floor(peaks, geom, calibrant, d_spacings):
    """rms of the least-squares fit (refine, Huber loss as auto_calibrate's) of the peaks on rings under the true
    geometry, each labelled with its nearest ring, started from the truth: the best rms a result can reach (NaN
    when refine refuses the points)."""
    import karvelum
    p = np.asarray(peaks, dtype=float).reshape(-1, 2)
    two_theta = oracle.point_two_theta(geom, p[:, 0], p[:, 1])
    rings = oracle.ring_two_theta(d_spacings, geom["wavelength"])
    nearest = np.nanargmin(np.abs(two_theta[:, None] - rings[None, :]), axis=1)
    on = np.abs(two_theta - rings[nearest]) < 0.002
    points = karvelum.CalibrationPoints()
    points.extend(p[on, 0].tolist(), p[on, 1].tolist(), nearest[on].tolist())
    try:
        return karvelum.refine(geom, points, calibrant, loss={"type": "huber", "c": 0.002}).rms_rad
    except ValueError:  # refine refuses the points (none on a listed ring, say)
        return float("nan")


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


def error(off):
    """Largest error of distance, poni1 and poni2 (m)."""
    return max(abs(off[k]) for k in ("distance", "poni1", "poni2"))


def tilt_error(off):
    """Largest error of rot1 and rot2 (rad)."""
    return max(abs(off[k]) for k in ("rot1", "rot2"))


def counts(results, method, unchecked):
    """One row of the tables: the outcomes of `method` over `results`, the refusals the unchecked run got right,
    the median of the error ratio to the unchecked run's geometry (and over how many cases) and the median error
    of the right results (mm)."""
    row = {"right": 0, "wrong": 0, "refused": 0, "though right": 0}
    ratios, right = [], []
    for r in results:
        mine = r["methods"][method]
        theirs = unchecked.get(r["name"], {}).get("methods", {}).get(method) if unchecked else None
        row[mine["outcome"]] += 1
        if mine["outcome"] == "refused" and theirs and theirs["outcome"] == "right":
            row["though right"] += 1
        if mine["outcome"] != "refused" and theirs and theirs["outcome"] != "refused" and error(theirs["off"]) > 0:
            ratios.append(error(mine["off"]) / error(theirs["off"]))
        if mine["outcome"] == "right":
            right.append(error(mine["off"]) * 1e3)
    row["ratio"] = f"{np.median(ratios):.2f} of {len(ratios)}" if ratios else "-"
    row["error"] = f"{np.median(right):.3f}" if right else "-"
    return row


def table(groups, unchecked):
    """Rows (group, method) of `groups` ({label: results})."""
    print(f"\n{'cases':8} {'method':8} {'right':>6} {'wrong, as success':>18} {'refused':>8} "
          f"{'refused, though right':>22} {'median error ratio':>19} {'right: median error (mm)':>25}")
    for label, results in groups.items():
        for method in METHODS:
            row = counts(results, method, unchecked)
            print(f"{label:8} {method:8} {row['right']:6} {row['wrong']:18} {row['refused']:8} "
                  f"{row['though right'] if unchecked else '-':>22} {row['ratio']:>19} {row['error']:>25}")


def report(results, unchecked):
    table({"all": results}, unchecked)
    variants = [v for v in VARIANTS if any(r["variant"] == v for r in results)]
    table({v: [r for r in results if r["variant"] == v] for v in variants}, unchecked)
    def values(key, outcome):
        return [r["methods"][m][key] for r in results for m in METHODS if r["methods"][m]["outcome"] == outcome]
    # Diagnostics, computed with numpy from the geometries returned.
    def span(v):
        v = [x for x in v if np.isfinite(x)]
        return f"{min(v):.2f} to {max(v):.2f}" if v else "-"
    for outcome in ("right", "wrong"):
        on_ring, ratio = values("on_ring", outcome), values("residual_ratio", outcome)
        rms = [v / r["floor"] for r in results for m in METHODS if r["methods"][m]["outcome"] == outcome
               for v in [r["methods"][m]["rms"]]]
        if on_ring:
            print(f"{outcome} results: peaks on rings {min(on_ring):.3f} to {max(on_ring):.3f}; pixel residuals over "
                  f"those about one ellipse per ring {span(ratio)}; rms over the least-squares rms from the true "
                  f"rings {span(rms)}")
    target = [r for r in results if r["tilt"] <= 10 and r["where"] == "on"]
    right = {v: sum(r["methods"]["auto"]["outcome"] == "right" for r in target if r["variant"] == v) for v in variants}
    total = {v: sum(r["variant"] == v for r in target) for v in variants}
    print("auto right on the cases with a tilt of at most 10 degrees and the PONI on the detector: "
          + ", ".join(f"{v} {right[v]} of {total[v]}" for v in variants))
    for label, pick in (("wrong, as success", lambda r, m: r["methods"][m]["outcome"] == "wrong"),
                        ("refused, though right", lambda r, m: unchecked and r["methods"][m]["outcome"] == "refused"
                         and unchecked.get(r["name"], {}).get("methods", {}).get(m, {}).get("outcome") == "right")):
        listed = [f"  {r['name']}: {m}" + (f" ({error(r['methods'][m]['off']) * 1e3:.2f} mm, "
                                           f"{math.degrees(tilt_error(r['methods'][m]['off'])):.2f} deg)"
                                           if r["methods"][m]["outcome"] == "wrong" else "")
                  for r in results for m in METHODS if pick(r, m)]
        print(f"{label}: {len(listed)}" + "".join("\n" + line for line in listed))


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
    parser.add_argument("--variants", default=",".join(VARIANTS), help="comma-separated, of " + ", ".join(VARIANTS))
    args = parser.parse_args()
    variants = [v for v in args.variants.split(",") if v]
    if not variants or any(v not in VARIANTS for v in variants):
        parser.error(f"--variants takes a comma-separated list of {', '.join(VARIANTS)}")
    if args.cache:
        os.makedirs(args.cache, exist_ok=True)
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)  # read by the module when its pool starts
    selected = [c for c in cases(args.weak, variants) if args.only is None or args.only in c["name"]]
    images = list({c["seed"]: c for c in selected}.values())
    t = time.perf_counter()
    with ProcessPoolExecutor(args.jobs) as pool:
        peaks = dict(zip((c["seed"] for c in images),
                         pool.map(image_peaks, [(c, args.max_peaks, args.cache) for c in images])))
        rendered = time.perf_counter() - t
        results = list(pool.map(run_case, [(c, peaks[c["seed"]]) for c in selected]))
    short = {"right": "R", "wrong": "W", "refused": "-"}
    print(f"{'case':66} {'rings':>5} {'peaks':>7}  " + "  ".join(f"{m:>6}" for m in METHODS)
          + "   (R right, W wrong, - refused)")
    for r in results:
        marks = "  ".join(f"{short[r['methods'][m]['outcome']]:>6}" for m in METHODS)
        print(f"{r['name']:66} {r['rings']:5} {r['peaks']:7}  {marks}")
    unchecked = None
    if args.unchecked:
        with open(args.unchecked) as f:
            unchecked = {r["name"]: r for r in json.load(f)}
        missing = sum(r["name"] not in unchecked for r in results)
        if missing:
            print(f"{missing} cases are missing from {args.unchecked}: counted as refused there")
    report(results, unchecked)
    print(f"{len(results)} cases in {time.perf_counter() - t:.0f} s (the peaks of {len(images)} images: "
          f"{rendered:.0f} s)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
