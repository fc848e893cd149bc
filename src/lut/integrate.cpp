#include "lut/integrate.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "errors.hpp"
#include "math/numeric.hpp"
#include "pool.hpp"

namespace karvelum::lut {

namespace {

// Below this many entries a pass costs less than waking the pool.
constexpr std::uint64_t kParallelEntries = 1 << 15;

// Runs kernel(group) for every group of the table, in parallel when large.
template <class Kernel>
void for_each_group(const CsrLut& table, Kernel&& kernel) {
    const std::size_t n = table.groups.size();
    if (table.entries() < kParallelEntries || n < 2) {
        for (const BinGroup& g : table.groups) kernel(g);
        return;
    }
    pool::run([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1), [&](const tbb::blocked_range<std::size_t>& r) {
            for (std::size_t i = r.begin(); i != r.end(); ++i) kernel(table.groups[i]);
        });
    });
}

// Calls f(k, pixel, bin - group's first bin, weight) for the group's entries
// in order: ascending pixels, so each bin sees its entries in ascending
// pixel order.
template <class Local, class F>
void walk_group(const CsrLut& t, const BinGroup& g, const Local* local, F&& f) {
    const std::uint8_t* steps = t.steps.data();
    const double* wts = t.weights.data();
    std::uint64_t k = g.first_entry;
    for (std::uint64_t r = g.first_run; r < g.end_run; ++r) {
        const PixelRun run = t.runs[r];
        if (t.weighted) {
            std::uint32_t p = run.pixel - 1;
            for (std::uint32_t j = 0; j < run.count; ++j, ++k) f(k, p += steps[k], local[k], wts[k]);
        } else {
            for (std::uint32_t j = 0; j < run.count; ++j, ++k) f(k, run.pixel + j, local[k], 1.0);
        }
    }
}

template <class F>
void walk_group(const CsrLut& t, const BinGroup& g, F&& f) {
    if (t.wide_bins()) {
        walk_group(t, g, t.local32.data(), f);
    } else {
        walk_group(t, g, t.local16.data(), f);
    }
}

void check_inputs(const CsrLut& table, const PixelInputs& in, bool need_variance) {
    const std::uint64_t n = table.pixels();
    need_variance = need_variance && !in.poisson_variance;
    if ((in.file.data == nullptr ? in.signal.size() != n : !in.signal.empty()) || in.normalisation.size() != n || (need_variance && in.variance.size() != n) ||
        (!in.mask.empty() && in.mask.size() != n)) {
        throw Panic("per-pixel arrays do not match the table's image shape");
    }
}

// Per-bin sums, each starting from 0.0: sum w * signal, sum w * normalisation,
// sum w^2 * variance and sum w.
struct BinSums {
    BinSums(std::uint64_t bins, bool variance, bool weight)
        : s(bins, 0.0), n(bins, 0.0), v(variance ? bins : 0, 0.0), w(weight ? bins : 0, 0.0) {}
    std::vector<double> s, n, v, w;
};

enum class Var { None, Array, Poisson };

// Runs ahead whose pixels are fetched before they are read: a
// group's runs are pieces of rows far apart, which the processor's own
// prefetching does not foresee.
constexpr std::uint64_t kRunsAhead = 4;

// The cache lines of n values from p on (addresses as integers: a weighted
// run's entry count may reach past its pixels; a prefetch never faults).
template <class T>
void prefetch_span(const T* p, std::uint64_t n) {
    const std::uintptr_t b = reinterpret_cast<std::uintptr_t>(p), e = b + n * sizeof(T);
    for (std::uintptr_t c = b; c < e; c += 64) __builtin_prefetch(reinterpret_cast<const void*>(c));
    __builtin_prefetch(reinterpret_cast<const void*>(e - 1));
}

// Finds the samples of ascending pixels: in an image array, or with
// FileRows in a file's samples, whose rows run the other way (the row of
// the pixel is followed as the pixels ascend, without a division).
template <class T, bool FileRows>
struct SampleRows {
    const T* base;
    std::uint64_t dim1, dim2;
    std::uint64_t row_start = 0;  // the first pixel of the row of the last pixel
    std::uint64_t shift = 0;      // added to a pixel of that row gives its sample (modulo 2^64)

    SampleRows(const T* b, std::uint64_t d1, std::uint64_t d2) : base(b), dim1(d1), dim2(d2) {
        shift = (d1 - 1) * d2;  // image row 0 is the file's last
    }

    const T* at(std::uint32_t p) {
        if constexpr (!FileRows) {
            return base + p;
        } else {
            while (p - row_start >= dim2) {
                row_start += dim2;
                shift -= 2 * dim2;  // one row on in the image, one back in the file
            }
            return base + (p + shift);
        }
    }
};

