"""TIFF images: the first page's first sample per pixel, rows reversed, as float64.

The frame is seen through integration: on a small image with a strongly tilted
detector and the beam off the panel, almost every pixel has a histogram bin of
its own, so a file must integrate bit for bit like the array it should become.
"""
import struct
import zlib

import numpy as np
import pytest
import tifffile

from karvelum import Integrator

GEOM = dict(pixel1=1e-4, pixel2=1.3e-4, distance=0.05, poni1=-1.1e-3, poni2=-0.7e-3,
            rot1=0.35, rot2=-0.25, rot3=0.5, wavelength=1e-10)
SHAPE = (21, 37)  # a multiple of neither the strip height nor the tile size
N = 5000
METHODS = [("histogram", None), ("counting", None), ("pixel_split", None), ("supersampled", 2)]
METHOD_IDS = lambda m: m if isinstance(m, str) else None  # noqa: E731
DTYPES = ["uint8", "uint16", "uint32", "uint64", "int8", "int16", "int32", "int64", "float32", "float64"]
FORMS = [(False, False), (True, False), (False, True), (True, True)]
KEYS = ("radial", "intensity", "errors", "azimuthal_std")


def integrator(method="histogram", n_ss=None):
    return Integrator.from_poni_dict(GEOM, method=method, n_ss=n_ss)


def outputs(ai, image, n=N):
    """Every vector of the four result forms of one image."""
    out = []
    for errors, spread in FORMS:
        res = ai.integrate1d(image, n, errors, azimuthal_std=spread)
        out += [np.array(getattr(res, k)) for k in KEYS if getattr(res, k) is not None]
    return out


def assert_bitwise(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)
        assert g.tobytes() == w.tobytes()


def sample(dtype, shape=SHAPE, seed=0):
    """Values over the whole range of integers; floats of many magnitudes with NaN, +-inf, -0."""
    rng, dt = np.random.default_rng(seed), np.dtype(dtype)
    if dt.kind == "f":
        data = (rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 4, shape)).astype(dt)
        data.flat[[3, 50, 101, 400, 401]] = [np.nan, np.inf, -np.inf, -0.0, np.finfo(dt).max]
        return data
    info = np.iinfo(dt)
    return rng.integers(info.min, info.max, shape, dtype=dt, endpoint=True)


def frame_of(data):
    return np.ascontiguousarray(np.flipud(data)).astype(np.float64)


def test_the_geometry_tells_row_order_columns_and_byte_order_apart():
    data, ai = sample("uint16"), integrator()
    candidates = [frame_of(data), data.astype(float), np.fliplr(frame_of(data)).copy(),
                  frame_of(data.byteswap())]
    patterns = [ai.integrate1d(c, N).intensity for c in candidates]
    assert all(patterns[i] != patterns[j] for i in range(4) for j in range(i))


STORAGE = {
    "plain": {},
    "lzw": dict(compression="lzw"),
    "lzw-predictor": dict(compression="lzw", predictor=True),
    "deflate": dict(compression="adobe_deflate"),
    "deflate-predictor": dict(compression="adobe_deflate", predictor=True),
    "packbits": dict(compression="packbits"),
    "tiles": dict(tile=(16, 16)),
    "tiles-deflate-predictor": dict(tile=(16, 16), compression="adobe_deflate", predictor=True),
    "big-endian": dict(byteorder=">"),
    "big-endian-lzw-predictor": dict(byteorder=">", compression="lzw", predictor=True),
    "bigtiff": dict(bigtiff=True),
    "bigtiff-big-endian-tiles-packbits": dict(bigtiff=True, byteorder=">", tile=(16, 16),
                                              compression="packbits"),
}


@pytest.mark.parametrize("storage", STORAGE)
@pytest.mark.parametrize("dtype", DTYPES)
def test_file_integrates_like_its_rows_reversed(write_tiff, dtype, storage):
    data, kwargs = sample(dtype), dict(STORAGE[storage])
    if "tile" not in kwargs:
        kwargs["rowsperstrip"] = 4
    if kwargs.get("predictor"):  # horizontal for integers (64-bit ones too), floating point for floats
        kwargs["predictor"] = 3 if data.dtype.kind == "f" else 2
    path = write_tiff(data, **kwargs)
    ai = integrator()
    assert_bitwise(outputs(ai, path), outputs(ai, frame_of(data)))


@pytest.mark.parametrize("shape", [(1, 37), (21, 1), (3, 2)])
def test_thin_images(write_tiff, shape):
    data = sample("int16", shape)
    ai = integrator()
    assert_bitwise(outputs(ai, write_tiff(data), 50), outputs(ai, frame_of(data), 50))


