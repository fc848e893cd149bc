"""Merging three detectors beside three single integrations.

Run: python3 bench/multi.py   (3 detectors of 1024 x 1024, 1000 bins)
"""

import numpy as np

from common import best

import karvelum

SHAPE = (1024, 1024)
N = 1000
RANGE = (0.0, 0.5)



def main():
    rng = np.random.default_rng(0)
    members, images = [], []
    for k in range(3):
        geom = dict(pixel1=1.5e-4, pixel2=1.5e-4, distance=0.2 + 0.05 * k, poni1=0.02 * k, poni2=0.08,
                    rot1=0.1 * k, rot2=0.0, rot3=0.0, wavelength=1e-10)
        members.append(karvelum.Integrator.from_poni_dict(geom, method="pixel_split", radial_range=RANGE))
        images.append(rng.poisson(100.0, SHAPE).astype(np.float64))
    for ai, img in zip(members, images):
        ai.integrate1d(img, N)
    singles = best(lambda: [ai.integrate1d(img, N) for ai, img in zip(members, images)])
    multi = karvelum.MultiIntegrator(members)
    multi.integrate1d(images, N)
    merged = best(lambda: multi.integrate1d(images, N))
    merged_errors = best(lambda: multi.integrate1d(images, N, errors=True))
    print(f"3 detectors of {SHAPE[0]} x {SHAPE[1]}, {N} bins, pixel splitting, "
          f"{karvelum.rayon_num_threads()} threads")
    print(f"  three single integrate1d calls   {singles * 1e3:7.2f} ms")
    print(f"  MultiIntegrator.integrate1d      {merged * 1e3:7.2f} ms   ratio {merged / singles:.2f}")
    print(f"  MultiIntegrator, errors=True     {merged_errors * 1e3:7.2f} ms")


if __name__ == "__main__":
    main()
