#include "integration/working_set.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <optional>
#include <tuple>
#include <vector>

#include "buffer.hpp"
#include "geometry.hpp"
#include "integration.hpp"
#include "lut/azimuthal.hpp"
#include "lut/csr_builder.hpp"
#include "lut/integrate.hpp"
#include "lut/supersampled.hpp"
#include "lut/table.hpp"
#include "math/histogram.hpp"
#include "math/numeric.hpp"
#include "pool.hpp"

namespace karvelum::integration {

namespace {

// Bytes per pixel and per entry, from the arrays the builders hold at their
// peak (the end of the table's assembly, lut/csr_builder.cpp).
//
// The geometry of a shape: 2 theta, chi, solid angle, radial values,
// polarization and their correction product (corrections.cpp).
constexpr std::uint64_t kGeometryBytes = 6 * sizeof(double);
// The pixel splitter's radial and chi values of every pixel corner.
constexpr std::uint64_t kCornerBytes = 2 * sizeof(double);
// An entry as collected, and its pixel in the assembly (while the runs are
// cut): both held until the table is assembled.
constexpr std::uint64_t kCollectedBytes = sizeof(lut::Entry);
constexpr std::uint64_t kAssembledBytes = sizeof(std::uint32_t);
// A weighted entry's weight and step, beside every entry's bin within its
// group (16 or 32 bits).
constexpr std::uint64_t kWeightBytes = sizeof(double) + sizeof(std::uint8_t);
// Per bin: the table's raw scale; the assembly's entry count and group;
// a call's results (intensities, errors), its sums and counts, and the
// interpreter's arrays of the results.
constexpr std::uint64_t kTableBinBytes = sizeof(double);
constexpr std::uint64_t kAssemblyBinBytes = sizeof(std::uint64_t) + sizeof(std::uint32_t);
constexpr std::uint64_t kPerBinBytes = 5 * sizeof(double);
// A row meets a group's bins in at most this many stretches (a ring or a
// sector crosses a row at most twice).
constexpr std::uint64_t kRunsPerRowAndGroup = 2;
// What the allocator takes beside the arrays of a build (headers, pages
// rounded up, its threads' arenas): 1/20 of them, a little more than
// bench/memory.py measured.
constexpr std::uint64_t kAllocatorShare = 20;
// Small allocations no array size names: libtiff's and the pool's buffers,
// the result objects. Counted once per call, so that no estimate falls short.
constexpr std::uint64_t kCallFloor = std::uint64_t(2) << 20;
// Pixels whose bins are worked out to estimate a table's entries, per group
// of neighbouring row chunks of the build: enough for a few per cent, few
// enough to cost a small part of the build (detector points, at least
// kSamplePixels pixels). The chunks follow the pool's size; the groups stop
// at kSampleGroups, so that the whole estimate samples at most
// max(kSamplePoints / points, kSampleGroups * kSamplePixels) pixels however
// large the pool is.
constexpr std::uint64_t kSampleRows = 8;
constexpr std::uint64_t kSamplePoints = std::uint64_t(1) << 15;
constexpr std::uint64_t kSamplePixels = 256;
constexpr std::uint64_t kSampleGroups = 32;
// Sub-samples per pixel up to which a sampled pixel's are all worked out.
// Up to kInterpolatedSubSamples, at most kNodes x kNodes of them are (the
// outermost included), and the radial values and azimuths of the others are
// interpolated between them; beyond, the pixel's entries are the bins its
// four outermost span, a bound (more than the table holds where bins are
// finer than the sub-samples' spacing). So a sampled pixel takes at most
// kExactSubSamples evaluations of the geometry whatever n_ss is, and at
// most kInterpolatedSubSamples interpolated values.
constexpr std::uint64_t kExactSubSamples = 64;
constexpr std::uint64_t kNodes = 7;
constexpr std::uint64_t kMostInterpolatedSide = 64;
constexpr std::uint64_t kInterpolatedSubSamples = kMostInterpolatedSide * kMostInterpolatedSide;
static_assert(kNodes * kNodes + 1 <= kExactSubSamples);  // the nodes and the pixel's centre

std::uint64_t pixels_of(std::uint64_t dim1, std::uint64_t dim2) { return checked_mul(dim1, dim2); }

// Counts the distinct bins of one pixel at a time: an open-addressed set of
// at least twice as many slots as the pixel has sub-samples, whose slots are
// marked with the pixel they were filled for, so that nothing is cleared
// between pixels.
class DistinctBins {
public:
    explicit DistinctBins(std::uint64_t most)
        : keys_(std::bit_ceil(std::max<std::uint64_t>(2 * most, 16))), marks_(keys_.size(), 0),
          shift_(64 - std::countr_zero(keys_.size())) {}

