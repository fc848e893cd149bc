// The Integrator class.
#pragma once

#include <memory>

#include <nanobind/nanobind.h>

#include "integration.hpp"
#include "python/borrow.hpp"

namespace karvelum::python {

namespace nb = nanobind;

inline constexpr const char* kIntegratorTypeName = "karvelum::python::integrator::PyIntegrator";

struct PyIntegrator {
    explicit PyIntegrator(std::shared_ptr<integration::IntegratorCore> core_)
        : core(std::move(core_)), thread(kIntegratorTypeName) {}
    ~PyIntegrator();
    PyIntegrator(const PyIntegrator&) = delete;
    PyIntegrator& operator=(const PyIntegrator&) = delete;

    std::shared_ptr<integration::IntegratorCore> core;
    BorrowFlag borrow;
    ThreadBound thread;
};

void bind_integrator(nb::module_& m);

}  // namespace karvelum::python
