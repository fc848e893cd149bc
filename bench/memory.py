"""Working-set estimates beside measured peaks.

For every method and road at 1024², 2048² and 4096²: the working set a first
call admits (printed by the C++ helper karvelum_working_set_dump, built with
the tests) beside the call's peak, measured in a fresh process as the rise of
its high-water mark (VmHWM, reset through /proc/self/clear_refs just before
the call) over the memory it held before the call. The file road's decoded
image is part of the call; the array road's array is the caller's and exists
before, except the stream's own copy of it. Prints a markdown table.

    python3 bench/memory.py [--sizes 1024,2048] [--threads 4] [--jobs 2] [--dump PATH]
    python3 bench/memory.py --supersampled 9,16,32,64 --sizes 256 [...]

With --supersampled, the supersampled method alone at those n_ss, 1D and 2D, with
coarse bins and bins finer than a pixel, with and without a range (array road).

Needs tifffile and imagecodecs (LZW); run from a build tree (PYTHONPATH).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import GEOMETRY  # noqa: E402

METHODS = ["histogram", "counting", "pixel_split", "supersampled"]
# road: (call, estimate arguments of the dump)
ROADS = {
    "1d": ("ai.integrate1d(image, 1000)", ["1d", "1000", "0", "0"]),
    "1d errors": ("ai.integrate1d(image, 1000, errors=True)", ["1d", "1000", "1", "0"]),
    "1d azimuthal std": ("ai.integrate1d(image, 1000, errors=True, azimuthal_std=True)", ["1d", "1000", "1", "1"]),
    "2d": ("ai.integrate2d(image, 500, 360)", ["2d", "500", "360", "0"]),
    "2d errors": ("ai.integrate2d(image, 500, 360, errors=True)", ["2d", "500", "360", "1"]),
    "2d azimuthal range": ("ai.integrate2d(image, 500, 180, azimuthal_range=(-1.0, 1.0))",
                           ["2d", "500", "180", "0", "-1.0", "1.0"]),
    "batch 1d worker": ("ai.batch1d([image], 1000, num_workers=1, num_threads={threads})", ["1d", "1000", "0", "0"]),
    "batch 2d worker": ("ai.batch2d([image], 500, 360, num_workers=1, num_threads={threads})",
                        ["2d", "500", "360", "0"]),
    "stream 1d worker": ("list(ai.batch1d_iter([image], 1000, num_workers=1, num_threads={threads}))",
                         ["1d", "1000", "0", "0"]),
}
# Supersampled calls: (name, call, estimate arguments of the dump, integrator settings).
RADIAL_RANGE = [10.0, 25.0]
SUPERSAMPLED = [
    (f"1d {n}{' radial range' if r else ''}", f"ai.integrate1d(image, {n})",
     ["1d", str(n), "0", "0"] + ([str(v) for v in RADIAL_RANGE] if r else []),
     {"radial_range": RADIAL_RANGE} if r else {})
    for n in (1000, 20000) for r in (False, True)
] + [
    (f"2d {nr}x{na}{' azimuthal range' if r else ''}",
     f"ai.integrate2d(image, {nr}, {na}{', azimuthal_range=(-1.0, 1.0)' if r else ''})",
     ["2d", str(nr), str(na), "0"] + (["-1.0", "1.0"] if r else []), {})
    for nr, na in ((100, 36), (300, 3600)) for r in (False, True)
]
# batch2d takes paths only.
ARRAY_ROADS = [r for r in ROADS if r != "batch 2d worker"]
KEYS = ["pixel1", "pixel2", "distance", "poni1", "poni2", "rot1", "rot2", "rot3", "wavelength"]

CHILD = r"""
import json, sys
import numpy as np
import karvelum
job = json.loads(sys.argv[1])
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
settings = {k: tuple(v) if isinstance(v, list) else v for k, v in job["settings"].items()}  # ranges are tuples
ai = karvelum.Integrator.from_poni_dict(job["poni"], method=job["method"], unit="2th_deg", **settings)
ai.integrate1d(np.ones((8, 8)), 10)  # the pool and the module's own first allocations
image = np.load(job["path"]).astype(np.float64) if job["path"].endswith(".npy") else job["path"]
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
result = eval(job["call"])
print(json.dumps({"peak": status("VmHWM") - before}))
"""


def geometry_for(n):
    """The benchmarks' detector, its pixels scaled so every size covers the same angles."""
    poni = dict(GEOMETRY)
    poni["pixel1"] = poni["pixel2"] = GEOMETRY["pixel1"] * 2048 / n
    return poni


