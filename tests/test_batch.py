"""Integrator.batch1d / batch2d against single calls on the same inputs."""
import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest
import tifffile

import oracle
from karvelum import Integrator

GEOM = dict(pixel1=7.5e-5, pixel2=1.1e-4, distance=0.12, poni1=1.3e-3, poni2=2.1e-3,  # tilted, rotated
            rot1=0.05, rot2=-0.08, rot3=0.6, wavelength=0.7e-10)
SHAPES = [(40, 50), (50, 40), (31, 57)]
FIELDS = ("radial", "azimuthal", "intensity", "errors", "azimuthal_std", "n_radial", "n_azimuthal")
RANGE = (-1.0, 2.0)
KINDS = {  # name: (1d or 2d, positional arguments after the images, keyword arguments)
    "1d": ("1d", (24,), {}), "1d-errors": ("1d", (24, True), {}),
    "1d-std": ("1d", (24,), dict(azimuthal_std=True)), "1d-std-errors": ("1d", (24, True), dict(azimuthal_std=True)),
    "2d": ("2d", (12, 8), {}), "2d-errors": ("2d", (12, 8, True), {}),
    "2d-range": ("2d", (12, 8), dict(azimuthal_range=RANGE)),
    "2d-errors-range": ("2d", (12, 8, True), dict(azimuthal_range=RANGE)),
}
ZERO_BINS = {"2d-zero": ("2d", (0, 8), {})}
LOAD_PREFIX = "Failed to load TIFF: "


def image(shape=SHAPES[0], seed=0):
    return np.random.default_rng(seed).normal(100.0, 30.0, shape)


def batch(ai, kind, images, **counts):
    dims, args, kwargs = {**KINDS, **ZERO_BINS}[kind]
    return getattr(ai, "batch" + dims)(images, *args, **counts, **kwargs)


def single(ai, kind, image):
    dims, args, kwargs = {**KINDS, **ZERO_BINS}[kind]
    return getattr(ai, "integrate" + dims)(image, *args, **kwargs)


