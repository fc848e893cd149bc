import inspect, pydoc, re

import pytest

import karvelum
from karvelum import Integrator, MultiIntegrator

# Every public function, method and constructor with its text signature.
SIGNATURES = {
    "rayon_num_threads": "rayon_num_threads()",
    "set_rayon_threads": "set_rayon_threads(threads)",
    "refine": "refine(start, points, calibrant, fix=None, loss=None, auto_assign=False, assign_tol=0.05, max_iter=100, "
              "tol=1e-9)",
    "find_peaks_massif": "find_peaks_massif(image, seed, valley_size=None, max_peaks=200, dedup_dist=1.0)",
    "ransac_ellipses": "ransac_ellipses(points, inlier_threshold=1.5, min_inliers=10, max_iterations=2000, "
                       "max_ellipses=12, max_axis_ratio=None, dedupe_center_dist=5.0, dedupe_size_rel=0.02, "
                       "rng_seed=13907096686470247510)",
    "identify_rings": "identify_rings(ellipses, calibrant, wavelength, ratio_tolerance=0.02, max_anchor_ring=8, "
                      "min_matches=3)",
    "find_peaks_image": "find_peaks_image(image, valley_size=None, threshold_factor=3.0, max_peaks=5000)",
    "auto_calibrate": 'auto_calibrate(peaks, calibrant, wavelength, pixel1, pixel2, method="radial", '
                      "ransac_inlier_threshold=1.5, ransac_min_inliers=10, ransac_max_iterations=2000, "
                      "ransac_max_ellipses=12, ransac_max_axis_ratio=1.2, ransac_dedupe_center_dist=5.0, "
                      "ransac_dedupe_size_rel=0.02, ratio_tolerance=0.03, min_matches=3, center_consistency_px=30.0, "
                      "grid_distance_min=0.05, grid_distance_max=0.6, grid_distance_steps=14, grid_rot_max_deg=60.0, "
                      "grid_rot_steps=13, grid_poni_search_radius_px=200.0, grid_poni_steps=5, "
                      "grid_tolerance_rad=8.0e-3, grid_max_peaks=400, grid_max_ring_index=12, grid_top_k=8, fix=None, "
                      "huber_c=2.0e-3, max_iter=200, tol=1e-9, rng_seed=13907096686470247510)",
    "estimate_ring_center": "estimate_ring_center(peaks, max_trials=500, radial_bin_width=4.0, top_k_bins=10, "
                            "max_radius_px=5000.0, rng_seed=13739370787864702989)",
    "Integrator": "Integrator(poni_path, method=None, polarization_factor=None, n_ss=None, unit=None, radial_range=None)",
    "Integrator.from_poni_dict":
        "from_poni_dict(poni_dict, method=None, polarization_factor=None, n_ss=None, unit=None, radial_range=None)",
    "Integrator.set_method": "set_method($self, method, n_ss=None)",
    "Integrator.set_polarization_factor": "set_polarization_factor($self, polarization_factor)",
    "Integrator.set_unit": "set_unit($self, unit)",
    "Integrator.get_unit": "get_unit($self)",
    "Integrator.integrate1d": "integrate1d($self, image, n_points, errors=False, *, azimuthal_std=False)",
    "Integrator.integrate2d": "integrate2d($self, image, n_radial, n_azimuthal, errors=False, azimuthal_range=None)",
    "Integrator.batch1d": "batch1d($self, images, n_points, errors=False, num_workers=None, num_threads=None, *, "
                          "azimuthal_std=False)",
    "Integrator.batch2d": "batch2d($self, tiff_paths, n_radial, n_azimuthal, errors=False, azimuthal_range=None, "
                          "num_workers=None, num_threads=None)",
    "Integrator.batch1d_iter": "batch1d_iter($self, images, n_points, errors=False, num_workers=None, "
                               "num_threads=None, *, azimuthal_std=False)",
    "Integrator.batch2d_iter": "batch2d_iter($self, images, n_radial, n_azimuthal, errors=False, "
                               "azimuthal_range=None, num_workers=None, num_threads=None)",
    "Integrator.set_mask": "set_mask($self, mask)",
    "Integrator.clear_mask": "clear_mask($self)",
    "MultiIntegrator": "MultiIntegrator(integrators)",
    "MultiIntegrator.integrate1d": "integrate1d($self, images, n_points, errors=False)",
    "MultiIntegrator.batch1d": "batch1d($self, images, n_points, errors=False)",
    "BatchResult.is_ok": "is_ok($self)",
    "BatchResult.is_err": "is_err($self)",
    "Calibrant.from_file": "from_file(path)",
    "Calibrant.from_d_spacings": "from_d_spacings(name, d_spacings)",
    "Calibrant.n_rings": "n_rings($self)",
    "Calibrant.two_theta_rad": "two_theta_rad($self, wavelength_m)",
    "CalibrationPoints": "CalibrationPoints()",
    "CalibrationPoints.add": "add($self, d1, d2, ring=None)",
    "CalibrationPoints.extend": "extend($self, d1, d2, ring)",
    "CalibrationPoints.clear": "clear($self)",
    "EllipseFit.distance": "distance($self, point)",
    "RansacEllipseResult.inlier_mask": "inlier_mask($self)",
    "RansacEllipseResult.n_ellipses": "n_ellipses($self)",
}
NOT_CONSTRUCTIBLE = {"IntegrationResult", "BatchResult", "BatchIterator", "Calibrant", "CalibrationResult", "EllipseFit",
                     "RansacEllipseResult", "RingIdResult", "AutoCalibrateResult"}


