#include "python/calibration.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "poni.hpp"
#include "python/args.hpp"
#include "python/exceptions.hpp"
#include "python/integrator.hpp"
#include "python/results.hpp"
#include "python/signature.hpp"

namespace karvelum::python {

namespace {

using calibration::RefineLoss;

std::string utf8_of(nb::handle str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
    if (data == nullptr) throw nb::python_error();
    return std::string(data, static_cast<std::size_t>(size));
}

nb::str str_of(const std::string& text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (s == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

// The index protocol, then unsigned: a negative value is OverflowError.
std::uint64_t count_of(nb::handle value) {
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    unsigned long long out = PyLong_AsUnsignedLongLong(index.ptr());
    if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
    return static_cast<std::uint64_t>(out);
}

std::vector<double> f64_list(nb::handle value, const char* name) {
    return with_note(name, [&] {
        std::vector<nb::object> items = sequence_items(value);
        std::vector<double> out;
        out.reserve(items.size());
        for (const nb::object& item : items) out.push_back(to_f64(item));
        return out;
    });
}

std::vector<std::optional<std::uint64_t>> ring_list(nb::handle value, const char* name) {
    return with_note(name, [&] {
        std::vector<nb::object> items = sequence_items(value);
        std::vector<std::optional<std::uint64_t>> out;
        out.reserve(items.size());
        for (const nb::object& item : items) {
            out.push_back(item.is_none() ? std::nullopt : std::optional<std::uint64_t>(count_of(item)));
        }
        return out;
    });
}

// The shortest text that reads back to the same double, without exponent:
// 1e-10 as 0.0000000001, 2.0 as 2.
std::string plain_decimal(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::scientific);
    (void)ec;
    std::string text(buffer, end);
    std::string sign;
    if (text[0] == '-') {
        sign = "-";
        text.erase(0, 1);
    }
    std::size_t e = text.find('e');
    int exponent = std::stoi(text.substr(e + 1));
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') digits += c;
    }
    std::string out;
    if (exponent < 0) {
        out = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else {
        auto whole = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= whole) {
            out = digits + std::string(whole - digits.size(), '0');
        } else {
            out = digits.substr(0, whole) + "." + digits.substr(whole);
        }
    }
    return sign + out;
}

// ---- Calibrant -------------------------------------------------------------

nb::object new_calibrant(calibration::Calibrant&& c) {
    return nb::cast(PyCalibrant{std::move(c)}, nb::rv_policy::move);
}

nb::object calibrant_from_file(nb::handle path) {
    std::string p = arg_str(path, "path");
    return new_calibrant(calibration::calibrant_from_file(p));
}

nb::object calibrant_from_d_spacings(nb::handle name, nb::handle d_spacings) {
    std::string n = arg_str(name, "name");
    std::vector<double> values = f64_list(d_spacings, "d_spacings");
    return new_calibrant(calibration::calibrant_from_d_spacings(std::move(n), std::move(values)));
}

nb::object n_rings(PyCalibrant& self) {
    return nb::steal(PyLong_FromSize_t(self.calibrant.d_spacings.size()));
}

nb::object two_theta_rad(PyCalibrant& self, nb::handle wavelength_m) {
    const double wavelength = arg_f64(wavelength_m, "wavelength_m");
    nb::list out;
    for (double d : self.calibrant.d_spacings) {
        std::optional<double> angle = calibration::ring_two_theta(wavelength, d);
        out.append(angle ? nb::object(nb::float_(*angle)) : nb::none());
    }
    return out;
}

nb::str calibrant_repr(const PyCalibrant& self) {
    return str_of("Calibrant(name=" + calibration::quoted(self.calibrant.name) +
                  ", n_rings=" + std::to_string(self.calibrant.d_spacings.size()) + ")");
}

// ---- CalibrationPoints -----------------------------------------------------

void init_points(PyCalibrationPoints* self) { new (self) PyCalibrationPoints(); }

void points_add(PyCalibrationPoints& self, nb::handle d1, nb::handle d2, nb::handle ring) {
    ExclusiveBorrow borrow(self.borrow);
    const double x = arg_f64(d1, "d1");
    const double y = arg_f64(d2, "d2");
    const std::optional<std::uint64_t> r = arg_opt_u64(ring, "ring");
    self.points.add(x, y, r);
}

void points_extend(PyCalibrationPoints& self, nb::handle d1, nb::handle d2, nb::handle ring) {
    ExclusiveBorrow borrow(self.borrow);
    std::vector<double> x = f64_list(d1, "d1");
    std::vector<double> y = f64_list(d2, "d2");
    std::vector<std::optional<std::uint64_t>> r = ring_list(ring, "ring");
    self.points.extend(x, y, r);
}

void points_clear(PyCalibrationPoints& self) {
    ExclusiveBorrow borrow(self.borrow);
    self.points.clear();
}

// ---- CalibrationResult -----------------------------------------------------

}  // namespace

nb::object poni_dict(const PoniGeometry& g) {
    nb::dict out;
    const std::pair<const char*, double> entries[] = {
        {"pixel1", g.pixel1}, {"pixel2", g.pixel2}, {"distance", g.distance},
        {"poni1", g.poni1},   {"poni2", g.poni2},   {"rot1", g.rot1},
        {"rot2", g.rot2},     {"rot3", g.rot3},     {"wavelength", g.wavelength},
    };
    for (const auto& [key, value] : entries) out[key] = nb::float_(value);
    return out;
}

namespace {

nb::object result_poni(const PyCalibrationResult& self) { return poni_dict(self.result.geometry); }

nb::object result_assignments(const PyCalibrationResult& self) {
    nb::list out;
    for (const auto& ring : self.result.assignments) {
        out.append(ring ? nb::steal(PyLong_FromUnsignedLongLong(*ring)) : nb::none());
    }
    return out;
}

nb::object result_inliers(const PyCalibrationResult& self) {
    nb::list out;
    for (bool inlier : self.result.inliers) out.append(nb::bool_(inlier));
    return out;
}

nb::str result_repr(const PyCalibrationResult& self) {
    return str_of("CalibrationResult(n_iter=" + std::to_string(self.result.n_iter) +
                  ", chi2=" + plain_decimal(self.result.chi2) + ", rms_rad=" + plain_decimal(self.result.rms_rad) +
                  ")");
}

// ---- refine ----------------------------------------------------------------

// An Integrator's geometry (copied under a borrow released at once) or a
// PONI dict. An Integrator of another thread is the panic exception.
PoniGeometry start_geometry(nb::handle start) {
    std::optional<PoniGeometry> from_integrator;
    try {
        IntegratorRef ref = extract_integrator(start);
        from_integrator = ref.core()->geometry;
    } catch (nb::python_error& e) {
        if (e.matches(panic_exception_type())) throw;
    }
    if (from_integrator) return *from_integrator;
    if (PyDict_Check(start.ptr())) return geometry_from_dict(start);
    raise_value_error("start must be a karvelum.Integrator or a PONI dict");
}

}  // namespace

std::array<bool, calibration::kParameterCount> parse_fix_list(nb::handle fix) {
    if (fix.is_none()) return calibration::RefineOptions{}.free;
    std::array<bool, calibration::kParameterCount> free;
    free.fill(true);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fix.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(fix.ptr(), i));
        if (!PyUnicode_Check(item.ptr())) raise_cannot_convert(item, "PyString");
        const std::string name = utf8_of(item);
        if (name == "distance" || name == "dist") free[calibration::kDistance] = false;
        else if (name == "poni1") free[calibration::kPoni1] = false;
        else if (name == "poni2") free[calibration::kPoni2] = false;
        else if (name == "rot1") free[calibration::kRot1] = false;
        else if (name == "rot2") free[calibration::kRot2] = false;
        else if (name == "rot3") free[calibration::kRot3] = false;
        else if (name == "wavelength" || name == "wl") free[calibration::kWavelength] = false;
        else raise_value_error("unknown parameter '" + name + "' in fix list");
    }
    return free;
}