def chunks(n, workers):
    size = -(-n // workers)
    return [range(i, min(n, i + size)) for i in range(0, n, size)]


@pytest.fixture(scope="module")
def frames(tmp_path_factory):
    """Ten images of alternating shapes (one read-only), their files and, per kind, the single-call results of
    both (batch2d takes files only; files store rows top-down)."""
    arrays = [image(SHAPES[i % 3], i) for i in range(10)]
    arrays[3].flags.writeable = False
    paths = [str(tmp_path_factory.mktemp("frames") / f"{i}.tif") for i in range(10)]
    for path, a in zip(paths, arrays):
        tifffile.imwrite(path, a)
    ai = Integrator.from_poni_dict(GEOM)
    want = {kind: ([single(ai, kind, np.flipud(a).copy()) for a in arrays],
                   kind.startswith("1d") and [single(ai, kind, a) for a in arrays]) for kind in KINDS}
    return arrays, paths, want


@pytest.mark.parametrize("workers, threads", [(1, 1), (3, 2), (4, 1), (16, 8)])  # 10 items: one chunk; 4 4 2;
@pytest.mark.parametrize("kind", KINDS)  # 3 3 3 1; 10 x 1 with workers left over
def test_every_kind_equals_the_single_call_in_input_order_for_mixed_shapes_and_any_counts(frames, kind, workers,
                                                                                         threads):
    # Shapes alternate inside and across workers, so geometry and tables are rebuilt while other workers integrate;
    # a list, then right after it a tuple and arrays (1D only).
    arrays, paths, (want, want_arrays) = frames[0], frames[1], frames[2][kind]
    ai = Integrator.from_poni_dict(GEOM)
    sources = [(paths, paths, want), (tuple(paths), paths, want)]
    if want_arrays:
        sources.append((arrays, [f"array[{i}]" for i in range(10)], want_arrays))
    for images, names, expected in sources:
        got = batch(ai, kind, images, num_workers=workers, num_threads=threads)
        assert [item.filename for item in got] == names and all(item.error is None for item in got)
        for item, w in zip(got, expected):
            oracle.assert_same(item.result, w, FIELDS)
        ai.set_unit(ai.get_unit())  # no worker holds the integrator any more
    assert batch(ai, kind, [], num_workers=workers) == [] and batch(ai, kind, (), num_workers=workers) == []


def unreadable(tmp_path):
    (tmp_path / "folder.tif").mkdir()
    (tmp_path / "notes.tif").write_text("not an image\n")
    tifffile.imwrite(tmp_path / "cut.tif", image())
    (tmp_path / "cut.tif").write_bytes((tmp_path / "cut.tif").read_bytes()[:8000])
    return [str(tmp_path / name) for name in ("missing.tif", "folder.tif", "notes.tif", "cut.tif")] + [""]


NO_WAVELENGTH = {k: v for k, v in GEOM.items() if k != "wavelength"}
FAILING = {  # name: (integrator, kind)
    None: (lambda: Integrator.from_poni_dict(GEOM), "1d"),
    "bad-mask-1d": (lambda: Integrator.from_poni_dict(GEOM, method="counting"), "1d-errors"),
    "bad-mask-2d": (lambda: Integrator.from_poni_dict(GEOM), "2d-errors-range"),
    "q-without-wavelength": (lambda: Integrator.from_poni_dict(NO_WAVELENGTH, unit="q_nm^-1"), "1d-std"),
    "zero-radial-bins": (lambda: Integrator.from_poni_dict(GEOM), "2d-zero"),
}


@pytest.mark.parametrize("failure, n, workers, threads", [
    (None, 7, 3, None),  # only unreadable files: no worker fails
    ("bad-mask-1d", 10, 4, None), ("bad-mask-2d", 10, 3, None), ("zero-radial-bins", 10, 6, 1),
    ("q-without-wavelength", 2, 8, None),  # the second worker meets only the missing file
    ("bad-mask-1d", 120, None, None), ("bad-mask-1d", 120, None, 1),  # the default worker count
    ("bad-mask-1d", 10, "arrays", None),
])
def test_every_failure_is_an_error_item_and_a_failed_worker_says_so_once(tmp_path, write_tiff, capfd, failure, n,
                                                                         workers, threads):
    make, kind = FAILING[failure]
    ai = make()
    if failure and failure.startswith("bad-mask"):
        ai.set_mask(np.zeros((30, 30), np.uint8))
    if workers == "arrays":
        images = [image(SHAPES[i % 2], i) for i in range(n)]
    else:
        good = [write_tiff(image(SHAPES[i], i)) for i in range(2)]
        images = [good[i % 2] for i in range(n)]
        for i, path in enumerate(unreadable(tmp_path)[:n - 1], 1):
            images[i] = path
    capfd.readouterr()
    got = batch(ai, kind, images, num_workers=1 if workers == "arrays" else workers, num_threads=threads)
    stderr = capfd.readouterr().err
    assert len(got) == n
    if workers is None:  # one worker fewer than the processors that pools of `threads` fill
        workers = max(1, os.sysconf("SC_NPROCESSORS_ONLN") // (threads or 2) - 1)
    failed_items, failed_workers, plain = 0, 0, Integrator.from_poni_dict(GEOM)
    for chunk in chunks(n, n if workers == "arrays" else workers):
        worker_failed = False
        for i in chunk:
            item = got[i]
            assert item.filename == (f"array[{i}]" if workers == "arrays" else images[i])
            try:  # a file is loaded before anything else can fail
                if isinstance(images[i], str):
                    plain.integrate1d(images[i], 4)
                want = single(ai, kind, images[i])
            except ValueError as exc:
                text = str(exc)
                assert item.result is None and item.error == text.removeprefix(LOAD_PREFIX) and item.error
                if not text.startswith(LOAD_PREFIX):
                    failed_items, worker_failed = failed_items + 1, workers != "arrays"
            else:
                assert item.error is None
                oracle.assert_same(item.result, want, FIELDS)
        failed_workers += worker_failed
    assert (failed_items > 0) == (failure is not None)
    assert stderr == "Worker thread panicked\n" * failed_workers
    if failure is None:
        assert got[1].error == "No such file or directory (os error 2)"
    ai.set_method("counting")  # the failed workers hold the integrator no more


@pytest.fixture
def refused(write_tiff):
    ai = Integrator.from_poni_dict(GEOM)
    paths = [write_tiff(image())]
    good = image()
    strided = np.zeros((40, 100))[:, ::2]
    misaligned = np.frombuffer(bytearray(good.nbytes + 1), offset=1, count=good.size).reshape(good.shape)
    return ai, paths, dict(good=good, strided=strided, fortran=np.asfortranarray(good), misaligned=misaligned)


C_CONTIGUOUS = "Array must be C-contiguous (row-major) and float64"
NEITHER_LIST = ("failed to extract enum BatchImageInput ('Paths | Arrays')\n"
                "- variant Paths (Paths): failed to extract field BatchImageInput::Paths.0\n"
                "- variant Arrays (Arrays): failed to extract field BatchImageInput::Arrays.0")
REFUSED = {  # name: (call, exception, message or None, argument named in the note)
    "zero-points-first": (lambda ai, p, a: ai.batch1d(p, 0, num_workers=0, num_threads=0), ValueError,
                          "n_points must be positive", None),
    "zero-threads-second": (lambda ai, p, a: ai.batch1d(p, 5, num_workers=0, num_threads=0), ValueError,
                            "num_threads must be > 0", None),
    "zero-workers": (lambda ai, p, a: ai.batch1d(p, 5, num_workers=0), ValueError, "num_workers must be > 0", None),
    "2d-zero-threads": (lambda ai, p, a: ai.batch2d(p, 0, 0, num_workers=0, num_threads=0), ValueError,
                        "num_threads must be > 0", None),
    "2d-zero-workers": (lambda ai, p, a: ai.batch2d(p, 4, 4, num_workers=0), ValueError,
                        "num_workers must be > 0", None),
    "negative-points": (lambda ai, p, a: ai.batch1d(p, -1), OverflowError, None, "n_points"),
    "one-path": (lambda ai, p, a: ai.batch1d(p[0], 5), TypeError, None, "images"),
    "generator": (lambda ai, p, a: ai.batch1d((x for x in p), 5), TypeError, None, "images"),
    "paths-and-arrays": (lambda ai, p, a: ai.batch1d([p[0], a["good"]], 5), TypeError, None, "images"),
    "float32-array": (lambda ai, p, a: ai.batch1d([a["good"].astype(np.float32)], 5), TypeError, None, "images"),
    "unencodable-path": (lambda ai, p, a: ai.batch1d([p[0], "frame_\udcff.tif"], 5), TypeError, NEITHER_LIST,
                         "images"),
    "2d-unencodable-path": (lambda ai, p, a: ai.batch2d([p[0], "frame_\udcff.tif"], 4, 4), UnicodeEncodeError, None,
                            "tiff_paths"),
    "2d-one-path": (lambda ai, p, a: ai.batch2d(p[0], 4, 4), TypeError, "Can't extract `str` to `Vec`",
                    "tiff_paths"),
    "2d-arrays": (lambda ai, p, a: ai.batch2d([a["good"]], 4, 4), TypeError, None, "tiff_paths"),
    "2d-range-list": (lambda ai, p, a: ai.batch2d(p, 4, 4, azimuthal_range=[0.0, 1.5]), TypeError, None,
                      "azimuthal_range"),
    "2d-range-triple": (lambda ai, p, a: ai.batch2d(p, 4, 4, azimuthal_range=(0.0, 1.0, 2.0)), ValueError,
                        "expected tuple of length 2, but got tuple of length 3", "azimuthal_range"),
    "strided-array": (lambda ai, p, a: ai.batch1d([a["good"], a["strided"]], 5), ValueError, C_CONTIGUOUS, None),
    "fortran-array": (lambda ai, p, a: ai.batch1d([a["fortran"]], 5), ValueError, C_CONTIGUOUS, None),
    "misaligned-array": (lambda ai, p, a: ai.batch1d([a["good"], a["misaligned"]], 5), ValueError,
                         "Array 1 must be contiguous: The given array is not contiguous or is misaligned.", None),
}


@pytest.mark.parametrize("case", REFUSED)
def test_arguments_are_checked_in_order_before_any_work(refused, assert_refused, case):
    call, *expected = REFUSED[case]
    assert_refused(lambda: call(*refused), *expected)


@pytest.mark.parametrize("call", ["batch1d", "batch1d_iter"])
def test_worker_pools_get_their_threads_in_a_warm_process_and_oversized_pools_fail_their_items(
        write_tiff, run_isolated, call):
    # 2 x 12 threads on top of a started process-wide pool: more than the processors, and
    # more than TBB allows unless told; then pools over the limit, which cannot be built.
    paths = [write_tiff(image(SHAPES[i % 2], i)) for i in range(4)]
    collect = "list" if call == "batch1d" else "lambda it: sorted(it, key=lambda r: r.filename)"
    out = run_isolated(f"""
        import json, karvelum
        ai = karvelum.Integrator.from_poni_dict({GEOM!r})
        want = [ai.integrate1d(p, 24).intensity for p in {paths!r}]
        got = ({collect})(ai.{call}({paths!r}, 24, num_workers=2, num_threads=12))
        refused = ({collect})(ai.{call}({paths!r}, 24, num_workers=2, num_threads=5000))
        print(json.dumps([[r.result.intensity for r in got] == want, [r.error for r in refused]]))
    """, stderr="" if call == "batch1d_iter" else "Worker thread panicked\n" * 2)
    assert out == [True, ["failed to build thread pool: thread count 5000 exceeds the limit of 4096"] * 4]


def test_distributed_example_gives_the_batch_results_in_order(tmp_path, write_tiff):
    pytest.importorskip("distributed")
    example = pathlib.Path(__file__).resolve().parent.parent / "examples" / "distributed_batch.py"
    poni = example.parent / "detector.poni"
    paths = [write_tiff(image(SHAPES[i % 2], i)) for i in range(7)]
    paths.insert(3, str(tmp_path / "missing.tif"))
    out = tmp_path / "results.json"
    subprocess.run([sys.executable, str(example), "--processes", "2", "--chunk", "3", "--points", "24",
                    "--json", str(out), str(poni), *paths], check=True, capture_output=True, timeout=60)
    want = Integrator(str(poni), unit="2th_deg").batch1d(paths, 24)
    got = json.loads(out.read_text())
    assert [g["filename"] for g in got] == paths
    for g, w in zip(got, want):
        assert g["error"] == w.error and (g["radial"] is None) == (w.result is None)
        if w.result:
            np.testing.assert_array_equal([g["radial"], g["intensity"]], [w.result.radial, w.result.intensity])
