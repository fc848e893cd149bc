"""Independent numpy computations of detector geometry and integration.

Written from the physics with rotation matrices, not from the engine's
expanded per-pixel expressions, so agreement is a real check.
"""
import numpy as np

GEOMETRY_KEYS = ("pixel1", "pixel2", "distance", "poni1", "poni2", "rot1", "rot2", "rot3", "wavelength")


def _rx(a):
    c, s = np.cos(a), np.sin(a)
    return np.array([[1, 0, 0], [0, c, -s], [0, s, c]])


def _ry(a):
    c, s = np.cos(a), np.sin(a)
    return np.array([[c, 0, s], [0, 1, 0], [-s, 0, c]])


def _rz(a):
    c, s = np.cos(a), np.sin(a)
    return np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])


def rotation_matrix(geom):
    """Detector frame -> laboratory frame (beam along the third axis)."""
    return _rz(geom["rot3"]) @ _ry(-geom["rot2"]) @ _rx(-geom["rot1"])


def lab_coordinates(geom, d1, d2):
    """Laboratory coordinates of points given in pixel units (d1 along rows)."""
    p1 = np.asarray(d1, dtype=float) * geom["pixel1"] - geom["poni1"]
    p2 = np.asarray(d2, dtype=float) * geom["pixel2"] - geom["poni2"]
    local = np.stack([p1, p2, np.full_like(p1, geom["distance"])])
    return rotation_matrix(geom) @ local.reshape(3, -1), p1.ravel(), p2.ravel()


def pixel_centres(shape):
    rows, cols = np.meshgrid(np.arange(shape[0]) + 0.5, np.arange(shape[1]) + 0.5, indexing="ij")
    return rows.ravel(), cols.ravel()


def pixel_geometry(geom, shape, polarization=None):
    """Per-pixel 2-theta, chi, solid angle and polarization, flat row-major."""
    t, p1, p2 = lab_coordinates(geom, *pixel_centres(shape))
    two_theta = np.arctan2(np.hypot(t[0], t[1]), t[2])
    chi = np.arctan2(t[0], t[1])
    L = geom["distance"]
    solid_angle = (L / np.sqrt(L * L + p1 * p1 + p2 * p2)) ** 3
    if polarization is None:
        pol = np.ones_like(two_theta)
    else:
        pol = 0.5 * (1 + np.cos(two_theta) ** 2 - polarization * np.cos(2 * chi) * np.sin(two_theta) ** 2)
    return {"two_theta": two_theta, "chi": chi, "solid_angle": solid_angle, "polarization": pol,
            "correction": pol * solid_angle}


def to_unit(two_theta, unit, wavelength):
    if unit == "2th_rad":
        return np.array(two_theta, dtype=float)
    if unit == "2th_deg":
        return np.degrees(two_theta)
    length = {"q_A^-1": wavelength * 1e10, "q_nm^-1": wavelength * 1e9}[unit]
    return 4 * np.pi * np.sin(np.asarray(two_theta) / 2) / length
