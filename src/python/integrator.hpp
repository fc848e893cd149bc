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

// Setters need the only reference to the core: no batch, stream or
// MultiIntegrator may hold it. Raises ValueError otherwise.
void require_unshared(const PyIntegrator& self);

void bind_integrator(nb::module_& m);

}  // namespace karvelum::python
