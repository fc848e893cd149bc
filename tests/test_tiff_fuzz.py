"""Damaged and hostile TIFF files, mutated from valid ones by a fixed seed: each ends in a result or a clean
ValueError or MemoryError, prints nothing, allocates nothing large and does not hang."""
import json
import os
import random
import struct
import subprocess
import sys
import textwrap
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from tiff_files import packed_tiff, random_samples, tiff_bytes

SEED, MUTANTS, BATCH = 1105, 14, 50
SHAPE = (13, 22)
STRIPS, TILES = dict(rowsperstrip=4), dict(tile=(16, 16))



def valid_files():
    """Every layout the loader accepts: sample types and depths, codecs and predictors, strips and tiles,
    both byte orders, BigTIFF, colour, one file large enough to be decoded in parallel."""
    def data(dtype, shape=SHAPE, seed=0):
        rng = np.random.default_rng(seed)
        return (rng.random(shape) * 200).astype(dtype) if np.dtype(dtype).kind == "f" else rng.integers(
            0, 200, shape).astype(dtype)
    rgb = np.dstack([data("uint8", seed=s) for s in range(3)])
    return [
        tiff_bytes(data("uint8"), **STRIPS), tiff_bytes(data("uint8"), compression="jpeg", **STRIPS),
        tiff_bytes(data("uint8"), compression="jpeg", **TILES), tiff_bytes(rgb, compression="jpeg", **STRIPS),
        tiff_bytes(data("int16"), compression="lzw", predictor=2, byteorder=">", **STRIPS),
        tiff_bytes(data("uint16"), compression="adobe_deflate", **TILES),
        tiff_bytes(data("uint32"), compression="deflate", predictor=2, **STRIPS),
        tiff_bytes(data("float32"), compression="lzw", predictor=3, byteorder=">", **TILES),
        tiff_bytes(data("float64"), compression="adobe_deflate", predictor=3, **STRIPS),
        tiff_bytes(data("int64"), byteorder=">", **STRIPS),
        tiff_bytes(data("uint64"), compression="packbits", **TILES),
        tiff_bytes(rgb, compression="lzw", **STRIPS),
        tiff_bytes(np.moveaxis(rgb, -1, 0).astype(np.uint16), photometric="rgb", planarconfig="separate", **TILES),
        tiff_bytes(data("uint16"), bigtiff=True, compression="packbits", **STRIPS),
        tiff_bytes(data("uint8") > 100, **STRIPS), tiff_bytes(data("uint16"), bitspersample=12, **TILES),
        packed_tiff(random_samples(12, True, SHAPE), 12, True, ">", compression=8, **TILES),
        packed_tiff(random_samples(24, False, SHAPE), 24, False, ">", compression=5, rowsperstrip=4),
        packed_tiff(random_samples(1, False, SHAPE), 1, compression=32773, rowsperstrip=4),
        packed_tiff(random_samples(33, True, SHAPE + (3,)), 33, True, compression=32946, planar=True, rowsperstrip=4),
        tiff_bytes(data("float32", (512, 512)), compression="adobe_deflate", rowsperstrip=64),  # in parallel
    ]


def directory(raw):
    """(byte order, entry positions) of the first directory of a classic TIFF, or None."""
    order = {b"II": "<", b"MM": ">"}.get(bytes(raw[:2]))
    if order is None or len(raw) < 8 or struct.unpack_from(f"{order}H", raw, 2)[0] != 42:
        return None
    at = struct.unpack_from(f"{order}I", raw, 4)[0]
    count = struct.unpack_from(f"{order}H", raw, at)[0] if at + 2 <= len(raw) else 0
    entries = [at + 2 + 12 * k for k in range(count) if at + 14 + 12 * k <= len(raw)]
    return (order, entries) if entries else None


HUGE = [0, 1, 255, 65535, 2**16 + 1, 2**24, 2**31 - 1, 2**31, 2**32 - 1]
TAGS = [256, 257, 258, 259, 262, 273, 277, 278, 279, 284, 317, 320, 322, 323, 324, 325, 330, 338, 339, 347, 530]


def mutate(raw, rng):
    """One damaged copy of a valid file."""
    raw = bytearray(raw)
    ifd = directory(raw)
    kind = rng.choice(["flip", "truncate", "block"] + ["entry", "value", "dimension"] * (ifd is not None))
    if kind == "flip":  # a few bytes anywhere
        for _ in range(rng.randint(1, 4)):
            raw[rng.randrange(len(raw))] = rng.randrange(256)
    elif kind == "truncate":
        del raw[rng.randrange(len(raw)):]
    elif kind == "block":  # compressed or raw sample data overwritten
        start = rng.randrange(8, len(raw))
        raw[start:start + rng.randint(1, 64)] = bytes(rng.randrange(256) for _ in range(64))
    else:
        order, entries = ifd
        at = rng.choice(entries)
        if kind == "entry":  # tag, type or count of one entry
            field, fmt = rng.choice([(0, "H"), (2, "H"), (4, "I")])
            value = rng.choice(TAGS) if field == 0 else rng.randrange(19) if field == 2 else rng.choice(HUGE)
        elif kind == "value":  # a value or offset, offsets and counts of blocks included
            field, fmt, value = 8, "I", rng.choice(HUGE + [len(raw) - rng.randrange(1, 16), rng.randrange(len(raw))])
        else:  # image width or length
            at = next((e for e in entries if struct.unpack_from(f"{order}H", raw, e)[0] in (256, 257)), at)
            short, field = struct.unpack_from(f"{order}H", raw, at + 2)[0] == 3, 8
            fmt, value = ("H", rng.choice(HUGE) & 0xFFFF) if short else ("I", rng.choice(HUGE))
        struct.pack_into(f"{order}{fmt}", raw, at + field, value)
    return bytes(raw)


