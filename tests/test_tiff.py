"""TIFF frames compared bit for bit through integration: nearly every pixel has a bin of its own."""
import io
import os
import struct
import subprocess
import sys
import textwrap
import time
import zlib

import numpy as np
import pytest
import tifffile

from karvelum import Integrator
from tiff_files import (block_places, packed_tiff, padded_tiff, random_samples, stored_tiff, tiff_bytes,
                        zero_strips_tiff)

GEOM = dict(pixel1=1e-4, pixel2=1.3e-4, distance=0.05, poni1=-1.1e-3, poni2=-0.7e-3,
            rot1=0.35, rot2=-0.25, rot3=0.5, wavelength=1e-10)
SHAPE, N = (21, 37), 5000  # a multiple of neither the strip height nor the tile size
METHODS = ["histogram", "counting", "pixel_split", "supersampled"]
FORMS = [(False, False), (True, False), (False, True), (True, True)]
TIES = {"uint64": [2**53 + 1, 2**53 + 3, 2**54 + 2, 2**54 + 6, 2**63 + 2**10, 2**64 - 1],  # beyond 2**53
        "int64": [-(2**53 + 1), -(2**53 + 3), 2**62 + 3 * 2**9, 2**63 - 1, -2**63, -(2**63 - 2**10)]}

def integrator(method="histogram", mask=None):
    ai = Integrator.from_poni_dict(GEOM, method=method, n_ss=2 if method == "supersampled" else None)
    if mask is not None:
        ai.set_mask(mask)
    return ai

def outputs(ai, image, n=N):  # every vector of the four result forms
    results = [ai.integrate1d(image, n, errors, azimuthal_std=spread) for errors, spread in FORMS]
    return [np.array(v) for r in results for v in (r.radial, r.intensity, r.errors, r.azimuthal_std) if v is not None]

def assert_bitwise(got, want):
    np.testing.assert_array_equal(np.concatenate(got), np.concatenate(want))
    assert [g.tobytes() for g in got] == [w.tobytes() for w in want]

def frame_of(data):  # rows reversed, every value the nearest double by Python's own conversion
    return np.array([float(v) for v in np.flipud(data).ravel().tolist()]).reshape(data.shape)

def assert_reads_as(path, data, methods=("histogram",)):
    for method in methods:
        assert_bitwise(outputs(integrator(method), path), outputs(integrator(method), frame_of(data)))

def sample(dtype, shape=SHAPE, seed=0):
    rng, dt = np.random.default_rng(seed), np.dtype(dtype)
    if dt.kind != "f":  # over the whole range
        data, extremes = rng.integers(np.iinfo(dt).min, np.iinfo(dt).max, shape, dt, True), TIES.get(dt.name, [])
    else:  # many magnitudes
        data = (rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 4, shape)).astype(dt)
        extremes = [np.nan, np.inf, -np.inf, -0.0, np.finfo(dt).max]
    data.flat[np.array([3, 50, 101, 400, 401, 2])[:len(extremes)] % data.size] = extremes
    return data


LZW, DEFLATE, TILE = dict(compression="lzw"), dict(compression="adobe_deflate"), dict(tile=(16, 16))
COLOUR = {"": {}, "-deflate-predictor": dict(DEFLATE, predictor=True), "-lzw-big-endian": dict(LZW, byteorder=">")}
STORAGE = {"plain": {}, "lzw": LZW, "lzw-predictor": dict(LZW, predictor=True), "deflate": DEFLATE,
           "deflate-predictor": dict(DEFLATE, predictor=True), "packbits": dict(compression="packbits"),
           "tiles": TILE, "tiles-deflate-predictor": dict(TILE, **DEFLATE, predictor=True),
           "bigtiff": dict(bigtiff=True), "big-endian": dict(byteorder=">"),
           "big-endian-lzw-predictor": dict(LZW, byteorder=">", predictor=True),
           "bigtiff-big-endian-tiles-packbits": dict(TILE, bigtiff=True, byteorder=">", compression="packbits"),
           "one-row": dict(shape=(1, 37)), "one-column": dict(shape=(21, 1)), "3x2": dict(shape=(3, 2)),
           **{f"rgb-{planar}{name}": dict(kw, photometric="rgb", planarconfig=planar)
              for planar in ("contig", "separate") for name, kw in COLOUR.items()},
           "two-pages": dict(second_page=True)}  # only the first is read
