"""1D integration timings beside numpy/scipy doing the same work.

Run: python3 bench/integrate1d.py   (2048 x 2048 float64, 1000 bins)

Each timing is the median of several calls, with their spread (max - min over
the median). Where the bytes a call must read are known, the memory-bandwidth
bound is shown beside it: those bytes over the bandwidth of a parallel read of
a large array, measured in the same run.
"""
import concurrent.futures
import pathlib
import subprocess
import sys
import time

import numpy as np
import scipy.sparse

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import oracle  # noqa: E402

from common import GEOMETRY  # noqa: E402

import karvelum  # noqa: E402

SHAPE = (2048, 2048)
N = 1000
GEOM = GEOMETRY
REPEAT = 21


def timing(f, repeat=REPEAT):
    """Median time of `repeat` calls of f after one warm-up call, and their spread (max - min) / median."""
    f()
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    median = float(np.median(times))
    return median, (max(times) - min(times)) / median


def memory_bandwidth(threads, nbytes=1 << 29):
    """Bytes per second of `threads` threads summing disjoint parts of one large array (numpy's
    reductions release the interpreter lock); the median of several passes."""
    parts = np.array_split(np.ones(nbytes // 8), threads)
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        list(pool.map(np.add.reduce, parts))
        seconds, _ = timing(lambda: list(pool.map(np.add.reduce, parts)), 9)
    return nbytes / seconds


def row(label, measured, bound=None, theirs=None, their_label=""):
    """One line: median, spread, the bound and our time over it, numpy/scipy and their time over ours."""
    median, spread = measured
    text = f"  {label:<36} {median * 1e3:8.2f} ms  spread {spread * 100:4.0f}%"
    if bound is not None:
        text += f"  bound {bound * 1e3:6.2f} ms (x{median / bound:4.1f})"
    if theirs is not None:
        text += f"  {their_label} {theirs[0] * 1e3:7.2f} ms (x{theirs[0] / median:5.1f} slower)"
    print(text)


def one_thread_cpu_ms():
    """Processor milliseconds per cached call on a pool of one thread (the median of 21), per method and
    form, measured in a fresh interpreter; load-independent where wall time is not."""
    code = (
        "import time, numpy as np, karvelum\n"
        "karvelum.set_rayon_threads(1)\n"
        f"img = np.random.default_rng(0).poisson(100.0, {SHAPE}).astype(np.float64)\n"
        "for method in ('counting', 'pixel_split', 'supersampled'):\n"
        f"    ai = karvelum.Integrator.from_poni_dict({GEOM!r}, method=method)\n"
        "    for errors in (False, True):\n"
        f"        ai.integrate1d(img, {N}, errors)\n"
        "        times = []\n"
        "        for _ in range(21):\n"
        "            c = time.process_time()\n"
        f"            ai.integrate1d(img, {N}, errors)\n"
        "            times.append(time.process_time() - c)\n"
        "        print(method, errors, float(np.median(times)) * 1e3)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    return [(m, e == "True", float(t)) for m, e, t in (line.split() for line in out.splitlines())]


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
    threads = karvelum.rayon_num_threads()
    bandwidth = memory_bandwidth(threads)
    pixels = img.size
    print(f"karvelum integrate1d, {SHAPE[0]} x {SHAPE[1]} float64, {N} bins, {threads} threads; "
          f"parallel read {bandwidth / 1e9:.1f} GB/s")
    # What a call must read at least: per pixel the sample and its correction, plus for
    # the counting table a 4-byte index and per bin an 8-byte offset; for the histogram
    # the radial value instead of the table.
    counting_bound = (pixels * (8 + 8 + 4) + (N + 1) * 8) / bandwidth
    histogram_bound = pixels * (8 + 8 + 8) / bandwidth

    ai = karvelum.Integrator.from_poni_dict(GEOM, method="counting")
    t = time.perf_counter()
    ai.integrate1d(img, N)
    first = time.perf_counter() - t
    print(f"  {'first call, geometry + counting table':<36} {first * 1e3:8.2f} ms")

    print("table build (first call minus the median cached call):")
    cached = {}
    for method in ["counting", "pixel_split", "supersampled"]:
        ai.set_method(method)
        ai.integrate1d(np.ones((8, 8)), 10)  # another shape empties the caches
        ai.integrate1d(img, 7)  # geometry for the big shape, table for another bin count
        t = time.perf_counter()
        ai.integrate1d(img, N)
        build = time.perf_counter() - t
        cached[method] = timing(lambda: ai.integrate1d(img, N))
        print(f"  {method:<36} {(build - cached[method][0]) * 1e3:8.2f} ms")

    # numpy / scipy doing the same work on precomputed arrays
    geo = oracle.pixel_geometry(GEOM, SHAPE)
    r = geo["two_theta"]
    corr = geo["correction"]
    lo, hi = r.min(), r.max()
    dx = (hi + 2.220446049250313e-15 - lo) / N
    idx = np.minimum((r - lo) / dx, N - 1).astype(np.int64)
    flat = img.ravel()
    csr = scipy.sparse.csr_matrix((np.ones(r.size), (idx, np.arange(r.size))), shape=(N, r.size))
    t_csr = timing(lambda: (csr @ flat) / (csr @ corr), 7)
    t_bincount = timing(lambda: np.bincount(idx, flat, N) / np.bincount(idx, corr, N), 7)

    def numpy_histogram():
        i = np.minimum(((r - lo) / dx).astype(np.int64), N - 1)
        return np.bincount(i, flat / corr, N) / np.bincount(i, None, N)

    t_hist_np = timing(numpy_histogram, 7)

    print("cached integrate1d:")
    row("counting", cached["counting"], counting_bound, t_csr, "scipy CSR products (2)")
    print(f"  counting x{t_csr[0] / cached['counting'][0]:.1f} scipy CSR products (target 20)")
    row("counting", cached["counting"], counting_bound, t_bincount, "np.bincount on indices (2)")
    for method in ["pixel_split", "supersampled"]:
        row(f"{method} ({cached[method][0] / cached['counting'][0]:.1f}x counting)", cached[method], None, t_csr,
            "scipy CSR products (2)")
    for method in ["counting", "pixel_split", "supersampled"]:
        ai.set_method(method)
        row(f"{method}, errors=True", timing(lambda: ai.integrate1d(img, N, errors=True)),
            counting_bound if method == "counting" else None)
    ai.set_method("counting")
    row("counting, azimuthal_std=True", timing(lambda: ai.integrate1d(img, N, azimuthal_std=True)))

    print("histogram (no table; bins, corrected values and variances formed on every call):")
    ai.set_method("histogram")
    row("histogram", timing(lambda: ai.integrate1d(img, N)), histogram_bound, t_hist_np, "numpy indices + bincount")
    row("histogram, errors=True", timing(lambda: ai.integrate1d(img, N, errors=True)), histogram_bound)
    mask = np.zeros(SHAPE, np.uint8)
    mask[:, :64] = 1
    ai.set_mask(mask)
    row("histogram, masked", timing(lambda: ai.integrate1d(img, N)), histogram_bound + pixels / bandwidth)
    ai.clear_mask()
    row("histogram, azimuthal_std=True", timing(lambda: ai.integrate1d(img, N, azimuthal_std=True)),
        histogram_bound)
    row("histogram, azimuthal_std, errors", timing(lambda: ai.integrate1d(img, N, errors=True, azimuthal_std=True)),
        histogram_bound)

    small = np.ones((8, 8))
    tiny = karvelum.Integrator.from_poni_dict(GEOM, method="counting")
    tiny.integrate1d(small, 10)
    calls = 20000
    t = time.perf_counter()
    for _ in range(calls):
        tiny.integrate1d(small, 10)
    per_call = (time.perf_counter() - t) / calls
    print(f"  {'8 x 8 array, cached table, per call':<36} {per_call * 1e6:8.2f} us")

    print("processor time per cached call on one thread (median of 21; target for counting: 8 ms):")
    for method, errors, ms in one_thread_cpu_ms():
        print(f"  {method + (', errors=True' if errors else ''):<36} {ms:8.2f} ms")

    peak, base = peak_rss_of_supersampled_build()
    print(f"supersampled (n_ss 5) first call: peak RSS {peak:.0f} MB (before the call {base:.0f} MB)")


if __name__ == "__main__":
    main()
