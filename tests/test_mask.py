"""Pixel masks from TIFF files and arrays, seen through the pixels they remove."""
import pathlib

import numpy as np
import pytest

import oracle
from test_tiff import GEOM, METHOD_IDS, METHODS, SHAPE, assert_bitwise, integrator, outputs

RNG = np.random.default_rng(21)
IMAGE = RNG.normal(5.0, 4.0, SHAPE)
PATTERN = RNG.random(SHAPE) < 0.3  # True = masked, in the row order integration sees


def masked(mask, method="histogram", n_ss=None):
    ai = integrator(method, n_ss)
    ai.set_mask(mask)
    return ai


@pytest.mark.parametrize("storage", [{}, dict(byteorder=">", compression="adobe_deflate")],
                         ids=["plain", "big-endian-deflate"])
@pytest.mark.parametrize("dtype, values", [
    ("uint8", [1, 255]), ("int8", [-128, 1]),
    ("uint16", [256, 512, 65535]), ("int16", [-256, 256]),
    ("uint32", [65536, 2**24]), ("int32", [-65536, 2**31 - 1]),
    ("uint64", [2**32, 2**63]), ("int64", [-2**32, 2**40]),
    ("float32", [0.5, 1e-30, np.nan, -np.inf, 1e-45]),
    ("float64", [1e-300, np.nan, 0.25, np.inf, 5e-324]),
])
def test_tiff_mask_is_reversed_and_every_nonzero_value_masks(write_tiff, storage, dtype, values):
    # Narrowing any of these non-zero values to a byte or an integer would give 0.
    stored = np.zeros(SHAPE, dtype)
    stored[np.flipud(PATTERN)] = np.resize(np.array(values, dtype), PATTERN.sum())
    if stored.dtype.kind == "f":
        stored[::2, ::3][stored[::2, ::3] == 0] = -0.0  # negative zero does not mask
        assert np.signbit(stored).sum() > 10
    path = write_tiff(stored, rowsperstrip=4, **storage)
    assert_bitwise(outputs(masked(path), IMAGE), outputs(masked(PATTERN), IMAGE))


def test_the_mask_comparison_sees_rows_and_single_pixels():
    want = outputs(masked(PATTERN), IMAGE)[1]
    one_more = PATTERN.copy()
    one_more[np.argwhere(~PATTERN)[7][0], np.argwhere(~PATTERN)[7][1]] = True
    for other in (np.flipud(PATTERN), one_more, np.zeros(SHAPE, bool)):
        assert outputs(masked(np.ascontiguousarray(other)), IMAGE)[1].tobytes() != want.tobytes()


def test_array_masks_keep_their_rows_and_any_nonzero_byte_masks():
    values = np.where(PATTERN, RNG.choice(np.array([1, 2, 5, 128, 255], np.uint8), SHAPE), 0).astype(np.uint8)
    want = outputs(masked(PATTERN), IMAGE)
    assert_bitwise(outputs(masked(values), IMAGE), want)
    assert_bitwise(outputs(masked(values.view(np.bool_)), IMAGE), want)  # bool bytes other than 1


@pytest.mark.parametrize("method, n_ss", METHODS, ids=METHOD_IDS)
def test_masked_pixels_take_no_part_in_any_method(method, n_ss):
    _, corr = oracle.radial_and_correction(GEOM, SHAPE, "2th_rad")
    flat = corr.reshape(SHAPE)  # integrates to exactly one wherever pixels are counted
    junk = flat.copy()
    junk[PATTERN] = 1e30
    junk[PATTERN & (np.arange(SHAPE[1]) % 3 == 0)] = np.nan
    ai = masked(PATTERN, method, n_ss)
    assert_bitwise(outputs(ai, junk, 60), outputs(ai, flat, 60))
    res = ai.integrate1d(junk, 60, True, azimuthal_std=True)
    intensity, spread = np.array(res.intensity), np.array(res.azimuthal_std)
    counted = intensity != 0
    assert counted.sum() >= 40
    np.testing.assert_allclose(intensity[counted], 1.0, rtol=1e-12)
    np.testing.assert_allclose(spread[counted], 0.0, atol=1e-12)
    assert np.nanmax(outputs(integrator(method, n_ss), junk, 60)[1]) > 1e20  # unmasked, the junk shows


@pytest.mark.parametrize("method", ["counting", "histogram"])
def test_masked_patterns_equal_the_oracle_without_those_pixels(method):
    n, unit = 150, "2th_rad"
    r, c = oracle.radial_and_correction(GEOM, SHAPE, unit)
    bins, centres, trusted = oracle.bin_layout(r, n)  # the bins come from every pixel, masked or not
    bins = np.where(PATTERN.ravel(), -1, bins)
    combine = oracle.counting if method == "counting" else oracle.histogram
    intensity, errors = combine(IMAGE.ravel(), c, bins, n)
    res = masked(PATTERN, method).integrate1d(IMAGE, n, True)
    assert trusted.sum() >= n - 4
    for got, want in [(res.radial, centres), (res.intensity, intensity), (res.errors, errors)]:
        np.testing.assert_allclose(np.array(got)[trusted], want[trusted], rtol=1e-9)