@pytest.mark.parametrize("storage", STORAGE)
@pytest.mark.parametrize("dtype", "uint8 uint16 uint32 uint64 int8 int16 int32 int64 float32 float64".split())
def test_every_sample_type_and_storage_integrates_like_its_rows_reversed(write_tiff, dtype, storage):
    kwargs = {"rowsperstrip": None if "tile" in STORAGE[storage] else 4, "shape": SHAPE, **STORAGE[storage]}
    data, second_page = sample(dtype, kwargs.pop("shape")), kwargs.pop("second_page", False)
    if kwargs.get("predictor"):  # horizontal for integers (64-bit ones too), floating point for floats
        kwargs["predictor"] = 3 if data.dtype.kind == "f" else 2
    if planar := kwargs.get("planarconfig"):  # colour: the first sample of each pixel counts
        channels = [data] + [sample(dtype, data.shape, seed) for seed in (1, 2)]
    path = write_tiff(np.stack(channels, axis=-1 if planar == "contig" else 0) if planar else data, **kwargs)
    if second_page:
        tifffile.imwrite(path, sample("uint16", (9, 12), seed=5), append=True)
    # The table methods read the file's own samples in place.
    assert_reads_as(path, data, ("histogram", "counting", "pixel_split"))

@pytest.mark.parametrize("layout", [dict(rowsperstrip=8), TILE], ids=["strips", "tiles"])
def test_jpeg_gives_what_tifffile_decodes(write_tiff, layout):
    y, x = np.mgrid[:SHAPE[0], :SHAPE[1]]
    data = (120 + 80 * np.sin(x / 3.0) * np.cos(y / 2.0) + 40 * (x % 5 == 0)).astype(np.uint8)
    path = write_tiff(data, compression="jpeg", **layout)
    assert_reads_as(path, tifffile.imread(path))

def raw_tiff(width, height, strip, byte_count=None, compression=1):  # one 8-bit strip right after 9 tags (byte 122)
    tags = [(256, 4, width), (257, 4, height), (258, 3, 8), (259, 3, compression), (262, 3, 1), (273, 4, 122),
            (277, 3, 1), (278, 4, height), (279, 4, len(strip) if byte_count is None else byte_count)]
    entries = b"".join(struct.pack("<HHII", tag, kind, 1, value) for tag, kind, value in tags)
    return b"II*\0" + struct.pack("<IH", 8, len(tags)) + entries + struct.pack("<I", 0) + strip

