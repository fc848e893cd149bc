"""2D integration timings beside numpy doing the counting work.

Run: python3 bench/integrate2d.py   (2048 x 2048 float64, 500 x 360 bins)
"""
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import oracle  # noqa: E402

from common import GEOMETRY, best  # noqa: E402

import karvelum  # noqa: E402

SHAPE = (2048, 2048)
NR, NA = 500, 360
GEOM = GEOMETRY



def main():
    img = np.random.default_rng(0).poisson(100.0, SHAPE).astype(np.float64)
    print(f"karvelum integrate2d, {SHAPE[0]} x {SHAPE[1]} float64, {NR} x {NA} bins, "
          f"{karvelum.rayon_num_threads()} threads")
    ai = karvelum.Integrator.from_poni_dict(GEOM)
    ai.integrate1d(img, 10)  # per-pixel geometry for this shape
    cached = {}
    for method in ["counting", "pixel_split", "supersampled", "histogram"]:
        ai.set_method(method)
        ai.integrate2d(img, NR, NA - 1)  # another table in the slot
        t = time.perf_counter()
        ai.integrate2d(img, NR, NA)
        first = time.perf_counter() - t
        cached[method] = best(lambda: ai.integrate2d(img, NR, NA))
        with_errors = best(lambda: ai.integrate2d(img, NR, NA, errors=True))
        ranged = best(lambda: ai.integrate2d(img, NR, NA, azimuthal_range=(-1.0, 2.0)))
        build = "" if method == "histogram" else f"build {1e3 * (first - cached[method]):8.1f} ms,"
        print(f"  {method:<13} {build:<22} cached {1e3 * cached[method]:7.2f} ms, errors {1e3 * with_errors:7.2f} ms,"
              f" with azimuthal range {1e3 * ranged:7.2f} ms")

    geo = oracle.pixel_geometry(GEOM, SHAPE)
    r, chi, corr = geo["two_theta"], geo["chi"], geo["correction"]
    dr = (r.max() + 2.220446049250313e-15 - r.min()) / NR
    dchi = (chi.max() + 2.220446049250313e-15 - chi.min()) / NA
    cells = (np.minimum((r - r.min()) / dr, NR - 1).astype(np.int64)
             + NR * (np.floor((chi - chi.min()) / dchi).astype(np.int64) % NA))
    flat = img.ravel()
    with np.errstate(invalid="ignore", divide="ignore"):
        t_np = best(lambda: np.bincount(cells, flat, NR * NA) / np.bincount(cells, corr, NR * NA))
    print(f"  numpy bincount over precomputed cell indices (2 calls): {1e3 * t_np:7.2f} ms;"
          f" counting is x{t_np / cached['counting']:.1f} faster")


if __name__ == "__main__":
    main()
