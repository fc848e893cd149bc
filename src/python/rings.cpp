#include "python/rings.hpp"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "calibration/massif.hpp"
#include "calibration/ring_center.hpp"
#include "python/args.hpp"
#include "python/calibration.hpp"
#include "python/exceptions.hpp"
#include "python/image.hpp"
#include "python/results.hpp"
#include "python/signature.hpp"

namespace karvelum::python {

namespace {

using calibration::Peak;

// ---- argument conversion ---------------------------------------------------

// The `image` argument: a 2-D float64 ndarray, read in place.
ArrayView take_image(nb::handle value) {
    return with_note("image", [&] {
        ArrayView view;
        if (take_f64_array(value, view)) return view;
        nb::object ndarray = nb::module_::import_("numpy").attr("ndarray");
        const int is_array = PyObject_IsInstance(value.ptr(), ndarray.ptr());
        if (is_array < 0) throw nb::python_error();
        if (is_array == 0) raise_cannot_convert(value, "PyArray<T, D>");
        nb::object ndim = nb::borrow(value).attr("ndim");
        if (!ndim.equal(nb::int_(2))) {
            raise_type_error("dimensionality mismatch:\n from=" + std::string(nb::str(ndim).c_str()) + ", to=2");
        }
        nb::object dtype = nb::borrow(value).attr("dtype");
        raise_type_error("type mismatch:\n from=" + std::string(nb::str(dtype).c_str()) + ", to=float64");
    });
}

// The samples of a taken image, after the layout checks.
std::span<const double> image_samples(const ArrayView& view) {
    try {
        require_c_contiguous(view, "float64");
    } catch (nb::python_error&) {
        raise_value_error("image must be C-contiguous (row-major) float64");
    }
    return contiguous_items<double>(view, "image must be contiguous");
}

double number_of(PyObject* value) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    double out = PyFloat_AsDouble(value);
    if (out == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return out;
}

std::uint64_t index_of(PyObject* value) {
    nb::object index = nb::steal(PyNumber_Index(value));
    if (!index.is_valid()) throw nb::python_error();
    unsigned long long out = PyLong_AsUnsignedLongLong(index.ptr());
    if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
    return static_cast<std::uint64_t>(out);
}

// A tuple (or subclass) of exactly two items.
void require_pair(nb::handle value) {
    if (!PyTuple_Check(value.ptr())) raise_cannot_convert(value, "PyTuple");
    const Py_ssize_t size = PyTuple_GET_SIZE(value.ptr());
    if (size != 2) raise_value_error("expected tuple of length 2, but got tuple of length " + std::to_string(size));
}

}  // namespace

// A sequence (not a str) of (d1, d2) tuples of numbers.
std::vector<Peak> arg_peaks(nb::handle value, const char* name) {
    return with_note(name, [&] {
        std::vector<nb::object> items = sequence_items(value);
        std::vector<Peak> out;
        out.reserve(items.size());
        for (const nb::object& item : items) {
            require_pair(item);
            const double d1 = number_of(PyTuple_GET_ITEM(item.ptr(), 0));
            out.push_back({d1, number_of(PyTuple_GET_ITEM(item.ptr(), 1))});
        }
        return out;
    });
}

namespace {

std::pair<std::uint64_t, std::uint64_t> arg_seed(nb::handle value) {
    return with_note("seed", [&] {
        require_pair(value);
        const std::uint64_t row = index_of(PyTuple_GET_ITEM(value.ptr(), 0));
        return std::pair{row, index_of(PyTuple_GET_ITEM(value.ptr(), 1))};
    });
}

template <class T>
T& instance_of(nb::handle value, const char* type_name) {
    if (!nb::isinstance<T>(value) || !nb::inst_ready(value)) raise_cannot_convert(value, type_name);
    return *nb::inst_ptr<T>(value);
}

nb::object peak_list(const std::vector<Peak>& peaks) {
    nb::list out;
    for (const Peak& p : peaks) out.append(nb::make_tuple(p.d1, p.d2));
    return out;
}

nb::object optional_index(const std::optional<std::uint64_t>& value) {
    return value ? nb::steal(PyLong_FromUnsignedLongLong(*value)) : nb::none();
}

nb::object index_list(const std::vector<std::optional<std::uint64_t>>& values) {
    nb::list out;
    for (const auto& v : values) out.append(optional_index(v));
    return out;
}

// printf's fixed notation, with NaN written as the other reprs write it.
std::string fixed(double v, int decimals) {
    if (std::isnan(v)) return "NaN";
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
    return buffer;
}

// ---- functions ---------------------------------------------------------------

nb::object find_peaks_image(nb::handle image, nb::handle valley_size, nb::handle threshold_factor,
                            nb::handle max_peaks) {
    const ArrayView view = take_image(image);
    const std::optional<double> valley = arg_opt_f64(valley_size, "valley_size");
    const double factor = arg_f64(threshold_factor, "threshold_factor");
    const std::uint64_t cap = arg_u64(max_peaks, "max_peaks");
    const std::span<const double> samples = image_samples(view);
    return peak_list(calibration::find_peaks_image(samples, view.rows(), view.cols(), valley, factor, cap));
}

nb::object find_peaks_massif(nb::handle image, nb::handle seed, nb::handle valley_size, nb::handle max_peaks,
                             nb::handle dedup_dist) {
    const ArrayView view = take_image(image);
    const auto [row, col] = arg_seed(seed);
    const std::optional<double> valley = arg_opt_f64(valley_size, "valley_size");
    const std::uint64_t cap = arg_u64(max_peaks, "max_peaks");
    const double dedup = arg_f64(dedup_dist, "dedup_dist");
    const std::span<const double> samples = image_samples(view);
    return peak_list(calibration::find_peaks_massif(samples, view.rows(), view.cols(), row, col, valley, cap, dedup));
}

nb::object estimate_ring_center(nb::handle peaks, nb::handle max_trials, nb::handle radial_bin_width,
                                nb::handle top_k_bins, nb::handle max_radius_px, nb::handle rng_seed) {
    const std::vector<Peak> points = arg_peaks(peaks, "peaks");
    calibration::RingCenterOptions options;
    options.max_trials = arg_u64(max_trials, "max_trials");
    options.radial_bin_width = arg_f64(radial_bin_width, "radial_bin_width");
    options.top_k_bins = arg_u64(top_k_bins, "top_k_bins");
    options.max_radius_px = arg_f64(max_radius_px, "max_radius_px");
    options.rng_seed = arg_u64(rng_seed, "rng_seed");
    const auto estimate = calibration::estimate_ring_center_ransac(points, options);
    if (!estimate) return nb::none();
    return nb::make_tuple(estimate->center_d1, estimate->center_d2);
}

nb::object ransac_ellipses(nb::handle points, nb::handle inlier_threshold, nb::handle min_inliers,
                           nb::handle max_iterations, nb::handle max_ellipses, nb::handle max_axis_ratio,
                           nb::handle dedupe_center_dist, nb::handle dedupe_size_rel, nb::handle rng_seed) {
    const std::vector<Peak> peaks = arg_peaks(points, "points");
    calibration::RansacEllipseOptions options;
    options.inlier_threshold = arg_f64(inlier_threshold, "inlier_threshold");
    options.min_inliers = arg_u64(min_inliers, "min_inliers");
    options.max_iterations = arg_u64(max_iterations, "max_iterations");
    options.max_ellipses = arg_u64(max_ellipses, "max_ellipses");
    options.max_axis_ratio = arg_opt_f64(max_axis_ratio, "max_axis_ratio");
    options.dedupe_center_dist = arg_f64(dedupe_center_dist, "dedupe_center_dist");
    options.dedupe_size_rel = arg_f64(dedupe_size_rel, "dedupe_size_rel");
    options.rng_seed = arg_u64(rng_seed, "rng_seed");
    return nb::cast(PyRansacEllipseResult{calibration::ransac_ellipse_search(peaks, options)}, nb::rv_policy::move);
}

nb::object identify_rings(nb::handle ellipses, nb::handle calibrant, nb::handle wavelength,
                          nb::handle ratio_tolerance, nb::handle max_anchor_ring, nb::handle min_matches) {
    const std::vector<calibration::EllipseFit> fits = with_note("ellipses", [&] {
        std::vector<calibration::EllipseFit> out;
        for (const nb::object& item : sequence_items(ellipses)) out.push_back(instance_of<PyEllipseFit>(item, "EllipseFit").fit);
        return out;
    });
    const PyCalibrant& cal = with_note("calibrant", [&]() -> PyCalibrant& {
        return instance_of<PyCalibrant>(calibrant, "Calibrant");
    });
    const double lambda = arg_f64(wavelength, "wavelength");
    calibration::RingIdOptions options;
    options.ratio_tolerance = arg_f64(ratio_tolerance, "ratio_tolerance");
    options.max_anchor_ring = arg_u64(max_anchor_ring, "max_anchor_ring");
    options.min_matches = arg_u64(min_matches, "min_matches");
    return nb::cast(PyRingIdResult{calibration::identify_ring_indices(fits, cal.calibrant.d_spacings, options, lambda)},
                    nb::rv_policy::move);
}

// ---- classes -----------------------------------------------------------------

nb::object new_ellipse(const calibration::EllipseFit& fit) {
    return nb::cast(PyEllipseFit{fit}, nb::rv_policy::move);
}

nb::object ellipse_distance(PyEllipseFit& self, nb::handle point) {
    const auto [x, y] = arg_pair_f64(point, "point");
    return nb::float_(calibration::conic_distance(self.fit.conic, x, y));
}

nb::str ellipse_repr(const PyEllipseFit& self) {
    const calibration::EllipseFit& f = self.fit;
    const std::string text = "EllipseFit(center=(" + fixed(f.center_d1, 2) + ", " + fixed(f.center_d2, 2) +
                             "), semi=(" + fixed(f.semi_major, 2) + ", " + fixed(f.semi_minor, 2) +
                             "), theta=" + fixed(f.theta, 4) + ")";
    return nb::str(text.c_str());
}

nb::object inlier_mask(PyRansacEllipseResult& self) {
    nb::list out;
    for (const auto& a : self.result.assignments) out.append(nb::bool_(a.has_value()));
    return out;
}

nb::object n_ellipses(PyRansacEllipseResult& self) {
    return nb::steal(PyLong_FromSize_t(self.result.ellipses.size()));
}

nb::str ring_id_repr(const PyRingIdResult& self) {
    const calibration::RingIdResult& r = self.result;
    const std::string anchor = r.anchor_ring ? "Some(" + std::to_string(*r.anchor_ring) + ")" : "None";
    const std::string text = "RingIdResult(n_matched=" + std::to_string(r.n_matched) +
                             ", confident=" + (r.confident ? "true" : "false") + ", anchor_ring=" + anchor + ")";
    return nb::str(text.c_str());
}

}  // namespace

void bind_ring_functions(nb::module_& m) {
    sig::def_function<&find_peaks_massif>(
        m, "find_peaks_massif(image, seed, valley_size=None, max_peaks=200, dedup_dist=1.0)",
        "Massif-based peak picking from a seed.\n"
        "\n"
        "The massif is the 4-connected region of pixels brighter than the local background\n"
        "(a Gaussian blur of sigma `valley_size`, default max(dim1, dim2) / 50, at least 5 px)\n"
        "that holds `seed` = `(row, column)`. Returns the seed's own peak first, then the\n"
        "distinct local maxima of the massif that lie above its mean, as sub-pixel `(d1, d2)`\n"
        "tuples, at most `max_peaks` of them, none closer than `dedup_dist` pixels to an\n"
        "earlier one. An empty list when the seed lies outside the image or on background.");
    sig::def_function<&ransac_ellipses>(
        m,
        "ransac_ellipses(points, inlier_threshold=1.5, min_inliers=10, max_iterations=2000, max_ellipses=12, "
        "max_axis_ratio=None, dedupe_center_dist=5.0, dedupe_size_rel=0.02, rng_seed=13907096686470247510)",
        "Find several ellipses (rings) among `(d1, d2)` points by RANSAC.\n"
        "\n"
        "Arguments:\n"
        "- `points`             — sequence of `(d1, d2)` tuples.\n"
        "- `inlier_threshold`   — Sampson distance (pixels) for inlier acceptance.\n"
        "- `min_inliers`        — least number of inliers of an accepted ellipse.\n"
        "- `max_iterations`     — random samples per ellipse search.\n"
        "- `max_ellipses`       — cap on detected ellipses.\n"
        "- `max_axis_ratio`     — reject ellipses with semi_major / semi_minor above this (None: any).\n"
        "- `dedupe_center_dist` — ellipses with centres this close (pixels) ...\n"
        "- `dedupe_size_rel`    — ... and semi-major axes this close (relative) are merged.\n"
        "- `rng_seed`           — for reproducibility.\n"
        "\n"
        "Returns a `RansacEllipseResult`, ellipses sorted by semi-major axis.");
    sig::def_function<&identify_rings>(
        m, "identify_rings(ellipses, calibrant, wavelength, ratio_tolerance=0.02, max_anchor_ring=8, min_matches=3)",
        "Match fitted ellipses to calibrant rings by the size-ratio invariant\n"
        "`r_k / r_0 = tan(2θ_k) / tan(2θ_0)` of a detector roughly perpendicular to the beam.\n"
        "\n"
        "Arguments:\n"
        "- `ellipses`        — list of `EllipseFit`, sorted by semi-major axis (ascending),\n"
        "                      as `ransac_ellipses` returns them.\n"
        "- `calibrant`       — a `Calibrant`.\n"
        "- `wavelength`      — meters.\n"
        "- `ratio_tolerance` — relative tolerance of ratio matches and distance agreement (default 0.02).\n"
        "- `max_anchor_ring` — highest calibrant ring tried for an anchor ellipse (default 8).\n"
        "- `min_matches`     — matches needed for a confident answer (default 3).\n"
        "\n"
        "Returns a `RingIdResult`.");
    sig::def_function<&find_peaks_image>(
        m, "find_peaks_image(image, valley_size=None, threshold_factor=3.0, max_peaks=5000)",
        "Image-wide peak extraction without a seed. Returns sub-pixel\n"
        "`(d1, d2)` peak centers for every above-background blob.\n"
        "\n"
        "A pixel is a peak when it is a local maximum of its 3 x 3 neighbourhood and its\n"
        "residual above the local background (a Gaussian blur of sigma `valley_size`, default\n"
        "max(dim1, dim2) / 50, at least 5 px) exceeds mean + `threshold_factor` * std of the\n"
        "residual. Peaks come in row-major order, at most `max_peaks` of them.");
}

void bind_estimate_ring_center(nb::module_& m) {
    sig::def_function<&estimate_ring_center>(
        m,
        "estimate_ring_center(peaks, max_trials=500, radial_bin_width=4.0, top_k_bins=10, max_radius_px=5000.0, "
        "rng_seed=13739370787864702989)",
        "Common centre of calibrant rings from peaks on them, by sampling circles through\n"
        "three peaks and scoring how the peaks' distances from each centre bunch into the\n"
        "`top_k_bins` fullest radial bands of width `radial_bin_width`.\n"
        "\n"
        "Returns `(d1, d2)` or `None` if too few peaks / no consensus.\n"
        "\n"
        "The \"ring center\" is not the point of normal incidence nor the beam centre on a\n"
        "tilted detector: the result is a useful starting guess only when the rings are\n"
        "nearly circular (rot1 and rot2 at most a few degrees).");
}

void bind_ring_classes(nb::module_& m) {
    auto ellipse = nb::class_<PyEllipseFit>(m, "EllipseFit", "An ellipse fitted to `(d1, d2)` points.");
    ellipse
        .def_prop_ro("conic",
                     [](const PyEllipseFit& e) {
                         return float_list(std::vector<double>(e.fit.conic.begin(), e.fit.conic.end()));
                     },
                     "Conic coefficients `[A, B, C, D, E, F]` with the convention\n"
                     "`A x² + B xy + C y² + D x + E y + F = 0`.")
        .def_prop_ro("center", [](const PyEllipseFit& e) { return nb::make_tuple(e.fit.center_d1, e.fit.center_d2); },
                     "Centre `(d1, d2)` in pixels.")
        .def_prop_ro("semi_major", [](const PyEllipseFit& e) { return e.fit.semi_major; }, "Larger semi-axis, pixels.")
        .def_prop_ro("semi_minor", [](const PyEllipseFit& e) { return e.fit.semi_minor; }, "Smaller semi-axis, pixels.")
        .def_prop_ro("theta", [](const PyEllipseFit& e) { return e.fit.theta; },
                     "Angle of the major axis from the d1 axis towards d2, radians.")
        .def("__repr__", &ellipse_repr);
    sig::def_method<&ellipse_distance>(ellipse, "distance($self, point)",
                                       "First-order distance (pixels) of `point` = `(d1, d2)` from the ellipse;\n"
                                       "`inf` where the conic's gradient vanishes.");

    auto ransac = nb::class_<PyRansacEllipseResult>(m, "RansacEllipseResult",
                                                     "Result of `ransac_ellipses`: the ellipses and per-point "
                                                     "assignments.");
    ransac
        .def_prop_ro("ellipses",
                     [](const PyRansacEllipseResult& r) {
                         nb::list out;
                         for (const auto& fit : r.result.ellipses) out.append(new_ellipse(fit));
                         return out;
                     },
                     "List of `EllipseFit`, sorted by semi-major axis (smallest first).")
        .def_prop_ro("assignments", [](const PyRansacEllipseResult& r) { return index_list(r.result.assignments); },
                     "Per-input-point assignment: `Some(k)` = inlier of `ellipses[k]`,\n"
                     "`None` = outlier rejected from every ellipse.");
    sig::def_method<&inlier_mask>(ransac, "inlier_mask($self)",
                                  "`True` for inliers (any ellipse), `False` for outliers.");
    sig::def_method<&n_ellipses>(ransac, "n_ellipses($self)", "Number of ellipses found.");

    nb::class_<PyRingIdResult>(m, "RingIdResult", "Result of `identify_rings`.")
        .def_prop_ro("ring_index", [](const PyRingIdResult& r) { return index_list(r.result.ring_index); },
                     "Per-ellipse calibrant ring assignment. `None` = ellipse couldn't be\n"
                     "matched to any calibrant ring within tolerance.")
        .def_prop_ro("anchor_ring", [](const PyRingIdResult& r) { return optional_index(r.result.anchor_ring); },
                     "Calibrant ring of the smallest ellipse, or `None` if that ellipse is\nunmatched.")
        .def_prop_ro("n_matched", [](const PyRingIdResult& r) { return r.result.n_matched; },
                     "Number of ellipses confidently matched to calibrant rings.")
        .def_prop_ro("confident", [](const PyRingIdResult& r) { return r.result.confident; },
                     "True iff `n_matched >= min_matches`.")
        .def("__repr__", &ring_id_repr);
}

}  // namespace karvelum::python
