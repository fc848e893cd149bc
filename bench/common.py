"""Helpers shared by the benchmarks."""
import time

# A 2048 x 2048 detector with 75 um pixels, slightly tilted, beam off centre.
GEOMETRY = dict(pixel1=7.5e-5, pixel2=7.5e-5, distance=0.15, poni1=0.0792, poni2=0.0731,
                rot1=0.012, rot2=-0.018, rot3=0.0, wavelength=7.293e-11)


def best(f, repeat=7):
    """The fastest of `repeat` runs of f, in seconds."""
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)
