"""Builds an integrator from the PONI file next to this script and shows its
geometry and settings."""
import pathlib

import karvelum

HERE = pathlib.Path(__file__).resolve().parent
PONI = HERE / "detector.poni"


def main():
    print(f"karvelum with {karvelum.rayon_num_threads()} threads")
    print(f"geometry from {PONI.name}:")
    for line in PONI.read_text().splitlines():
        if line and not line.startswith("#"):
            key, _, value = line.partition(":")
            print(f"  {key.strip():<12} {value.strip()}")

    integrator = karvelum.Integrator(str(PONI), method="pixel_split", unit="q_nm^-1", polarization_factor=0.99)
    print(f"integrator: method pixel_split, polarization 0.99, unit {integrator.get_unit()}")
    integrator.set_unit("2th_deg")
    print(f"after set_unit('2th_deg'): unit {integrator.get_unit()}")


if __name__ == "__main__":
    main()
