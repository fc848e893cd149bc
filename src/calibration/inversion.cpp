#include "calibration/inversion.hpp"

#include <cmath>
#include <utility>

namespace karvelum::calibration {

bool solve_linear_system(std::span<double> a, std::span<double> b, std::size_t n) {
    auto at = [&](std::size_t row, std::size_t col) -> double& { return a[row * n + col]; };
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t pivot = k;
        double largest = std::fabs(at(k, k));
        for (std::size_t row = k + 1; row < n; ++row) {
            double magnitude = std::fabs(at(row, k));
            if (magnitude > largest) {
                largest = magnitude;
                pivot = row;
            }
        }
        // A NaN pivot is not "below" the floor: it goes on and yields a NaN
        // step, which the fit rejects.
        if (largest < 1e-300) return false;
        if (pivot != k) {
            for (std::size_t col = 0; col < n; ++col) std::swap(at(k, col), at(pivot, col));
            std::swap(b[k], b[pivot]);
        }
        for (std::size_t row = k + 1; row < n; ++row) {
            double factor = at(row, k) / at(k, k);
            for (std::size_t col = k; col < n; ++col) at(row, col) -= factor * at(k, col);
            b[row] -= factor * b[k];
        }
    }
    for (std::size_t k = n; k-- > 0;) {
        double sum = b[k];
        for (std::size_t col = k + 1; col < n; ++col) sum -= at(k, col) * b[col];
        b[k] = sum / at(k, k);
    }
    return true;
}

}  // namespace karvelum::calibration