    void next_pixel() {
        count_ = 0;
        if (++mark_ == 0) {
            std::fill(marks_.begin(), marks_.end(), 0);
            mark_ = 1;
        }
    }

    void add(std::uint64_t bin) {
        const std::size_t mask = keys_.size() - 1;
        for (std::size_t k = static_cast<std::size_t>((bin * 0x9e3779b97f4a7c15ULL) >> shift_);; k = (k + 1) & mask) {
            if (marks_[k] != mark_) {
                marks_[k] = mark_, keys_[k] = bin, ++count_;
                return;
            }
            if (keys_[k] == bin) return;
        }
    }

    std::uint64_t count() const { return count_; }

private:
    std::vector<std::uint64_t> keys_;
    std::vector<std::uint32_t> marks_;
    int shift_;
    std::uint32_t mark_ = 0;
    std::uint64_t count_ = 0;
};

// What a table of one method and binning is built from, with which the
// bins of sampled pixels are worked out as its builder does.
struct TablePlan {
    MethodKind kind = MethodKind::Counting;
    std::uint64_t n_ss = 1;
    std::uint64_t n_radial = 1, n_azimuthal = 0;  // 0 azimuthal bins: a 1D table
    RadialRange radial_range;                      // 1D only
    std::optional<std::pair<double, double>> azimuthal_range;  // 2D only
    std::uint64_t bins() const { return checked_mul(n_radial, std::max<std::uint64_t>(n_azimuthal, 1)); }
};

class Sampler {
public:
    Sampler(const IntegratorCore& core, const TablePlan& plan, std::uint64_t dim1, std::uint64_t dim2)
        : g_(core.geometry), rot_(core.geometry), convert_(core.unit, core.geometry.wavelength), plan_(plan) {
        // The bins span the values of a grid of points whose values the
        // builder's bins span too, so that they are the builder's bins or a
        // little finer, which only makes the estimate a little larger.
        // Pixel splitting spans every pixel corner: the grid's points are
        // corners. Supersampling spans every pixel centre and every
        // sub-sample along the detector's border: the grid's inner points
        // are pixel centres, and its outer ones border sub-samples. Counting
        // spans the pixel centres, but its estimate needs no bins (a pixel
        // is in one, or in none when out of range). Without a range, the
        // azimuths beyond the top of the span wrap round to its first bins,
        // here as in the builder: where the detector crosses the seam at
        // +-pi, a sliver beside it wraps here that the builder keeps in its
        // last bins.
        const bool supersampled = plan.kind == MethodKind::Supersampled;
        auto position = [&](std::uint64_t i, std::uint64_t n, std::uint64_t dim, bool border) {
            if (!supersampled) return static_cast<double>(dim * i / n);
            if (!border) return static_cast<double>(std::min(dim * i / n, dim - 1)) + 0.5;
            const std::uint64_t steps = checked_mul(dim, plan.n_ss);
            return (static_cast<double>(std::min(checked_mul(steps, i) / n, steps - 1)) + 0.5) /
                   static_cast<double>(plan.n_ss);
        };
        double rlo = NAN, rhi = NAN, clo = NAN, chi_hi = NAN;
        const std::uint64_t n1 = std::min<std::uint64_t>(dim1, 128), n2 = std::min<std::uint64_t>(dim2, 128);
        for (std::uint64_t i = 0; i <= n1; ++i) {
            for (std::uint64_t j = 0; j <= n2; ++j) {
                const bool border = i == 0 || i == n1 || j == 0 || j == n2;
                const auto [r, c] = at(position(i, n1, dim1, border), position(j, n2, dim2, border));
                rlo = std::fmin(rlo, r), rhi = std::fmax(rhi, r), clo = std::fmin(clo, c), chi_hi = std::fmax(chi_hi, c);
            }
        }
        if (plan.radial_range && plan.n_azimuthal == 0) {
            radial_ = lut::RadialBins{plan.n_radial, plan.radial_range->first,
                                      math::bin_width(plan.radial_range->first, plan.radial_range->second,
                                                      plan.n_radial)};
        } else {
            radial_ = lut::RadialBins::spanning(math::Extent{rlo, rhi}, plan.n_radial);
        }
        if (plan.n_azimuthal > 0) {
            azimuthal_ = lut::azimuthal_bins(math::Extent{clo, chi_hi}, plan.n_azimuthal, plan.azimuthal_range);
        }
        const std::uint64_t n = plan.n_ss;
        if (supersampled && n <= kMostInterpolatedSide && n * n > kExactSubSamples) {
            // Half a side's sub-samples (a quarter of the pixel's), at most
            // kNodes.
            nodes_ = std::min(kNodes, n / 2);
            for (std::uint64_t k = 0; k < nodes_; ++k) node_[k] = (k * (n - 1) + (nodes_ - 1) / 2) / (nodes_ - 1);
            std::uint64_t k = 0;
            for (std::uint64_t a = 0; a < n; ++a) {
                if (a > node_[k + 1]) ++k;
                segment_[a] = k;
                fraction_[a] = static_cast<double>(a - node_[k]) / static_cast<double>(node_[k + 1] - node_[k]);
            }
        }
    }

