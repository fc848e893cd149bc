// The batch methods of Integrator: batch1d and batch2d.
#pragma once

#include <nanobind/nanobind.h>

namespace karvelum::python {

namespace nb = nanobind;

// Adds batch1d and batch2d to the Integrator class.
void bind_batch_methods(nb::handle integrator_class);

}  // namespace karvelum::python
