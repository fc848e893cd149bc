"""Integrates a synthetic powder pattern.

Writes a TIFF image of four Debye-Scherrer rings on the tilted detector of
detector.poni, plus a mask of a detector gap, then integrates the image with
every method and prints where the rings come out.
"""
import pathlib
import tempfile

import numpy as np
import tifffile

import karvelum

HERE = pathlib.Path(__file__).resolve().parent
PONI = HERE / "detector.poni"
SHAPE = (1024, 1024)
RINGS_DEG = [4.0, 7.5, 11.0, 14.5]  # ring positions in 2-theta


def read_poni(path):
    values = {}
    for line in path.read_text().splitlines():
        key, sep, value = line.partition(":")
        if sep and not line.startswith("#"):
            values[key.strip()] = float(value)
    return values


def two_theta_deg(poni, shape):
    """2-theta of every pixel centre, rows in the order the integrator uses."""
    rows, cols = np.meshgrid(np.arange(shape[0]) + 0.5, np.arange(shape[1]) + 0.5, indexing="ij")
    p1 = rows * poni["PixelSize1"] - poni["Poni1"]
    p2 = cols * poni["PixelSize2"] - poni["Poni2"]
    c1, s1 = np.cos(poni["Rot1"]), np.sin(poni["Rot1"])
    c2, s2 = np.cos(poni["Rot2"]), np.sin(poni["Rot2"])
    c3, s3 = np.cos(poni["Rot3"]), np.sin(poni["Rot3"])
    rx = np.array([[1, 0, 0], [0, c1, s1], [0, -s1, c1]])
    ry = np.array([[c2, 0, -s2], [0, 1, 0], [s2, 0, c2]])
    rz = np.array([[c3, -s3, 0], [s3, c3, 0], [0, 0, 1]])
    t = rz @ ry @ rx @ np.stack([p1.ravel(), p2.ravel(), np.full(p1.size, poni["Distance"])])
    return np.degrees(np.arctan2(np.hypot(t[0], t[1]), t[2])).reshape(shape)


def main():
    poni = read_poni(PONI)
    tth = two_theta_deg(poni, SHAPE)
    image = 10.0 + sum(1000.0 * np.exp(-0.5 * ((tth - r) / 0.05) ** 2) for r in RINGS_DEG)
    image = np.random.default_rng(1).poisson(image).astype(np.float32)
    mask = np.zeros(SHAPE, dtype=np.uint8)
    mask[:, 500:520] = 1  # a gap between detector modules
    image[mask == 1] = -1  # dead pixels, must not show in the pattern

    with tempfile.TemporaryDirectory() as tmp:
        image_path = pathlib.Path(tmp) / "rings.tif"
        mask_path = pathlib.Path(tmp) / "mask.tif"
        # TIFF rows are stored top-down; the integrator counts rows bottom-up.
        tifffile.imwrite(image_path, np.flipud(image), compression="zlib")
        tifffile.imwrite(mask_path, np.flipud(mask))

        ai = karvelum.Integrator(str(PONI), unit="2th_deg", polarization_factor=0.99)
        ai.set_mask(str(mask_path))
        print(f"karvelum, {karvelum.rayon_num_threads()} threads; {SHAPE[0]} x {SHAPE[1]} image, "
              f"unit {ai.get_unit()}")
        print(f"rings written at 2-theta {RINGS_DEG}")
        for method in ["histogram", "counting", "pixel_split", "supersampled"]:
            ai.set_method(method)
            result = ai.integrate1d(str(image_path), 1000, errors=True)
            radial = np.array(result.radial)
            intensity = np.array(result.intensity)
            found = []
            for ring in RINGS_DEG:
                near = np.abs(radial - ring) < 0.5
                found.append(round(float(radial[near][np.argmax(intensity[near])]), 3))
            print(f"  {method:<13} {result!r:<42} peaks at {found}, "
                  f"max intensity {intensity.max():8.1f} +- {result.errors[int(np.argmax(intensity))]:.1f}")


if __name__ == "__main__":
    main()