    // The table entries of pixel (row, col). `bins` counts a supersampled
    // pixel's bins: the caller's, made once for many pixels, for up to
    // kInterpolatedSubSamples of them.
    std::uint64_t entries(std::uint64_t row, std::uint64_t col, DistinctBins& bins) const {
        switch (plan_.kind) {
            case MethodKind::Counting: {
                const auto [r, c] = at(static_cast<double>(row) + 0.5, static_cast<double>(col) + 0.5);
                return in_bins(r, c) ? 1 : 0;
            }
            case MethodKind::Supersampled: {
                const std::uint64_t points = checked_mul(plan_.n_ss, plan_.n_ss);
                // Beyond what a sampled pixel may cost: the bins its
                // outermost sub-samples span, and never more than its points.
                if (points > kInterpolatedSubSamples) {
                    return std::min(points, split_entries(row, col, 0.5 / static_cast<double>(plan_.n_ss)));
                }
                bins.next_pixel();
                if (points > kExactSubSamples) {
                    interpolated_bins(row, col, bins);
                } else {
                    const double inv = static_cast<double>(plan_.n_ss);
                    for (std::uint64_t a = 0; a < plan_.n_ss; ++a) {
                        for (std::uint64_t b = 0; b < plan_.n_ss; ++b) {
                            const auto [r, c] = at(static_cast<double>(row) + (static_cast<double>(a) + 0.5) / inv,
                                                   static_cast<double>(col) + (static_cast<double>(b) + 0.5) / inv);
                            if (std::optional<std::uint64_t> bin = bin_of(r, c)) bins.add(*bin);
                        }
                    }
                }
                return bins.count();
            }
            case MethodKind::PixelSplit:
                return split_entries(row, col, 0.0);
            case MethodKind::Histogram:
                break;
        }
        return 0;
    }

private:
    std::pair<double, double> at(double d1, double d2) const {
        const geometry::LabPoint t = geometry::rotate(rot_, geometry::point_offset(d1, g_.pixel1, g_.poni1),
                                                      geometry::point_offset(d2, g_.pixel2, g_.poni2), g_.distance);
        return {convert_(geometry::two_theta_of(t)), geometry::chi_of(t)};
    }

    bool in_bins(double r, double c) const {
        if (std::isnan(r)) return false;
        if (plan_.n_azimuthal > 0) return azimuthal_.bin(c).has_value();
        return !plan_.radial_range || (r >= plan_.radial_range->first && r < plan_.radial_range->second);
    }

    // The bin of a sub-sample as the builder finds it, or nothing where it
    // is left out (in_bins).
    std::optional<std::uint64_t> bin_of(double r, double c) const {
        if (std::isnan(r)) return std::nullopt;
        std::uint64_t a = 0;
        if (plan_.n_azimuthal > 0) {
            const std::optional<std::uint64_t> azimuthal = azimuthal_.bin(c);
            if (!azimuthal) return std::nullopt;
            a = *azimuthal;
        } else if (plan_.radial_range && !(r >= plan_.radial_range->first && r < plan_.radial_range->second)) {
            return std::nullopt;
        }
        return math::clamped_bin(r, radial_.start, radial_.step, radial_.n) + plan_.n_radial * a;
    }

