// Bindings of automatic calibration: the module function auto_calibrate and
// the class AutoCalibrateResult.
#pragma once

#include <nanobind/nanobind.h>

#include "calibration/auto.hpp"

namespace karvelum::python {

namespace nb = nanobind;

// Immutable once made, so readers never conflict and it needs no borrow flag.
struct PyAutoCalibrateResult {
    calibration::AutoCalibrateResult result;
};

// auto_calibrate (added eighth among the functions).
void bind_auto_calibrate(nb::module_& m);

// AutoCalibrateResult (added last among the classes).
void bind_auto_calibrate_result(nb::module_& m);

}  // namespace karvelum::python