// Calls f(pixel, local bin, weight, sample) for the group's entries in
// order, and fetch(pixel, sample, count) for the pixels of entries ahead.
template <bool Weighted, class Local, class Rows, class F, class Fetch>
void walk_fetching(const CsrLut& t, const BinGroup& g, const Local* local, Rows rows, F&& f, Fetch&& fetch) {
    Rows ahead_rows = rows;
    // A run's entries cover at most as many pixels: fetched by its entry count.
    for (std::uint64_t r = g.first_run; r < std::min(g.end_run, g.first_run + kRunsAhead); ++r) {
        fetch(t.runs[r].pixel, ahead_rows.at(t.runs[r].pixel), t.runs[r].count);
    }
    const std::uint8_t* steps = t.steps.data();
    const double* wts = t.weights.data();
    std::uint64_t k = g.first_entry;
    for (std::uint64_t r = g.first_run; r < g.end_run; ++r) {
        if (r + kRunsAhead < g.end_run) {
            const PixelRun next = t.runs[r + kRunsAhead];
            fetch(next.pixel, ahead_rows.at(next.pixel), next.count);
        }
        const PixelRun run = t.runs[r];
        const auto* x = rows.at(run.pixel);  // a run stays in one row
        if constexpr (Weighted) {
            // Steps of 0 or 1 from one before the run's first pixel.
            std::uint32_t j = ~std::uint32_t(0);
            for (std::uint64_t end = k + run.count; k < end; ++k) {
                j += steps[k];
                f(run.pixel + j, local[k], wts[k], x[j]);
            }
        } else {
            const Local* lb = local + k;
            for (std::uint32_t j = 0; j < run.count; ++j) f(run.pixel + j, lb[j], 1.0, x[j]);
            k += run.count;
        }
    }
}

// Adds one group's entries to its bins' sums, the samples of type T read
// from `signal` (FileRows: a file's samples). Each bin adds its terms as a
// table row would, one by one in ascending pixel order; a weight of 1.0
// leaves every product exact, so unweighted tables share the formulas. With
// Norm false the normalisation sums are known already and not added.
template <class T, bool FileRows, bool Masked, Var Variance, bool Weight, bool Norm>
void group_sums(const CsrLut& t, const BinGroup& g, const T* signal, const PixelInputs& in, BinSums& out) {
    double* s = out.s.data() + g.first_bin;
    double* n = out.n.data() + g.first_bin;
    double* v = Variance == Var::None ? nullptr : out.v.data() + g.first_bin;
    double* ws = Weight ? out.w.data() + g.first_bin : nullptr;
    const double* nrm = in.normalisation.data();
    const double* var = in.variance.data();
    const std::uint8_t* msk = in.mask.data();
    auto add = [&](std::uint32_t p, auto b, double w, T sample) {
        if constexpr (Masked) {
            if (msk[p] != 0) return;
        }
        const double x = static_cast<double>(sample);
        s[b] += w * x;
        if constexpr (Norm) n[b] += w * nrm[p];
        if constexpr (Variance == Var::Array) v[b] += w * w * var[p];
        if constexpr (Variance == Var::Poisson) v[b] += w * w * (x > 0.0 ? x : 0.0);
        if constexpr (Weight) ws[b] += w;
    };
    auto fetch = [&](std::uint32_t p, const T* sample, std::uint32_t count) {
        prefetch_span(sample, count);
        if constexpr (Norm) prefetch_span(nrm + p, count);
        if constexpr (Masked) prefetch_span(msk + p, count);
        if constexpr (Variance == Var::Array) prefetch_span(var + p, count);
    };
    const SampleRows<T, FileRows> rows(signal, t.dim1, t.dim2);
    if (t.weighted) {
        if (t.wide_bins()) return walk_fetching<true>(t, g, t.local32.data(), rows, add, fetch);
        return walk_fetching<true>(t, g, t.local16.data(), rows, add, fetch);
    }
    if (t.wide_bins()) return walk_fetching<false>(t, g, t.local32.data(), rows, add, fetch);
    walk_fetching<false>(t, g, t.local16.data(), rows, add, fetch);
}

// The normalisation sums of every bin, sum w * normalisation over the
// unmasked entries, added as group_sums adds them.
std::vector<double> normalisation_sums(const CsrLut& t, const PixelInputs& in) {
    BinSums out(t.bins(), false, false);
    const bool masked = !in.mask.empty();
    for_each_group(t, [&](const BinGroup& g) {
        double* n = out.n.data() + g.first_bin;
        walk_group(t, g, [&](std::uint64_t, std::uint32_t p, auto b, double w) {
            if (!masked || in.mask[p] == 0) n[b] += w * in.normalisation[p];
        });
    });
    return std::move(out.n);
}

