"""1D integration timings beside numpy/scipy doing the same work.

Run: python3 bench/integrate1d.py   (2048 x 2048 float64, 1000 bins)
"""
import os
import pathlib
import subprocess
import sys
import time

import numpy as np
import scipy.sparse

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import oracle  # noqa: E402

from common import GEOMETRY, best  # noqa: E402

import karvelum  # noqa: E402

SHAPE = (2048, 2048)
N = 1000
GEOM = GEOMETRY



def row(label, ours, theirs=None, their_label=""):
    if theirs is None:
        print(f"  {label:<44} {ours * 1e3:9.2f} ms")
    else:
        print(f"  {label:<44} {ours * 1e3:9.2f} ms   {their_label:<28} {theirs * 1e3:9.2f} ms   x{theirs / ours:5.1f}")


def peak_rss_of_supersampled_build():
    # VmHWM is the peak resident size of this process image (Linux).
    code = (
        "import numpy as np, karvelum\n"
        "def hwm():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM'): return int(line.split()[1])\n"
        f"ai = karvelum.Integrator.from_poni_dict({GEOM!r}, method='supersampled', n_ss=5)\n"
        f"img = np.ones({SHAPE})\n"
        "base = hwm()\n"
        f"ai.integrate1d(img, {N})\n"
        "print(hwm(), base)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]) / 1024, int(out[1]) / 1024


def main():
    rng = np.random.default_rng(0)
    img = rng.poisson(100.0, SHAPE).astype(np.float64)
    print(f"karvelum integrate1d, {SHAPE[0]} x {SHAPE[1]} float64, {N} bins, "
          f"{karvelum.rayon_num_threads()} threads")

    ai = karvelum.Integrator.from_poni_dict(GEOM, method="counting")
    t = time.perf_counter()
    ai.integrate1d(img, N)
    first = time.perf_counter() - t
    cached_counting = best(lambda: ai.integrate1d(img, N))
    row("first call, geometry + counting table", first)

    print("table build (first call minus cached call):")
    cached = {}
    for method in ["counting", "pixel_split", "supersampled"]:
        ai.set_method(method)
        ai.integrate1d(np.ones((8, 8)), 10)  # another shape empties the caches
        ai.integrate1d(img, 7)  # geometry for the big shape, table for another bin count
        t = time.perf_counter()
        ai.integrate1d(img, N)
        build = time.perf_counter() - t
        cached[method] = best(lambda: ai.integrate1d(img, N))
        row(f"{method}", build - cached[method])

    # numpy / scipy doing the counting work on precomputed arrays
    geo = oracle.pixel_geometry(GEOM, SHAPE)
    r = geo["two_theta"]
    corr = geo["correction"]
    lo, hi = r.min(), r.max()
    dx = (hi + 2.220446049250313e-15 - lo) / N
    idx = np.minimum((r - lo) / dx, N - 1).astype(np.int64)
    flat = img.ravel()
    csr = scipy.sparse.csr_matrix((np.ones(r.size), (idx, np.arange(r.size))), shape=(N, r.size))
    t_csr = best(lambda: (csr @ flat) / (csr @ corr))
    t_bincount = best(lambda: np.bincount(idx, flat, N) / np.bincount(idx, corr, N))

    def numpy_histogram():
        i = np.minimum(((r - lo) / dx).astype(np.int64), N - 1)
        return np.bincount(i, flat / corr, N) / np.bincount(i, None, N)

    t_hist_np = best(numpy_histogram)

    print("cached integrate1d:")
    row("counting", cached["counting"], t_csr, "scipy CSR products (2)")
    row("counting", cached["counting"], t_bincount, "np.bincount on indices (2)")
    for method in ["pixel_split", "supersampled"]:
        row(f"{method} ({cached[method] / cached['counting']:.1f}x counting)", cached[method], t_csr,
            "scipy CSR products (2)")
    for method in ["counting", "pixel_split", "supersampled"]:
        ai.set_method(method)
        row(f"{method}, errors=True", best(lambda: ai.integrate1d(img, N, errors=True)))
    ai.set_method("histogram")
    row("histogram", best(lambda: ai.integrate1d(img, N)), t_hist_np, "numpy indices + bincount")
    row("histogram, errors=True", best(lambda: ai.integrate1d(img, N, errors=True)))
    ai.set_method("counting")
    row("counting, azimuthal_std=True", best(lambda: ai.integrate1d(img, N, azimuthal_std=True)))

    small = np.ones((8, 8))
    tiny = karvelum.Integrator.from_poni_dict(GEOM, method="counting")
    tiny.integrate1d(small, 10)
    calls = 20000
    t = time.perf_counter()
    for _ in range(calls):
        tiny.integrate1d(small, 10)
    per_call = (time.perf_counter() - t) / calls
    print(f"  {'8 x 8 array, cached table, per call':<44} {per_call * 1e6:9.2f} us")

    peak, base = peak_rss_of_supersampled_build()
    print(f"supersampled (n_ss 5) first call: peak RSS {peak:.0f} MB (before the call {base:.0f} MB)")


if __name__ == "__main__":
    main()
