#include "lut/integrate.hpp"

#include <cmath>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "errors.hpp"
#include "math/numeric.hpp"
#include "pool.hpp"

namespace karvelum::lut {

namespace {

// Below this many entries a pass costs less than waking the pool.
constexpr std::uint64_t kParallelEntries = 1 << 15;

template <class Kernel>
void for_each_bin(const CsrLut& table, Kernel&& kernel) {
    const std::uint64_t n_bins = table.bins();
    if (table.indices.size() < kParallelEntries) {
        for (std::uint64_t b = 0; b < n_bins; ++b) kernel(b);
        return;
    }
    pool::run([&] {
        tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, n_bins, 1),
                          [&](const tbb::blocked_range<std::uint64_t>& r) {
                              for (std::uint64_t b = r.begin(); b != r.end(); ++b) kernel(b);
                          });
    });
}

void check_inputs(const CsrLut& table, const PixelInputs& in, bool need_variance) {
    const std::uint64_t n = table.pixels();
    need_variance = need_variance && !in.poisson_variance;
    if (in.signal.size() != n || in.normalisation.size() != n || (need_variance && in.variance.size() != n) ||
        (!in.mask.empty() && in.mask.size() != n)) {
        throw Panic("per-pixel arrays do not match the table's image shape");
    }
}

struct Sums {
    double s = 0.0, n = 0.0, v = 0.0, w = 0.0;
};

enum class Var { None, Array, Poisson };

// Walks one row in order; the weight, mask and variance choices are made
// once per bin, not per entry.
template <bool Weighted, bool Masked, Var Variance>
Sums row_sums(const CsrLut& t, const PixelInputs& in, std::uint64_t b) {
    Sums acc;
    const std::uint64_t o1 = t.offsets[b + 1];
    const std::uint32_t* idx = t.indices.data();
    const double* wts = t.weights.data();
    const double* sig = in.signal.data();
    const double* nrm = in.normalisation.data();
    const double* var = in.variance.data();
    const std::uint8_t* msk = in.mask.data();
    for (std::uint64_t k = t.offsets[b]; k < o1; ++k) {
        const std::uint32_t p = idx[k];
        if constexpr (Masked) {
            if (msk[p] != 0) continue;
        }
        const double x = sig[p];
        double v = 0.0;
        if constexpr (Variance == Var::Array) v = var[p];
        if constexpr (Variance == Var::Poisson) v = x > 0.0 ? x : 0.0;
        if constexpr (Weighted) {
            const double w = wts[k];
            acc.s += w * x;
            acc.n += w * nrm[p];
            if constexpr (Variance != Var::None) acc.v += w * w * v;
            acc.w += w;
        } else {
            acc.s += x;
            acc.n += nrm[p];
            if constexpr (Variance != Var::None) acc.v += v;
            acc.w += 1.0;
        }
    }
    return acc;
}

template <Var V>
Sums bin_sums_as(const CsrLut& t, const PixelInputs& in, std::uint64_t b) {
    const bool weighted = !t.weights.empty(), masked = !in.mask.empty();
    if (weighted) return masked ? row_sums<true, true, V>(t, in, b) : row_sums<true, false, V>(t, in, b);
    return masked ? row_sums<false, true, V>(t, in, b) : row_sums<false, false, V>(t, in, b);
}

template <bool Variance>
Sums bin_sums(const CsrLut& t, const PixelInputs& in, std::uint64_t b) {
    if constexpr (!Variance) return bin_sums_as<Var::None>(t, in, b);
    if (in.poisson_variance) return bin_sums_as<Var::Poisson>(t, in, b);
    return bin_sums_as<Var::Array>(t, in, b);
}

double non_negative_sqrt(double v) { return v > 0.0 ? std::sqrt(v) : 0.0; }

struct ValidEntry {
    std::uint32_t pixel;
    double weight, signal, value, weighted_norm;
};

// The entry at position k when it may take part in the azimuthal statistics.
bool valid_entry(const CsrLut& t, const PixelInputs& in, std::uint64_t k, ValidEntry& e) {
    const std::uint32_t p = t.indices[k];
    if (!in.mask.empty() && in.mask[p] != 0) return false;
    const double n = in.normalisation[p];
    const double w = t.weights.empty() ? 1.0 : t.weights[k];
    const double s = in.signal[p];
    const double v = s / n;
    const double wn = n * w;
    if (!(std::isfinite(n) && n > 0.0 && std::isfinite(w) && w > 0.0 && std::isfinite(wn) && wn > 0.0 &&
          std::isfinite(v) && std::isfinite(s))) {
        return false;
    }
    e = ValidEntry{p, w, s, v, wn};
    return true;
}

}  // namespace

