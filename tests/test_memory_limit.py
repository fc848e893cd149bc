"""Admission under a real memory limit: a child memory group of this process's own, holding one fresh
interpreter that makes one first call on a 4096 x 4096 frame.

Every call whose peak without a limit (the rise of the high-water mark of a fresh process) is at most
80 % of the limit is admitted and gives the result it gives without one; no call is killed by the
limit; a refused call raises MemoryError before it takes memory, or, where its table outgrows the
estimate it was admitted with, as the table grows.
"""
import json
import math
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import oracle

GIB = 1 << 30
N = 4096
# The benchmarks' detector, with pixels scaled to 4096 x 4096.
PONI = dict(pixel1=3.75e-5, pixel2=3.75e-5, distance=0.15, poni1=0.0792, poni2=0.0731,
            rot1=0.012, rot2=-0.018, rot3=0.0, wavelength=7.293e-11)

CHILD = textwrap.dedent(r"""
    import json, os, sys
    job = json.loads(sys.argv[1])
    group = job["group"]
    if group:
        with open(os.path.join(group, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))
    for path in job.get("cached", []):  # read twice: the group's active file cache
        for _ in range(2):
            with open(path, "rb") as f:
                while f.read(16 << 20):
                    pass
    import numpy as np
    import karvelum
    def status(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024
    ai = karvelum.Integrator.from_poni_dict(job["poni"], method=job["method"], unit="2th_deg")
    image = np.load(job["image"]).astype(np.float64) if job["image"].endswith(".npy") else job["image"]
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS")
    used = int(open(os.path.join(group, "memory.usage_in_bytes")).read()) if group else 0
    try:
        if job["kind"] == "1d":
            r = ai.integrate1d(image, 1000)
            out = [r.radial, r.intensity]
        elif job["kind"] == "batch 1d":
            # Three workers whose first items are admitted at once, each with its own frame.
            items = ai.batch1d([image] * 6, 1000, num_workers=3, num_threads=2)
            errors = [item.error for item in items if item.is_err()]
            if len(errors) == len(items) and set(errors) == {"memory allocation failed"}:
                raise MemoryError
            assert not errors, errors
            out = [x for item in items for x in (item.result.radial, item.result.intensity)]
        elif job["kind"] == "2d wedge":
            r = ai.integrate2d(image, 500, 3600, azimuthal_range=tuple(job["azimuthal_range"]))
            out = [r.intensity]
        else:
            r = ai.integrate2d(image, 500, 360)
            out = [r.intensity]
    except MemoryError:
        print(json.dumps({"refused": True, "used": used, "stat": open(os.path.join(group, "memory.stat")).read()}))
        sys.exit(0)
    np.savez(job["out"], *out)
    print(json.dumps({"refused": False, "peak": status("VmHWM") - before, "used": used}))
""")


@pytest.fixture(scope="module")
def frame(tmp_path_factory):
    """A 4096 x 4096 uint16 frame, as an LZW TIFF and as an array file."""
    tifffile = pytest.importorskip("tifffile")
    pytest.importorskip("imagecodecs")
    directory = tmp_path_factory.mktemp("memory_limit")
    y, x = np.mgrid[0:N, 0:N]
    r = np.hypot(y - 0.3 * N, x - 0.4 * N)
    image = (1000 + 800 * np.cos(r / (N / 200)) ** 2 + np.random.default_rng(0).poisson(20, (N, N))).astype(np.uint16)
    tif, npy = directory / "frame.tif", directory / "frame.npy"
    tifffile.imwrite(tif, image, compression="lzw")
    np.save(npy, image)
    return {"file": str(tif), "array": str(npy)}, directory


def group_figure(group, name):
    with open(os.path.join(group, name)) as f:
        return int(f.read())


