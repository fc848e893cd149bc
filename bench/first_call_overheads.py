"""First-call overheads: a small image's geometry, and the supersampled estimate against the pool's size.

1. A first histogram integrate1d call on a small image with a fresh integrator
   builds the image's geometry (per-pixel 2-theta, chi, solid angle, ...) before
   it integrates; the cached call that follows does not. Both are timed on the
   process-wide pool (--threads), beside numpy working out each pixel's 2-theta,
   chi and solid angle (tests/oracle.py) and their histogram (np.bincount).

2. A first supersampled call estimates its working set by sampling pixels of
   the image, before it admits the call. The estimate alone is timed by the C++
   helper karvelum_working_set_dump (built with the tests), which repeats it in
   one process with the pool up, for each pool size (RAYON_NUM_THREADS). Beside
   it, numpy working out the 2-theta and bin of every sub-sample of 8,192 pixels
   (the most the estimate samples at n_ss 64: 32 groups of 256), its rate
   measured on 256 of them.

    python3 bench/first_call_overheads.py [--threads 8] [--pools 1,4,64,256,1024] [--dump PATH]

Run from a build tree (PYTHONPATH) or with karvelum installed.
"""
import argparse
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import oracle  # noqa: E402

from common import GEOMETRY  # noqa: E402

import karvelum  # noqa: E402

SMALL = [(128, 128), (256, 256)]
BINS = 1000
ESTIMATE_SIDE, ESTIMATE_N_SS = 4096, 64
SAMPLED_PIXELS, MEASURED_PIXELS = 8192, 256
KEYS = ("pixel1", "pixel2", "distance", "poni1", "poni2", "rot1", "rot2", "rot3", "wavelength")


def geometry_for(n):
    """The benchmarks' detector, its pixels scaled so every size covers the same angles."""
    poni = dict(GEOMETRY)
    poni["pixel1"] = poni["pixel2"] = GEOMETRY["pixel1"] * 2048 / n
    return poni


def first_calls(shape, repeat):
    """First-call and cached-call times (seconds) of `repeat` fresh histogram integrators."""
    image = np.ones(shape)
    poni = geometry_for(shape[0])
    firsts, cached = [], []
    for _ in range(repeat):
        ai = karvelum.Integrator.from_poni_dict(poni, method="histogram", unit="2th_deg")
        t = time.perf_counter()
        ai.integrate1d(image, BINS)
        firsts.append(time.perf_counter() - t)
        t = time.perf_counter()
        ai.integrate1d(image, BINS)
        cached.append(time.perf_counter() - t)
    return np.array(firsts), np.array(cached)


def numpy_geometry(shape, repeat):
    """Best time of numpy's per-pixel geometry and its histogram."""
    poni = geometry_for(shape[0])
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        g = oracle.pixel_geometry(poni, shape)
        r = np.degrees(g["two_theta"])
        lo, hi = r.min(), r.max()
        index = np.minimum(((r - lo) / ((hi - lo) / BINS)).astype(np.int64), BINS - 1)
        np.bincount(index, weights=g["correction"], minlength=BINS)
        times.append(time.perf_counter() - t)
    return min(times)


def estimate_seconds(dump, threads, repeat):
    """Mean time of `repeat` supersampled estimates in one process with a pool of `threads`."""
    poni = geometry_for(ESTIMATE_SIDE)
    args = [dump, str(ESTIMATE_SIDE), str(ESTIMATE_SIDE)] + [repr(poni[k]) for k in KEYS]
    args += ["2th_deg", "supersampled", str(ESTIMATE_N_SS), "array", "8", "1d", str(BINS), "0", "0"]
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), KARVELUM_ESTIMATE_REPEAT=str(repeat))
    out = subprocess.run(args, check=True, capture_output=True, text=True, env=env).stdout.split()
    return float(out[3])


