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

// A shared reference to the core of an Integrator argument, holding a shared
// borrow of the Python object while it lives.
class IntegratorRef {
public:
    IntegratorRef(nb::object obj, std::shared_ptr<IntegratorCore> core);
    IntegratorRef(IntegratorRef&&) noexcept;
    IntegratorRef& operator=(IntegratorRef&&) = delete;
    ~IntegratorRef();
    const std::shared_ptr<IntegratorCore>& core() const { return core_; }

private:
    nb::object object_;
    std::shared_ptr<IntegratorCore> core_;
};

// TypeError "'{type}' object is not an instance of 'Integrator'" for other
// objects; the panic exception for an Integrator of another thread;
// RuntimeError "Already mutably borrowed" while it is changed.
IntegratorRef extract_integrator(nb::handle value);

// The items of a sequence argument: TypeError "Can't extract `str` to `Vec`"
// for a str, "'{type}' object is not an instance of 'Sequence'" for a
// non-sequence. Errors raised while iterating pass through.
std::vector<nb::object> sequence_items(nb::handle value);

struct PyMultiIntegrator {
    explicit PyMultiIntegrator(std::vector<std::shared_ptr<IntegratorCore>> members_)
        : members(std::move(members_)), thread(kMultiIntegratorTypeName) {}
    ~PyMultiIntegrator();
    PyMultiIntegrator(const PyMultiIntegrator&) = delete;
    PyMultiIntegrator& operator=(const PyMultiIntegrator&) = delete;

    std::vector<std::shared_ptr<IntegratorCore>> members;
    BorrowFlag borrow;
    ThreadBound thread;
};

void bind_multi_integrator(nb::module_& m);

}  // namespace karvelum::python
