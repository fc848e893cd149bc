#include "python/results.hpp"

#include "integration/integrate1d.hpp"
#include "integration/integrate2d.hpp"
#include "python/signature.hpp"

namespace karvelum::python {

nb::object float_list(const std::vector<double>& values) {
    nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) throw nb::python_error();
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyIntegrationResult result_from_1d(integration::Integration1dOutput&& out) {
    PyIntegrationResult r;
    r.intensity = std::move(out.intensities);
    r.radial = std::move(out.centres);
    r.errors = std::move(out.sigmas);
    r.azimuthal_std = std::move(out.azimuthal_std);
    return r;
}

PyIntegrationResult result_from_2d(integration::Integration2dOutput&& out, std::uint64_t n_radial,
                                   std::uint64_t n_azimuthal) {
    PyIntegrationResult r;
    r.n_radial = n_radial;
    r.n_azimuthal = n_azimuthal;
    r.intensity = std::move(out.intensities);
    r.errors = std::move(out.sigmas);
    return r;
}

nb::object new_integration_result(PyIntegrationResult&& payload) {
    return nb::cast(std::move(payload), nb::rv_policy::move);
}

nb::object new_batch_result(PyBatchResult&& payload) { return nb::cast(std::move(payload), nb::rv_policy::move); }

namespace {

nb::object optional_list(const std::optional<std::vector<double>>& values) {
    return values ? float_list(*values) : nb::none();
}

nb::object optional_count(const std::optional<std::uint64_t>& n) {
    return n ? nb::steal(PyLong_FromUnsignedLongLong(*n)) : nb::none();
}

nb::str integration_repr(const PyIntegrationResult& r) {
    std::string text = std::string("IntegrationResult(") + (r.n_azimuthal ? "2D" : "1D") + ", " +
                       std::to_string(r.intensity.size()) + " points" + (r.errors ? ", with errors" : "") + ")";
    return nb::str(text.c_str(), text.size());
}

nb::str batch_repr(const PyBatchResult& r) {
    std::string text = r.error ? "BatchResult(" + r.filename + ", error=" + *r.error + ")"
                               : "BatchResult(" + r.filename + ", ok)";
    return nb::str(text.c_str(), text.size());
}

bool is_ok(const PyBatchResult& r) { return r.result.has_value(); }

bool is_err(const PyBatchResult& r) { return r.error.has_value(); }

}  // namespace

void bind_results(nb::module_& m) {
    nb::class_<PyIntegrationResult>(m, "IntegrationResult",
                                    "Result of an integration operation.\n\n"
                                    "Attributes: radial (bin centres, 1D), intensity (flat n_radial * n_azimuthal "
                                    "values for 2D), errors, azimuthal_std (1D), n_radial and n_azimuthal (2D); "
                                    "absent parts are None.")
        .def_prop_ro("intensity", [](const PyIntegrationResult& r) { return float_list(r.intensity); })
        .def_prop_ro("radial", [](const PyIntegrationResult& r) { return optional_list(r.radial); })
        .def_prop_ro("azimuthal", [](const PyIntegrationResult& r) { return optional_list(r.azimuthal); })
        .def_prop_ro("errors", [](const PyIntegrationResult& r) { return optional_list(r.errors); })
        .def_prop_ro("azimuthal_std", [](const PyIntegrationResult& r) { return optional_list(r.azimuthal_std); })
        .def_prop_ro("n_radial", [](const PyIntegrationResult& r) { return optional_count(r.n_radial); })
        .def_prop_ro("n_azimuthal", [](const PyIntegrationResult& r) { return optional_count(r.n_azimuthal); })
        .def("__repr__", &integration_repr);

    auto batch = nb::class_<PyBatchResult>(m, "BatchResult",
                              "Result of a single file in a batch integration.\n\n"
                              "Attributes: filename (the path, or array[i] / iter[i]), result (an "
                              "IntegrationResult, or None when the item failed), error (the message, or None).")
        .def_prop_ro("filename", [](const PyBatchResult& r) { return nb::str(r.filename.c_str(), r.filename.size()); })
        .def_prop_ro("result",
                     [](const PyBatchResult& r) {
                         return r.result ? new_integration_result(PyIntegrationResult(*r.result)) : nb::none();
                     })
        .def_prop_ro("error",
                     [](const PyBatchResult& r) -> nb::object {
                         if (!r.error) return nb::none();
                         return nb::str(r.error->c_str(), r.error->size());
                     })
        .def("__repr__", &batch_repr);
    sig::def_method<&is_ok>(batch, "is_ok($self)", "Check if the integration was successful.");
    sig::def_method<&is_err>(batch, "is_err($self)", "Check if the integration failed.");
}

}  // namespace karvelum::python
