// Peak picking on calibrant images: the local background is a separable
// Gaussian blur; peaks are local maxima that stand above it, refined to
// sub-pixel positions by a short climb and a parabolic fit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "calibration/peak.hpp"

namespace karvelum::calibration {

// Separable Gaussian filter of a dim1 x dim2 row-major image with mirror
// edges (the edge pixel is not repeated). Each output is summed over the
// kernel taps in ascending order, so the result does not depend on how the
// rows and columns are shared out between threads.
std::vector<double> gaussian_blur(std::span<const double> image, std::size_t dim1, std::size_t dim2, double sigma);

// Climbs from (r0, c0) (clamped into the image) to a local maximum in at
// most `max_steps` moves, then adds a parabolic offset of at most half a
// pixel per axis unless the maximum lies on the border.
Peak refine_peak_subpixel(std::span<const double> image, std::size_t dim1, std::size_t dim2, std::uint64_t r0,
                          std::uint64_t c0, std::uint64_t max_steps);

// sigma used when none is given: the larger side / 50, at least 5 pixels.
double default_valley_size(std::size_t dim1, std::size_t dim2);

// Throws ValueError for a blur that cannot be meant (non-finite, or wider
// than the image's larger side); the default needs no check.
void check_valley_size(double valley_size, std::size_t dim1, std::size_t dim2);

// Every interior local maximum whose residual above the background exceeds
// mean + threshold_factor * std of the residual (over its finite values), in
// row-major order, at most `max_peaks` of them.
std::vector<Peak> find_peaks_image(std::span<const double> image, std::size_t dim1, std::size_t dim2,
                                   std::optional<double> valley_size, double threshold_factor,
                                   std::uint64_t max_peaks);

// The seed's peak and the distinct maxima of the 4-connected region of
// pixels above the background that holds the seed, at most `max_peaks`.
std::vector<Peak> find_peaks_massif(std::span<const double> image, std::size_t dim1, std::size_t dim2,
                                    std::uint64_t seed_row, std::uint64_t seed_col,
                                    std::optional<double> valley_size, std::uint64_t max_peaks, double dedup_dist);

}  // namespace karvelum::calibration