namespace {

std::string lower_of(nb::handle str) { return utf8_of(nb::borrow(str).attr("lower")()); }

void parse_loss(nb::handle loss, calibration::RefineOptions& options) {
    if (loss.is_none()) return;
    if (PyUnicode_Check(loss.ptr())) {
        const std::string name = lower_of(loss);
        if (name == "l2" || name == "lsq" || name == "least_squares") {
            options.loss = RefineLoss::L2;
        } else if (name == "huber") {
            options.loss = RefineLoss::Huber;
            options.huber_c = 0.001;
        } else {
            raise_value_error("unknown loss '" + name + "'; use 'l2' or 'huber' or a dict like {type:'huber', c:1e-3}");
        }
        return;
    }
    if (!PyDict_Check(loss.ptr())) raise_value_error("loss must be a string or a dict like {type:'huber', c:1e-3}");
    PyObject* type = PyDict_GetItemWithError(loss.ptr(), nb::str("type").ptr());
    if (type == nullptr) {
        if (PyErr_Occurred()) throw nb::python_error();
        raise_value_error("loss dict needs a 'type' key");
    }
    nb::object type_value = nb::borrow(type);  // kept alive across the lookups below
    if (!PyUnicode_Check(type)) raise_cannot_convert(type_value, "PyString");
    const std::string name = lower_of(type_value);
    if (name == "huber") {
        PyObject* c = PyDict_GetItemWithError(loss.ptr(), nb::str("c").ptr());
        if (c == nullptr) {
            if (PyErr_Occurred()) throw nb::python_error();
            raise_value_error("huber loss needs 'c' (rad)");
        }
        const double value = to_f64(nb::borrow(c));
        // Zero or negative weights would turn the fit into a maximisation.
        if (!(value > 0.0 && std::isfinite(value))) raise_value_error("huber loss needs a positive finite 'c' (rad)");
        options.loss = RefineLoss::Huber;
        options.huber_c = value;
    } else if (name == "l2") {
        options.loss = RefineLoss::L2;
    } else {
        raise_value_error("unknown loss type '" + name + "'");
    }
}

template <class T>
T* instance_of(nb::handle value, const char* name, const char* type_name) {
    if (!nb::isinstance<T>(value) || !nb::inst_ready(value)) {
        with_note(name, [&] { raise_cannot_convert(value, type_name); });
    }
    return nb::inst_ptr<T>(value);
}

nb::object refine(nb::handle start, nb::handle points, nb::handle calibrant, nb::handle fix, nb::handle loss,
                  nb::handle auto_assign, nb::handle assign_tol, nb::handle max_iter, nb::handle tol) {
    PyCalibrationPoints* pts = instance_of<PyCalibrationPoints>(points, "points", "CalibrationPoints");
    std::optional<SharedBorrow> points_borrow;
    with_note("points", [&] { points_borrow.emplace(pts->borrow); });
    const PyCalibrant* cal = instance_of<PyCalibrant>(calibrant, "calibrant", "Calibrant");
    if (!fix.is_none() && !PyList_Check(fix.ptr())) {
        with_note("fix", [&] { raise_cannot_convert(fix, "PyList"); });
    }
    calibration::RefineOptions options;
    options.auto_assign = arg_flag(auto_assign, "auto_assign");
    options.assign_tol = arg_f64(assign_tol, "assign_tol");
    options.max_iter = arg_u64(max_iter, "max_iter");
    options.tol = arg_f64(tol, "tol");
    const PoniGeometry geometry = start_geometry(start);
    options.free = parse_fix_list(fix);
    parse_loss(loss, options);
    calibration::CalibrationResult result =
        calibration::refine_given_start(geometry, pts->points, cal->calibrant.d_spacings, options);
    return nb::cast(PyCalibrationResult{std::move(result)}, nb::rv_policy::move);
}

}  // namespace

