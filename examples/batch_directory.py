"""Integrates every TIFF file of a directory with one batch1d call.

    python3 examples/batch_directory.py                          # synthetic frames
    python3 examples/batch_directory.py /data/run7 geometry.poni

Without a directory it writes synthetic frames into a temporary one, with one
file that is not an image and one that is cut short. A file that cannot be
read does not stop the batch: its result carries the reason instead.
"""
import pathlib
import sys
import tempfile
import time

import numpy as np
import tifffile

import karvelum

HERE = pathlib.Path(__file__).resolve().parent


def write_frames(directory, count=16, shape=(512, 512)):
    rng = np.random.default_rng(3)
    rows, cols = np.indices(shape)
    r = np.hypot(rows - 0.45 * shape[0], cols - 0.55 * shape[1])
    rings = 10.0 + sum(500.0 * np.exp(-0.5 * ((r - c) / 3.0) ** 2) for c in (60, 130, 210))
    for i in range(count):
        tifffile.imwrite(directory / f"frame_{i:04d}.tif", rng.poisson(rings).astype(np.float32),
                         compression="zlib")
    (directory / "frame_0005.tif").write_text("the detector wrote a log line here\n")
    whole = (directory / "frame_0011.tif").read_bytes()
    (directory / "frame_0011.tif").write_bytes(whole[:len(whole) // 3])


def integrate_directory(directory, poni):
    paths = sorted(str(p) for p in pathlib.Path(directory).iterdir() if p.suffix.lower() in (".tif", ".tiff"))
    ai = karvelum.Integrator(str(poni), unit="2th_deg")
    start = time.perf_counter()
    results = ai.batch1d(paths, 1000, errors=True)
    seconds = time.perf_counter() - start
    good = [item for item in results if item.is_ok()]
    print(f"{len(good)} of {len(results)} files integrated in {seconds:.2f} s")
    for item in results:
        if item.is_err():
            print(f"  {pathlib.Path(item.filename).name}: {item.error}")
    if good:
        first = good[0].result
        print(f"  each pattern: {len(first.radial)} points, 2-theta {first.radial[0]:.3f} .. "
              f"{first.radial[-1]:.3f} deg")

def main(argv):
    if len(argv) > 1:
        integrate_directory(argv[1], argv[2] if len(argv) > 2 else HERE / "detector.poni")
        return
    with tempfile.TemporaryDirectory() as tmp:
        write_frames(pathlib.Path(tmp))
        integrate_directory(tmp, HERE / "detector.poni")


if __name__ == "__main__":
    main(sys.argv)
