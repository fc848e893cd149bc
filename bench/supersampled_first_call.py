"""Supersampled first calls: time per sub-sample at a small and a large n_ss.

A first call estimates its working set (sampling pixels of the image), then
builds the table: n_ss x n_ss sub-samples per pixel, each binned by its
radial value. Its time per sub-sample should not depend on n_ss: the
estimate must stay a small share of the build whatever n_ss is. Beside it,
numpy doing the same work per sub-sample: the sub-samples' 2-theta (the
tests' oracle, in chunks of rows) and their histogram (np.bincount).

The estimate alone is timed by the C++ helper karvelum_working_set_dump
(built with the tests), which repeats it in one process with the pool up.

    python3 bench/supersampled_first_call.py [--dump PATH]

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

# (rows, columns, n_ss, bins): the small image and large n_ss, and a detector-sized
# image at a usual n_ss; the default n_ss on both.
CASES = [(40, 56, 600, 1000), (512, 512, 20, 1000), (40, 56, 5, 1000), (512, 512, 5, 1000)]
KEYS = ("pixel1", "pixel2", "distance", "poni1", "poni2", "rot1", "rot2", "rot3", "wavelength")
# numpy's reference is timed on at most this many sub-samples (its rate is the same on more).
NUMPY_SUBSAMPLES = 1 << 24


def first_call(shape, n_ss, bins, repeat=3):
    """The fastest first call of a fresh integrator, and the median cached call, in seconds."""
    image = np.ones(shape)
    firsts = []
    for _ in range(repeat):
        ai = karvelum.Integrator.from_poni_dict(GEOMETRY, method="supersampled", n_ss=n_ss)
        t = time.perf_counter()
        ai.integrate1d(image, bins)
        firsts.append(time.perf_counter() - t)
    cached = []
    for _ in range(7):
        t = time.perf_counter()
        ai.integrate1d(image, bins)
        cached.append(time.perf_counter() - t)
    return min(firsts), float(np.median(cached))


def numpy_per_subsample(shape, n_ss, bins):
    rows = max(1, min(shape[0], NUMPY_SUBSAMPLES // (shape[1] * n_ss * n_ss)))
    chunk = max(1, (1 << 22) // (shape[1] * n_ss * n_ss))
    t = time.perf_counter()
    counts = np.zeros(bins)
    for first in range(0, rows, chunk):
        part = (min(chunk, rows - first), shape[1])
        two_theta, _ = oracle.subsamples(dict(GEOMETRY, poni1=GEOMETRY["poni1"] - first * GEOMETRY["pixel1"]),
                                         part, n_ss, "2th_rad")
        lo, hi = two_theta.min(), two_theta.max()
        index = np.minimum(((two_theta - lo) / ((hi - lo) / bins)).astype(np.int64), bins - 1)
        counts += np.bincount(index.ravel(), minlength=bins)
    return (time.perf_counter() - t) / (rows * shape[1] * n_ss * n_ss)


def estimate_seconds(dump, shape, n_ss, bins, repeat=20):
    args = [dump, str(shape[0]), str(shape[1])] + [repr(GEOMETRY[k]) for k in KEYS]
    args += ["2th_deg", "supersampled", str(n_ss), "array", "8", "1d", str(bins), "0", "0"]
    out = subprocess.run(args, check=True, capture_output=True, text=True,
                         env=dict(os.environ, KARVELUM_ESTIMATE_REPEAT=str(repeat))).stdout.split()
    return float(out[3])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = pathlib.Path(__file__).resolve().parent.parent
    parser.add_argument("--dump", default=os.environ.get("KARVELUM_WORKING_SET_DUMP",
                                                         str(here / "build" / "cpp" / "karvelum_working_set_dump")))
    args = parser.parse_args()
    dump = args.dump if os.access(args.dump, os.X_OK) else None
    print(f"{karvelum.rayon_num_threads()} threads; 1D, {GEOMETRY['distance']} m; ns per sub-sample\n")
    print("| image | n_ss | sub-samples | first call s | ns / sub-sample | cached ms | numpy ns / sub-sample "
          "| numpy / ours | estimate ms | estimate / first call |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for rows, cols, n_ss, bins in CASES:
        subsamples = rows * cols * n_ss * n_ss
        first, cached = first_call((rows, cols), n_ss, bins)
        ours = (first - cached) / subsamples
        theirs = numpy_per_subsample((rows, cols), n_ss, bins)
        estimate = estimate_seconds(dump, (rows, cols), n_ss, bins) if dump else float("nan")
        print(f"| {rows}x{cols} | {n_ss} | {subsamples:.3g} | {first:.3f} | {ours * 1e9:.2f} | {cached * 1e3:.2f} "
              f"| {theirs * 1e9:.1f} | {theirs / ours:.0f} | {estimate * 1e3:.1f} | {estimate / first:.3f} |")
    if dump is None:
        print("\n(estimate not timed: no karvelum_working_set_dump; build the tests or pass --dump)")


if __name__ == "__main__":
    main()
