// Bindings of ring finding: find_peaks_image, find_peaks_massif,
// estimate_ring_center, ransac_ellipses and identify_rings, and the classes
// EllipseFit, RansacEllipseResult and RingIdResult.
#pragma once

#include <vector>

#include <nanobind/nanobind.h>

#include "calibration/ellipse.hpp"
#include "calibration/peak.hpp"
#include "calibration/ring_identity.hpp"

namespace karvelum::python {

namespace nb = nanobind;

// Result records are immutable once made, so readers never conflict and
// they need no borrow flag.
struct PyEllipseFit {
    calibration::EllipseFit fit;
};

struct PyRansacEllipseResult {
    calibration::RansacEllipseResult result;
};

struct PyRingIdResult {
    calibration::RingIdResult result;
};

// A sequence (not a str) of (d1, d2) tuples of numbers; errors get the note
// naming the argument.
std::vector<calibration::Peak> arg_peaks(nb::handle value, const char* name);

// find_peaks_massif, ransac_ellipses, identify_rings and find_peaks_image,
// in this order.
void bind_ring_functions(nb::module_& m);

// estimate_ring_center, added apart: the module's order puts it last.
void bind_estimate_ring_center(nb::module_& m);

// EllipseFit, RansacEllipseResult and RingIdResult, in this order.
void bind_ring_classes(nb::module_& m);

}  // namespace karvelum::python