def damaged(truncate, **kwargs):  # a file of four-row strips, the second truncated or overwritten
    raw = tiff_bytes(sample("uint16"), rowsperstrip=4, **kwargs)
    with tifffile.TiffFile(io.BytesIO(raw)) as tif:
        offset, count = tif.pages[0].dataoffsets[1], tif.pages[0].databytecounts[1]
    return raw[:offset + count // 2] if truncate else raw[:offset] + b"\xff" * 6 + raw[offset + 6:]

BAD_FILES = {  # file contents
    "empty": b"", "text": b"Distance: 0.1\nThis is not an image.\n" * 20, "truncated-strips": damaged(True),
    "corrupt-lzw": damaged(False, **LZW), "corrupt-deflate": damaged(False, **DEFLATE),
    "float16": tiff_bytes(np.ones(SHAPE, np.float16)), "complex64": tiff_bytes(np.ones(SHAPE, np.complex64)),
    "100000x100000-pixels": raw_tiff(100000, 100000, bytes(64)),
    "deflate-strip-of-144MB": raw_tiff(12000, 12000, zlib.compress(bytes(64)), None, 8),
    "strip-claiming-200MiB": raw_tiff(8, 8, zlib.compress(bytes(64)), 200 << 20, 8)}
def test_bad_files_fail_quietly_and_leave_the_integrator_working(tmp_path, write_tiff, run_isolated):
    tags = [(65000, "s", 0, "private", False), (65001, "H", 3, (1, 2, 3), False)]
    paths = {"unknown-tags": write_tiff(sample("int32"), rowsperstrip=4, extratags=tags),
             "missing": str(tmp_path / "absent.tif"), "directory": str(tmp_path)}
    assert_reads_as(paths["unknown-tags"], sample("int32"))
    with pytest.raises(ValueError, match="^n_points must be positive$"):  # before the file is read
        integrator().integrate1d(paths["missing"], 0)
    for case, content in BAD_FILES.items():
        (tmp_path / case).write_bytes(content)
        paths[case] = str(tmp_path / case)
    outcomes, printed, still_works = run_isolated(f"""
        import json, os, resource, tempfile, karvelum
        if not os.environ.get("KARVELUM_SANITIZED"):  # the sanitizer build caps allocations itself
            resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))  # a huge claimed size cannot be allocated
        ai, good = karvelum.Integrator.from_poni_dict({GEOM!r}, method="counting"), {paths["unknown-tags"]!r}
        want, err, saved = ai.integrate1d(good, 100, True).intensity, tempfile.TemporaryFile(), os.dup(2)
        def outcome(path, errors, spread):
            try:
                ai.integrate1d(path, 100, errors, azimuthal_std=spread)
            except Exception as exc:
                return [type(exc).__name__, str(exc)]
        os.dup2(err.fileno(), 2)  # what is printed
        outcomes = {{case: [outcome(path, *form) for form in {FORMS!r}] for case, path in {paths!r}.items()}}
        os.dup2(saved, 2)
        err.seek(0)
        print(json.dumps([outcomes, err.read().decode(), ai.integrate1d(good, 100, True).intensity == want]))
    """)
    assert printed == "" and still_works and outcomes.pop("unknown-tags") == [None] * 4
    for case, got in outcomes.items():
        assert got == [got[0]] * 4 and got[0][0] == "ValueError" and got[0][1][:21] == "Failed to load TIFF: ", got
        reason = got[0][1][21:]
        assert len(reason) > 5 and reason.isprintable() and "alloc" not in reason.lower(), (case, reason)
    assert outcomes["missing"][0][1] == "Failed to load TIFF: No such file or directory (os error 2)"


# Blocks made smaller in the directory than in the data: the image needs more blocks than the file lists (the
# planes stored apart list 15 strips of 24 rows and 3 samples, or 6 tiles, while 36 strips or 18 tiles are needed).
SHORT_LISTS = {"planar-strips": (dict(planar=True, rowsperstrip=5), [(278, 3, [2])], "strip 15"),
               "planar-tiles": (dict(planar=True, tile=(32, 32)), [(322, 3, [16]), (323, 3, [16])], "tile 6"),
               "contiguous-strips": (dict(rowsperstrip=5), [(278, 3, [2])], "strip 5")}
@pytest.mark.parametrize("case", SHORT_LISTS)
def test_a_block_list_too_short_for_the_image_is_refused_for_every_plane_layout(tmp_path, case):
    layout, tags, missing = SHORT_LISTS[case]
    data = random_samples(8, False, (24, 37, 3) if layout.get("planar") else (24, 37))
    (path := tmp_path / "short.tif").write_bytes(packed_tiff(data, 8, **layout, tags=tags))
    ai = integrator()
    with pytest.raises(ValueError, match=f"^Failed to load TIFF: {missing} has no data in the file$"):
        ai.integrate1d(str(path), 100)
    with pytest.raises(ValueError, match=f"^Failed to load mask TIFF: {missing} has no data in the file$"):
        ai.set_mask(str(path))


def test_memory_returns_and_calls_beyond_memory_fail_before_allocating(tmp_path, run_isolated):
    big, hostile = tmp_path / "big.tif", tmp_path / "hostile.tif"
    tifffile.imwrite(big, np.ones((4096, 4096), np.float32))
    # 270 KB on disk, 16384 x 16384 pixels: the geometry and a split or supersampled table need over 40 GB
    tifffile.imwrite(hostile, np.zeros((16384, 16384), np.uint8), compression="zlib", rowsperstrip=1024)
    assert hostile.stat().st_size < 1 << 20
    grown, outcomes, peak = run_isolated(f"""
        import json, resource, karvelum
        def rss_mib():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096 / 2**20
        g, outcomes, start = {GEOM!r}, [], resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**10
        for method in ["pixel_split", "supersampled"]:
            hostile = karvelum.Integrator.from_poni_dict(g, method=method)
            for call in (lambda: hostile.integrate1d({str(hostile)!r}, 100),
                         lambda: hostile.integrate2d({str(hostile)!r}, 100, 36)):
                try:
                    call()
                    outcomes.append("ok")
                except MemoryError:
                    outcomes.append("MemoryError")
            outcomes.append(hostile.batch1d([{str(hostile)!r}], 100)[0].error)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**10 - start
        before = rss_mib()
        ai = karvelum.Integrator.from_poni_dict(g, method="counting")
        ai.integrate1d({str(big)!r}, 100)
        del ai  # with its geometry and table: what stays is the thread's
        grown = rss_mib() - before
        print(json.dumps([grown, outcomes, peak]))
    """)
    assert outcomes == ["MemoryError", "MemoryError", "memory allocation failed"] * 2
    if not os.environ.get("KARVELUM_SANITIZED"):  # the sanitizer keeps freed memory in quarantine
        assert grown < 96  # the call's 128 MiB frame is not kept (MiB; the allocator may keep some heap)
        assert peak < 100  # nothing large was allocated for the refused calls (MiB)


# Publishes frames the way detector software does: each version written to a temporary file in the same folder
# and renamed over the path, in turn, until told to stop (or for a minute at most).
PUBLISHER = """
import os, pathlib, sys, time
path, stop, versions = sys.argv[1], sys.argv[2], [pathlib.Path(p).read_bytes() for p in sys.argv[3:]]
end, k = time.monotonic() + 60, 0
while not os.path.exists(stop) and time.monotonic() < end:
    with open(path + ".tmp", "wb") as f:
        f.write(versions[k % len(versions)])
    os.replace(path + ".tmp", path)
    k += 1
"""
RENAMED = {  # layouts of the two versions (large enough to be decoded by several threads), and the road read
    "lzw-strips": (dict(**LZW, rowsperstrip=32),) * 2 + ("1d",),
    "deflate-tiles": (dict(**DEFLATE, tile=(128, 128)),) * 2 + ("2d",),
    "plain-strips": (dict(rowsperstrip=32),) * 2 + ("2d",),
    "lzw-strips-then-deflate-tiles": (dict(**LZW, rowsperstrip=32), dict(**DEFLATE, tile=(128, 128)), "1d")}
@pytest.mark.parametrize("case", RENAMED)
def test_a_frame_renamed_over_while_it_is_read_reads_as_one_version_whole(tmp_path, run_isolated, case):
    *layouts, road = RENAMED[case]
    rows = np.arange(1024, dtype=np.uint16)[:, None].repeat(1024, axis=1)
    versions = [rows, rows + 2000]  # every row recognisable, and each version's rows
    path, stop = tmp_path / "frame.tif", tmp_path / "stop"
    sources = [tmp_path / f"version_{k}.tif" for k in range(2)]
    for source, version, layout in zip(sources, versions, layouts):
        tifffile.imwrite(source, version, **layout)
    path.write_bytes(sources[0].read_bytes())
    publisher = subprocess.Popen([sys.executable, "-c", PUBLISHER, str(path), str(stop), *map(str, sources)])
    try:
        seen, errors = run_isolated(f"""
            import json, numpy as np, karvelum
            karvelum.set_rayon_threads(8)
            ai = karvelum.Integrator.from_poni_dict({GEOM!r}, method="histogram")
            def read(image):
                result = ai.integrate1d(image, 500) if {road!r} == "1d" else ai.integrate2d(image, 100, 36)
                return np.array(result.intensity).tobytes()
            rows = np.arange(1024.0)[::-1, None].repeat(1024, axis=1)  # the file's rows reversed
            want, seen, errors = [read(rows), read(rows + 2000)], [0, 0, 0], set()
            for _ in range(150):
                try:
                    got = read({str(path)!r})
                    seen[want.index(got) if got in want else 2] += 1  # version 0, version 1, a mixture
                except ValueError as exc:
                    errors.add(str(exc))
            print(json.dumps([seen, sorted(errors)]))
        """)
    finally:
        stop.touch()
        publisher.wait(timeout=60)
    assert seen[2] == 0 and errors == [], (seen, errors)
    assert seen[0] > 0 and seen[1] > 0  # the path was renamed over while it was read


# Deflate layouts whose second block's stored bytes are zero from their middle on, as a read racing a cut of the
# file returns them (or a file written in place that is not yet whole): libtiff takes such a stream for a whole
# block, inflated past its room and never checked against its checksum.
ZEROED_TAIL = {"tiles": dict(tile=(32, 32)), "tiles-float-predictor": dict(tile=(32, 32), predictor=3),
               "strips": dict(rowsperstrip=16),
               "strips-horizontal-predictor": dict(rowsperstrip=16, predictor=2, dtype="uint32"),
               "strips-big-endian": dict(rowsperstrip=16, byteorder=">"),
               "tiles-big-endian-float-predictor": dict(tile=(32, 32), byteorder=">", predictor=3),
               "strips-deflate-code": dict(rowsperstrip=16, compression="deflate")}
@pytest.mark.parametrize("case", ZEROED_TAIL)
def test_a_deflate_block_whose_stored_bytes_end_in_zeros_is_a_load_error_not_samples(tmp_path, case):
    layout = {"compression": "adobe_deflate", **ZEROED_TAIL[case]}
    data = (np.random.default_rng(3).random((96, 96)) * 1000).astype(np.float32).view(layout.pop("dtype", "float32"))
    raw = bytearray(tiff_bytes(data, **layout))
    whole, cut = tmp_path / "whole.tif", tmp_path / "cut.tif"
    whole.write_bytes(raw)
    assert_reads_as(str(whole), data)
    with tifffile.TiffFile(io.BytesIO(raw)) as tif:
        offset, count = tif.pages[0].dataoffsets[1], tif.pages[0].databytecounts[1]
    raw[offset + count // 2:offset + count] = bytes(count - count // 2)
    cut.write_bytes(raw)
    for file_form in (False, True):  # the frame, and the file's own samples (in place for strips)
        with pytest.raises(ValueError, match=r"^Failed to load TIFF: (tile|strip) 1 holds damaged"):
            integrator("counting" if file_form else "histogram").integrate1d(str(cut), 100)

# The same layouts with the second block's Adler-32 trailer altered and its deflate data left as it was: the
# data inflates to the block's bytes, and only the checksum tells that they are not the file's.
# Read as the frame, and as the file's own samples (in place for strips).
@pytest.mark.parametrize("method", ["histogram", "counting"])
@pytest.mark.parametrize("case", ZEROED_TAIL)
def test_a_deflate_block_whose_checksum_alone_is_wrong_is_a_load_error_not_samples(tmp_path, case, method):
    layout = {"compression": "adobe_deflate", **ZEROED_TAIL[case]}
    data = (np.random.default_rng(3).random((96, 96)) * 1000).astype(np.float32).view(layout.pop("dtype", "float32"))
    raw = bytearray(tiff_bytes(data, **layout))
    whole, altered = tmp_path / "whole.tif", tmp_path / "altered.tif"
    whole.write_bytes(raw)
    assert_reads_as(str(whole), data, (method,))
    with tifffile.TiffFile(io.BytesIO(raw)) as tif:
        offset, count = tif.pages[0].dataoffsets[1], tif.pages[0].databytecounts[1]
    block = bytes(raw[offset:offset + count])
    trailer = (zlib.adler32(zlib.decompress(block)) ^ 0x00010001).to_bytes(4, "big")  # both sums, low bit flipped
    raw[offset + count - 4:offset + count] = trailer
    altered.write_bytes(raw)
    damaged = bytes(raw[offset:offset + count])
    assert zlib.decompress(damaged[2:-4], -15) == zlib.decompress(block)  # the deflate data is intact
    with pytest.raises(zlib.error, match="incorrect data check"):
        zlib.decompress(damaged)
    with pytest.raises(ValueError, match=r"^Failed to load TIFF: (tile|strip) 1 holds damaged or incomplete "
                                         r"Deflate data$"):
        integrator(method).integrate1d(str(altered), 100)

def test_deflate_blocks_stored_in_the_other_bit_order_read_as_their_samples(tmp_path):
    data = random_samples(8, False, (40, 24), seed=4)
    raw = bytearray(packed_tiff(data, 8, compression=8, rowsperstrip=8, tags=[(266, 3, [2])]))  # FillOrder 2
    with tifffile.TiffFile(io.BytesIO(bytes(raw))) as tif:
        blocks = list(zip(tif.pages[0].dataoffsets, tif.pages[0].databytecounts))
    reversed_bits = np.array([int(f"{v:08b}"[::-1], 2) for v in range(256)], np.uint8)
    for offset, count in blocks:
        raw[offset:offset + count] = reversed_bits[np.frombuffer(raw, np.uint8, count, offset)].tobytes()
    (path := tmp_path / "reversed.tif").write_bytes(raw)
    assert_reads_as(str(path), data, ("histogram", "counting"))


def assert_every_road_reads_as(path, data):
    """Single calls (the frame, and the file's own samples, in place for strips), batch items on other threads and
    2D results all give what the array gives."""
    frame = frame_of(data)
    for method in ("histogram", "counting"):
        ai = integrator(method)
        assert_bitwise(outputs(ai, path), outputs(ai, frame))
        want = np.array(ai.integrate1d(frame, N).intensity).tobytes()
        items = ai.batch1d([path] * 3, N, num_workers=2) + list(ai.batch1d_iter([path] * 3, N, num_workers=2))
        assert [item.error or np.array(item.result.intensity).tobytes() for item in items] == [want] * 6
        assert_bitwise(*([np.array(ai.integrate2d(image, 40, 36).intensity)] for image in (path, frame)))

# 22 rows in strips of 4 (or tiles of 16) whose last strip stores 4 rows, two of them (or half of one) padding, as
# some writers store it; and 4 rows in one strip of 8 (both first and last) that stores 6 of them, 5 and a half or
# all 8. The last rows are alike, so a compressed stream holds a match across the end of the image.
PADDED_CODECS = {"deflate-stored": dict(compression="adobe_deflate", level=0),
                 "deflate": dict(compression="adobe_deflate", level=6), "lzw": dict(compression="lzw"),
                 "packbits": dict(compression="packbits")}
SAMPLES = [(1, "uint16"), (1, "float64"), (2, "uint16"), (2, "int32"), (3, "float32")]  # predictor, sample type
PADDED = {"strips": dict(rowsperstrip=4), "strips-part-row-padding": dict(rowsperstrip=4, padding_rows=0.5),
          "tiles": dict(tile=(16, 16)),
          "one-strip": dict(rowsperstrip=8, rows=(8, 4), padding_rows=2),
          "one-strip-part-row-padding": dict(rowsperstrip=8, rows=(8, 4), padding_rows=1.5),
          "one-strip-of-all-its-rows": dict(rowsperstrip=8, rows=(8, 4))}  # rows written, rows of the image
@pytest.mark.parametrize("layout", PADDED)
@pytest.mark.parametrize("bit_order", [1, 2], ids=["fill-order-1", "fill-order-2"])
@pytest.mark.parametrize("byteorder", "<>")
@pytest.mark.parametrize("codec, predictor, dtype", [(c, p, t) for c in PADDED_CODECS for p, t in SAMPLES
                                                     if c != "packbits" or p == 1],
                         ids=lambda v: {1: "no-predictor", 2: "horizontal", 3: "floating-point"}.get(v, v))
def test_blocks_stored_with_padding_rows_read_as_their_rows_on_every_road(tmp_path, codec, predictor, dtype,
                                                                          byteorder, bit_order, layout):
    kwargs = {**PADDED_CODECS[codec], **PADDED[layout]}
    written, height = kwargs.pop("rows", (24, 22))
    data = sample(dtype, (written, 37))
    data[height - 2:] = data[height - 2]
    if "padding_rows" in kwargs:
        kwargs["padding"] = int(kwargs.pop("padding_rows") * data.itemsize * data.shape[1])  # bytes
    raw = padded_tiff(data, height, bits_reversed=bit_order == 2, predictor=predictor, byteorder=byteorder, **kwargs)
    (path := tmp_path / "padded.tif").write_bytes(raw)
    assert_every_road_reads_as(str(path), data[:height])


@pytest.mark.parametrize("level", [0, 6], ids=["stored", "compressed"])
def test_a_last_strip_that_repeats_a_whole_block_reads_as_that_blocks_first_rows(tmp_path, level):
    # The block list names strip 0's block again for the short last strip: it holds a whole strip's rows.
    data = sample("uint16", (24, 37))
    raw = bytearray(padded_tiff(data, 22, rowsperstrip=4, predictor=2, compression="adobe_deflate", level=level))
    with tifffile.TiffFile(io.BytesIO(bytes(raw))) as tif:
        page = tif.pages[0]
        for code, value in ((273, page.dataoffsets[0]), (279, page.databytecounts[0])):
            struct.pack_into("<I", raw, page.tags[code].valueoffset + 4 * (len(page.dataoffsets) - 1), value)
    (path := tmp_path / "repeated.tif").write_bytes(raw)
    assert_every_road_reads_as(str(path), np.concatenate([data[:20], data[:2]]))


# A last Deflate strip whose stream holds a row more than RowsPerStrip allows: the only strip of an image of 4 rows in
# strips of 8 (its room reaches past the image), and the last of 22 rows in strips of 4.
OVERFULL = {"one-strip": (4, 8), "last-of-six-strips": (22, 4)}  # rows of the image, rows per strip
@pytest.mark.parametrize("method", ["histogram", "counting"])
@pytest.mark.parametrize("byteorder", "<>")
@pytest.mark.parametrize("level", [0, 6], ids=["stored", "compressed"])
@pytest.mark.parametrize("case", OVERFULL)
def test_a_deflate_strip_holding_more_rows_than_a_strip_may_is_refused(tmp_path, case, level, byteorder, method):
    height, rows_per_strip = OVERFULL[case]
    data = sample("uint16", (height + rows_per_strip, 37)).astype(f"{byteorder}u2")
    starts = range(0, height, rows_per_strip)
    blocks = [zlib.compress(data[r:r + rows_per_strip + (r == starts[-1])].tobytes(), level) for r in starts]
    offsets, counts = block_places(blocks)
    entries = [(256, 4, [37]), (257, 4, [height]), (258, 3, [16]), (259, 3, [8]), (262, 3, [1]), (273, 4, offsets),
               (277, 3, [1]), (278, 3, [rows_per_strip]), (279, 4, counts)]
    (path := tmp_path / "overfull.tif").write_bytes(stored_tiff(blocks, entries, byteorder))
    with pytest.raises(ValueError, match=rf"^Failed to load TIFF: strip {len(blocks) - 1} holds damaged Deflate data: "
                                         r"it inflates past the block$"):
        integrator(method).integrate1d(str(path), 100)


# Cuts a file to a random length and at once puts its bytes back, then leaves it whole for a millisecond, over and
# over until told to stop (or for a minute at most).
CUTTER = """
import os, pathlib, random, sys, time
path, stop = sys.argv[1], sys.argv[2]
raw, rng, fd, end = pathlib.Path(path).read_bytes(), random.Random(6), os.open(path, os.O_WRONLY), time.monotonic() + 60
while not os.path.exists(stop) and time.monotonic() < end:
    at = rng.randrange(len(raw))
    os.ftruncate(fd, at)
    os.pwrite(fd, raw[at:], at)
    time.sleep(0.001)
"""
def test_a_tiled_deflate_file_cut_and_restored_while_streamed_gives_its_result_or_an_error_item(tmp_path):
    data = (np.random.default_rng(5).random((1024, 1024)) * 1000).astype(np.float32)
    path, stop = tmp_path / "frame.tif", tmp_path / "stop"
    path.write_bytes(tiff_bytes(data, compression="adobe_deflate", tile=(256, 256)))
    ai = integrator()
    want = np.array(ai.integrate1d(str(path), 100).intensity).tobytes()
    cutter = subprocess.Popen([sys.executable, "-c", CUTTER, str(path), str(stop)])
    seen, end = [0, 0, 0], time.monotonic() + 5  # a bounded run, not a timed assertion
    try:
        while time.monotonic() < end:
            for item in ai.batch1d_iter([str(path)] * 16, 100, num_workers=2, num_threads=8):
                seen[2 if item.is_err() else np.array(item.result.intensity).tobytes() == want] += 1
    finally:
        stop.touch()
        cutter.wait(timeout=60)
    assert seen[0] == 0, seen  # never samples that are in no version of the file
    assert seen[1] > 0 and seen[2] > 0, seen  # read whole, and cut while read


def test_histogram_calls_beyond_the_memory_budget_are_refused_before_allocating(tmp_path, run_isolated,
                                                                                memory_group):
    # 16 KB on disk, 16384 x 16384 pixels: the per-pixel geometry and the frame need about 15 GB, more than a
    # call may take in a memory group of 8 GiB (or, where none can be made, on a machine with less available).
    # Batch items are refused as the table methods' are: an error item.
    group = memory_group(8 << 30, skip=False)
    if group is None:
        with open("/proc/meminfo") as f:
            available = next(int(line.split()[1]) << 10 for line in f if line.startswith("MemAvailable:"))
        if available > 15e9:
            pytest.skip("no memory group can be made, and the machine could hold the call")
    hostile = tmp_path / "hostile.tif"
    hostile.write_bytes(zero_strips_tiff(16384, 16384))
    outcomes, peak, still_works = run_isolated(memory_group.join + textwrap.dedent(f"""
        import json, os, resource, numpy, karvelum
        if not os.environ.get("KARVELUM_SANITIZED"):  # the sanitizer build caps allocations itself
            resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))  # an admitted call fails, not the machine
        start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**10
        ai, path, outcomes = karvelum.Integrator.from_poni_dict({GEOM!r}, method="histogram"), {str(hostile)!r}, []
        for call in (lambda: ai.integrate1d(path, 100), lambda: ai.integrate1d(path, 100, True, azimuthal_std=True),
                     lambda: ai.integrate2d(path, 100, 36)):
            try:
                call()
                outcomes.append("ok")
            except MemoryError as exc:
                outcomes.append(type(exc).__name__)
        outcomes += [ai.batch1d([path], 100)[0].error, ai.batch2d([path], 100, 36)[0].error,
                     *[item.error for item in ai.batch1d_iter([path], 100)]]
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**10 - start
        still_works = len(ai.integrate1d(numpy.ones((64, 64)), 10).intensity)
        print(json.dumps([outcomes, peak, still_works]))
    """), stderr="", JOIN_GROUP=group or "")
    assert outcomes == ["MemoryError"] * 3 + ["memory allocation failed"] * 3
    assert still_works == 10
    if not os.environ.get("KARVELUM_SANITIZED"):  # the sanitizer keeps freed memory in quarantine
        assert peak < 100  # nothing large was allocated for the refused calls (MiB)
