"""TIFF files for the tests: tifffile's output in memory, and files packed by hand in every depth,
layout and byte order the loader reads (tifffile cannot write all of them)."""
import io
import struct
import zlib

import imagecodecs
import numpy as np
import tifffile


def tiff_bytes(data, **kwargs):
    tifffile.imwrite(buf := io.BytesIO(), data, **kwargs)
    return buf.getvalue()


CODECS = {1: bytes, 5: imagecodecs.lzw_encode, 8: zlib.compress, 32946: zlib.compress,
          32773: imagecodecs.packbits_encode}


def ifd_entries(entries, order, data_at):
    """Classic TIFF directory of (tag, type, values) entries; values of more than 4 bytes follow it."""
    size = {3: "H", 4: "I"}
    table, extra = b"", b""
    out_at = data_at + 2 + 12 * len(entries) + 4
    for tag, kind, values in sorted(entries):
        packed = struct.pack(f"{order}{len(values)}{size[kind]}", *values)
        if len(packed) <= 4:
            table += struct.pack(f"{order}HHI", tag, kind, len(values)) + packed.ljust(4, b"\0")
        else:
            table += struct.pack(f"{order}HHII", tag, kind, len(values), out_at + len(extra))
            extra += packed + b"\0" * (len(packed) % 2)
    return struct.pack(f"{order}H", len(entries)) + table + struct.pack(f"{order}I", 0) + extra


