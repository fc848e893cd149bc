// A peak position on a detector image, in pixels.
#pragma once

namespace karvelum::calibration {

// d1 is the row (slow axis), d2 the column (fast axis); an integral value is
// the centre of that pixel.
struct Peak {
    double d1;
    double d2;
};

}  // namespace karvelum::calibration