@pytest.mark.parametrize("dtype, ties", [
    ("uint64", [2**53 + 1, 2**53 + 3, 2**54 + 2, 2**54 + 6, 2**63 + 2**10, 2**64 - 1]),
    ("int64", [-(2**53 + 1), -(2**53 + 3), 2**62 + 3 * 2**9, 2**63 - 1, -2**63, -(2**63 - 2**10)]),
])
@pytest.mark.parametrize("byteorder", ["<", ">"])
def test_wide_integers_become_the_nearest_double(write_tiff, dtype, ties, byteorder):
    data = sample(dtype)
    data.flat[:len(ties)] = ties
    nearest = np.array([float(int(v)) for v in np.flipud(data).ravel()]).reshape(SHAPE)
    ai = integrator()
    assert_bitwise(outputs(ai, write_tiff(data, byteorder=byteorder)), outputs(ai, nearest))


@pytest.mark.parametrize("layout", [dict(rowsperstrip=8), dict(tile=(16, 16))], ids=["strips", "tiles"])
def test_jpeg_gives_what_tifffile_decodes(write_tiff, layout):
    y, x = np.mgrid[:SHAPE[0], :SHAPE[1]]
    data = (120 + 80 * np.sin(x / 3.0) * np.cos(y / 2.0) + 40 * (x % 5 == 0)).astype(np.uint8)
    path = write_tiff(data, compression="jpeg", **layout)
    decoded = tifffile.imread(path)
    ai = integrator()
    assert_bitwise(outputs(ai, path), outputs(ai, frame_of(decoded)))


@pytest.mark.parametrize("planar", ["contig", "separate"])
@pytest.mark.parametrize("dtype, kwargs", [
    ("uint8", {}),
    ("uint16", dict(compression="adobe_deflate", predictor=True)),
    ("float32", dict(compression="lzw", byteorder=">")),
], ids=["uint8", "uint16-deflate-predictor", "float32-lzw-big-endian"])
def test_colour_image_gives_the_first_sample_of_each_pixel(write_tiff, planar, dtype, kwargs):
    channels = [sample(dtype, seed=s) for s in (1, 2, 3)]
    data = np.stack(channels, axis=-1 if planar == "contig" else 0)
    path = write_tiff(data, photometric="rgb", planarconfig=planar, rowsperstrip=4, **kwargs)
    ai = integrator()
    assert_bitwise(outputs(ai, path), outputs(ai, frame_of(channels[0])))


def test_only_the_first_page_is_read(tmp_path):
    first, second = sample("float32", seed=4), sample("uint16", (9, 12), seed=5)
    path = str(tmp_path / "pages.tif")
    with tifffile.TiffWriter(path) as tif:
        tif.write(first)
        tif.write(second)
    with tifffile.TiffFile(path) as tif:
        assert len(tif.pages) == 2
    ai = integrator()
    assert_bitwise(outputs(ai, path), outputs(ai, frame_of(first)))


@pytest.mark.parametrize("method, n_ss", METHODS, ids=METHOD_IDS)
@pytest.mark.parametrize("masked", [False, True], ids=["unmasked", "masked"])
def test_every_method_integrates_the_file_like_the_reversed_array(write_tiff, method, n_ss, masked):
    data = sample("float32", seed=7)
    path = write_tiff(data, compression="adobe_deflate", predictor=True, rowsperstrip=4)
    ai = integrator(method, n_ss)
    if masked:
        ai.set_mask(np.random.default_rng(1).random(SHAPE) < 0.3)
    for n in (40, 700):
        assert_bitwise(outputs(ai, path, n), outputs(ai, frame_of(data), n))


# --- files that cannot be read -------------------------------------------

PREFIX = "Failed to load TIFF: "


def raw_tiff(width, height, strip, byte_count=None, compression=1):
    """Little-endian classic TIFF of one 8-bit strip, built by hand."""
    tags = [(256, 4, width), (257, 4, height), (258, 3, 8), (259, 3, compression), (262, 3, 1),
            (273, 4, 8 + 2 + 9 * 12 + 4), (277, 3, 1), (278, 4, height),
            (279, 4, len(strip) if byte_count is None else byte_count)]
    entries = b"".join(struct.pack("<HHII", tag, kind, 1, value) for tag, kind, value in tags)
    return b"II*\0" + struct.pack("<IH", 8, len(tags)) + entries + struct.pack("<I", 0) + strip


