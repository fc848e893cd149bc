"""Streams synthetic frames through batch1d_iter and reports progress as results arrive.

A generator stands in for a detector that produces frames during a temperature ramp: one powder ring moves
to lower 2-theta as the sample expands. The frames are integrated on worker threads while the generator still
yields them, and each pattern comes back in frame order with the ring position found in it. The same frames are
then written as TIFF files and streamed as a list, whose length is known, so progress is a fraction.
"""
import pathlib
import tempfile
import time

import numpy as np
import tifffile

import karvelum
from integrate_example import PONI, read_poni, two_theta_deg

SHAPE = (512, 512)
FRAMES = 24
RING_DEG = 4.0  # ring position at the start of the ramp; it moves by up to -0.12 degrees


def ring_frames(tth, count, seed=2):
    """`count` noisy frames of one ring whose position drifts over the ramp."""
    rng = np.random.default_rng(seed)
    for k in range(count):
        centre = RING_DEG - 0.12 * k / (count - 1)
        expected = 20.0 + 800.0 * np.exp(-0.5 * ((tth - centre) / 0.04) ** 2)
        yield centre, rng.poisson(expected).astype(np.float64)


def ring_position(result):
    radial, intensity = np.array(result.radial), np.array(result.intensity)
    near = np.abs(radial - RING_DEG) < 0.5
    return float(radial[near][np.nanargmax(intensity[near])])


def main():
    # The geometry of detector.poni with the beam moved onto the middle of a 512 x 512 crop.
    poni = read_poni(PONI)
    poni.update(Poni1=SHAPE[0] / 2 * poni["PixelSize1"], Poni2=SHAPE[1] / 2 * poni["PixelSize2"])
    tth = two_theta_deg(poni, SHAPE)
    keys = dict(pixel1="PixelSize1", pixel2="PixelSize2", distance="Distance", poni1="Poni1", poni2="Poni2",
                rot1="Rot1", rot2="Rot2", rot3="Rot3", wavelength="Wavelength")
    ai = karvelum.Integrator.from_poni_dict({k: poni[v] for k, v in keys.items()}, method="counting", unit="2th_deg")
    drawn = []  # (ring centre, frame) of every frame the stream has pulled

    def detector():
        for centre, frame in ring_frames(tth, FRAMES):
            drawn.append((centre, frame))
            yield frame

    print(f"{FRAMES} frames of {SHAPE[0]} x {SHAPE[1]} from a generator (total unknown: progress is None)")
    start = time.perf_counter()
    stream = ai.batch1d_iter(detector(), 2000, num_workers=2)
    for k, result in enumerate(stream):
        shown = f"ring at {ring_position(result.result):.3f} deg" if result.is_ok() else f"failed: {result.error}"
        print(f"  {result.filename:<9} completed {stream.completed:>2}, progress {stream.progress}, "
              f"{shown} (drawn at {drawn[k][0]:.3f})")
    print(f"  {time.perf_counter() - start:.2f} s")

    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for k, (_, frame) in enumerate(drawn):
            path = pathlib.Path(tmp) / f"frame_{k:03d}.tif"
            # TIFF rows are stored top-down; the integrator counts rows bottom-up.
            tifffile.imwrite(path, np.flipud(frame))
            paths.append(str(path))
        print(f"the same frames as {len(paths)} TIFF files (total known: progress is a fraction)")
        stream = ai.batch1d_iter(paths, 2000, num_workers=2)
        print(f"  total {stream.total}, completed {stream.completed}, progress {stream.progress:.2f}")
        for result in stream:
            shown = f"ring at {ring_position(result.result):.3f} deg" if result.is_ok() else f"failed: {result.error}"
            print(f"  {pathlib.Path(result.filename).name} completed {stream.completed:>2}, "
                  f"progress {stream.progress:.2f}, {shown}")
    # Once the stream has ended the integrator can be changed again.
    ai.set_method("histogram")


if __name__ == "__main__":
    main()