    // Adds the bins of the pixel's n_ss x n_ss sub-samples (once per run of
    // equal bins along a row of them). The radial value and azimuth are
    // worked out at nodes_ x nodes_ of them, the outermost included, and
    // interpolated bilinearly between: the laboratory point is affine in
    // the detector position, and both values are smooth across a pixel.
    // Azimuths are unwrapped around the pixel's centre, interpolated, and
    // taken back into [-pi, pi], where the builder finds them.
    void interpolated_bins(std::uint64_t row, std::uint64_t col, DistinctBins& bins) const {
        constexpr double kPi = lut::AzimuthalBins::kTwoPi / 2;
        const std::uint64_t n = plan_.n_ss, m = nodes_;
        const bool azimuthal = plan_.n_azimuthal > 0;
        const double inv = static_cast<double>(n);
        const double centre_chi =
            azimuthal ? at(static_cast<double>(row) + 0.5, static_cast<double>(col) + 0.5).second : 0.0;
        std::array<std::array<double, kNodes>, kNodes> r{}, c{};
        for (std::uint64_t i = 0; i < m; ++i) {
            for (std::uint64_t j = 0; j < m; ++j) {
                std::tie(r[i][j], c[i][j]) = at(static_cast<double>(row) + (static_cast<double>(node_[i]) + 0.5) / inv,
                                                static_cast<double>(col) + (static_cast<double>(node_[j]) + 0.5) / inv);
                if (c[i][j] - centre_chi > kPi) c[i][j] -= lut::AzimuthalBins::kTwoPi;
                if (c[i][j] - centre_chi < -kPi) c[i][j] += lut::AzimuthalBins::kTwoPi;
            }
        }
        std::array<double, kNodes> r_row{}, c_row{};  // at the nodes' columns of one row of sub-samples
        for (std::uint64_t a = 0; a < n; ++a) {
            const std::uint64_t i = segment_[a];
            const double s = fraction_[a];
            for (std::uint64_t j = 0; j < m; ++j) {
                r_row[j] = r[i][j] + s * (r[i + 1][j] - r[i][j]);
                c_row[j] = c[i][j] + s * (c[i + 1][j] - c[i][j]);
            }
            std::optional<std::uint64_t> previous;
            for (std::uint64_t b = 0; b < n; ++b) {
                const std::uint64_t j = segment_[b];
                const double t = fraction_[b];
                double chi = 0.0;
                if (azimuthal) {
                    chi = c_row[j] + t * (c_row[j + 1] - c_row[j]);
                    if (chi > kPi) chi -= lut::AzimuthalBins::kTwoPi;
                    if (chi < -kPi) chi += lut::AzimuthalBins::kTwoPi;
                }
                const std::optional<std::uint64_t> bin = bin_of(r_row[j] + t * (r_row[j + 1] - r_row[j]), chi);
                if (bin && bin != previous) bins.add(*bin);
                previous = bin;
            }
        }
    }

    // The bins the bounding box of the pixel, less `inset` on every side,
    // spans: the splitter clips the pixel to each of them.
    std::uint64_t split_entries(std::uint64_t row, std::uint64_t col, double inset) const {
        double rmin = NAN, rmax = NAN, cmin = NAN, cmax = NAN;
        const double centre_chi = at(static_cast<double>(row) + 0.5, static_cast<double>(col) + 0.5).second;
        const double far = 1.0 - inset;
        for (int k = 0; k < 4; ++k) {
            auto [r, c] = at(static_cast<double>(row) + ((k >> 1) != 0 ? far : inset),
                             static_cast<double>(col) + ((k & 1) != 0 ? far : inset));
            if (c - centre_chi > lut::AzimuthalBins::kTwoPi / 2) c -= lut::AzimuthalBins::kTwoPi;
            if (c - centre_chi < -lut::AzimuthalBins::kTwoPi / 2) c += lut::AzimuthalBins::kTwoPi;
            if (std::isnan(r)) return 0;
            rmin = std::fmin(rmin, r), rmax = std::fmax(rmax, r), cmin = std::fmin(cmin, c), cmax = std::fmax(cmax, c);
        }
        auto span = [](double lo, double hi, double start, double step, std::int64_t n) -> std::uint64_t {
            const std::int64_t a = std::max<std::int64_t>(math::saturating_i64(std::floor((lo - start) / step)), 0);
            const std::int64_t b = std::min(math::saturating_i64(std::floor((hi - start) / step)), n - 1);
            return b >= a ? static_cast<std::uint64_t>(b - a + 1) : 0;
        };
        const std::uint64_t radial =
            span(rmin, rmax, radial_.start, radial_.step, static_cast<std::int64_t>(plan_.n_radial));
        if (plan_.n_azimuthal == 0) return radial;
        const std::int64_t na = static_cast<std::int64_t>(plan_.n_azimuthal);
        std::uint64_t azimuthal;
        if (azimuthal_.ranged) {
            const double shift = azimuthal_.into_turn(centre_chi) - centre_chi;
            azimuthal = span(cmin + shift, cmax + shift, azimuthal_.start, azimuthal_.step, na);
        } else {
            const double turns = std::floor((cmax - azimuthal_.start) / azimuthal_.step) -
                                 std::floor((cmin - azimuthal_.start) / azimuthal_.step) + 1;
            azimuthal = static_cast<std::uint64_t>(std::fmin(std::fmax(turns, 0.0), static_cast<double>(na)));
        }
        return checked_mul(radial, azimuthal);
    }