void bind_refine(nb::module_& m) {
    sig::def_function<&refine>(
        m, "refine(start, points, calibrant, fix=None, loss=None, auto_assign=False, assign_tol=0.05, max_iter=100, "
           "tol=1e-9)",
        "Refine detector geometry from picked control points and a known calibrant.\n"
        "\n"
        "Arguments:\n"
        "- `start`       — starting guess: either a `karvelum.Integrator` (its PONI is used) or\n"
        "                  a PONI dict.\n"
        "- `points`      — a `CalibrationPoints`.\n"
        "- `calibrant`   — a `Calibrant`.\n"
        "- `fix`         — list of parameter names to lock (default: `['wavelength']`).\n"
        "                  Valid names: `distance`, `poni1`, `poni2`, `rot1`, `rot2`, `rot3`, `wavelength`.\n"
        "- `loss`        — `'l2'` (default), `'huber'`, or `{type:'huber', c:<rad>}`.\n"
        "- `auto_assign` — assign unassigned points to nearest predicted ring each iteration.\n"
        "- `assign_tol`  — auto-assignment tolerance in rad of 2θ (default 0.05).\n"
        "- `max_iter`    — L-M iterations (default 100).\n"
        "- `tol`         — relative cost tolerance for convergence (default 1e-9).\n"
        "\n"
        "Returns a `CalibrationResult`.");
}

