"""2D integration timings beside numpy doing the counting work.

Run: python3 bench/integrate2d.py   (2048 x 2048 float64, 1000 x 360 bins)

Timings are medians of several calls with their spread; bounds are the bytes a
call must read over the parallel-read bandwidth measured in the same run (see
integrate1d.py).
"""
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import oracle  # noqa: E402

from common import GEOMETRY  # noqa: E402
from integrate1d import memory_bandwidth, row, timing  # noqa: E402

import karvelum  # noqa: E402

SHAPE = (2048, 2048)
NR, NA = 1000, 360
GEOM = GEOMETRY


def main():
    img = np.random.default_rng(0).poisson(100.0, SHAPE).astype(np.float64)
    threads = karvelum.rayon_num_threads()
    bandwidth = memory_bandwidth(threads)
    pixels = img.size
    print(f"karvelum integrate2d, {SHAPE[0]} x {SHAPE[1]} float64, {NR} x {NA} bins, {threads} threads; "
          f"parallel read {bandwidth / 1e9:.1f} GB/s")
    # At least: sample and correction per pixel; a 4-byte index per pixel and an
    # 8-byte offset per bin for the counting table, radial value and azimuth per
    # pixel for the histogram.
    bounds = {"counting": (pixels * (8 + 8 + 4) + (NR * NA + 1) * 8) / bandwidth,
              "histogram": pixels * (8 + 8 + 8 + 8) / bandwidth}
    ai = karvelum.Integrator.from_poni_dict(GEOM)
    ai.integrate1d(img, 10)  # per-pixel geometry for this shape
    cached = {}
    for method in ["counting", "pixel_split", "supersampled", "histogram"]:
        ai.set_method(method)
        ai.integrate2d(img, NR, NA - 1)  # another table in the slot
        t = time.perf_counter()
        ai.integrate2d(img, NR, NA)
        first = time.perf_counter() - t
        cached[method] = timing(lambda: ai.integrate2d(img, NR, NA))
        if method != "histogram":
            print(f"  {method + ' build':<36} {1e3 * (first - cached[method][0]):8.2f} ms")
        bound = bounds.get(method)
        row(method, cached[method], bound)
        row(method + ", errors=True", timing(lambda: ai.integrate2d(img, NR, NA, errors=True)), bound)
        row(method + ", azimuthal range", timing(lambda: ai.integrate2d(img, NR, NA, azimuthal_range=(-1.0, 2.0))),
            bound)

    one_d = timing(lambda: ai.integrate1d(img, NR))
    row("histogram 1D, same bins", one_d, pixels * 24 / bandwidth)
    print(f"  2D histogram over 1D histogram: x{cached['histogram'][0] / one_d[0]:.2f}")

    geo = oracle.pixel_geometry(GEOM, SHAPE)
    r, chi, corr = geo["two_theta"], geo["chi"], geo["correction"]
    dr = (r.max() + 2.220446049250313e-15 - r.min()) / NR
    dchi = (chi.max() + 2.220446049250313e-15 - chi.min()) / NA
    cells = (np.minimum((r - r.min()) / dr, NR - 1).astype(np.int64)
             + NR * (np.floor((chi - chi.min()) / dchi).astype(np.int64) % NA))
    flat = img.ravel()
    with np.errstate(invalid="ignore", divide="ignore"):
        t_np = timing(lambda: np.bincount(cells, flat, NR * NA) / np.bincount(cells, corr, NR * NA), 7)
    print(f"  numpy bincount over precomputed cell indices (2 calls): {1e3 * t_np[0]:7.2f} ms;"
          f" counting is x{t_np[0] / cached['counting'][0]:.1f} faster")


if __name__ == "__main__":
    main()
