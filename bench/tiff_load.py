"""TIFF loading: our decode (through integrate1d with a cached table, minus
the same integration of the array) beside tifffile.imread of the same file;
then the memory the process keeps after loading a large image and after a
hostile file fails, each in a fresh interpreter.

Run: python3 bench/tiff_load.py
"""
import json
import pathlib
import struct
import subprocess
import sys
import tempfile
import zlib

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

def zeros_tiff(path, side, corrupt_last=False):
    """A side x side 8-bit image of 1024-row Deflate strips that all point at one
    compressed strip of zeros: 16 KB on disk, 256 MiB of samples (2 GiB as f64)."""
    rows = 1024
    stream, n = zlib.compress(bytes(side * rows), 9), side // rows
    ifd = 8 + 2 + 12 * 9 + 4
    offsets_at, counts_at = ifd, ifd + 4 * n
    data_at = counts_at + 4 * n
    tags = [(256, 4, 1, side), (257, 4, 1, side), (258, 3, 1, 8), (259, 3, 1, 8), (262, 3, 1, 1),
            (273, 4, n, offsets_at), (277, 3, 1, 1), (278, 4, 1, rows), (279, 4, n, counts_at)]
    body = b"II*\0" + struct.pack("<IH", 8, len(tags))
    body += b"".join(struct.pack("<HHII", *t) for t in tags) + struct.pack("<I", 0)
    body += struct.pack(f"<{n}I", *([data_at] * (n - 1) + [data_at + (len(stream) if corrupt_last else 0)]))
    body += struct.pack(f"<{n}I", *([len(stream)] * n)) + stream + (b"\xff" * 64 if corrupt_last else b"")
    pathlib.Path(path).write_bytes(body)


MEMORY_CHILD = """
import json, resource, sys, time, karvelum
from common import GEOMETRY
def rss():  # MiB resident now
    return int(next(l for l in open("/proc/self/status") if l.startswith("VmRSS")).split()[1]) / 1024
path, limit = sys.argv[1], int(sys.argv[2])
if limit:  # the geometry of the huge image cannot be allocated: integration ends in MemoryError
    resource.setrlimit(resource.RLIMIT_AS, (limit << 30, limit << 30))
ai = karvelum.Integrator.from_poni_dict(GEOMETRY, method="histogram")
before, t = rss(), time.perf_counter()
try:
    ai.integrate1d(path, 1000)
    outcome = "result"
except (ValueError, MemoryError) as exc:
    outcome = type(exc).__name__
took = time.perf_counter() - t
del ai  # its geometry and tables go; what stays is the module's own
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(json.dumps([outcome, before, rss(), peak, took]))
"""


def memory(tmp):
    """Resident memory kept by the module after one integrate1d(path) call, the
    integrator dropped."""
    large = pathlib.Path(tmp) / "large-float32.tif"
    tifffile.imwrite(large, np.random.default_rng(1).random((4096, 4096), np.float32), rowsperstrip=64)
    zeros_tiff(corrupt := pathlib.Path(tmp) / "zeros-corrupt.tif", 16384, corrupt_last=True)
    zeros_tiff(zeros := pathlib.Path(tmp) / "zeros.tif", 16384)
    print("\nResident memory around one integrate1d(path), then the integrator dropped; fresh interpreter each:")
    print(f"  {'file':<44} {'outcome':>11} {'before':>9} {'after':>9} {'peak':>9} {'time':>9}")
    for label, path, limit in [("4096 x 4096 float32 (64 MiB file)", large, 0),
                               ("16384^2 zeros, last strip corrupt (16 KB)", corrupt, 0),
                               ("16384^2 zeros, address space of 6 GiB (16 KB)", zeros, 6)]:
        proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(path), str(limit)], capture_output=True,
                              text=True, cwd=pathlib.Path(__file__).parent, timeout=600)
        if proc.returncode != 0:
            print(f"  {label:<44} died ({proc.returncode}): {proc.stderr.strip()[-200:]}")
            continue
        outcome, before, after, peak, took = json.loads(proc.stdout.splitlines()[-1])
        print(f"  {label:<44} {outcome:>11} {before:6.0f} MiB {after:6.0f} MiB {peak:6.0f} MiB {took * 1e3:6.0f} ms")


if __name__ == "__main__":
    main()
    with tempfile.TemporaryDirectory() as tmp:
        memory(tmp)