def write_images(directory, n):
    import tifffile
    y, x = np.mgrid[0:n, 0:n]
    r = np.hypot(y - 0.3 * n, x - 0.4 * n)
    rng = np.random.default_rng(0)
    image = (1000 + 800 * np.cos(r / (n / 200)) ** 2 + rng.poisson(20, (n, n))).astype(np.uint16)
    path = os.path.join(directory, f"frame_{n}.tif")
    tifffile.imwrite(path, image, compression="lzw")
    array = os.path.join(directory, f"frame_{n}.npy")
    np.save(array, image)
    return path, array


def estimate(dump, n, method, road_args, source, n_ss=0):
    poni = geometry_for(n)
    args = [dump, str(n), str(n)] + [repr(poni[k]) for k in KEYS] + ["2th_deg", method, str(n_ss), source, "2"]
    shared, own, image = map(int, subprocess.run(args + road_args, capture_output=True, text=True,
                                                 check=True).stdout.split())
    return shared + own + image


def measure(env, n, method, call, path, settings=None):
    job = dict(poni=geometry_for(n), method=method, path=path, call=call, settings=settings or {})
    out = subprocess.run([sys.executable, "-c", CHILD, json.dumps(job)], capture_output=True, text=True, env=env)
    if out.returncode != 0:
        raise RuntimeError(out.stderr[-500:])
    return json.loads(out.stdout)["peak"]


def supersampled(args, env, sizes):
    print("| size | n_ss | call | estimate MiB | peak MiB | estimate / peak |")
    print("|---|---:|---|---:|---:|---:|")
    worst = (float("inf"), 0.0)
    with tempfile.TemporaryDirectory() as tmp:
        for n in sizes:
            _, npy = write_images(tmp, n)
            cases = [(n_ss, case) for n_ss in args.supersampled for case in SUPERSAMPLED]

            def run(item):
                n_ss, (name, call, road_args, settings) = item
                est = estimate(args.dump, n, "supersampled", road_args, "array", n_ss)
                return item, est, measure(env, n, "supersampled", call, npy, dict(settings, n_ss=n_ss))
            with ThreadPoolExecutor(args.jobs) as pool:
                for (n_ss, (name, *_)), est, peak in pool.map(run, cases):
                    ratio = est / peak
                    worst = (min(worst[0], ratio), max(worst[1], ratio))
                    print(f"| {n}² | {n_ss} | {name} | {est / 2**20:.1f} | {peak / 2**20:.1f} | {ratio:.3f} |",
                          flush=True)
    print(f"\nestimate / peak from {worst[0]:.3f} to {worst[1]:.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1024,2048,4096")
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--jobs", type=int, default=2, help="measurements run at once")
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--dump", default=os.environ.get("KARVELUM_WORKING_SET_DUMP",
                                                         os.path.join(here, "build", "py", "karvelum_working_set_dump")))
    parser.add_argument("--supersampled", type=lambda v: [int(x) for x in v.split(",")], default=None,
                        help="n_ss values: the supersampled cases only")
    args = parser.parse_args()
    env = dict(os.environ, RAYON_NUM_THREADS=str(args.threads))
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)  # the dump's pool: the same size
    sizes = [int(s) for s in args.sizes.split(",")]
    print(f"{args.threads} threads; peak: rise of VmHWM in a fresh process; MiB = 2^20 bytes\n")
    if args.supersampled:
        supersampled(args, env, sizes)
        return
    print("| size | method | road | image | estimate MiB | peak MiB | estimate / peak |")
    print("|---|---|---|---|---:|---:|---:|")
    worst = (float("inf"), 0.0)
    with tempfile.TemporaryDirectory() as tmp:
        for n in sizes:
            tif, npy = write_images(tmp, n)
            cases = [(m, r, s) for m in METHODS for s in ("array", "file")
                     for r in (ARRAY_ROADS if s == "array" else ROADS)]
            def run(case):
                m, r, s = case
                est = estimate(args.dump, n, m, ROADS[r][1], s)
                if s == "array" and r.startswith("stream"):
                    est += n * n * 8  # the stream's copy of the array
                return case, est, measure(env, n, m, ROADS[r][0].format(threads=args.threads),
                                          npy if s == "array" else tif)
            with ThreadPoolExecutor(args.jobs) as pool:
                for (m, r, s), est, peak in pool.map(run, cases):
                    ratio = est / peak
                    worst = (min(worst[0], ratio), max(worst[1], ratio))
                    print(f"| {n}² | {m} | {r} | {s} | {est / 2**20:.1f} | {peak / 2**20:.1f} | {ratio:.3f} |",
                          flush=True)
    print(f"\nestimate / peak from {worst[0]:.3f} to {worst[1]:.3f}")


if __name__ == "__main__":
    main()
