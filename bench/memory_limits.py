"""First calls under a real memory limit: killed, refused or admitted.

Each run is a fresh interpreter in a cgroup v1 memory group of its own (made
under this process's group; needs root), one at a time. Two cases at 4096²:

wedge: integrate2d(ones, 500, 3600) with pixel_split over a wedge 0.16° wide
  straight down the detector from a beam on its top edge, at 4 threads (beam
  over column 16.5) and at 2 threads (over column 8.5, a wedge half as wide).
  The wedge lies between the columns whose pixels the estimate samples, so the
  table outgrows the estimate. First the call alone in a group without a limit
  (its peak: the group's high-water mark over what it held before the call),
  then a few runs under each limit.
stream: batch1d_iter with pixel_split (1000 points, 2 workers of 2 threads)
  over four Deflate uint16 frames: fed by a generator that yields one every
  --delay seconds; by one that yields the second once the process has grown
  --gate of what the list run grows (late in the first item's build, however
  fast the machine builds), the others at once; or given as a list. The
  delayed generator alone without a limit gives the peak; every feed then
  runs under peak / 0.8.

Prints one line per run: ok, item errors, MemoryError, or killed (exit -9).

    python3 bench/memory_limits.py [--case wedge,stream] [--runs 3] [--size 4096]
        [--limits-4 1550,1650,1750,1850] [--limits-2 1450,1550,1650] [--delay 0.4] [--gate 0.75]
        [--dump PATH]

--dump is karvelum_working_set_dump (default: $KARVELUM_WORKING_SET_DUMP,
else build/cpp/); without it the estimates are not printed. Needs tifffile
for the stream case; run from a build tree (PYTHONPATH) or an install.
"""
import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import uuid

import numpy as np

MIB = 1 << 20
KEYS = ["pixel1", "pixel2", "distance", "poni1", "poni2", "rot1", "rot2", "rot3", "wavelength"]
# The memory tests' detector at 4096², for the stream.
STREAM_PONI = dict(pixel1=3.75e-5, pixel2=3.75e-5, distance=0.15, poni1=0.0792, poni2=0.0731,
                   rot1=0.012, rot2=-0.018, rot3=0.0, wavelength=7.293e-11)

CHILD = r"""
import json, os, sys, threading, time
job = json.loads(sys.argv[1])
group = job["group"]
with open(os.path.join(group, "cgroup.procs"), "w") as f:
    f.write(str(os.getpid()))
import numpy as np
import karvelum
def figure(name):
    with open(os.path.join(group, name)) as f:
        return int(f.read())
karvelum.Integrator.from_poni_dict(job["poni"]).integrate1d(np.ones((8, 8)), 10)  # the pool
ai = karvelum.Integrator.from_poni_dict(job["poni"], method="pixel_split")
report = {}
if job["kind"] == "wedge":
    image = np.ones((job["size"], job["size"]))
    report["used"] = figure("memory.usage_in_bytes")
    try:
        ai.integrate2d(image, 500, 3600, azimuthal_range=tuple(job["range"]))
        report["outcome"] = "ok"
    except MemoryError:
        report["outcome"] = "MemoryError"
else:
    def status(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024
    def resident():
        return status("VmRSS")
    first_back = threading.Event()
    def fed():
        start = resident()
        for k, path in enumerate(job["frames"]):
            if k and job["gate"]:
                # The second frame once the process has grown by the gate (the first item's build well
                # under way), or once the first result is back; the others at once.
                while k == 1 and not first_back.is_set() and resident() - start < job["gate"]:
                    time.sleep(0.002)
                if k == 1:
                    report["second sent while the first built"] = not first_back.is_set()
            elif k:
                time.sleep(job["delay"])
            yield path
    report["used"] = figure("memory.usage_in_bytes")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = resident()
    errors = []
    for item in ai.batch1d_iter(fed() if job["feed"] == "generator" else list(job["frames"]), 1000,
                                num_workers=2, num_threads=2):
        first_back.set()
        if item.is_err():
            errors.append(item.error)
    report["grown"] = status("VmHWM") - before
    report["outcome"] = f"item errors {errors}" if errors else "ok"
report["peak"] = figure("memory.max_usage_in_bytes")
print(json.dumps(report))
"""


def own_memory_group():
    """This process's cgroup v1 memory group directory (root only)."""
    if os.geteuid() != 0:
        sys.exit("making a memory group needs root")
    with open("/proc/self/cgroup") as f:
        for line in f:
            _, controllers, path = line.rstrip("\n").split(":", 2)
            if "memory" in controllers.split(","):
                directory = "/sys/fs/cgroup/memory" + path
                if os.path.exists(os.path.join(directory, "memory.limit_in_bytes")):
                    return directory
    sys.exit("no cgroup v1 memory hierarchy")


def run(job, limit, threads):
    """One child in a new group with `limit` bytes (None: none); its report, or {"outcome": ...} if it died."""
    group = os.path.join(own_memory_group(), f"karvelum_bench_{uuid.uuid4().hex[:12]}")
    os.mkdir(group)
    try:
        if limit is not None:
            with open(os.path.join(group, "memory.limit_in_bytes"), "w") as f:
                f.write(str(limit))
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        env["RAYON_NUM_THREADS"] = str(threads)
        proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps(dict(job, group=group))],
                              capture_output=True, text=True, env=env, timeout=600)
    finally:
        os.rmdir(group)
    if proc.returncode == -9:
        return {"outcome": "killed (exit -9)"}
    if proc.returncode != 0:
        return {"outcome": f"exit {proc.returncode}: {proc.stderr.strip()[-300:]}"}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def wedge_estimate(dump, job, threads):
    if not dump or not os.path.exists(dump):
        return None
    n = job["size"]
    args = [dump, str(n), str(n)] + [repr(job["poni"][k]) for k in KEYS]
    args += ["2th_rad", "pixel_split", "0", "array", "8", "2d", "500", "3600", "0"] + [repr(v) for v in job["range"]]
    out = subprocess.run(args, capture_output=True, text=True, check=True,
                         env=dict(os.environ, RAYON_NUM_THREADS=str(threads)))
    shared, own, _ = map(int, out.stdout.split())
    return shared, own


