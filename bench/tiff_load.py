"""TIFF loading: our decode (through integrate1d with a cached table, minus
the same integration of the array) beside tifffile.imread of the same file.

Run: python3 bench/tiff_load.py
"""
import pathlib
import tempfile
import time

import numpy as np
import tifffile

from common import GEOMETRY, best  # noqa: E402

import karvelum

SHAPE = (2048, 2048)
GEOM = GEOMETRY



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
