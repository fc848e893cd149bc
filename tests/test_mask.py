"""Pixel masks from TIFF files and arrays: which pixels they take out, in every method; refused masks."""
import io
import pathlib
import re

import numpy as np
import pytest
import tifffile

import oracle
from oracle import assert_same, forms

SHAPE, METHODS = (21, 37), ["histogram", "counting", "pixel_split", "supersampled"]  # the steep geometry: nearly
RNG = np.random.default_rng(21)  # every pixel has a bin of its own among 5000
IMAGE = RNG.normal(5.0, 4.0, SHAPE)
PATTERN = RNG.random(SHAPE) < 0.3  # True = masked, in the row order integration sees

@pytest.fixture
def make(integrator):
    return lambda method="histogram", mask=None: integrator("steep", method, 2 if method == "supersampled" else None,
                                                            mask)

@pytest.fixture
def assert_masks_as_pattern(make):
    def check(ai, n=5000, method="histogram"):
        assert_same(forms(ai, IMAGE, n), forms(make(method, PATTERN), IMAGE, n))
    return check

def tiff_bytes(data):
    tifffile.imwrite(buf := io.BytesIO(), data)
    return buf.getvalue()

@pytest.mark.parametrize("storage", [{}, dict(byteorder=">", compression="adobe_deflate")], ids=["plain", "be-deflate"])
@pytest.mark.parametrize("dtype, values", [
    ("uint8", [1, 255]), ("int8", [-128, 1]), ("uint16", [256, 512, 65535]), ("int16", [-256, 256]),
    ("uint32", [65536, 2**24]), ("int32", [-65536, 2**31 - 1]), ("uint64", [2**32, 2**63]), ("int64", [-2**32, 2**40]),
    ("float32", [0.5, 1e-30, np.nan, -np.inf, 1e-45]), ("float64", [1e-300, np.nan, 0.25, np.inf, 5e-324]),
])
def test_tiff_mask_is_reversed_and_every_nonzero_value_masks(make, assert_masks_as_pattern, write_tiff, storage, dtype,
                                                             values):
    stored = np.zeros(SHAPE, dtype)  # narrowing these values to a byte or an integer would give 0
    stored[np.flipud(PATTERN)] = np.resize(np.array(values, dtype), PATTERN.sum())
    if stored.dtype.kind == "f":
        stored[::2, ::3][stored[::2, ::3] == 0] = -0.0  # negative zero does not mask
        assert np.signbit(stored).sum() > 10
    assert_masks_as_pattern(make(mask=write_tiff(stored, rowsperstrip=4, **storage)))

def test_array_masks_keep_their_rows_and_any_nonzero_byte_masks(make, assert_masks_as_pattern):
    values = np.where(PATTERN, RNG.choice(np.array([1, 2, 5, 128, 255], np.uint8), SHAPE), 0).astype(np.uint8)
    assert_masks_as_pattern(make(mask=values))
    assert_masks_as_pattern(make(mask=values.view(np.bool_)))  # bool bytes other than 1

def test_the_comparison_tells_row_order_columns_byte_order_and_single_masked_pixels_apart(make):
    data = np.random.default_rng(0).integers(0, 2**16, SHAPE).astype(np.uint16)
    frames = (data, data[::-1], data[:, ::-1], data.byteswap())
    p = [make().integrate1d(f.astype(float), 5000).intensity for f in frames]
    assert all(p[i] != p[j] for i in range(4) for j in range(i))
    want, one_more = make(mask=PATTERN).integrate1d(IMAGE, 5000).intensity, PATTERN.copy()
    one_more[tuple(np.argwhere(~PATTERN)[7])] = True
    for other in (np.flipud(PATTERN), one_more, np.zeros(SHAPE, bool)):
        assert make(mask=np.ascontiguousarray(other)).integrate1d(IMAGE, 5000).intensity != want

