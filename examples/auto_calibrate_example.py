"""Calibrates a detector from a calibrant image alone, then integrates with the geometry found.

A LaB6 ring image of a tilted detector whose beam centre is off the middle is synthesised (Poisson noise, a gap
between detector modules). Its peaks are picked with find_peaks_image over the whole image, auto_calibrate finds
the geometry from them with no starting guess (or refuses, when no geometry puts the peaks on the calibrant's
rings), and the image integrated with that geometry shows its peaks at the calibrant's
2-theta. The image with the peaks and the pattern with the ring positions are plotted to a PNG.

Run: python3 examples/auto_calibrate_example.py [output.png]
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import karvelum
from refine_example import two_theta  # the forward model: pixel to 2-theta

SHAPE = (1024, 1024)
LAB6 = [4.15690, 2.93937, 2.40001, 2.07845, 1.85902, 1.69705, 1.46969, 1.38564]
TRUE = dict(pixel1=1e-4, pixel2=1e-4, distance=0.12, poni1=0.0463, poni2=0.0581,
            rot1=0.035, rot2=-0.05, rot3=0.0, wavelength=0.7e-10)


def calibrant_image(rings, rng):
    """LaB6 rings 1.5 px wide on a falling background, with Poisson noise and a module gap."""
    rows, cols = np.meshgrid(np.arange(SHAPE[0]), np.arange(SHAPE[1]), indexing="ij")
    tth = two_theta(TRUE, rows, cols)
    width = 1.5 * TRUE["pixel1"] / TRUE["distance"]
    image = 20.0 + 40.0 * np.exp(-tth / 0.15)
    for k, ring in enumerate(rings):
        image += 300.0 / (1.0 + 0.2 * k) * np.exp(-0.5 * ((tth - ring) / width) ** 2)
    image = rng.poisson(image).astype(np.float64)
    image[600:612, :] = 0.0
    return image


def main(output):
    calibrant = karvelum.Calibrant.from_d_spacings("LaB6", LAB6)
    rings = np.array(calibrant.two_theta_rad(TRUE["wavelength"]))
    image = calibrant_image(rings, np.random.default_rng(3))

    # find_peaks_image scans rows from the top and stops at max_peaks (5,000 by default): a cap below the peak
    # count keeps the top rows' peaks only, and the rings below them never reach the calibration. A cap of the
    # pixel count covers the whole image.
    peaks = karvelum.find_peaks_image(image, max_peaks=image.size)
    result = karvelum.auto_calibrate(peaks, calibrant, TRUE["wavelength"], TRUE["pixel1"], TRUE["pixel2"],
                                     method="auto")
    print(f"{len(peaks)} peaks: {result!r}")
    print(f"  bootstrap distance {result.bootstrap_distance:.5f} m")
    print(f"  {'':10} {'found':>12} {'true':>12}")
    for key in ("distance", "poni1", "poni2", "rot1", "rot2"):
        print(f"  {key:10} {result.poni[key]:12.6f} {TRUE[key]:12.6f}")

    ai = karvelum.Integrator.from_poni_dict(result.poni, unit="2th_deg")
    pattern = ai.integrate1d(image, 2000)
    radial, intensity = np.array(pattern.radial), np.array(pattern.intensity)
    print("ring   calibrant 2th (deg)   pattern peak (deg)")
    for k, ring in enumerate(np.degrees(rings)):
        near = np.abs(radial - ring) < 0.3
        if near.any() and intensity[near].max() > 2 * np.median(intensity):
            print(f"  {k}      {ring:10.4f}          {radial[near][np.argmax(intensity[near])]:10.4f}")

    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5.5), gridspec_kw=dict(width_ratios=[1, 1.5]))
    left.imshow(image, cmap="gray_r", vmax=np.percentile(image, 99.5), origin="upper")
    p = np.array(peaks)
    left.plot(p[:, 1], p[:, 0], ",", color="tab:red")
    left.set_title(f"calibrant image and its {len(peaks)} peaks")
    left.set_xlabel("d2 (pixel)")
    left.set_ylabel("d1 (pixel)")
    right.plot(radial, intensity, lw=0.8, color="black")
    for ring in np.degrees(rings):
        if radial[0] <= ring <= radial[-1]:
            right.axvline(ring, color="tab:red", lw=0.8, ls="--")
    right.set_xlabel("2θ (degrees)")
    right.set_ylabel("intensity")
    right.set_title(f"integrated with the geometry found (rms {result.rms_rad:.1e} rad); dashed: LaB6 rings")
    fig.tight_layout()
    fig.savefig(output, dpi=110)
    print(f"plot written to {output}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "auto_calibrate_example.png")