def numpy_sampled_seconds():
    """numpy's time for the 2-theta and bin of every sub-sample of SAMPLED_PIXELS pixels (measured on a
    strip of MEASURED_PIXELS of them across the detector)."""
    poni = geometry_for(ESTIMATE_SIDE)
    poni["poni1"] -= (ESTIMATE_SIDE // 2) * poni["pixel1"]  # a row through the middle
    times = []
    for _ in range(3):
        t = time.perf_counter()
        r, _ = oracle.subsamples(poni, (1, MEASURED_PIXELS), ESTIMATE_N_SS, "2th_deg")
        lo, hi = r.min(), r.max()
        index = np.minimum(((r - lo) / ((hi - lo) / BINS)).astype(np.int64), BINS - 1)
        np.bincount(index, minlength=BINS)
        times.append(time.perf_counter() - t)
    return min(times) * SAMPLED_PIXELS / MEASURED_PIXELS


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = pathlib.Path(__file__).resolve().parent.parent
    parser.add_argument("--threads", type=int, default=8, help="the process-wide pool of the first calls")
    parser.add_argument("--repeat", type=int, default=31, help="fresh integrators per image size")
    parser.add_argument("--pools", default="1,4,64,256,1024", help="pool sizes of the estimate")
    parser.add_argument("--estimate-repeat", type=int, default=5, help="estimates per pool size")
    parser.add_argument("--only", choices=["geometry", "estimate"], default=None)
    parser.add_argument("--dump", default=os.environ.get("KARVELUM_WORKING_SET_DUMP",
                                                         str(here / "build" / "cpp" / "karvelum_working_set_dump")))
    args = parser.parse_args()

    if args.only != "estimate":
        karvelum.set_rayon_threads(args.threads)
        karvelum.Integrator.from_poni_dict(GEOMETRY, method="histogram").integrate1d(np.ones((8, 8)), 10)
        print(f"First histogram integrate1d call, fresh integrator, {BINS} bins; {karvelum.rayon_num_threads()} "
              f"threads; {args.repeat} integrators per size\n")
        print("| image | first best ms | first median ms | first max ms | cached median ms | geometry ms "
              "| numpy ms | numpy / ours |")
        print("|---|---:|---:|---:|---:|---:|---:|---:|")
        for shape in SMALL:
            firsts, cached = first_calls(shape, args.repeat)
            theirs = numpy_geometry(shape, args.repeat)
            geometry = firsts.min() - np.median(cached)
            print(f"| {shape[0]}x{shape[1]} | {firsts.min() * 1e3:.2f} | {np.median(firsts) * 1e3:.2f} "
                  f"| {firsts.max() * 1e3:.2f} | {np.median(cached) * 1e3:.3f} | {geometry * 1e3:.2f} "
                  f"| {theirs * 1e3:.2f} | {theirs / firsts.min():.1f} |", flush=True)
        print()

    if args.only != "geometry":
        if not os.access(args.dump, os.X_OK):
            print("(estimate not timed: no karvelum_working_set_dump; build the tests or pass --dump)")
            return
        pools = [int(p) for p in args.pools.split(",")]
        theirs = numpy_sampled_seconds()
        print(f"Supersampled working-set estimate, {ESTIMATE_SIDE}x{ESTIMATE_SIDE}, n_ss {ESTIMATE_N_SS}, 1D "
              f"{BINS} bins; mean of {args.estimate_repeat} in one process per pool size, {os.cpu_count()} "
              f"processors\n")
        print("| pool threads | estimate ms | numpy ms (8,192 pixels' sub-samples) | numpy / ours |")
        print("|---:|---:|---:|---:|")
        for threads in pools:
            ours = estimate_seconds(args.dump, threads, args.estimate_repeat)
            print(f"| {threads} | {ours * 1e3:.1f} | {theirs * 1e3:.0f} | {theirs / ours:.1f} |", flush=True)


if __name__ == "__main__":
    main()