// The normalisation sums for these inputs: kept with the table for the
// normalisation and mask arrays last used with it (they change only with
// the geometry, the polarization or the mask), computed again for others.
// Without identities for the arrays there is nothing to keep: nullptr.
std::shared_ptr<const std::vector<double>> kept_normalisation_sums(const CsrLut& t, const PixelInputs& in) {
    if (!in.normalisation_owner || (!in.mask.empty() && !in.mask_owner) || !t.kept) return nullptr;
    NormalisationKeep& keep = *t.kept;
    {
        std::lock_guard<std::mutex> lock(keep.mutex);
        if (keep.sums && keep.normalisation.lock() == in.normalisation_owner &&
            (in.mask.empty() ? !keep.masked : keep.masked && keep.mask.lock() == in.mask_owner)) {
            return keep.sums;
        }
    }
    // Taken outside the lock: a parallel loop must not run under one.
    auto sums = std::make_shared<const std::vector<double>>(normalisation_sums(t, in));
    std::lock_guard<std::mutex> lock(keep.mutex);
    keep.normalisation = in.normalisation_owner;
    keep.mask = in.mask.empty() ? std::weak_ptr<const void>() : std::weak_ptr<const void>(in.mask_owner);
    keep.masked = !in.mask.empty();
    keep.sums = sums;
    return sums;
}

// The sums of every bin; finish(group) runs once a group's sums are complete.
template <Var V, bool Weight, class Finish>
BinSums sums_as(const CsrLut& t, const PixelInputs& in, Finish&& finish) {
    BinSums out(t.bins(), V != Var::None, Weight);
    const bool masked = !in.mask.empty();
    const std::shared_ptr<const std::vector<double>> kept = Weight ? nullptr : kept_normalisation_sums(t, in);
    if (kept) std::copy(kept->begin(), kept->end(), out.n.begin());
    auto run = [&](auto zero, auto file_rows) {
        using T = decltype(zero);
        constexpr bool FileRows = decltype(file_rows)::value;
        const T* signal = FileRows ? static_cast<const T*>(in.file.data) : reinterpret_cast<const T*>(in.signal.data());
        for_each_group(t, [&](const BinGroup& g) {
            if (kept) {
                if (masked) {
                    group_sums<T, FileRows, true, V, Weight, false>(t, g, signal, in, out);
                } else {
                    group_sums<T, FileRows, false, V, Weight, false>(t, g, signal, in, out);
                }
            } else {
                if (masked) {
                    group_sums<T, FileRows, true, V, Weight, true>(t, g, signal, in, out);
                } else {
                    group_sums<T, FileRows, false, V, Weight, true>(t, g, signal, in, out);
                }
            }
            finish(g, out);
        });
    };
    if constexpr (V == Var::Array || Weight) {
        if (in.file.data != nullptr) throw Panic("file samples reach a kernel that reads an image array");
        run(double{}, std::false_type{});
    } else {
        if (in.file.data == nullptr) return run(double{}, std::false_type{}), out;
        switch (in.file.type) {
            case SampleType::F32: run(float{}, std::true_type{}); break;
            case SampleType::F64: run(double{}, std::true_type{}); break;
            case SampleType::U16: run(std::uint16_t{}, std::true_type{}); break;
            case SampleType::U32: run(std::uint32_t{}, std::true_type{}); break;
            case SampleType::I32: run(std::int32_t{}, std::true_type{}); break;
            default: throw Panic("the kernels do not read file samples of this type");
        }
    }
    return out;
}

template <bool Weight, class Finish>
BinSums bin_sums(const CsrLut& t, const PixelInputs& in, bool variance, Finish&& finish) {
    if (!variance) return sums_as<Var::None, Weight>(t, in, finish);
    if (in.poisson_variance) return sums_as<Var::Poisson, Weight>(t, in, finish);
    return sums_as<Var::Array, Weight>(t, in, finish);
}

double non_negative_sqrt(double v) { return v > 0.0 ? std::sqrt(v) : 0.0; }

struct ValidEntry {
    double weight, signal, value, weighted_norm;
};