def test_set_mask_none_and_clear_mask_remove_the_mask():
    unmasked = outputs(integrator(), IMAGE)
    ai = integrator()
    ai.set_mask(None)
    ai.clear_mask()
    for remove in (lambda: ai.set_mask(None), ai.clear_mask):
        ai.set_mask(PATTERN)
        assert outputs(ai, IMAGE)[1].tobytes() != unmasked[1].tobytes()
        remove()
        assert_bitwise(outputs(ai, IMAGE), unmasked)


@pytest.mark.parametrize("shape, message", [
    ((20, 37), "mask dim1 mismatch: mask = 20, data = 21"),
    ((21, 38), "mask dim2 mismatch: mask = 38, data = 37"),
    ((22, 36), "mask dim1 mismatch: mask = 22, data = 21"),
])
@pytest.mark.parametrize("method, n_ss", METHODS, ids=METHOD_IDS)
def test_a_mask_of_another_shape_is_a_value_error(write_tiff, method, n_ss, shape, message):
    path = write_tiff(np.flipud(IMAGE))
    ai = masked(np.zeros(shape, np.uint8), method, n_ss)
    for image in (IMAGE, path):
        for errors, spread in [(False, False), (True, False), (False, True)]:
            with pytest.raises(ValueError) as exc:
                ai.integrate1d(image, 50, errors, azimuthal_std=spread)
            assert str(exc.value) == message
    ai.set_mask(PATTERN)
    want = outputs(masked(PATTERN, method, n_ss), IMAGE, 50)
    assert_bitwise(outputs(ai, IMAGE, 50), want)
    assert_bitwise(outputs(ai, path, 50), want)


NOT_ROW_MAJOR = "Array must be C-contiguous (row-major) and "
ENUM = "failed to extract enum MaskInput"
U8 = np.zeros((37, 21), np.uint8)


@pytest.mark.parametrize("mask, exc_type, message", [
    (U8.T, ValueError, NOT_ROW_MAJOR + "uint8"),
    (np.zeros((42, 37), np.uint8)[::-2], ValueError, NOT_ROW_MAJOR + "uint8"),
    (np.zeros((21, 74), np.uint8)[:, ::2], ValueError, NOT_ROW_MAJOR + "uint8"),
    (U8.astype(bool).T, ValueError, NOT_ROW_MAJOR + "bool"),
    ("/nonexistent/mask.tif", ValueError, "Failed to load mask TIFF: No such file or directory (os error 2)"),
    (np.zeros(SHAPE, np.int8), TypeError, ENUM),
    (np.zeros(SHAPE, np.int32), TypeError, ENUM),
    (np.zeros(SHAPE), TypeError, ENUM),
    (np.zeros((1,) + SHAPE, np.uint8), TypeError, ENUM),
    (np.zeros(SHAPE[1], bool), TypeError, ENUM),
    (np.zeros(SHAPE, np.uint8).tolist(), TypeError, ENUM),
    (pathlib.Path("mask.tif"), TypeError, ENUM),
], ids=["transposed-uint8", "reversed-rows", "strided-columns", "transposed-bool", "missing-file",
        "int8", "int32", "float64", "3d", "1d", "list", "path-object"])
def test_refused_masks_keep_the_previous_mask(mask, exc_type, message):
    want = outputs(masked(PATTERN), IMAGE)
    ai = masked(PATTERN)
    with pytest.raises(exc_type) as exc:
        ai.set_mask(mask)
    if exc_type is TypeError:
        assert str(exc.value).startswith(message)
        assert "while processing 'mask'" in getattr(exc.value, "__notes__", [])
    else:
        assert str(exc.value) == message
    assert_bitwise(outputs(ai, IMAGE), want)


@pytest.mark.parametrize("content", [b"", b"not an image\n" * 9, None], ids=["empty", "text", "float16"])
def test_unreadable_mask_files_are_value_errors(write_tiff, tmp_path, content):
    if content is None:
        path = write_tiff(np.ones(SHAPE, np.float16))
    else:
        path = tmp_path / "mask.tif"
        path.write_bytes(content)
    ai = masked(PATTERN)
    with pytest.raises(ValueError, match="^Failed to load mask TIFF: .{6}"):
        ai.set_mask(str(path))
    assert_bitwise(outputs(ai, IMAGE), outputs(masked(PATTERN), IMAGE))