def packed_tiff(values, bits, signed=False, byteorder="<", tile=None, rowsperstrip=4, compression=1,
                planar=False, tags=()):
    """TIFF bytes holding `values` (rows x columns, or rows x columns x samples) as `bits`-bit integer
    samples, packed most significant bit first, every row of a strip or tile padded to a byte; `tags`
    are (tag, type, values) entries added to the directory or replacing its own."""
    values = np.asarray(values)
    values = values[..., None] if values.ndim == 2 else values
    height, width, samples = values.shape
    planes = [values[..., [s]] for s in range(samples)] if planar else [values]
    bw, bh = tile if tile else (width, rowsperstrip)

    def pack(block):  # rows x columns x samples -> bytes
        as_bits = np.unpackbits(block.astype(">u8").view(np.uint8).reshape(block.shape[0], -1, 8), axis=-1)
        rows = as_bits[:, :, 64 - bits:].reshape(block.shape[0], -1)
        return np.packbits(rows, axis=1).tobytes()  # pads each row with zero bits

    blocks = []
    for plane in planes:
        padded = np.zeros((-(-height // bh) * bh, -(-width // bw) * bw, plane.shape[2]), np.int64)
        padded[:height, :width] = plane
        for r in range(0, height, bh):
            for c in range(0, width if tile else 1, bw):
                block = padded[r:r + bh, c:c + bw] if tile else padded[r:min(r + bh, height)]
                blocks.append(CODECS[compression](pack(block)))
    offsets, counts = block_places(blocks)
    layout = ([(322, 3, [bw]), (323, 3, [bh]), (324, 4, offsets), (325, 4, counts)] if tile else
              [(273, 4, offsets), (278, 3, [bh]), (279, 4, counts)])
    entries = [(256, 4, [width]), (257, 4, [height]), (258, 3, [bits] * samples), (259, 3, [compression]),
               (262, 3, [2 if samples == 3 else 1]), (277, 3, [samples]), (284, 3, [2 if planar else 1]),
               (339, 3, [2 if signed else 1] * samples), *layout]
    entries = list({e[0]: e for e in entries + list(tags)}.values())  # `tags` replace or add entries
    return stored_tiff(blocks, entries, byteorder)


def block_places(blocks):
    """The offsets and byte counts of `blocks` as stored_tiff lays them out."""
    return [int(o) for o in np.cumsum([8] + [len(b) for b in blocks[:-1]])], [len(b) for b in blocks]


def stored_tiff(blocks, entries, byteorder="<"):
    """Classic TIFF bytes: the header, `blocks` one after another from byte 8, then one directory of `entries`."""
    ifd_at = 8 + sum(map(len, blocks))
    order = "<" if byteorder == "<" else ">"
    head = (b"II*\0" if order == "<" else b"MM\0*") + struct.pack(f"{order}I", ifd_at + ifd_at % 2)
    return head + b"".join(blocks) + b"\0" * (ifd_at % 2) + ifd_entries(entries, order, ifd_at + ifd_at % 2)


DECODERS = {5: imagecodecs.lzw_decode, 8: zlib.decompress, 32946: zlib.decompress,
            32773: imagecodecs.packbits_decode}
REVERSED_BITS = bytes(int(f"{v:08b}"[::-1], 2) for v in range(256))


def padded_tiff(data, height, padding=None, level=None, bits_reversed=False, **kwargs):
    """TIFF bytes of the first `height` rows of `data`, whose last strip (or row of tiles) still stores the rows of a
    whole one: `data` is written by tifffile (keyword arguments passed on; a whole number of strips high), then its
    ImageLength says `height`, so the rows below it are padding. `padding` cuts the last strip's stored bytes to its
    rows and that many bytes more (less than a row: part of one); `level` compresses Deflate blocks anew at that level
    (0: stored blocks); `bits_reversed` stores every block in the other bit order (FillOrder 2). Only entries of
    SHORT and LONG values are kept."""
    raw = tiff_bytes(data, metadata=None, **kwargs)
    with tifffile.TiffFile(io.BytesIO(raw)) as tif:
        page, order = tif.pages[0], tif.byteorder
        entries = {t.code: (t.code, int(t.dtype), [int(v) for v in np.atleast_1d(t.value)])
                   for t in page.tags.values() if t.dtype in (3, 4)}
        blocks = [raw[o:o + n] for o, n in zip(page.dataoffsets, page.databytecounts)]
        compression, tiled, rows_per_block = int(page.compression), page.is_tiled, page.rowsperstrip
    if padding is not None or level is not None:
        deflate = compression in (8, 32946)
        encode = (lambda b: zlib.compress(b, level)) if deflate and level is not None else CODECS[compression]
        decoded = [DECODERS[compression](b) for b in blocks]
        if padding is not None:
            row_bytes = len(decoded[-1]) // rows_per_block
            decoded[-1] = decoded[-1][:height % rows_per_block * row_bytes + padding]
        blocks = [encode(b) for b in decoded]
    if bits_reversed:
        blocks = [b.translate(REVERSED_BITS) for b in blocks]
        entries[266] = (266, 3, [2])
    (offsets_tag, counts_tag), (offsets, counts) = (324, 325) if tiled else (273, 279), block_places(blocks)
    entries.update({257: (257, 4, [height]), offsets_tag: (offsets_tag, 4, offsets),
                    counts_tag: (counts_tag, 4, counts)})
    return stored_tiff(blocks, list(entries.values()), order)


def random_samples(bits, signed, shape=(21, 37), seed=0):
    low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
    data = np.random.default_rng(seed).integers(low, high, shape, np.int64 if signed or bits < 64 else np.uint64,
                                                endpoint=True)
    data.flat[:4] = [low, high, 0, low + 1]  # both ends of the range
    return data


def zero_strips_tiff(width, height, rows_per_strip=1024):
    """8-bit Deflate TIFF bytes of zeros whose full strips all point at one compressed strip: a few KB on disk
    for an image of any size."""
    full, rest = divmod(height, rows_per_strip)
    strips = [zlib.compress(bytes(width * rows), 9) for rows in (rows_per_strip, rest)]
    offsets = [8] * full + [8 + len(strips[0])] * (rest > 0)
    counts = [len(strips[0])] * full + [len(strips[1])] * (rest > 0)
    data = strips[0] + strips[1] * (rest > 0)
    ifd_at = 8 + len(data) + len(data) % 2
    entries = [(256, 4, [width]), (257, 4, [height]), (258, 3, [8]), (259, 3, [8]), (262, 3, [1]),
               (273, 4, offsets), (277, 3, [1]), (278, 3, [rows_per_strip]), (279, 4, counts)]
    return b"II*\0" + struct.pack("<I", ifd_at) + data + b"\0" * (len(data) % 2) + ifd_entries(entries, "<", ifd_at)
