// Kernels over a pixel-to-bin table: each group of bins reads the image once
// in pixel order, and the groups run in parallel. Sums inside a bin are added
// in ascending pixel order, so a result is bitwise the same for every thread
// count.
//
// Preconditions of every apply: the table was built for the image shape of
// the arrays, and signal, normalisation, variance and mask (when given) hold
// one value per pixel. An empty span means "not given".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "lut/table.hpp"
#include "sample_type.hpp"

namespace karvelum::lut {

struct PixelInputs {
    std::span<const double> signal;      // empty when `file` holds the samples
    std::span<const double> normalisation;
    std::span<const double> variance;    // error forms only
    std::span<const std::uint8_t> mask;  // non-zero = excluded
    // Error forms of the mean kernels: take the Poisson variance max(x, 0)
    // of every sample (NaN giving 0) instead of a variance array.
    bool poisson_variance = false;
    // The owners of the normalisation and mask arrays, when they are
    // immutable: the table then keeps the per-bin normalisation sums, which
    // do not depend on the image, from one call to the next.
    std::shared_ptr<const void> normalisation_owner = nullptr;
    std::shared_ptr<const void> mask_owner = nullptr;
    // The mean kernels may read the samples in a file's own form instead of
    // `signal` (see reads_file_samples).
    FileSamples file{};
};

// Whether the mean kernels read file samples of this type in place.
constexpr bool reads_file_samples(SampleType type) {
    return type == SampleType::F32 || type == SampleType::F64 || type == SampleType::U16 ||
           type == SampleType::U32 || type == SampleType::I32;
}

// start + step * (i + 0.5) for every bin of a 1D table.
std::vector<double> bin_centres(const CsrLut& table);

// sum(w * signal) / sum(w * normalisation) per bin; 0 for an empty bin or a
// zero normalisation sum.
std::vector<double> apply_lut_mean(const CsrLut& table, const PixelInputs& in);

struct MeanVar {
    std::vector<double> intensities;
    std::vector<double> sigmas;  // sqrt(max(sum(w^2 var) / N^2, 0))
};
MeanVar apply_lut_mean_var(const CsrLut& table, const PixelInputs& in);

// Raw sums use the table's raw weights (its raw scale), so that the sums of
// detectors with different tables can be added.
struct RawSums {
    std::vector<double> signal;         // sum w * signal
    std::vector<double> normalisation;  // sum w * normalisation
    std::vector<double> variance;       // sum w^2 * variance (error form only)
    std::vector<double> weight;         // sum w
};
RawSums apply_lut_raw_sums(const CsrLut& table, const PixelInputs& in, bool with_variance);

struct AzimuthalStats {
    std::vector<double> means;
    std::vector<double> stds;                   // NaN for a bin without a valid entry
    std::optional<std::vector<double>> errors;  // only when a variance was given
};
// Mean, error and weighted population spread of the normalised values
// signal / normalisation over each bin's valid entries (finite, positive
// normalisation and weight).
AzimuthalStats apply_lut_azimuthal_stats(const CsrLut& table, const PixelInputs& in);

}  // namespace karvelum::lut
