// The MultiIntegrator class and the conversion of Integrator arguments.
#pragma once

#include <memory>
#include <vector>

#include <nanobind/nanobind.h>

#include "integration.hpp"
#include "python/borrow.hpp"

namespace karvelum::python {

namespace nb = nanobind;

inline constexpr const char* kMultiIntegratorTypeName = "karvelum::python::multi_integrator::PyMultiIntegrator";

struct PyMultiIntegrator {
    explicit PyMultiIntegrator(std::vector<integration::CoreHold> members_)
        : members(std::move(members_)), thread(kMultiIntegratorTypeName) {}
    ~PyMultiIntegrator();
    PyMultiIntegrator(const PyMultiIntegrator&) = delete;
    PyMultiIntegrator& operator=(const PyMultiIntegrator&) = delete;

    std::vector<integration::CoreHold> members;  // keeps the member integrators in use
    BorrowFlag borrow;
    ThreadBound thread;
};

void bind_multi_integrator(nb::module_& m);

}  // namespace karvelum::python
