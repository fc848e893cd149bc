// Calibration bindings: refine and the classes Calibrant, CalibrationPoints
// and CalibrationResult.
#pragma once

#include <array>

#include <nanobind/nanobind.h>

#include "calibration/calibrant.hpp"
#include "calibration/points.hpp"
#include "calibration/refinement.hpp"
#include "poni.hpp"
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

// A new dict of the nine geometry numbers, in PONI key order.
nb::object poni_dict(const PoniGeometry& geometry);

// The free flags of a fix list: `fix` is None (the wavelength fixed, all else
// free) or a list of parameter names, each clearing its flag.
std::array<bool, calibration::kParameterCount> parse_fix_list(nb::handle fix);

// The module function refine (added third among the functions).
void bind_refine(nb::module_& m);

// Calibrant, CalibrationPoints and CalibrationResult, in this order.
void bind_calibration_classes(nb::module_& m);

}  // namespace karvelum::python
