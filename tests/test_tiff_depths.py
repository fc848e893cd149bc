"""TIFF sample depths other than 8, 16, 32 and 64 bits, and the compressions the loader refuses."""
import io

import numpy as np
import pytest
import tifffile

from karvelum import Integrator
from tiff_files import packed_tiff, random_samples, tiff_bytes

GEOM = dict(pixel1=1e-4, pixel2=1.3e-4, distance=0.05, poni1=-1.1e-3, poni2=-0.7e-3,
            rot1=0.35, rot2=-0.25, rot3=0.5, wavelength=1e-10)
SHAPE, N = (21, 37), 5000  # nearly every pixel has a bin of its own
def intensity(image, mask=None):
    ai = Integrator.from_poni_dict(GEOM, method="histogram")
    if mask is not None:
        ai.set_mask(mask)
    return np.array(ai.integrate1d(image, N).intensity).tobytes()


def assert_reads_as(path, data):  # the file's rows reversed, every value the nearest double
    assert intensity(path) == intensity(np.flipud(data).astype(np.float64))


LAYOUTS = {"strips": {}, "tiles-big-endian": dict(tile=(16, 16), byteorder=">"),
           "lzw-big-endian": dict(compression=5, byteorder=">"),
           "tiles-deflate": dict(tile=(16, 16), compression=32946), "packbits": dict(compression=32773),
           "rgb-adobe-deflate": dict(samples=3, compression=8),
           "rgb-planar-tiles-big-endian": dict(samples=3, planar=True, tile=(16, 16), byteorder=">")}
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("signed", [False, True], ids=["unsigned", "signed"])
@pytest.mark.parametrize("bits", [1, 3, 12, 24, 33, 63])  # into 8, 16, 32 and 64 bits
def test_packed_integer_depths_read_exactly_and_signed_ones_are_sign_extended(tmp_path, bits, signed, layout):
    kwargs = dict(LAYOUTS[layout])
    shape = SHAPE + (kwargs.pop("samples"),) if "samples" in kwargs else SHAPE
    data = random_samples(bits, signed, shape)
    path = tmp_path / "packed.tif"
    path.write_bytes(packed_tiff(data, bits, signed, **kwargs))
    assert_reads_as(str(path), data[..., 0] if data.ndim == 3 else data)  # the first sample of each pixel


@pytest.mark.parametrize("layout", [{}, dict(tile=(16, 16))], ids=["strips", "tiles"])
@pytest.mark.parametrize("bits", [1, 4, 12, 24])
def test_packed_files_written_by_tifffile_read_alike(write_tiff, bits, layout):
    data = random_samples(bits, False).astype(f"u{1 if bits <= 8 else 2 if bits <= 16 else 4}")
    assert_reads_as(write_tiff(data, bitspersample=bits, **layout), data)


PATTERN = np.random.default_rng(21).random(SHAPE) < 0.3  # True = masked, in the row order integration sees
@pytest.mark.parametrize("source", ["tifffile-bool-strips", "tifffile-bool-tiles", "int12-big-endian-tiles"])
def test_packed_masks_mask_their_nonzero_pixels(tmp_path, write_tiff, source):
    stored = np.flipud(PATTERN)
    if source.startswith("tifffile"):  # tifffile writes bool arrays with one bit per sample
        path = write_tiff(stored, **(dict(tile=(16, 16)) if source.endswith("tiles") else {}))
        with tifffile.TiffFile(path) as tif:
            assert tif.pages[0].bitspersample == 1
    else:  # every value but 0 masks, the most negative one too
        values = np.where(stored, np.resize([-2048, 1, 2047, -1], stored.shape), 0)
        (path := tmp_path / "mask.tif").write_bytes(packed_tiff(values, 12, True, ">", tile=(16, 16)))
    image = np.random.default_rng(2).normal(5.0, 4.0, SHAPE)
    assert intensity(image, str(path)) == intensity(image, PATTERN)



REFUSED = {  # schemes written by tifffile, and schemes of other codecs set in a file of 8-bit strips
    **{name: dict(compression=name) for name in ["zstd", "lzma", "lerc", "png", "jpeg2000", "webp"]},
    **{f"scheme-{n}": dict(scheme=n) for n in [2, 3, 4, 6, 32809, 32909, 34661, 34676, 50001, 65000]},
    # libtiff would ignore the predictor of these and give the differences
    "packbits-predictor": dict(scheme=32773, tags=[(317, 3, [2])]), "none-predictor": dict(tags=[(317, 3, [3])])}
@pytest.mark.parametrize("case", REFUSED)
def test_other_compressions_and_predictors_without_their_codec_are_refused(tmp_path, case):
    data, kwargs, path = random_samples(8, False), dict(REFUSED[case]), tmp_path / "refused.tif"
    if "compression" in kwargs:
        raw = tiff_bytes((np.dstack([data] * 3) if case == "webp" else data).astype(np.uint8), **kwargs)
        with tifffile.TiffFile(io.BytesIO(raw)) as tif:
            want = f"unsupported compression scheme {int(tif.pages[0].compression)}"
    else:  # the strips hold raw samples: nothing may try to decode them
        tags, scheme = kwargs.get("tags", []), kwargs.get("scheme", 1)
        raw = packed_tiff(data, 8, tags=[(259, 3, [scheme])] + tags)
        want = f"unsupported predictor {tags[0][2][0]}" if tags else f"unsupported compression scheme {scheme}"
    path.write_bytes(raw)
    ai = Integrator.from_poni_dict(GEOM)
    with pytest.raises(ValueError, match=f"^Failed to load TIFF: {want}"):
        ai.integrate1d(str(path), 100)
    with pytest.raises(ValueError, match=f"^Failed to load mask TIFF: {want}"):
        ai.set_mask(str(path))
