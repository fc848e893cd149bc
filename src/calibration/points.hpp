// Control points: detector positions in pixels on calibrant rings, each
// optionally labelled with its ring.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace karvelum::calibration {

// Coordinate i is the centre of pixel i; d1 runs along pixel1 (rows), d2
// along pixel2 (columns). The three vectors always have the same length.
struct CalibrationPoints {
    std::vector<double> d1;
    std::vector<double> d2;
    std::vector<std::optional<std::uint64_t>> ring;

    std::size_t size() const { return d1.size(); }
    void add(double p1, double p2, std::optional<std::uint64_t> ring_index);
    // Appends all points, or nothing when the lengths differ (ValueError).
    void extend(const std::vector<double>& p1, const std::vector<double>& p2,
                const std::vector<std::optional<std::uint64_t>>& rings);
    void clear();
};

}  // namespace karvelum::calibration