def public_callables():
    for name in karvelum.__all__:
        obj = getattr(karvelum, name)
        if not isinstance(obj, type):
            yield name
            continue
        if name not in NOT_CONSTRUCTIBLE:
            yield name
        yield from (f"{name}.{attr}" for attr, value in vars(obj).items()
                    if not attr.startswith("_") and not isinstance(value, property))


def resolve(name):
    """The callable as a user reaches it; methods bound to an (uninitialised) instance."""
    owner, _, attr = name.rpartition(".")
    if not owner:
        return getattr(karvelum, attr)
    cls = getattr(karvelum, owner)
    return getattr(cls, attr) if isinstance(vars(cls)[attr], staticmethod) else getattr(cls.__new__(cls), attr)


def test_every_public_callable_has_its_signature_listed_and_results_are_not_built_from_python():
    assert sorted(public_callables()) == sorted(SIGNATURES)
    for name in NOT_CONSTRUCTIBLE:  # results, iterators and calibrants come only from the module
        with pytest.raises(TypeError):
            getattr(karvelum, name)()


@pytest.mark.parametrize("name", SIGNATURES)
def test_inspect_and_help_show_the_text_signature(name):
    shown = SIGNATURES[name].replace("$self, ", "").replace("$self", "")
    target = resolve(name)
    # As the interpreter writes the same parameters (1e-9 comes back as 1e-09).
    parameters = str(inspect.signature(eval(f"lambda {shown[shown.index('(') + 1:-1]}: None")))
    assert str(inspect.signature(target)) == parameters
    # help() may wrap a long signature over lines (and indent a class's with "|"); it leaves out a
    # constructor's empty one.
    squash = lambda text: re.sub(r"[\s|]", "", text)
    if not (isinstance(target, type) and parameters == "()"):
        assert squash(shown[:shown.index("(")] + parameters) in squash(pydoc.render_doc(target, renderer=pydoc.plaintext))


ai = lambda: Integrator.from_poni_dict({})
REFUSED_CALLS = {
    "missing": (lambda: karvelum.set_rayon_threads(),
                "set_rayon_threads() missing 1 required positional argument: 'threads'"),
    "missing-several": (lambda: ai().integrate2d(),
                        "Integrator.integrate2d() missing 3 required positional arguments: "
                        "'image', 'n_radial', and 'n_azimuthal'"),
    "missing-in-constructor": (lambda: MultiIntegrator(),
                               "MultiIntegrator() missing 1 required positional argument: 'integrators'"),
    "unknown-keyword": (lambda: Integrator.from_poni_dict({}, bogus=1),
                        "Integrator.from_poni_dict() got an unexpected keyword argument 'bogus'"),
    "too-many-positional": (lambda: ai().integrate1d("x", 10, False, True),
                            "Integrator.integrate1d() takes from 2 to 3 positional arguments but 4 were given"),
    "too-many-in-constructor": (lambda: Integrator(*"abcdefg"),
                                "Integrator() takes from 1 to 6 positional arguments but 7 were given"),
    "given-twice": (lambda: ai().set_unit("q_A", unit="q_A"),
                    "Integrator.set_unit() got multiple values for argument 'unit'"),
    "uninitialised": (lambda: Integrator.__new__(Integrator).get_unit(), "the Integrator was never initialised"),
    "initialised-again": (lambda: ai().__init__("x.poni"), "the Integrator is already initialised"),
}
@pytest.mark.parametrize("case", REFUSED_CALLS)
def test_argument_binding_errors_are_type_errors_naming_the_callable(assert_refused, case):
    assert_refused(REFUSED_CALLS[case][0], TypeError, REFUSED_CALLS[case][1])