def run_children(jobs, at_once):
    """Runs one child per job, `at_once` at a time; returns (exit status, stdout, stderr) of each."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = "4"
    done = []
    for first in range(0, len(jobs), at_once):
        procs = [subprocess.Popen([sys.executable, "-c", CHILD, json.dumps(job)], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True, env=env)
                 for job in jobs[first:first + at_once]]
        for proc in procs:
            stdout, stderr = proc.communicate(timeout=300)
            done.append((proc.returncode, stdout, stderr))
    return done


# (method, 1d, 2d or a batch of six 1d items, image road) and the limits in GiB to try it under: where its peak without a limit
# is at most 80 % of the limit, and one below where it may be refused.
CASES = [
    (("histogram", "1d", "file"), [1.5]),          # peak about 0.9 GiB
    (("counting", "1d", "file"), [1.5]),           # about 1.13 GiB
    (("supersampled", "2d", "array"), [2]),        # about 1.4 GiB
    (("pixel_split", "1d", "file"), [2, 3]),       # about 1.75 GiB
    (("pixel_split", "2d", "file"), [1.5, 4]),     # about 1.8 GiB: beyond 1.5 GiB, refused
    (("counting", "batch 1d", "file"), [2]),       # one table, three frames: about 1.2 GiB
]


def test_calls_within_80_percent_of_a_real_limit_are_admitted_and_none_is_killed(frame, memory_group):
    if os.environ.get("KARVELUM_SANITIZED"):
        pytest.skip("the sanitizer build's allocator keeps freed memory in quarantine: its peaks are not the build's")
    groups = {(case, limit): memory_group(int(limit * GIB)) for case, limits in CASES for limit in limits}
    images, directory = frame
    def job(case, group, out):
        method, kind, road = case
        return dict(group=group, poni=PONI, method=method, kind=kind, image=images[road], out=out)
    def result_file(case, limit=None):
        return str(directory / f"{'_'.join(case).replace(' ', '-')}_{limit or 'free'}.npz")
    # Without a limit: each call's peak and result.
    free = {}
    for (case, _), (status, stdout, stderr) in zip(CASES, run_children(
            [job(case, "", result_file(case)) for case, _ in CASES], 2)):
        assert status == 0, stderr
        free[case] = json.loads(stdout)["peak"]
    # Under each limit, in a group of its own.
    failures = []
    for ((case, limit), group), (status, stdout, stderr) in zip(groups.items(), run_children(
            [job(case, group, result_file(case, limit)) for (case, limit), group in groups.items()], 2)):
        name = f"{' '.join(case)} under {limit} GiB"
        if status != 0:
            failures.append(f"{name}: exit status {status} (-9: killed at the limit) {stderr[-300:]}")
            continue
        report = json.loads(stdout)
        if report["refused"]:
            if free[case] <= 0.8 * limit * GIB:
                failures.append(f"{name}: refused with a peak of {free[case] / GIB:.2f} GiB without a limit")
            # Refused before it took memory: the group's peak stayed near what it held before the call.
            taken = group_figure(group, "memory.max_usage_in_bytes") - report["used"]
            if taken > 64 << 20:
                failures.append(f"{name}: refused after taking {taken >> 20} MiB")
            continue
        with np.load(result_file(case, limit)) as limited, np.load(result_file(case)) as unlimited:
            for key in unlimited.files:
                if not np.array_equal(limited[key], unlimited[key], equal_nan=True):
                    failures.append(f"{name}: {key} differs from the result without a limit")
    assert not failures, "\n".join(failures)


# Prints the working set a first call admits (tests/cpp/working_set_dump.cpp); scripts/run_tests.sh builds it.
ROOT = pathlib.Path(__file__).resolve().parent.parent
WORKING_SET_DUMP = pathlib.Path(os.environ.get("KARVELUM_WORKING_SET_DUMP",
                                               ROOT / "build" / "cpp" / "karvelum_working_set_dump"))
MIB = 1 << 20
# The reserve the engine keeps beside every working set (memory.hpp, kMemoryReserve).
RESERVE = 64 * MIB
# A 2048 x 2048 detector with 150 um pixels, the beam on its top edge over the centre of column 16: a wedge
# 0.16 deg wide straight down the detector (chi = pi/2 along the columns) reaches columns 13 to 19 at most.
# At 4 threads the build has 16 row chunks, and the estimate samples the pixels of every 8th column in them
# (4, 12, 20, ...), none of which the wedge reaches: the table, whose pixels near the beam each split into
# thousands of the wedge's narrow bins, outgrows the estimate.
WEDGE_SIZE = 2048
WEDGE_PONI = dict(pixel1=1.5e-4, pixel2=1.5e-4, distance=0.15, poni1=0.0, poni2=16.5 * 1.5e-4,
                  rot1=0.0, rot2=0.0, rot3=0.0, wavelength=1e-10)
WEDGE_RANGE = (math.pi / 2 - 0.0014, math.pi / 2 + 0.0014)


def wedge_estimate():
    """The working set (shared + own bytes) the wedge's first call admits, at the children's 4 threads."""
    args = [str(WORKING_SET_DUMP), str(WEDGE_SIZE), str(WEDGE_SIZE)]
    args += [repr(WEDGE_PONI[k]) for k in oracle.GEOMETRY_KEYS]
    args += ["2th_deg", "pixel_split", "0", "array", "8", "2d", "500", "3600", "0"] + [repr(v) for v in WEDGE_RANGE]
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    out = subprocess.run(args, capture_output=True, text=True, check=True, env=dict(env, RAYON_NUM_THREADS="4"))
    shared, own, _ = map(int, out.stdout.split())
    return shared + own


def test_a_table_outgrowing_its_estimate_under_a_real_limit_is_refused_not_killed(memory_group, tmp_path):
    # A limit above what the call claims and below what it takes: the build finds out as it grows and fails
    # with MemoryError, leaving the process alive.
    if os.environ.get("KARVELUM_SANITIZED"):
        pytest.skip("the sanitizer build's allocator keeps freed memory in quarantine: its peaks are not the build's")
    if not WORKING_SET_DUMP.exists():
        pytest.skip("C++ test tools not built (scripts/run_tests.sh builds them)")
    image = str(tmp_path / "ones.npy")
    np.save(image, np.ones((WEDGE_SIZE, WEDGE_SIZE)))
    job = dict(poni=WEDGE_PONI, method="pixel_split", kind="2d wedge", image=image, azimuthal_range=WEDGE_RANGE)
    # Alone, in a group without a limit: what the interpreter holds before the call and the group's peak.
    free = memory_group(1 << 62)
    (status, stdout, stderr), = run_children([dict(job, group=free, out=str(tmp_path / "free.npz"))], 1)
    assert status == 0, stderr
    used, peak = json.loads(stdout)["used"], group_figure(free, "memory.max_usage_in_bytes")
    claim = used + wedge_estimate() + RESERVE
    assert peak - claim >= 128 * MIB, (
        f"the call claims {claim / MIB:.0f} MiB (its estimate, what the interpreter held and the reserve) and "
        f"peaks at {peak / MIB:.0f} MiB: its table no longer outgrows the estimate enough to set a limit between")
    limit = (claim + peak) // 2
    (status, stdout, stderr), = run_children(
        [dict(job, group=memory_group(limit), out=str(tmp_path / "limited.npz"))], 1)
    assert status == 0, (f"exit status {status} (-9: killed at the limit) under {limit / MIB:.0f} MiB, claiming "
                         f"{claim / MIB:.0f} MiB and peaking at {peak / MIB:.0f} MiB without a limit {stderr[-300:]}")
    assert json.loads(stdout)["refused"], f"admitted under {limit / MIB:.0f} MiB with a peak of {peak / MIB:.0f} MiB"


def on_tmpfs(path):
    """Whether `path` lies on a tmpfs (shared memory, which no group can reclaim)."""
    best, fstype = "", ""
    with open("/proc/mounts") as f:
        for line in f:
            _, point, kind = line.split()[:3]
            if (str(path) + "/").startswith(point.rstrip("/") + "/") and len(point) > len(best):
                best, fstype = point, kind
    return fstype == "tmpfs"


def test_file_cache_read_twice_leaves_room_for_a_call_that_fits(frame, memory_group, tmp_path):
    # 1.2 GiB of files read twice by a process in a 2 GiB group: its active file cache, which the kernel
    # reclaims before it kills anything. A histogram call with a peak of about 0.9 GiB is then admitted.
    if os.environ.get("KARVELUM_SANITIZED"):
        pytest.skip("the sanitizer build's allocator keeps freed memory in quarantine: its peaks are not the build's")
    if on_tmpfs(tmp_path):
        pytest.skip(f"{tmp_path} is on a tmpfs: its files are shared memory, not reclaimable cache")
    group = memory_group(2 * GIB)
    images, directory = frame
    cached = []
    block = np.random.default_rng(1).integers(0, 255, 200 << 20, dtype=np.uint8).tobytes()
    for k in range(6):
        path = tmp_path / f"cached_{k}.bin"
        with open(path, "wb") as f:
            f.write(block)
            f.flush()
            os.fsync(f.fileno())
            # Out of the cache, so that the child's reads are charged to its group.
            os.posix_fadvise(f.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)
        cached.append(str(path))
    case = dict(poni=PONI, method="histogram", kind="1d", image=images["file"])
    try:
        (status, stdout, stderr), = run_children([dict(case, group="", out=str(tmp_path / "free.npz"))], 1)
        assert status == 0, stderr
        (status, stdout, stderr), = run_children([dict(case, group=group, out=str(tmp_path / "limited.npz"),
                                                       cached=cached)], 1)
    finally:
        for path in cached:
            os.remove(path)
    assert status == 0, f"exit status {status} (-9: killed at the limit) {stderr[-300:]}"
    report = json.loads(stdout)
    assert not report["refused"], "refused beside an active file cache:\n" + report["stat"]
    with np.load(tmp_path / "limited.npz") as limited, np.load(tmp_path / "free.npz") as unlimited:
        for key in unlimited.files:
            assert np.array_equal(limited[key], unlimited[key], equal_nan=True)


# Several calls at once in one interpreter: first calls that each build their own table, or small calls made
# while another call builds one. Each prints what it was refused.
CONCURRENT = textwrap.dedent(r"""
    import json, os, sys, threading, time
    job = json.loads(sys.argv[1])
    group = job["group"]
    import numpy as np
    import karvelum
    report = {}
    if job["kind"] == "first calls":
        # Every stream's first item builds its integrator's geometry and table while the others build theirs.
        streams = []
        for method, dims in job["calls"]:
            ai = karvelum.Integrator.from_poni_dict(job["poni"], method=method, unit="2th_deg")
            streams.append(ai.batch1d_iter([job["image"]], 1000, num_workers=1) if dims == "1d"
                           else ai.batch2d_iter([job["image"]], 300, 360, num_workers=1))
        errors, out = [], []
        for stream in streams:
            for item in stream:
                if item.is_err():
                    errors.append(item.error)
                else:
                    out.append(item.result.intensity)
        report["errors"] = errors
        if not errors:
            np.savez(job["out"], *out)
    elif job["kind"] == "fed stream":
        # A cold stream of two workers. A generator sends the second frame once the process has grown by
        # job["gate"] bytes since it sent the first, so that the second worker's item is admitted while the
        # first builds the table they share (or once the first result is back, if it never grows that far);
        # the others follow at once. Without a gate the frames are a list, all sent before the build starts.
        ai = karvelum.Integrator.from_poni_dict(job["poni"], method="pixel_split", unit="2th_deg")
        def status(key):
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith(key + ":"):
                        return int(line.split()[1]) * 1024
        first_back = threading.Event()
        def fed():
            start = status("VmRSS")
            yield job["images"][0]
            while not first_back.is_set() and status("VmRSS") - start < job["gate"]:
                time.sleep(0.002)
            report["second sent while the first built"] = not first_back.is_set()
            yield from job["images"][1:]
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = status("VmRSS")
        errors, out = [], []
        for item in ai.batch1d_iter(fed() if job["gate"] else list(job["images"]), 1000, num_workers=2,
                                    num_threads=2):
            first_back.set()
            if item.is_err():
                errors.append(item.error)
            else:
                out += [item.result.radial, item.result.intensity]
        report.update(errors=errors, grown=status("VmHWM") - before)
        if not errors:
            np.savez(job["out"], *out)
    else:
        # A cold stream builds its table while this thread makes small checked calls beside it.
        ai = karvelum.Integrator.from_poni_dict(job["poni"], method="counting", unit="2th_deg")
        small = karvelum.Integrator.from_poni_dict(job["poni"], method="histogram", unit="2th_deg")
        image = np.random.default_rng(0).poisson(100, (1024, 1024)).astype(np.float64)
        small.integrate1d(image, 500)
        stream = ai.batch1d_iter(job["images"], 1000, num_workers=2, num_threads=2)
        done, errors = threading.Event(), []
        def drain():
            errors.extend(item.error for item in stream if item.is_err())
            done.set()
        threading.Thread(target=drain).start()
        refused, calls = [], 0
        while not done.is_set():
            calls += 1
            for name, call in (("find_peaks_image", lambda: karvelum.find_peaks_image(image)),
                               ("integrate1d", lambda: small.integrate1d(image, 500))):
                try:
                    call()
                except MemoryError:
                    refused.append(name)
            time.sleep(0.01)
        report.update(errors=errors, refused=refused, calls=calls)
    if group:
        report["peak"] = int(open(os.path.join(group, "memory.max_usage_in_bytes")).read())
    print(json.dumps(report))