    const PoniGeometry& g_;
    geometry::Rotation rot_;
    RadialConverter convert_;
    TablePlan plan_;
    lut::RadialBins radial_;
    lut::AzimuthalBins azimuthal_;
    // Interpolated sub-samples: the nodes (sub-sample indices, rising, the
    // first and last included), and for each index along a side of the
    // pixel the nodes it lies between (segment_ and segment_ + 1) and how
    // far along.
    std::uint64_t nodes_ = 0;
    std::array<std::uint64_t, kNodes> node_{};
    std::array<std::uint64_t, kMostInterpolatedSide> segment_{};
    std::array<double, kMostInterpolatedSide> fraction_{};
};

// A table's build: what stays (the table) and what it holds only while it
// is built (the collected entries, the assembly's pixels and counts, the
// corners).
struct TableBytes {
    std::uint64_t table = 0, transient = 0;
};

// The entries of each chunk of a table's build, worked out from sampled
// pixels where the table may leave pixels out or put one in several bins;
// nothing for a unit the geometry cannot convert to (the call fails before
// any table is built).
std::optional<std::vector<std::uint64_t>> chunk_entries(
    const IntegratorCore& core, const TablePlan& plan, std::uint64_t dim1, std::uint64_t dim2,
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& chunks) {
    const std::uint64_t points = plan.kind == MethodKind::Supersampled ? checked_mul(plan.n_ss, plan.n_ss) : 1;
    std::vector<std::uint64_t> out(chunks.size());
    // Counting without a range puts every pixel in a bin.
    const bool every_pixel_once = plan.kind == MethodKind::Counting &&
                                  (plan.n_azimuthal > 0 ? !plan.azimuthal_range : !plan.radial_range);
    if (every_pixel_once) {
        for (std::size_t c = 0; c < chunks.size(); ++c) out[c] = (chunks[c].second - chunks[c].first) * dim2;
        return out;
    }
    std::optional<Sampler> sampler;
    try {
        sampler.emplace(core, plan, dim1, dim2);
    } catch (const ValueError&) {
        return std::nullopt;
    }
    // Each chunk its own group up to kSampleGroups chunks; beyond, a group
    // of neighbouring chunks is sampled across all its rows, and each of its
    // chunks takes the group's mean entries per pixel.
    const std::size_t groups = std::min<std::size_t>(chunks.size(), kSampleGroups);
    const std::uint64_t per_group = std::max<std::uint64_t>(kSamplePoints / groups / points, kSamplePixels);
    auto sample_rows_of = [](std::uint64_t rows) { return std::min(rows, kSampleRows); };
    auto sample_cols_of = [&](std::uint64_t rows) {
        return std::clamp<std::uint64_t>(per_group / sample_rows_of(rows), 1, dim2);
    };
    // The groups are sampled in parallel, as the chunks are built.
    pool::parallel_for_index(groups, [&](std::size_t g) {
        const std::size_t head = g * chunks.size() / groups, tail = (g + 1) * chunks.size() / groups;
        const std::uint64_t first = chunks[head].first, end = chunks[tail - 1].second;
        const std::uint64_t rows = end - first, sample_rows = sample_rows_of(rows), sample_cols = sample_cols_of(rows);
        std::uint64_t seen = 0;
        DistinctBins bins(plan.kind == MethodKind::Supersampled && points <= kInterpolatedSubSamples ? points : 0);
        for (std::uint64_t i = 0; i < sample_rows; ++i) {
            const std::uint64_t row = first + (2 * i + 1) * rows / (2 * sample_rows);
            for (std::uint64_t j = 0; j < sample_cols; ++j) {
                seen += sampler->entries(row, (2 * j + 1) * dim2 / (2 * sample_cols), bins);
            }
        }
        const double mean = static_cast<double>(seen) / static_cast<double>(sample_rows * sample_cols);
        for (std::size_t c = head; c < tail; ++c) {
            const std::uint64_t chunk_pixels = (chunks[c].second - chunks[c].first) * dim2;
            out[c] = static_cast<std::uint64_t>(std::ceil(mean * static_cast<double>(chunk_pixels)));
        }
    }, 1);
    return out;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> build_chunks(const TablePlan& plan, std::uint64_t dim1,
                                                                  std::uint64_t dim2) {
    const std::uint64_t points = plan.kind == MethodKind::Supersampled ? checked_mul(plan.n_ss, plan.n_ss) : 1;
    const std::uint64_t row_cost = plan.kind == MethodKind::PixelSplit ? checked_mul(dim2, 8) : checked_mul(dim2, points);
    return lut::row_chunks(dim1, row_cost, plan.bins());
}

TablePlan plan_1d(const IntegratorCore& core, const Options1d& options) {
    return {core.method.kind, std::max<std::uint64_t>(core.method.n_ss, 1), options.n_points, 0, core.radial_range,
            std::nullopt};
}

TablePlan plan_2d(const IntegratorCore& core, const Options2d& options) {
    return {core.method.kind, std::max<std::uint64_t>(core.method.n_ss, 1), options.n_radial, options.n_azimuthal,
            std::nullopt, options.azimuthal_range};
}

}  // namespace

// What the entry lists of a build hold at its end: one list per chunk,
// reserved for `first` entries and doubled whenever full until it holds its
// `second` (Buffer's allocator, buffer.hpp). A block of
// BufferAllocator::kHuge bytes or more is mapped fresh, in huge pages where
// the kernel has them: the last one takes its written entries rounded up to
// whole huge pages, and one that was outgrown is unmapped. A smaller block
// comes from the C library's heap: the last one counts whole (it may be
// memory touched before), and the ones outgrown stay in the heap, touched.
// A worker's later chunks reuse what its earlier ones left there, so those
// count once per worker, as the largest any chunk leaves.
std::uint64_t entry_list_bytes(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& lists,
                               std::uint64_t workers) {
    constexpr std::uint64_t huge = BufferAllocator<lut::Entry>::kHuge;
    std::uint64_t held = 0, most_outgrown = 0;
    for (auto [capacity, entries] : lists) {
        std::uint64_t outgrown = 0;
        for (; capacity < entries; capacity = checked_mul(capacity, 2)) {
            const std::uint64_t block = checked_mul(capacity, kCollectedBytes);
            if (block < huge) outgrown = checked_add(outgrown, block);
        }
        const std::uint64_t block = checked_mul(capacity, kCollectedBytes);
        const std::uint64_t written = checked_mul(entries, kCollectedBytes);
        held = checked_add(held, block >= huge ? checked_mul((written + huge - 1) / huge, huge) : block);
        most_outgrown = std::max(most_outgrown, outgrown);
    }
    const std::uint64_t leaving = std::min<std::uint64_t>(lists.size(), workers);
    return checked_add(held, checked_mul(most_outgrown, leaving));
}

namespace {

TableBytes table_bytes(const IntegratorCore& core, const TablePlan& plan, std::uint64_t dim1, std::uint64_t dim2) {
    // An empty image is refused before anything is built.
    if (dim1 == 0 || dim2 == 0) return {};
    const std::uint64_t n_bins = plan.bins();
    const bool weighted = plan.kind != MethodKind::Counting;
    const std::uint64_t points = plan.kind == MethodKind::Supersampled ? checked_mul(plan.n_ss, plan.n_ss) : 1;
    const auto chunks = build_chunks(plan, dim1, dim2);
    if (plan.kind == MethodKind::Supersampled) {
        // What the build takes whatever its table holds: each worker's
        // sub-sample bins and the detector's border points. Beyond the
        // machine, no sampling is worth its time. (What is available now is
        // the admission's to weigh: a caller that waits for a build another
        // one makes counts it once, with that one's claim.)
        const std::uint64_t certain =
            checked_add(checked_mul(checked_mul(points, sizeof(std::uint32_t)), pool::current_thread_count()),
                        checked_mul(checked_mul(plan.n_ss, checked_add(dim1, dim2)), lut::kEdgeBytes));
        if (certain > physical_memory()) throw std::bad_alloc();
    }
    const std::optional<std::vector<std::uint64_t>> estimated = chunk_entries(core, plan, dim1, dim2, chunks);
    if (!estimated) return {};
    std::uint64_t entries = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> lists(chunks.size());
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        const std::uint64_t rows = chunks[c].second - chunks[c].first;
        const std::uint64_t per_pixel = weighted ? lut::kReservedPerSplitPixel : lut::kReservedPerPixel;
        lists[c] = {std::max(checked_mul(rows * dim2, per_pixel), lut::kMinReservedEntries), (*estimated)[c]};
        entries = checked_add(entries, (*estimated)[c]);
    }
    const std::uint64_t collected = entry_list_bytes(lists, pool::current_thread_count());
    // The groups hold about equal entries (csr_builder.cpp's cut_groups); a
    // group where entries are sparse spans more than its share of bins, so
    // bins are taken 32 bits wide from half the 16-bit span per group on.
    const std::uint64_t groups =
        std::clamp<std::uint64_t>(entries / lut::kGroupEntries, 1, std::min(lut::kMaxGroups, n_bins));
    const std::uint64_t bin_bytes =
        n_bins > groups * (std::uint64_t(1) << 15) ? sizeof(std::uint32_t) : sizeof(std::uint16_t);
    // A run ends where a row ends or the next pixel has no entry in the
    // group: a few runs per row and group, and never more than the entries.
    const std::uint64_t runs = std::min(entries, checked_mul(dim1, kRunsPerRowAndGroup * groups + 1));
    TableBytes out;
    out.table = checked_mul(entries, bin_bytes + (weighted ? kWeightBytes : 0));
    out.table = checked_add(out.table, checked_mul(runs, sizeof(lut::PixelRun)));
    out.table = checked_add(out.table, checked_mul(n_bins, kTableBinBytes));
    out.transient = checked_add(collected, checked_mul(entries, kAssembledBytes));
    out.transient = checked_add(out.transient, checked_mul(checked_mul(chunks.size(), n_bins), sizeof(std::uint64_t)));
    out.transient = checked_add(out.transient, checked_mul(n_bins, kAssemblyBinBytes));
    if (plan.kind == MethodKind::PixelSplit) {
        out.transient = checked_add(out.transient, checked_mul(checked_mul(dim1 + 1, dim2 + 1), kCornerBytes));
    }
    if (plan.kind == MethodKind::Supersampled) {
        // Each worker's sub-sample bins and the detector's border points.
        out.transient = checked_add(
            out.transient, checked_mul(checked_mul(points, sizeof(std::uint32_t)), pool::current_thread_count()));
        out.transient =
            checked_add(out.transient, checked_mul(checked_mul(plan.n_ss, checked_add(dim1, dim2)), lut::kEdgeBytes));
    }
    return out;
}

std::uint64_t estimated_table_entries(const IntegratorCore& core, const TablePlan& plan, std::uint64_t dim1,
                                      std::uint64_t dim2) {
    if (core.method.kind == MethodKind::Histogram || dim1 == 0 || dim2 == 0) return 0;
    const std::optional<std::vector<std::uint64_t>> per_chunk =
        chunk_entries(core, plan, dim1, dim2, build_chunks(plan, dim1, dim2));
    std::uint64_t entries = 0;
    for (std::uint64_t e : per_chunk.value_or(std::vector<std::uint64_t>())) entries = checked_add(entries, e);
    return entries;
}

std::uint64_t geometry_bytes(const IntegratorCore& core, std::uint64_t dim1, std::uint64_t dim2) {
    const GeometryRef snap = core.geometry_state.snapshot();
    if (snap->dim1 == dim1 && snap->dim2 == dim2) return 0;
    return checked_mul(pixels_of(dim1, dim2), kGeometryBytes);
}

// The call's own: the per-bin arrays, the histogram's chunk buffers, the
// widened copy of samples kept in the file's type, the Poisson variance.
std::uint64_t own_bytes(const IntegratorCore& core, std::uint64_t n_bins, std::uint64_t pixels, bool widens,
                        bool variance) {
    std::uint64_t bytes = checked_add(checked_mul(n_bins, kPerBinBytes), kCallFloor);
    if (core.method.kind == MethodKind::Histogram) bytes = checked_add(bytes, math::histogram_scratch_bytes());
    if (widens) bytes = checked_add(bytes, checked_mul(pixels, sizeof(double)));
    if (variance) bytes = checked_add(bytes, checked_mul(pixels, sizeof(double)));
    return bytes;
}

// The shared part of a call that builds a table. What the call allocates
// after the build (the variance, the per-bin arrays: `after`) takes the place
// of the build's transient arrays, which are gone by then.
std::uint64_t build_bytes(const TableBytes& t, std::uint64_t after) {
    return checked_add(t.table, t.transient > after ? t.transient - after : 0);
}

std::uint64_t with_allocator_share(std::uint64_t bytes) { return checked_add(bytes, bytes / kAllocatorShare); }

// Which table of an integrator a key names, as one number: keys that differ
// in any field (doubles by their bits, as the caches compare them) differ
// here, but for a 64-bit hash collision.
class TableId {
public:
    TableId& add(std::uint64_t v) {
        for (int k = 0; k < 8; ++k) h_ = (h_ ^ ((v >> (8 * k)) & 0xff)) * 0x100000001b3ULL;
        return *this;
    }
    TableId& add(const std::optional<std::pair<double, double>>& range) {
        add(range.has_value());
        if (range) add(std::bit_cast<std::uint64_t>(range->first)).add(std::bit_cast<std::uint64_t>(range->second));
        return *this;
    }
    std::uint64_t value() const { return h_ | 1; }  // never 0, which names no table

private:
    std::uint64_t h_ = 0xcbf29ce484222325ULL;
};

std::uint64_t table_id(const Lut1dCacheKey& k) {
    return TableId().add(1).add(static_cast<std::uint64_t>(k.variant)).add(k.radial_range).add(k.n_points)
        .add(k.n_ss).add(static_cast<std::uint64_t>(k.unit)).value();
}

std::uint64_t table_id(const Lut2dCacheKey& k) {
    return TableId().add(2).add(static_cast<std::uint64_t>(k.kind)).add(static_cast<std::uint64_t>(k.unit))
        .add(k.n_radial).add(k.n_azimuthal).add(k.n_ss).add(k.azimuthal_range).value();
}

// Sees which parts of the set's build are still to be built (`see`: sets
// the geometry's bytes in `shared`, returns whether the table is to build),
// with what the parts' kept builds had recorded then. A part counts as kept
// (its records in that figure) before it is stored, so when the figures are
// the same before and after looking, every part seen as built was counted
// in them, and every part kept later was seen as still to build.
template <class See>
bool parts_to_build(WorkingSet& set, See&& see) {
    for (;;) {
        const std::uint64_t geometry = builds_kept(set.build, BuildPart::Geometry);
        const std::uint64_t table = builds_kept(set.build, BuildPart::Table);
        const bool builds_table = see();
        if (builds_kept(set.build, BuildPart::Geometry) == geometry &&
            builds_kept(set.build, BuildPart::Table) == table) {
            set.geometry_kept_before = set.shared > 0 ? geometry : kNotCounted;
            set.table_kept_before = builds_table ? table : kNotCounted;
            return builds_table;
        }
    }
}

}  // namespace

WorkingSet working_set_1d(const IntegratorCore& core, const Options1d& options, std::uint64_t dim1,
                          std::uint64_t dim2, SampleType image) {
    const std::uint64_t pixels = pixels_of(dim1, dim2);
    const bool in_place = reads_file_samples(core, options) && lut::reads_file_samples(image);
    const bool widens = image != SampleType::F64 && !in_place;
    // The Poisson variance of every sample, for the spread's errors.
    const bool variance = options.azimuthal_std && options.errors && core.method.kind != MethodKind::Histogram;
    const bool table = core.method.kind != MethodKind::Histogram;
    const Lut1dCacheKey key = lut1d_key(core, options.n_points);
    // The geometry of each shape and each table are built once and shared.
    WorkingSet set{0, own_bytes(core, options.n_points, pixels, widens, variance),
                   BuildKey{&core, dim1, dim2, table ? table_id(key) : 0}};
    const bool builds_table = parts_to_build(set, [&] {
        set.shared = geometry_bytes(core, dim1, dim2);
        return table && !core.lut1d.find(key, dim1, dim2);
    });
    if (builds_table) {
        const TablePlan plan = plan_1d(core, options);
        const std::uint64_t after = own_bytes(core, options.n_points, pixels, false, variance);
        set.shared = checked_add(set.shared, build_bytes(table_bytes(core, plan, dim1, dim2), after));
    }
    set.shared = with_allocator_share(set.shared);
    return set;
}

WorkingSet working_set_2d(const IntegratorCore& core, const Options2d& options, std::uint64_t dim1,
                          std::uint64_t dim2, SampleType image) {
    const std::uint64_t pixels = pixels_of(dim1, dim2);
    const std::uint64_t n_bins = checked_mul(options.n_radial, options.n_azimuthal);
    const bool table = core.method.kind != MethodKind::Histogram;
    const std::optional<Lut2dCacheKey> key =
        table ? std::optional(lut2d_key(core, options.n_radial, options.n_azimuthal, options.azimuthal_range))
              : std::nullopt;
    WorkingSet set{0, own_bytes(core, n_bins, pixels, image != SampleType::F64, false),
                   BuildKey{&core, dim1, dim2, key ? table_id(*key) : 0}};
    const bool builds_table = parts_to_build(set, [&] {
        set.shared = geometry_bytes(core, dim1, dim2);
        return key && !core.lut2d.find(*key, dim1, dim2);
    });
    if (builds_table) {
        const TablePlan plan = plan_2d(core, options);
        const std::uint64_t after = own_bytes(core, n_bins, pixels, false, false);
        set.shared = checked_add(set.shared, build_bytes(table_bytes(core, plan, dim1, dim2), after));
    }
    set.shared = with_allocator_share(set.shared);
    return set;
}

std::uint64_t estimated_table_entries_1d(const IntegratorCore& core, const Options1d& options, std::uint64_t dim1,
                                         std::uint64_t dim2) {
    return estimated_table_entries(core, plan_1d(core, options), dim1, dim2);
}

std::uint64_t estimated_table_entries_2d(const IntegratorCore& core, const Options2d& options, std::uint64_t dim1,
                                         std::uint64_t dim2) {
    return estimated_table_entries(core, plan_2d(core, options), dim1, dim2);
}

}  // namespace karvelum::integration
