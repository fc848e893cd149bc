#include "python/auto_calibrate.hpp"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "python/args.hpp"
#include "python/calibration.hpp"
#include "python/exceptions.hpp"
#include "python/rings.hpp"
#include "python/signature.hpp"

namespace karvelum::python {

namespace {

using calibration::AutoCalibrateMethod;

// Degrees to radians, as the grid's tilt bound is stored.
constexpr double kRadiansPerDegree = 0.017453292519943295;

// Unicode lower case of UTF-8 text, as str.lower gives it.
std::string lower_case(const std::string& text) {
    nb::object str = nb::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    if (!str.is_valid()) throw nb::python_error();
    nb::object lower = nb::steal(PyObject_CallMethod(str.ptr(), "lower", nullptr));
    if (!lower.is_valid()) throw nb::python_error();
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(lower.ptr(), &size);
    if (data == nullptr) throw nb::python_error();
    return std::string(data, static_cast<std::size_t>(size));
}

AutoCalibrateMethod parse_method(const std::string& text) {
    const std::string name = lower_case(text);
    if (name == "auto") return AutoCalibrateMethod::Auto;
    if (name == "grid") return AutoCalibrateMethod::Grid;
    if (name == "radial") return AutoCalibrateMethod::Radial;
    if (name == "ransac") return AutoCalibrateMethod::Ransac;
    raise_value_error("unknown method '" + name + "'; valid: 'radial' (default), 'ransac', 'grid', or 'auto'");
}

// Rust's {:.3e}: three decimals, an exponent without sign or leading zeros
// unless negative (1.235e-5, 0.000e0, 2.500e2).
std::string exponent_form(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3e", v);
    const std::string text(buffer);
    const std::size_t e = text.find('e');
    return text.substr(0, e) + "e" + std::to_string(std::stoi(text.substr(e + 1)));
}

nb::object auto_calibrate(nb::handle peaks, nb::handle calibrant, nb::handle wavelength, nb::handle pixel1,
                          nb::handle pixel2, nb::handle method, nb::handle ransac_inlier_threshold,
                          nb::handle ransac_min_inliers, nb::handle ransac_max_iterations,
                          nb::handle ransac_max_ellipses, nb::handle ransac_max_axis_ratio,
                          nb::handle ransac_dedupe_center_dist, nb::handle ransac_dedupe_size_rel,
                          nb::handle ratio_tolerance, nb::handle min_matches, nb::handle center_consistency_px,
                          nb::handle grid_distance_min, nb::handle grid_distance_max, nb::handle grid_distance_steps,
                          nb::handle grid_rot_max_deg, nb::handle grid_rot_steps,
                          nb::handle grid_poni_search_radius_px, nb::handle grid_poni_steps,
                          nb::handle grid_tolerance_rad, nb::handle grid_max_peaks, nb::handle grid_max_ring_index,
                          nb::handle grid_top_k, nb::handle fix, nb::handle huber_c, nb::handle max_iter,
                          nb::handle tol, nb::handle rng_seed) {
    const std::vector<calibration::Peak> points = arg_peaks(peaks, "peaks");
    if (!nb::isinstance<PyCalibrant>(calibrant) || !nb::inst_ready(calibrant)) {
        with_note("calibrant", [&] { raise_cannot_convert(calibrant, "Calibrant"); });
    }
    // Held by the argument for the whole call; a Calibrant never changes.
    const calibration::Calibrant& cal = nb::inst_ptr<PyCalibrant>(calibrant)->calibrant;
    const double lambda = arg_f64(wavelength, "wavelength");
    const double p1 = arg_f64(pixel1, "pixel1");
    const double p2 = arg_f64(pixel2, "pixel2");
    const std::string method_text = arg_str(method, "method");

    calibration::AutoCalibrateOptions o;
    o.ransac.inlier_threshold = arg_f64(ransac_inlier_threshold, "ransac_inlier_threshold");
    o.ransac.min_inliers = arg_u64(ransac_min_inliers, "ransac_min_inliers");
    o.ransac.max_iterations = arg_u64(ransac_max_iterations, "ransac_max_iterations");
    o.ransac.max_ellipses = arg_u64(ransac_max_ellipses, "ransac_max_ellipses");
    o.ransac.max_axis_ratio = arg_f64(ransac_max_axis_ratio, "ransac_max_axis_ratio");
    o.ransac.dedupe_center_dist = arg_f64(ransac_dedupe_center_dist, "ransac_dedupe_center_dist");
    o.ransac.dedupe_size_rel = arg_f64(ransac_dedupe_size_rel, "ransac_dedupe_size_rel");
    o.ring_id.ratio_tolerance = arg_f64(ratio_tolerance, "ratio_tolerance");
    o.ring_id.min_matches = arg_u64(min_matches, "min_matches");
    o.center_consistency_px = arg_f64(center_consistency_px, "center_consistency_px");
    o.grid_distance_min = arg_f64(grid_distance_min, "grid_distance_min");
    o.grid_distance_max = arg_f64(grid_distance_max, "grid_distance_max");
    o.grid_distance_steps = arg_u64(grid_distance_steps, "grid_distance_steps");
    o.grid_rot_max = arg_f64(grid_rot_max_deg, "grid_rot_max_deg") * kRadiansPerDegree;
    o.grid_rot_steps = arg_u64(grid_rot_steps, "grid_rot_steps");
    o.grid_poni_search_radius_px = arg_f64(grid_poni_search_radius_px, "grid_poni_search_radius_px");
    o.grid_poni_steps = arg_u64(grid_poni_steps, "grid_poni_steps");
    o.grid_tolerance_rad = arg_f64(grid_tolerance_rad, "grid_tolerance_rad");
    o.grid_max_peaks = arg_u64(grid_max_peaks, "grid_max_peaks");
    o.grid_max_ring_index = arg_u64(grid_max_ring_index, "grid_max_ring_index");
    o.grid_top_k = arg_u64(grid_top_k, "grid_top_k");
    if (!fix.is_none() && !PyList_Check(fix.ptr())) {
        with_note("fix", [&] { raise_cannot_convert(fix, "PyList"); });
    }
    o.huber_c = arg_f64(huber_c, "huber_c");
    o.max_iter = arg_u64(max_iter, "max_iter");
    o.tol = arg_f64(tol, "tol");
    o.ransac.rng_seed = arg_u64(rng_seed, "rng_seed");
    o.method = parse_method(method_text);
    o.free = parse_fix_list(fix);

    calibration::AutoCalibrateResult result = calibration::run_auto_calibration(points, cal, lambda, p1, p2, o);
    return nb::cast(PyAutoCalibrateResult{std::move(result)}, nb::rv_policy::move);
}

nb::str result_repr(const PyAutoCalibrateResult& self) {
    const calibration::AutoCalibrateResult& r = self.result;
    const std::string text = "AutoCalibrateResult(n_iter=" + std::to_string(r.calibration.n_iter) +
                             ", rms_rad=" + exponent_form(r.calibration.rms_rad) +
                             ", detected=" + std::to_string(r.n_detected_ellipses) +
                             ", identified=" + std::to_string(r.n_identified_ellipses) + ")";
    return nb::str(text.c_str());
}

}  // namespace

void bind_auto_calibrate(nb::module_& m) {
    sig::def_function<&auto_calibrate>(
        m,
        "auto_calibrate(peaks, calibrant, wavelength, pixel1, pixel2, method=\"radial\", ransac_inlier_threshold=1.5, "
        "ransac_min_inliers=10, ransac_max_iterations=2000, ransac_max_ellipses=12, ransac_max_axis_ratio=1.2, "
        "ransac_dedupe_center_dist=5.0, ransac_dedupe_size_rel=0.02, ratio_tolerance=0.03, min_matches=3, "
        "center_consistency_px=30.0, grid_distance_min=0.05, grid_distance_max=0.6, grid_distance_steps=14, "
        "grid_rot_max_deg=60.0, grid_rot_steps=13, grid_poni_search_radius_px=200.0, grid_poni_steps=5, "
        "grid_tolerance_rad=8.0e-3, grid_max_peaks=400, grid_max_ring_index=12, grid_top_k=8, fix=None, "
        "huber_c=2.0e-3, max_iter=200, tol=1e-9, rng_seed=13907096686470247510)",
        "Calibrate a detector geometry from the peaks of a calibrant image, with no starting guess.\n"
        "\n"
        "`peaks` are `(d1, d2)` pixel tuples (as `find_peaks_image` returns them), `calibrant` a\n"
        "`Calibrant`, `wavelength`, `pixel1` and `pixel2` in meters. Methods:\n"
        "- `'radial'` (default): one ring centre, a radial histogram of the peaks about it and one\n"
        "  ellipse per histogram band;\n"
        "- `'ransac'`: ellipses found by RANSAC (the `ransac_*` arguments), those whose centre lies\n"
        "  more than `center_consistency_px` from the median centre dropped;\n"
        "- `'grid'`: candidate geometries over distance (`grid_distance_*`, meters, geometric steps),\n"
        "  tilts (`grid_rot_*`, degrees) and PONI offsets (`grid_poni_*`, pixels about the peaks' mean)\n"
        "  scored by the peaks within `grid_tolerance_rad` of a ring (at most `grid_max_peaks` peaks,\n"
        "  rings below `grid_max_ring_index`); the best `grid_top_k` are refined. A grid whose\n"
        "  candidates times scored peaks exceed 2e10 (about 100 s of scoring on 8 cores; the\n"
        "  defaults cost 2.4e7) is refused: \"grid search has too many candidates\";\n"
        "- `'auto'`: all three in parallel, keeping the smallest rms of those that pass the check below.\n"
        "Radial and ransac identify the ellipses with calibrant rings (`ratio_tolerance`,\n"
        "`min_matches`) and bootstrap the geometry from them. The final fit is a Huber-weighted\n"
        "(`huber_c`, rad of 2θ) Levenberg-Marquardt refinement (`max_iter`, `tol`); `fix` lists the\n"
        "parameters to lock as for `refine` (default: the wavelength). Each refined geometry is kept\n"
        "only when its distance is positive, the rings seen in the peaks lie on calibrant rings (nine\n"
        "in ten of their peaks; rings past the last listed one and a few concentric rings between\n"
        "listed ones excepted) and the pixel residuals are at most twice those about an ellipse\n"
        "fitted to each ring. A fit that holds the rings loosely or stopped short of its optimum is\n"
        "fitted on from the same peaks within what is left of `max_iter`.\n"
        "\n"
        "Returns an `AutoCalibrateResult`; raises ValueError when no geometry is found, or when\n"
        "`max_iter` runs out before the check decides (\"max_iter=N leaves too few iterations to\n"
        "check the fit, which used M; raise max_iter\").");
}

void bind_auto_calibrate_result(nb::module_& m) {
    nb::class_<PyAutoCalibrateResult>(m, "AutoCalibrateResult",
                                      "Result of `auto_calibrate`: the refined geometry as a PONI dict, the fit's "
                                      "iterations, chi2 and rms (radians of 2θ), and how it was bootstrapped.")
        .def_prop_ro("n_iter", [](const PyAutoCalibrateResult& r) { return r.result.calibration.n_iter; },
                     "Levenberg-Marquardt iterations of the refinement, every round of it counted.")
        .def_prop_ro("chi2", [](const PyAutoCalibrateResult& r) { return r.result.calibration.chi2; },
                     "Sum of squared residuals, rad² of 2θ.")
        .def_prop_ro("rms_rad", [](const PyAutoCalibrateResult& r) { return r.result.calibration.rms_rad; },
                     "Root-mean-square residual, rad of 2θ.")
        .def_prop_ro("n_detected_ellipses", [](const PyAutoCalibrateResult& r) { return r.result.n_detected_ellipses; },
                     "Ellipses detected (grid: starting geometries refined).")
        .def_prop_ro("n_identified_ellipses",
                     [](const PyAutoCalibrateResult& r) { return r.result.n_identified_ellipses; },
                     "Ellipses identified with calibrant rings (grid: peaks on a ring at the winning start).")
        .def_prop_ro("bootstrap_distance", [](const PyAutoCalibrateResult& r) { return r.result.bootstrap_distance; },
                     "Distance (meters) the refinement started from.")
        .def_prop_ro("bootstrap_ring_center_d1",
                     [](const PyAutoCalibrateResult& r) { return r.result.bootstrap_ring_center_d1; },
                     "Mean ring-center (d1, meters) used to initialise the bootstrap PONI.")
        .def_prop_ro("bootstrap_ring_center_d2",
                     [](const PyAutoCalibrateResult& r) { return r.result.bootstrap_ring_center_d2; },
                     "Mean ring-center (d2, meters) used to initialise the bootstrap PONI.")
        .def_prop_ro("poni", [](const PyAutoCalibrateResult& r) { return poni_dict(r.result.calibration.geometry); },
                     "The refined geometry: a new dict of pixel1, pixel2, distance, poni1, poni2, rot1, rot2,\n"
                     "rot3 and wavelength.")
        .def("__repr__", &result_repr);
}

}  // namespace karvelum::python
