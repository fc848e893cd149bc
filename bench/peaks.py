"""Peak picking and ring finding on a 2048 x 2048 synthetic LaB6 image: find_peaks_image beside numpy/scipy
doing the same steps (scipy.ndimage.gaussian_filter with mirror edges, threshold, maximum_filter for local
maxima, a vectorised parabolic sub-pixel offset), and estimate_ring_center and ransac_ellipses on 5,000 of its
peaks.

Run: python3 bench/peaks.py
"""
import os

import numpy as np
from scipy import ndimage

from common import GEOMETRY, best

import karvelum

D_SPACINGS = [4.15690, 2.93937, 2.40001, 2.07845, 1.85902, 1.69705, 1.46969, 1.38564, 1.30693, 1.24600]
SHAPE = (2048, 2048)
RING_WIDTH = 2.5e-4  # rad of 2-theta, about 1.5 px at this distance


def two_theta(shape, g):
    """2-theta of every pixel centre of the tilted detector of `g` (rot3 = 0)."""
    d1, d2 = np.meshgrid(np.arange(shape[0]) + 0.5, np.arange(shape[1]) + 0.5, indexing="ij")
    p1, p2, L = d1 * g["pixel1"] - g["poni1"], d2 * g["pixel2"] - g["poni2"], g["distance"]
    c1, s1, c2, s2 = np.cos(g["rot1"]), np.sin(g["rot1"]), np.cos(g["rot2"]), np.sin(g["rot2"])
    t1 = p1 * c2 + p2 * s1 * s2 - L * c1 * s2
    t2 = p2 * c1 + L * s1
    t3 = p1 * s2 - p2 * s1 * c2 + L * c1 * c2
    return np.arctan2(np.hypot(t1, t2), t3)


def calibrant_image(rng):
    tth = two_theta(SHAPE, GEOMETRY)
    rings = 2 * np.arcsin(GEOMETRY["wavelength"] * 1e10 / (2 * np.asarray(D_SPACINGS)))
    image = 20.0 + 30.0 * np.exp(-tth / 0.2)  # smooth background
    for k, ring in enumerate(rings):
        image += 400.0 / (1 + 0.3 * k) * np.exp(-0.5 * ((tth - ring) / RING_WIDTH) ** 2)
    image += rng.normal(0.0, 3.0, SHAPE)
    image[1000:1017, :] = 0.0  # a gap between detector modules
    return image


def scipy_peaks(image, sigma, threshold_factor=3.0):
    """The same steps with scipy: blur, residual threshold, 3 x 3 maxima off the border, parabolic offsets."""
    residual = image - ndimage.gaussian_filter(image, sigma, mode="mirror", truncate=4.0)
    threshold = residual.mean() + threshold_factor * residual.std()
    peak = (residual > threshold) & (ndimage.maximum_filter(image, size=3, mode="mirror") == image)
    peak[[0, -1], :] = peak[:, [0, -1]] = False
    r, c = np.nonzero(peak)
    v = image[r, c]

    def offset(before, after):
        den = before + after - 2 * v
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(np.abs(den) > 1e-30, np.clip(0.5 * (before - after) / den, -0.5, 0.5), 0.0)

    return np.stack([r + offset(image[r - 1, c], image[r + 1, c]), c + offset(image[r, c - 1], image[r, c + 1])], 1)


def main():
    rng = np.random.default_rng(11)
    image = calibrant_image(rng)
    sigma = max(SHAPE) / 50.0
    ours = karvelum.find_peaks_image(image, max_peaks=10**9)
    theirs = scipy_peaks(image, sigma)
    t_ours = best(lambda: karvelum.find_peaks_image(image, max_peaks=10**9), repeat=5)
    t_scipy = best(lambda: scipy_peaks(image, sigma), repeat=3)
    print(f"{SHAPE[0]} x {SHAPE[1]} image, {len(D_SPACINGS)} rings, sigma {sigma:.2f} px, "
          f"{karvelum.rayon_num_threads()} threads of {os.cpu_count()} processors")
    print(f"  find_peaks_image               {t_ours * 1e3:8.1f} ms   {len(ours)} peaks")
    print(f"  scipy filter/threshold/maxima  {t_scipy * 1e3:8.1f} ms   {len(theirs)} peaks   "
          f"ratio {t_scipy / t_ours:.1f}x")
    same = len({(round(a, 9), round(b, 9)) for a, b in ours} & {(round(a, 9), round(b, 9)) for a, b in theirs})
    print(f"  peaks at the same position in both: {same}")

    peaks = [ours[i] for i in sorted(rng.choice(len(ours), 5000, replace=False))]
    centre = karvelum.estimate_ring_center(peaks)
    t_centre = best(lambda: karvelum.estimate_ring_center(peaks), repeat=5)
    result = karvelum.ransac_ellipses(peaks)
    t_ransac = best(lambda: karvelum.ransac_ellipses(peaks), repeat=3)
    inner = result.ellipses[0].center
    print("5000 of these peaks:")
    print(f"  estimate_ring_center           {t_centre * 1e3:8.1f} ms   ({centre[0]:.1f}, {centre[1]:.1f}); "
          f"innermost ellipse centred at ({inner[0]:.1f}, {inner[1]:.1f})")
    print(f"  ransac_ellipses                {t_ransac * 1e3:8.1f} ms   {result.n_ellipses()} ellipses, "
          f"{sum(result.inlier_mask())} inliers, semi-major axes "
          + ", ".join(f"{e.semi_major:.0f}" for e in result.ellipses))


if __name__ == "__main__":
    main()
