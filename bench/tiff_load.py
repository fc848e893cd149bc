"""TIFF loading: our decode (through integrate1d with a cached table, minus
the same integration of the array) beside tifffile.imread of the same file.

Run: python3 bench/tiff_load.py
"""
import pathlib
import tempfile
import time

import numpy as np
import tifffile

import karvelum

SHAPE = (2048, 2048)
GEOM = dict(pixel1=7.5e-5, pixel2=7.5e-5, distance=0.15, poni1=0.0792, poni2=0.0731,
            rot1=0.012, rot2=-0.018, rot3=0.0, wavelength=7.293e-11)


def best(f, repeat=9):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    rng = np.random.default_rng(0)
    counts = rng.poisson(50.0, SHAPE)
    ai = karvelum.Integrator.from_poni_dict(GEOM, method="counting")
    print(f"TIFF load, {SHAPE[0]} x {SHAPE[1]}, {karvelum.rayon_num_threads()} threads")
    print(f"  {'file':<28} {'karvelum':>10} {'tifffile':>10}   ratio (tifffile / karvelum)")
    with tempfile.TemporaryDirectory() as tmp:
        for dtype in [np.float32, np.uint16, np.uint32]:
            data = counts.astype(dtype)
            array = np.ascontiguousarray(np.flipud(data)).astype(np.float64)
            ai.integrate1d(array, 1000)
            t_array = best(lambda: ai.integrate1d(array, 1000))
            for compression in [None, "zlib"]:
                path = pathlib.Path(tmp) / f"{np.dtype(dtype).name}-{compression}.tif"
                tifffile.imwrite(path, data, compression=compression, rowsperstrip=64)
                ours = best(lambda: ai.integrate1d(str(path), 1000)) - t_array
                theirs = best(lambda: tifffile.imread(path))
                label = f"{np.dtype(dtype).name}, {compression or 'uncompressed'}"
                print(f"  {label:<28} {ours * 1e3:8.2f} ms {theirs * 1e3:8.2f} ms   x{theirs / ours:5.2f}")


if __name__ == "__main__":
    main()
