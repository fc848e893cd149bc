// Calibration bindings: refine and the classes Calibrant, CalibrationPoints
// and CalibrationResult.
#pragma once

#include <nanobind/nanobind.h>

#include "calibration/calibrant.hpp"
#include "calibration/points.hpp"
#include "calibration/refinement.hpp"
#include "python/borrow.hpp"

namespace karvelum::python {

namespace nb = nanobind;

// Immutable once made, so readers never conflict and it needs no borrow flag.
struct PyCalibrant {
    calibration::Calibrant calibrant;
};

struct PyCalibrationPoints {
    calibration::CalibrationPoints points;
    BorrowFlag borrow;
};

struct PyCalibrationResult {
    calibration::CalibrationResult result;
};

// The module function refine (added third among the functions).
void bind_refine(nb::module_& m);

// Calibrant, CalibrationPoints and CalibrationResult, in this order.
void bind_calibration_classes(nb::module_& m);

}  // namespace karvelum::python