def damaged(write_tiff, how, **kwargs):
    """A valid uint16 file of four-row strips with its second strip truncated or overwritten."""
    path = write_tiff(sample("uint16"), rowsperstrip=4, **kwargs)
    with tifffile.TiffFile(path) as tif:
        offset, count = tif.pages[0].dataoffsets[1], tif.pages[0].databytecounts[1]
    with open(path, "r+b") as f:
        if how == "truncate":
            f.truncate(offset + count // 2)
        else:
            f.seek(offset)
            f.write(b"\xff" * 6)
    return path


def written(tmp_path, content):
    path = tmp_path / "file.tif"
    path.write_bytes(content)
    return str(path)


BAD_FILES = {
    "missing": lambda tmp, w: str(tmp / "absent.tif"),
    "empty": lambda tmp, w: written(tmp, b""),
    "text": lambda tmp, w: written(tmp, b"Distance: 0.1\nThis is not an image.\n" * 20),
    "directory": lambda tmp, w: str(tmp),
    "truncated-strips": lambda tmp, w: damaged(w, "truncate"),
    "corrupt-lzw": lambda tmp, w: damaged(w, "overwrite", compression="lzw"),
    "corrupt-deflate": lambda tmp, w: damaged(w, "overwrite", compression="adobe_deflate"),
    "100000x100000-pixels": lambda tmp, w: written(tmp, raw_tiff(100000, 100000, bytes(64))),
    "deflate-strip-of-144MB": lambda tmp, w: written(tmp, raw_tiff(12000, 12000, zlib.compress(bytes(64)), None, 8)),
    "strip-claiming-200MiB": lambda tmp, w: written(tmp, raw_tiff(8, 8, zlib.compress(bytes(64)), 200 << 20, 8)),
    "float16": lambda tmp, w: w(np.ones(SHAPE, np.float16)),
    "complex64": lambda tmp, w: w(np.ones(SHAPE, np.complex64)),
}


def quiet_calls(run_isolated, path, good):
    """Integrate `path` in all four forms in a fresh process with fd 2 captured.

    Returns the outcomes ([type, message] or None), what was printed on fd 2, and
    whether `good` still integrates as before. Address space is capped so that
    allocating for a huge claimed size cannot succeed.
    """
    return run_isolated(f"""
        import json, os, resource, tempfile
        import karvelum
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        ai = karvelum.Integrator.from_poni_dict({GEOM!r}, method="counting")
        want = ai.integrate1d({good!r}, 100, True).intensity
        outcomes = []
        with tempfile.TemporaryFile() as err:
            saved = os.dup(2)
            os.dup2(err.fileno(), 2)
            for errors, spread in {FORMS!r}:
                try:
                    ai.integrate1d({path!r}, 100, errors, azimuthal_std=spread)
                    outcomes.append(None)
                except Exception as exc:
                    outcomes.append([type(exc).__name__, str(exc)])
            os.dup2(saved, 2)
            err.seek(0)
            printed = err.read().decode(errors="replace")
        print(json.dumps([outcomes, printed, ai.integrate1d({good!r}, 100, True).intensity == want]))
    """)


@pytest.mark.parametrize("case", BAD_FILES)
def test_bad_files_fail_quietly_and_leave_the_integrator_working(tmp_path, write_tiff, run_isolated, case):
    bad, good = BAD_FILES[case](tmp_path, write_tiff), write_tiff(sample("uint16"))
    outcomes, printed, still_works = quiet_calls(run_isolated, bad, good)
    assert printed == "" and still_works
    assert all(o == outcomes[0] for o in outcomes), outcomes
    kind, message = outcomes[0]
    assert kind == "ValueError" and message.startswith(PREFIX), message
    reason = message[len(PREFIX):]
    assert len(reason) > 5 and reason.isprintable() and "alloc" not in reason.lower(), reason
    if case == "missing":
        assert reason == "No such file or directory (os error 2)"


def test_unknown_tags_are_no_failure_and_print_nothing(write_tiff, run_isolated):
    data = sample("int32")
    path = write_tiff(data, rowsperstrip=4, extratags=[(65000, "s", 0, "private", False),
                                                       (65001, "H", 3, (1, 2, 3), False)])
    assert quiet_calls(run_isolated, path, path) == [[None] * 4, "", True]
    ai = integrator()
    assert_bitwise(outputs(ai, path), outputs(ai, frame_of(data)))


def test_zero_points_are_refused_before_the_file_is_read(tmp_path):
    with pytest.raises(ValueError, match="^n_points must be positive$"):
        integrator().integrate1d(str(tmp_path / "absent.tif"), 0)