def hostile_files():
    """Small files that declare huge images; the last is within the limits but its strips run short."""
    def zeros(width, height, bits, fmt, rows=1024):  # every strip points at one Deflate stream of zeros
        n, stream = -(-height // rows), zlib.compress(bytes(1 << 20), 9)
        tags = [(256, 4, [width]), (257, 4, [height]), (258, 3, [bits]), (259, 3, [8]), (339, 3, [fmt]),
                (278, 4, [rows]), (279, 4, [len(stream)] * n)]
        size = len(packed_tiff(np.zeros((1, 1)), 8, tags=tags + [(273, 4, [0] * n)]))
        return packed_tiff(np.zeros((1, 1)), 8, tags=tags + [(273, 4, [size] * n)]) + stream
    return [zeros(16384, 16384, 64, 3), zeros(16384, 16384, 32, 3), zeros(2**31 - 1, 2**31 - 1, 1, 1, 2**31),
            zeros(2**32 - 1, 3, 64, 3, 1), zeros(65536, 65536, 12, 2, 2**16), zeros(8192, 8192, 32, 1)]


CHILD = """
import json, os, resource, signal, sys, karvelum
if not os.environ.get("KARVELUM_SANITIZED"):  # the sanitizer build caps allocations itself
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))  # what integration needs of a huge image fails cleanly
geometry = dict(pixel1=1e-4, pixel2=1e-4, distance=0.1, poni1=0.0, poni2=0.0, rot1=0.0, rot2=0.0, rot3=0.0,
                wavelength=1e-10)
ai, masked = karvelum.Integrator.from_poni_dict(geometry), karvelum.Integrator.from_poni_dict(geometry)
def outcome(call, path):
    try:
        call(path)
        return "result"
    except (ValueError, MemoryError) as exc:
        return type(exc).__name__
    except BaseException as exc:
        return f"{type(exc).__name__}: {exc}"
start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
for path in sys.argv[1:]:
    signal.alarm(10)  # no handler: a hang ends the process
    print(json.dumps([path, outcome(lambda p: ai.integrate1d(p, 16), path), outcome(masked.set_mask, path)]),
          flush=True)
    signal.alarm(0)
print(json.dumps((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start) >> 10))
"""


def run_batch(paths):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD), *paths], capture_output=True, text=True,
                          env={**env, "RAYON_NUM_THREADS": "2"}, timeout=240)
    lines = [json.loads(line) for line in proc.stdout.splitlines()]
    if proc.returncode != 0:  # the file it was given last ended it
        return lines, (paths[len(lines)], proc.returncode), proc.stderr, None
    return lines[:-1], None, proc.stderr, lines[-1]  # the last line: how far the process grew, in MiB


def test_damaged_and_hostile_files_end_cleanly(tmp_path):
    rng, files, bases = random.Random(SEED), hostile_files(), valid_files()
    for base in bases:
        files += [base] + [mutate(base, rng) for _ in range(MUTANTS)]
    paths = []
    for k, raw in enumerate(files):
        (path := tmp_path / f"{k:03d}.tif").write_bytes(raw)
        paths.append(str(path))
    hostile = len(hostile_files())  # a batch of their own, to see what they allocate
    batches = [paths[:hostile]] + [paths[k:k + BATCH] for k in range(hostile, len(paths), BATCH)]
    with ThreadPoolExecutor(min(4, os.cpu_count() or 1)) as pool:
        reports = list(pool.map(run_batch, batches))
    for done, crashed, stderr, _ in reports:
        assert crashed is None, f"{crashed[0]} ended the process with {crashed[1]}: {stderr[-2000:]}"
        assert stderr == ""
        for path, *outcomes in done:
            assert set(outcomes) <= {"result", "ValueError", "MemoryError"}, (path, outcomes)
    results = {path: outcomes for done, *_ in reports for path, *outcomes in done}
    assert all("result" not in results[path] for path in paths[:hostile])
    assert reports[0][3] < 64, f"the huge declared images took {reports[0][3]} MiB"  # nothing large was touched
    assert all(results[paths[hostile + k * (MUTANTS + 1)]] == ["result"] * 2 for k in range(len(bases)))