// The entry (pixel p, weight w) when it may take part in the azimuthal statistics.
bool valid_entry(const PixelInputs& in, std::uint32_t p, double w, ValidEntry& e) {
    if (!in.mask.empty() && in.mask[p] != 0) return false;
    const double n = in.normalisation[p];
    const double s = in.signal[p];
    const double v = s / n;
    const double wn = n * w;
    if (!(std::isfinite(n) && n > 0.0 && std::isfinite(w) && w > 0.0 && std::isfinite(wn) && wn > 0.0 &&
          std::isfinite(v) && std::isfinite(s))) {
        return false;
    }
    e = ValidEntry{w, s, v, wn};
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
    bin_sums<false>(table, in, false, [&](const BinGroup& g, const BinSums& s) {
        for (std::uint64_t b = g.first_bin; b < g.end_bin; ++b) out[b] = s.n[b] == 0.0 ? 0.0 : s.s[b] / s.n[b];
    });
    return out;
}

MeanVar apply_lut_mean_var(const CsrLut& table, const PixelInputs& in) {
    check_inputs(table, in, true);
    MeanVar out{std::vector<double>(table.bins()), std::vector<double>(table.bins())};
    bin_sums<false>(table, in, true, [&](const BinGroup& g, const BinSums& s) {
        for (std::uint64_t b = g.first_bin; b < g.end_bin; ++b) {
            if (s.n[b] == 0.0) continue;
            out.intensities[b] = s.s[b] / s.n[b];
            out.sigmas[b] = non_negative_sqrt(s.v[b] / (s.n[b] * s.n[b]));
        }
    });
    return out;
}

RawSums apply_lut_raw_sums(const CsrLut& table, const PixelInputs& in, bool with_variance) {
    check_inputs(table, in, with_variance);
    BinSums s = bin_sums<true>(table, in, with_variance, [](const BinGroup&, const BinSums&) {});
    // Back to raw weights, so that the sums of several detectors add up.
    if (!table.raw_scale.empty()) {
        for (std::uint64_t b = 0; b < table.bins(); ++b) {
            const double k = table.raw_scale[b];
            s.s[b] = s.s[b] * k;
            s.n[b] = s.n[b] * k;
            if (with_variance) s.v[b] = s.v[b] * (k * k);
            s.w[b] = s.w[b] * k;
        }
    }
    return RawSums{std::move(s.s), std::move(s.n), std::move(s.v), std::move(s.w)};
}

AzimuthalStats apply_lut_azimuthal_stats(const CsrLut& table, const PixelInputs& in) {
    if (in.file.data != nullptr) throw Panic("file samples reach a kernel that reads an image array");
    const bool with_variance = !in.variance.empty();
    check_inputs(table, in, with_variance);
    const std::uint64_t n = table.bins();
    const double nan = std::nan("");
    AzimuthalStats out{std::vector<double>(n), std::vector<double>(n), std::nullopt};
    if (with_variance) out.errors.emplace(n);
    // Per bin: the value of its first valid entry (the shift), whether it has
    // one, and its sums; the deviations need the shifted mean, so a second
    // pass.
    std::vector<double> shift(n), ss(n, 0.0), sn(n, 0.0), sd(n, 0.0), sv(n, 0.0), sq(n, 0.0);
    std::vector<std::uint8_t> seen(n, 0);
    for_each_group(table, [&](const BinGroup& g) {
        const std::uint64_t b0 = g.first_bin;
        ValidEntry e;
        walk_group(table, g, [&](std::uint64_t, std::uint32_t p, auto local, double w) {
            if (!valid_entry(in, p, w, e)) return;
            const std::uint64_t b = b0 + local;
            if (seen[b] == 0) {
                seen[b] = 1;
                shift[b] = e.value;
            }
            ss[b] += e.weight * e.signal;
            sn[b] += e.weighted_norm;
            sd[b] += e.weighted_norm * (e.value - shift[b]);
            if (with_variance) sv[b] += e.weight * e.weight * in.variance[p];
        });
        for (std::uint64_t b = b0; b < g.end_bin; ++b) sd[b] = sd[b] / sn[b];  // the shifted mean
        walk_group(table, g, [&](std::uint64_t, std::uint32_t p, auto local, double w) {
            if (!valid_entry(in, p, w, e)) return;
            const std::uint64_t b = b0 + local;
            const double dev = e.value - shift[b] - sd[b];
            sq[b] += dev * (e.weighted_norm * dev);
        });
        for (std::uint64_t b = b0; b < g.end_bin; ++b) {
            if (seen[b] == 0) {
                out.stds[b] = nan;
                continue;
            }
            out.means[b] = ss[b] / sn[b];
            out.stds[b] = non_negative_sqrt(sq[b] / sn[b]);
            if (with_variance) (*out.errors)[b] = non_negative_sqrt(sv[b]) / sn[b];
        }
    });
    return out;
}

}  // namespace karvelum::lut
