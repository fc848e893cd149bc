"""Refines a detector geometry from control points, then integrates with it.

A LaB6 calibrant is read from a `.D` file. Control points are placed on its
rings for a known tilted geometry (with 0.3 pixel of picking noise), the
geometry is refined from a rough guess, and a synthetic ring image of the
same detector is integrated with the refined geometry: the rings come out
where the calibrant puts them.
"""
import pathlib
import tempfile

import numpy as np

import karvelum

SHAPE = (1024, 1024)
LAB6_D = """# LaB6, d-spacings in angstrom
4.15690  (100)
2.93937  (110)
2.40001  (111)
2.07845  (200)
1.85902  (210)
1.69705  (211)
"""
TRUE = dict(pixel1=1e-4, pixel2=1e-4, distance=0.12, poni1=0.0497, poni2=0.0523,
            rot1=0.015, rot2=-0.02, rot3=0.0, wavelength=0.8e-10)
GUESS = dict(TRUE, distance=0.125, poni1=0.0505, poni2=0.0515, rot1=0.0, rot2=0.0)


def two_theta(geom, d1, d2):
    """2-theta of points in pixel coordinates (integers are pixel centres)."""
    p1 = geom["pixel1"] * (np.asarray(d1) + 0.5) - geom["poni1"]
    p2 = geom["pixel2"] * (np.asarray(d2) + 0.5) - geom["poni2"]
    c1, s1, c2, s2 = np.cos(geom["rot1"]), np.sin(geom["rot1"]), np.cos(geom["rot2"]), np.sin(geom["rot2"])
    c3, s3, L = np.cos(geom["rot3"]), np.sin(geom["rot3"]), geom["distance"]
    t1 = p1 * c2 * c3 + p2 * (s1 * s2 * c3 - c1 * s3) - L * (c1 * s2 * c3 + s1 * s3)
    t2 = p1 * c2 * s3 + p2 * (s1 * s2 * s3 + c1 * c3) - L * (c1 * s2 * s3 - s1 * c3)
    t3 = p1 * s2 - p2 * s1 * c2 + L * c1 * c2
    return np.arctan2(np.hypot(t1, t2), t3)


def pick_points(calibrant, rng, per_ring=30):
    """Points where each ring crosses rays from the beam centre, found by bisection, plus picking noise."""
    rings = calibrant.two_theta_rad(TRUE["wavelength"])
    centre = (TRUE["poni1"] / TRUE["pixel1"] - 0.5, TRUE["poni2"] / TRUE["pixel2"] - 0.5)
    points = karvelum.CalibrationPoints()
    for k, ring in enumerate(rings):
        chi = rng.uniform(-np.pi, np.pi, per_ring)
        lo, hi = np.zeros(per_ring), np.full(per_ring, 5000.0)
        for _ in range(60):
            mid = 0.5 * (lo + hi)
            inside = two_theta(TRUE, centre[0] + mid * np.sin(chi), centre[1] + mid * np.cos(chi)) < ring
            lo, hi = np.where(inside, mid, lo), np.where(inside, hi, mid)
        d1 = centre[0] + lo * np.sin(chi) + rng.normal(0.0, 0.3, per_ring)
        d2 = centre[1] + lo * np.cos(chi) + rng.normal(0.0, 0.3, per_ring)
        points.extend(d1.tolist(), d2.tolist(), [k] * per_ring)
    return points


def main():
    rng = np.random.default_rng(5)
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "LaB6.D"
        path.write_text(LAB6_D)
        calibrant = karvelum.Calibrant.from_file(str(path))
    print(calibrant, "d-spacings", calibrant.d_spacings)

    points = pick_points(calibrant, rng)
    result = karvelum.refine(GUESS, points, calibrant)
    print(f"{len(points)} control points: {result!r}")
    print(f"  {'':10} {'guess':>12} {'refined':>12} {'true':>12}")
    for key in ("distance", "poni1", "poni2", "rot1", "rot2"):
        print(f"  {key:10} {GUESS[key]:12.6f} {result.poni[key]:12.6f} {TRUE[key]:12.6f}")

    # A ring image of the same detector, rendered with the true geometry.
    rows, cols = np.meshgrid(np.arange(SHAPE[0]), np.arange(SHAPE[1]), indexing="ij")
    tth = two_theta(TRUE, rows, cols)
    rings = np.array(calibrant.two_theta_rad(TRUE["wavelength"]))
    image = 20.0 + sum(500.0 * np.exp(-0.5 * ((tth - r) / 5e-4) ** 2) for r in rings)
    image = rng.poisson(image).astype(np.float64)

    ai = karvelum.Integrator.from_poni_dict(result.poni, unit="2th_deg")
    pattern = ai.integrate1d(image, 2000)
    radial, intensity = np.array(pattern.radial), np.array(pattern.intensity)
    print("ring   expected 2th (deg)   peak found (deg)")
    for k, ring in enumerate(np.degrees(rings)):
        near = np.abs(radial - ring) < 0.3
        if near.any():
            print(f"  {k}      {ring:10.4f}         {radial[near][np.argmax(intensity[near])]:10.4f}")


if __name__ == "__main__":
    main()
