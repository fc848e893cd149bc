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
    offsets = list(np.cumsum([8] + [len(b) for b in blocks[:-1]]))
    ifd_at = 8 + sum(map(len, blocks))
    layout = ([(322, 3, [bw]), (323, 3, [bh]), (324, 4, offsets), (325, 4, [len(b) for b in blocks])] if tile else
              [(273, 4, offsets), (278, 3, [bh]), (279, 4, [len(b) for b in blocks])])
    entries = [(256, 4, [width]), (257, 4, [height]), (258, 3, [bits] * samples), (259, 3, [compression]),
               (262, 3, [2 if samples == 3 else 1]), (277, 3, [samples]), (284, 3, [2 if planar else 1]),
               (339, 3, [2 if signed else 1] * samples), *layout]
    entries = list({e[0]: e for e in entries + list(tags)}.values())  # `tags` replace or add entries
    order = "<" if byteorder == "<" else ">"
    head = (b"II*\0" if order == "<" else b"MM\0*") + struct.pack(f"{order}I", ifd_at + ifd_at % 2)
    return head + b"".join(blocks) + b"\0" * (ifd_at % 2) + ifd_entries(entries, order, ifd_at + ifd_at % 2)


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