void bind_calibration_classes(nb::module_& m) {
    auto calibrant = nb::class_<PyCalibrant>(
        m, "Calibrant", "A calibrant: its name and d-spacings in Å, largest first (ring 0 is the innermost ring).");
    sig::def_static<&calibrant_from_file>(calibrant, "from_file(path)",
                                          "Load a calibrant from a `.D` file (one d-spacing in Å per line).");
    sig::def_static<&calibrant_from_d_spacings>(calibrant, "from_d_spacings(name, d_spacings)",
                                                "Build from an explicit list of d-spacings (Å).");
    sig::def_method<&n_rings>(calibrant, "n_rings($self)", "Number of rings (d-spacings).");
    sig::def_method<&two_theta_rad>(calibrant, "two_theta_rad($self, wavelength_m)",
                                    "2θ (radians) for each ring at the given wavelength (meters). Rings\n"
                                    "outside the Bragg-physical range yield `None`.");
    calibrant.def_prop_ro("name", [](const PyCalibrant& c) { return str_of(c.calibrant.name); })
        .def_prop_ro("d_spacings", [](const PyCalibrant& c) { return float_list(c.calibrant.d_spacings); })
        .def("__repr__", &calibrant_repr);

    auto points = sig::def_class<PyCalibrationPoints, &init_points>(
        m, "CalibrationPoints()", "Control points: pixel positions (d1 along rows, d2 along columns) on calibrant "
                                  "rings, each with an optional ring index.");
    sig::def_method<&points_add>(points, "add($self, d1, d2, ring=None)", "Append one point.");
    sig::def_method<&points_extend>(points, "extend($self, d1, d2, ring)",
                                    "Append points from three sequences of equal length (ring items may be None).");
    sig::def_method<&points_clear>(points, "clear($self)", "Remove every point.");
    points.def("__len__", [](PyCalibrationPoints& p) {
        SharedBorrow borrow(p.borrow);
        return p.points.size();
    });

    nb::class_<PyCalibrationResult>(m, "CalibrationResult",
                                    "Result of `refine`: the refined geometry as a PONI dict, per-point ring "
                                    "assignments and inlier flags, iterations, chi2 and rms (radians of 2θ).")
        .def_prop_ro("n_iter", [](const PyCalibrationResult& r) { return r.result.n_iter; })
        .def_prop_ro("chi2", [](const PyCalibrationResult& r) { return r.result.chi2; })
        .def_prop_ro("rms_rad", [](const PyCalibrationResult& r) { return r.result.rms_rad; })
        .def_prop_ro("assignments", &result_assignments)
        .def_prop_ro("inliers", &result_inliers)
        .def_prop_ro("poni", &result_poni)
        .def("__repr__", &result_repr);
}

}  // namespace karvelum::python