std::vector<double> bin_centres(const CsrLut& table) {
    std::vector<double> out(table.bins());
    for (std::uint64_t i = 0; i < out.size(); ++i) out[i] = math::bin_centre(table.start, table.step, i);
    return out;
}

std::vector<double> apply_lut_mean(const CsrLut& table, const PixelInputs& in) {
    check_inputs(table, in, false);
    std::vector<double> out(table.bins());
    for_each_bin(table, [&](std::uint64_t b) {
        Sums s = bin_sums<false>(table, in, b);
        out[b] = s.n == 0.0 ? 0.0 : s.s / s.n;
    });
    return out;
}

MeanVar apply_lut_mean_var(const CsrLut& table, const PixelInputs& in) {
    check_inputs(table, in, true);
    MeanVar out{std::vector<double>(table.bins()), std::vector<double>(table.bins())};
    for_each_bin(table, [&](std::uint64_t b) {
        Sums s = bin_sums<true>(table, in, b);
        if (s.n == 0.0) return;
        out.intensities[b] = s.s / s.n;
        out.sigmas[b] = non_negative_sqrt(s.v / (s.n * s.n));
    });
    return out;
}

RawSums apply_lut_raw_sums(const CsrLut& table, const PixelInputs& in, bool with_variance) {
    check_inputs(table, in, with_variance);
    const std::uint64_t n = table.bins();
    RawSums out{std::vector<double>(n), std::vector<double>(n), {}, std::vector<double>(n)};
    if (with_variance) out.variance.resize(n);
    const bool rescale = !table.raw_scale.empty();
    for_each_bin(table, [&](std::uint64_t b) {
        Sums s = with_variance ? bin_sums<true>(table, in, b) : bin_sums<false>(table, in, b);
        // Back to raw weights, so that the sums of several detectors add up.
        const double k = rescale ? table.raw_scale[b] : 1.0;
        out.signal[b] = s.s * k;
        out.normalisation[b] = s.n * k;
        if (with_variance) out.variance[b] = s.v * (k * k);
        out.weight[b] = s.w * k;
    });
    return out;
}

AzimuthalStats apply_lut_azimuthal_stats(const CsrLut& table, const PixelInputs& in) {
    const bool with_variance = !in.variance.empty();
    check_inputs(table, in, with_variance);
    const std::uint64_t n = table.bins();
    const double nan = std::nan("");
    AzimuthalStats out{std::vector<double>(n), std::vector<double>(n), std::nullopt};
    if (with_variance) out.errors.emplace(n);
    for_each_bin(table, [&](std::uint64_t b) {
        const std::uint64_t o0 = table.offsets[b], o1 = table.offsets[b + 1];
        ValidEntry e;
        std::uint64_t first = o0;
        while (first < o1 && !valid_entry(table, in, first, e)) ++first;
        if (first == o1) {
            out.stds[b] = nan;
            return;
        }
        const double shift = e.value;
        double ss = 0.0, sn = 0.0, sd = 0.0, sv = 0.0;
        for (std::uint64_t k = first; k < o1; ++k) {
            if (!valid_entry(table, in, k, e)) continue;
            ss += e.weight * e.signal;
            sn += e.weighted_norm;
            sd += e.weighted_norm * (e.value - shift);
            if (with_variance) sv += e.weight * e.weight * in.variance[e.pixel];
        }
        const double d = sd / sn;
        double sq = 0.0;
        for (std::uint64_t k = first; k < o1; ++k) {
            if (!valid_entry(table, in, k, e)) continue;
            const double dev = e.value - shift - d;
            sq += dev * (e.weighted_norm * dev);
        }
        out.means[b] = ss / sn;
        out.stds[b] = non_negative_sqrt(sq / sn);
        if (with_variance) (*out.errors)[b] = non_negative_sqrt(sv) / sn;
    });
    return out;
}

}  // namespace karvelum::lut