@pytest.mark.parametrize("method", METHODS)
def test_masked_pixels_take_no_part_in_any_method(make, geoms, method):
    r, c = oracle.radial_and_correction(geoms["steep"], SHAPE, "2th_rad")
    flat, ai = c.reshape(SHAPE), make(method, PATTERN)  # flat integrates to 1 wherever pixels count
    junk = np.where(PATTERN, 1e30, flat)
    junk[PATTERN & (np.arange(SHAPE[1]) % 3 == 0)] = np.nan
    assert_same(forms(ai, junk, 60), forms(ai, flat, 60))
    res = ai.integrate1d(junk, 60, True, azimuthal_std=True)
    counted = np.array(res.intensity) != 0
    assert counted.sum() >= 40 and np.nanmax(make(method).integrate1d(junk, 60).intensity) > 1e20  # unmasked: junk
    np.testing.assert_allclose(np.array(res.intensity)[counted], 1.0, rtol=1e-12)
    np.testing.assert_allclose(np.array(res.azimuthal_std)[counted], 0.0, atol=1e-12)
    if method in ("counting", "histogram"):  # the oracle without those pixels; the bins span every pixel
        bins, centres, trusted = oracle.bin_layout(r, 150)
        intensity, errors = getattr(oracle, method)(IMAGE.ravel(), c, np.where(PATTERN.ravel(), -1, bins), 150)
        res = ai.integrate1d(IMAGE, 150, True)
        assert trusted.sum() >= 150 - 4
        for got, want in [(res.radial, centres), (res.intensity, intensity), (res.errors, errors)]:
            np.testing.assert_allclose(np.array(got)[trusted], want[trusted], rtol=1e-9)

def test_set_mask_none_and_clear_mask_remove_the_mask(make, assert_masks_as_pattern):
    ai, unmasked = make(), forms(make(), IMAGE, 5000)
    for remove in (lambda: ai.set_mask(None), ai.clear_mask):
        remove()  # without a mask too
        ai.set_mask(PATTERN)
        assert_masks_as_pattern(ai)
        remove()
        assert_same(forms(ai, IMAGE, 5000), unmasked)

@pytest.mark.parametrize("shape, message", [((20, 37), "mask dim1 mismatch: mask = 20, data = 21"),
                                            ((21, 38), "mask dim2 mismatch: mask = 38, data = 37"),
                                            ((22, 36), "mask dim1 mismatch: mask = 22, data = 21")])
@pytest.mark.parametrize("method", METHODS)
def test_a_mask_of_another_shape_is_a_value_error(make, assert_masks_as_pattern, write_tiff, method, shape, message):
    path, ai = write_tiff(np.flipud(IMAGE)), make(method, np.zeros(shape, np.uint8))
    for image, (errors, spread) in [(image, form) for image in (IMAGE, path) for form in oracle.FORMS]:
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            ai.integrate1d(image, 50, errors, azimuthal_std=spread)
    ai.set_mask(PATTERN)
    assert_masks_as_pattern(ai, 50, method)
    assert_same(forms(ai, path, 50), forms(ai, IMAGE, 50))  # a file with a mask, in every method

ROW_MAJOR, LOAD = "^Array must be C-contiguous \\(row-major\\) and ", "^Failed to load mask TIFF: "
REFUSED_MASKS = {  # masks (bytes: a file of that content), the exception and a pattern of its text
    "not-row-major-uint8": ([np.zeros((37, 21), np.uint8).T, np.zeros((42, 37), np.uint8)[::-2],
                             np.zeros((21, 74), np.uint8)[:, ::2]], ValueError, ROW_MAJOR + "uint8$"),
    "not-row-major-bool": ([np.zeros((37, 21), bool).T], ValueError, ROW_MAJOR + "bool$"),
    "missing-file": (["/nonexistent/mask.tif"], ValueError, LOAD + "No such file or directory \\(os error 2\\)$"),
    "unreadable-files": ([b"", b"no image\n" * 9, tiff_bytes(np.ones(SHAPE, np.float16))], ValueError, LOAD + ".{6}"),
    "other-types": ([np.zeros(SHAPE, np.int8), np.zeros(SHAPE, np.int32), np.zeros(SHAPE), np.zeros(SHAPE[1], bool),
                     np.zeros((1,) + SHAPE, np.uint8), np.zeros(SHAPE, np.uint8).tolist(), pathlib.Path("mask.tif")],
                    TypeError, "^failed to extract enum MaskInput")}

@pytest.mark.parametrize("case", REFUSED_MASKS)
def test_refused_masks_keep_the_previous_mask(make, assert_masks_as_pattern, tmp_path, case):
    masks, exc_type, pattern = REFUSED_MASKS[case]
    ai = make(mask=PATTERN)
    for mask in masks:
        if isinstance(mask, bytes):
            (tmp_path / "mask.tif").write_bytes(mask)
            mask = str(tmp_path / "mask.tif")
        with pytest.raises(exc_type, match=pattern) as exc:
            ai.set_mask(mask)
        assert exc_type is ValueError or "while processing 'mask'" in exc.value.__notes__
        assert_masks_as_pattern(ai)