""")


@pytest.fixture(scope="module")
def small_frames(tmp_path_factory):
    """Four 2048 x 2048 uint16 Deflate frames."""
    tifffile = pytest.importorskip("tifffile")
    directory = tmp_path_factory.mktemp("memory_limit_small")
    n = 2048
    y, x = np.mgrid[0:n, 0:n]
    image = (1000 + 800 * np.cos(np.hypot(y - 0.3 * n, x - 0.4 * n) / (n / 200)) ** 2).astype(np.uint16)
    paths = []
    for k in range(4):
        paths.append(str(directory / f"frame_{k}.tif"))
        tifffile.imwrite(paths[-1], image + k, compression="zlib")
    return paths, directory


def run_concurrent(job, memory_group, limit):
    """Runs CONCURRENT's `job` in a fresh interpreter in a memory group of its own with `limit` bytes; its report."""
    group = memory_group(limit)
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(RAYON_NUM_THREADS="4", JOIN_GROUP=group)
    proc = subprocess.run([sys.executable, "-c", memory_group.join + CONCURRENT, json.dumps(dict(job, group=group))],
                          capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, f"exit status {proc.returncode} (-9: killed at the limit) {proc.stderr[-300:]}"
    return json.loads(proc.stdout)


@pytest.mark.parametrize("calls", [
    [("pixel_split", "1d")] * 3,
    [("pixel_split", "2d"), ("counting", "2d"), ("counting", "1d")],
], ids=["three pixel_split 1d", "pixel_split 2d, counting 2d and 1d"])
def test_first_calls_building_their_tables_at_once_all_come_back_within_80_percent_of_a_limit(
        small_frames, memory_group, calls):
    if os.environ.get("KARVELUM_SANITIZED"):
        pytest.skip("the sanitizer build's allocator keeps freed memory in quarantine: its peaks are not the build's")
    (path, *_), directory = small_frames
    job = dict(kind="first calls", poni=PONI, image=path)
    # Each call alone, in a group without a limit: its peak (with its interpreter's) and its result.
    peaks, alone = 0, []
    for k, call in enumerate(calls):
        out = str(directory / f"alone_{k}.npz")
        report = run_concurrent(dict(job, calls=[call], out=out), memory_group, 1 << 62)
        assert report["errors"] == []
        peaks += report["peak"]
        with np.load(out) as result:
            alone.append(result["arr_0"])
    out = str(directory / "together.npz")
    report = run_concurrent(dict(job, calls=calls, out=out), memory_group, int(peaks / 0.8))
    assert report["errors"] == [], f"refused under {peaks / 0.8 / GIB:.2f} GiB, peaking at {report['peak'] / GIB:.2f}"
    with np.load(out) as together:
        for k, expected in enumerate(alone):
            np.testing.assert_array_equal(together[f"arr_{k}"], expected)


def test_small_calls_beside_a_cold_build_within_75_percent_of_a_limit_are_not_refused(small_frames, memory_group):
    if os.environ.get("KARVELUM_SANITIZED"):
        pytest.skip("the sanitizer build's allocator keeps freed memory in quarantine: its peaks are not the build's")
    paths, _ = small_frames
    job = dict(kind="beside a build", poni=PONI, images=paths)
    free = run_concurrent(job, memory_group, 1 << 62)
    assert free["errors"] == [] and free["refused"] == []
    report = run_concurrent(job, memory_group, int(free["peak"] / 0.75))
    assert report["errors"] == []
    assert report["refused"] == [], f"{len(report['refused'])} refused of {2 * report['calls']}"


@pytest.mark.parametrize("share", [0.25, 0.75], ids=["during the geometry", "during the table"])
def test_a_stream_item_admitted_while_the_first_builds_their_table_within_80_percent_of_a_limit_is_not_refused(
        small_frames, memory_group, share):
    # The second worker's item comes while the first item builds the geometry and table they share: what the
    # build has already written shows in the memory used, and counts no more in what the second item claims.
    if os.environ.get("KARVELUM_SANITIZED"):
        pytest.skip("the sanitizer build's allocator keeps freed memory in quarantine: its peaks are not the build's")
    paths, directory = small_frames
    # The memory tests' detector with its pixels scaled to 2048 x 2048.
    job = dict(kind="fed stream", images=paths,
               poni=dict(PONI, pixel1=PONI["pixel1"] * N / 2048, pixel2=PONI["pixel2"] * N / 2048))
    # Fed as a list, without a limit: how far the process grows. The generator sends the second frame when
    # it has grown a quarter as far (the geometry is being built) or three quarters (the geometry is done and
    # much of the table written).
    listed = run_concurrent(dict(job, gate=0, out=str(directory / "listed.npz")), memory_group, 1 << 62)
    assert listed["errors"] == []
    gate = int(listed["grown"] * share)
    free = run_concurrent(dict(job, gate=gate, out=str(directory / "fed_free.npz")), memory_group, 1 << 62)
    assert free["errors"] == [] and free["second sent while the first built"]
    limit = int(free["peak"] / 0.8)
    report = run_concurrent(dict(job, gate=gate, out=str(directory / "fed_limited.npz")), memory_group, limit)
    assert report["second sent while the first built"]
    assert report["errors"] == [], (f"{report['errors']} under {limit / GIB:.2f} GiB, peaking at "
                                    f"{free['peak'] / GIB:.2f} GiB without a limit")
    with np.load(directory / "fed_limited.npz") as limited, np.load(directory / "fed_free.npz") as unlimited:
        for key in unlimited.files:
            np.testing.assert_array_equal(limited[key], unlimited[key])
