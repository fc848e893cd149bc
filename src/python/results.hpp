// Result classes: IntegrationResult and BatchResult.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>

namespace karvelum::integration {
struct Integration1dOutput;
struct Integration2dOutput;
}

namespace karvelum::python {

namespace nb = nanobind;

struct PyIntegrationResult {
    std::optional<std::uint64_t> n_radial;
    std::optional<std::uint64_t> n_azimuthal;
    std::vector<double> intensity;
    std::optional<std::vector<double>> radial;
    std::optional<std::vector<double>> azimuthal;
    std::optional<std::vector<double>> errors;
    std::optional<std::vector<double>> azimuthal_std;
};

struct PyBatchResult {
    std::optional<PyIntegrationResult> result;
    std::string filename;
    std::optional<std::string> error;
};

PyIntegrationResult result_from_1d(integration::Integration1dOutput&& out);
// A 2D result carries the two counts and no bin positions.
PyIntegrationResult result_from_2d(integration::Integration2dOutput&& out, std::uint64_t n_radial,
                                   std::uint64_t n_azimuthal);

nb::object new_integration_result(PyIntegrationResult&& payload);
nb::object new_batch_result(PyBatchResult&& payload);

// A new Python list of floats.
nb::object float_list(const std::vector<double>& values);

void bind_results(nb::module_& m);

}  // namespace karvelum::python
