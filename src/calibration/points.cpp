#include "calibration/points.hpp"

#include "errors.hpp"

namespace karvelum::calibration {

void CalibrationPoints::add(double p1, double p2, std::optional<std::uint64_t> ring_index) {
    // Room first, so that an allocation failure leaves the vectors aligned.
    d1.reserve(d1.size() + 1);
    d2.reserve(d2.size() + 1);
    ring.reserve(ring.size() + 1);
    d1.push_back(p1);
    d2.push_back(p2);
    ring.push_back(ring_index);
}

void CalibrationPoints::extend(const std::vector<double>& p1, const std::vector<double>& p2,
                               const std::vector<std::optional<std::uint64_t>>& rings) {
    if (p1.size() != p2.size() || p1.size() != rings.size()) {
        throw ValueError("d1, d2, and ring lists must have the same length");
    }
    d1.reserve(d1.size() + p1.size());
    d2.reserve(d2.size() + p2.size());
    ring.reserve(ring.size() + rings.size());
    d1.insert(d1.end(), p1.begin(), p1.end());
    d2.insert(d2.end(), p2.begin(), p2.end());
    ring.insert(ring.end(), rings.begin(), rings.end());
}

void CalibrationPoints::clear() {
    d1.clear();
    d2.clear();
    ring.clear();
}

}  // namespace karvelum::calibration