def wedge_job(size, threads):
    """The wedge at `size`²: 75 µm pixels at 4096², scaled so the wedge covers the same angles at every size."""
    pixel = 7.5e-5 * 4096 / size
    column, half_width = (16.5, 0.0014) if threads == 4 else (8.5, 0.0007)
    poni = dict(pixel1=pixel, pixel2=pixel, distance=0.15, poni1=0.0, poni2=column * pixel,
                rot1=0.0, rot2=0.0, rot3=0.0, wavelength=1e-10)
    return dict(kind="wedge", size=size, poni=poni, range=[math.pi / 2 - half_width, math.pi / 2 + half_width])


def wedge(args, threads, limits):
    job = wedge_job(args.size, threads)
    print(f"wedge, {args.size}², {threads} threads, beam over column {job['poni']['poni2'] / job['poni']['pixel2']}, "
          f"azimuthal range ({job['range'][0]:.4f}, {job['range'][1]:.4f})")
    est = wedge_estimate(args.dump, job, threads)
    if est:
        print(f"  estimate: {est[0] / MIB:.0f} MiB shared + {est[1] / MIB:.0f} MiB own")
    free = run(job, None, threads)
    if "peak" not in free:
        print(f"  without a limit: {free['outcome']}")
        return
    print(f"  without a limit: {free['outcome']}, held {free['used'] / MIB:.0f} MiB before the call, "
          f"group peak {free['peak'] / MIB:.0f} MiB (the call: {(free['peak'] - free['used']) / MIB:.0f} MiB)")
    for limit in limits:
        for k in range(args.runs):
            report = run(job, limit * MIB, threads)
            peak = f", group peak {report['peak'] / MIB:.0f} MiB" if "peak" in report else ""
            print(f"  limit {limit} MiB, run {k + 1}: {report['outcome']}{peak}", flush=True)


def write_frames(directory, size):
    import tifffile
    y, x = np.mgrid[0:size, 0:size]
    image = (1000 + 800 * np.cos(np.hypot(y - 0.3 * size, x - 0.4 * size) / (size / 200)) ** 2).astype(np.uint16)
    paths = []
    for k in range(4):
        paths.append(os.path.join(directory, f"frame_{k}.tif"))
        tifffile.imwrite(paths[-1], image + k, compression="zlib")
    return paths


def stream(args):
    poni = dict(STREAM_PONI, pixel1=STREAM_PONI["pixel1"] * 4096 / args.size,
                pixel2=STREAM_PONI["pixel2"] * 4096 / args.size)
    with tempfile.TemporaryDirectory() as tmp:
        job = dict(kind="stream", poni=poni, frames=write_frames(tmp, args.size), delay=args.delay, gate=0)
        print(f"stream, {args.size}², 4 Deflate frames, 2 workers x 2 threads")
        listed = run(dict(job, feed="list"), None, 4)
        if "peak" not in listed:
            print(f"  list without a limit: {listed['outcome']}")
            return
        gate = int(listed["grown"] * args.gate)
        print(f"  list without a limit: {listed['outcome']}, group peak {listed['peak'] / MIB:.0f} MiB, "
              f"grown {listed['grown'] / MIB:.0f} MiB during the stream")
        free = run(dict(job, feed="generator"), None, 4)
        if "peak" not in free:
            print(f"  generator without a limit: {free['outcome']}")
            return
        limit = int(free["peak"] / 0.8)
        print(f"  generator ({args.delay} s between frames) without a limit: {free['outcome']}, "
              f"group peak {free['peak'] / MIB:.0f} MiB; limit {limit / MIB:.0f} MiB")
        feeds = [(f"generator, {args.delay} s between frames", dict(feed="generator")),
                 (f"generator, second frame at {gate / MIB:.0f} MiB grown", dict(feed="generator", gate=gate)),
                 ("list", dict(feed="list"))]
        for name, feed in feeds:
            for k in range(args.runs):
                report = run(dict(job, **feed), limit, 4)
                notes = f", group peak {report['peak'] / MIB:.0f} MiB" if "peak" in report else ""
                if report.get("second sent while the first built") is False:
                    notes += " (the first result came back before the gate)"
                print(f"  {name}, run {k + 1}: {report['outcome']}{notes}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", default="wedge,stream")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--limits-4", default="1550,1650,1750,1850", help="MiB, the wedge at 4 threads")
    parser.add_argument("--limits-2", default="1450,1550,1650", help="MiB, the wedge at 2 threads")
    parser.add_argument("--delay", type=float, default=0.4, help="seconds between the generator's frames")
    parser.add_argument("--gate", type=float, default=0.75,
                        help="the gated generator sends its second frame once the process has grown this fraction "
                             "of what the list run grows")
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--dump", default=os.environ.get(
        "KARVELUM_WORKING_SET_DUMP", os.path.join(here, "build", "cpp", "karvelum_working_set_dump")))
    args = parser.parse_args()
    cases = args.case.split(",")
    print("MiB = 2^20 bytes; one child at a time\n")
    if "wedge" in cases:
        for threads, limits in ((4, args.limits_4), (2, args.limits_2)):
            wedge(args, threads, [int(v) for v in limits.split(",")])
    if "stream" in cases:
        stream(args)


if __name__ == "__main__":
    main()
