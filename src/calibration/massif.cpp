#include "calibration/massif.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <tbb/blocked_range.h>
#include <tbb/blocked_range2d.h>
#include <tbb/parallel_for.h>

#include "errors.hpp"
#include "math/numeric.hpp"
#include "memory.hpp"
#include "pool.hpp"

namespace karvelum::calibration {

namespace {

// Mirror reflection about the edge pixel, which is not repeated; far outside
// it sticks at 0.
std::size_t mirrored(std::int64_t j, std::size_t n) {
    const std::uint64_t a = j < 0 ? 0 - static_cast<std::uint64_t>(j) : static_cast<std::uint64_t>(j);
    if (a < n) return static_cast<std::size_t>(a);
    const std::uint64_t back = 2 * static_cast<std::uint64_t>(n);
    return a + 2 <= back ? static_cast<std::size_t>(back - 2 - a) : 0;
}

// Source index of every position of a line of `n` samples extended by `h` on
// each side.
std::vector<std::size_t> mirror_table(std::size_t n, std::size_t h) {
    std::vector<std::size_t> table(checked_add(n, checked_mul(h, 2)));
    const auto shift = static_cast<std::int64_t>(h);
    for (std::size_t p = 0; p < table.size(); ++p) table[p] = mirrored(static_cast<std::int64_t>(p) - shift, n);
    return table;
}

constexpr std::size_t kLanes = 8;  // outputs summed side by side in registers

// out[c] = sum over k of w[k] * line[c + k], each sum from 0.0 in ascending
// k. Eight outputs advance together; each keeps its own order.
void correlate_line(const double* line, const double* w, std::size_t taps, double* out, std::size_t n) {
    std::size_t c = 0;
    for (; c + kLanes <= n; c += kLanes) {
        double acc[kLanes] = {};
        for (std::size_t k = 0; k < taps; ++k) {
            const double wk = w[k];
            const double* src = line + c + k;
            for (std::size_t j = 0; j < kLanes; ++j) acc[j] += wk * src[j];
        }
        for (std::size_t j = 0; j < kLanes; ++j) out[c + j] = acc[j];
    }
    for (; c < n; ++c) {
        double acc = 0.0;
        for (std::size_t k = 0; k < taps; ++k) acc += w[k] * line[c + k];
        out[c] = acc;
    }
}

// out[c] = sum over k of w[k] * rows[k][c] for columns [c0, c1), each sum
// from 0.0 in ascending k.
void correlate_rows(const double* const* rows, const double* w, std::size_t taps, double* out, std::size_t c0,
                    std::size_t c1) {
    std::size_t c = c0;
    for (; c + kLanes <= c1; c += kLanes) {
        double acc[kLanes] = {};
        for (std::size_t k = 0; k < taps; ++k) {
            const double wk = w[k];
            const double* src = rows[k] + c;
            for (std::size_t j = 0; j < kLanes; ++j) acc[j] += wk * src[j];
        }
        for (std::size_t j = 0; j < kLanes; ++j) out[c + j] = acc[j];
    }
    for (; c < c1; ++c) {
        double acc = 0.0;
        for (std::size_t k = 0; k < taps; ++k) acc += w[k] * rows[k][c];
        out[c] = acc;
    }
}

std::size_t index(std::size_t r, std::size_t c, std::size_t dim2) { return r * dim2 + c; }

std::vector<double> background(std::span<const double> image, std::size_t dim1, std::size_t dim2,
                               std::optional<double> valley_size) {
    return gaussian_blur(image, dim1, dim2, valley_size ? *valley_size : default_valley_size(dim1, dim2));
}

}  // namespace

std::vector<double> gaussian_blur(std::span<const double> image, std::size_t dim1, std::size_t dim2, double sigma) {
    const std::size_t n = static_cast<std::size_t>(checked_mul(dim1, dim2));
    if (image.size() != n) throw Panic("image size does not match its shape");
    if (n == 0) return {};
    const auto h = static_cast<std::size_t>(math::saturating_u64(std::ceil(4.0 * sigma)));
    const std::size_t taps = static_cast<std::size_t>(checked_add(checked_mul(h, 2), 1));
    require_memory(checked_mul(checked_add(checked_add(taps, dim1), dim2), 3 * sizeof(double)));
    std::vector<double> w(taps);
    double sum = 0.0;
    for (std::size_t k = 0; k < taps; ++k) {
        const double x = static_cast<double>(k) - static_cast<double>(h);
        w[k] = std::exp(-(x * x) / (2.0 * (sigma * sigma)));
        sum += w[k];
    }
    for (double& wk : w) wk /= sum;

    require_available_memory(checked_mul(checked_mul(n, 2), sizeof(double)));
    std::vector<double> tmp(n), out(n);
    const std::vector<std::size_t> across = mirror_table(dim2, h);
    const std::vector<std::size_t> down = mirror_table(dim1, h);
    // Peak picking belongs to the caller's thread: it must not start the
    // process-wide pool, which the caller may still want to size.
    pool::run_without_starting([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, dim1, 4), [&](const tbb::blocked_range<std::size_t>& rows) {
            std::vector<double> line(across.size());
            for (std::size_t r = rows.begin(); r != rows.end(); ++r) {
                const double* src = image.data() + index(r, 0, dim2);
                for (std::size_t p = 0; p < line.size(); ++p) line[p] = src[across[p]];
                correlate_line(line.data(), w.data(), taps, tmp.data() + index(r, 0, dim2), dim2);
            }
        });
        // Tiles of a few rows by a strip of columns, so that the source rows
        // of one tile stay in cache while its rows are summed.
        tbb::parallel_for(tbb::blocked_range2d<std::size_t>(0, dim1, 16, 0, dim2, 512),
                          [&](const tbb::blocked_range2d<std::size_t>& tile) {
                              std::vector<const double*> sources(taps);
                              for (std::size_t r = tile.rows().begin(); r != tile.rows().end(); ++r) {
                                  for (std::size_t k = 0; k < taps; ++k) sources[k] = tmp.data() + index(down[r + k], 0, dim2);
                                  correlate_rows(sources.data(), w.data(), taps, out.data() + index(r, 0, dim2),
                                                 tile.cols().begin(), tile.cols().end());
                              }
                          });
    });
    return out;
}

Peak refine_peak_subpixel(std::span<const double> image, std::size_t dim1, std::size_t dim2, std::uint64_t r0,
                          std::uint64_t c0, std::uint64_t max_steps) {
    if (dim1 == 0 || dim2 == 0) return {static_cast<double>(r0), static_cast<double>(c0)};
    std::size_t r = static_cast<std::size_t>(std::min<std::uint64_t>(r0, dim1 - 1));
    std::size_t c = static_cast<std::size_t>(std::min<std::uint64_t>(c0, dim2 - 1));
    auto at = [&](std::size_t row, std::size_t col) { return image[index(row, col, dim2)]; };
    for (std::uint64_t step = 0; step < max_steps; ++step) {
        double best = at(r, c);
        std::size_t next_r = r, next_c = c;
        if (r > 0 && at(r - 1, c) > best) best = at(r - 1, c), next_r = r - 1, next_c = c;
        if (r + 1 < dim1 && at(r + 1, c) > best) best = at(r + 1, c), next_r = r + 1, next_c = c;
        if (c > 0 && at(r, c - 1) > best) best = at(r, c - 1), next_r = r, next_c = c - 1;
        if (c + 1 < dim2 && at(r, c + 1) > best) best = at(r, c + 1), next_r = r, next_c = c + 1;
        if (next_r == r && next_c == c) break;
        r = next_r;
        c = next_c;
    }
    if (r == 0 || r == dim1 - 1 || c == 0 || c == dim2 - 1) return {static_cast<double>(r), static_cast<double>(c)};
    auto offset = [](double before, double v, double after) {
        const double denominator = before + after - 2.0 * v;
        if (!(std::fabs(denominator) > 1e-30)) return 0.0;
        return std::fmax(-0.5, std::fmin(0.5, 0.5 * (before - after) / denominator));
    };
    const double v = at(r, c);
    return {static_cast<double>(r) + offset(at(r - 1, c), v, at(r + 1, c)),
            static_cast<double>(c) + offset(at(r, c - 1), v, at(r, c + 1))};
}

double default_valley_size(std::size_t dim1, std::size_t dim2) {
    const double sigma = static_cast<double>(std::max(dim1, dim2)) / 50.0;
    return sigma <= 5.0 ? 5.0 : sigma;
}

void check_valley_size(double valley_size, std::size_t dim1, std::size_t dim2) {
    if (!std::isfinite(valley_size) || valley_size > static_cast<double>(std::max(dim1, dim2))) {
        throw ValueError("valley_size must be finite and at most the image size");
    }
}

std::vector<Peak> find_peaks_image(std::span<const double> image, std::size_t dim1, std::size_t dim2,
                                   std::optional<double> valley_size, double threshold_factor,
                                   std::uint64_t max_peaks) {
    if (valley_size) check_valley_size(*valley_size, dim1, dim2);
    if (max_peaks == 0) return {};
    const std::vector<double> bg = background(image, dim1, dim2, valley_size);
    const std::size_t n = bg.size();

    // Over the finite residuals only: one NaN or infinite pixel must not
    // make the threshold NaN and silence the whole image.
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double residual = image[i] - bg[i];
        if (std::isfinite(residual)) {
            sum += residual;
            ++count;
        }
    }
    const double mean = sum / static_cast<double>(count);
    double squares = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double residual = image[i] - bg[i];
        if (std::isfinite(residual)) {
            const double d = residual - mean;
            squares += d * d;
        }
    }
    const double threshold = mean + threshold_factor * std::sqrt(squares / static_cast<double>(count));

    std::vector<Peak> peaks;
    if (dim1 < 3 || dim2 < 3) return peaks;
    for (std::size_t r = 1; r + 1 < dim1; ++r) {
        const double* above = image.data() + index(r - 1, 0, dim2);
        const double* row = above + dim2;
        const double* below = row + dim2;
        const double* row_bg = bg.data() + index(r, 0, dim2);
        for (std::size_t c = 1; c + 1 < dim2; ++c) {
            if (!(row[c] - row_bg[c] > threshold)) continue;
            const double v = row[c];
            if (!(v >= above[c - 1] && v >= above[c] && v >= above[c + 1] && v >= row[c - 1] && v >= row[c + 1] &&
                  v >= below[c - 1] && v >= below[c] && v >= below[c + 1])) {
                continue;
            }
            peaks.push_back(refine_peak_subpixel(image, dim1, dim2, r, c, 4));
            if (peaks.size() >= max_peaks) return peaks;
        }
    }
    return peaks;
}

std::vector<Peak> find_peaks_massif(std::span<const double> image, std::size_t dim1, std::size_t dim2,
                                    std::uint64_t seed_row, std::uint64_t seed_col,
                                    std::optional<double> valley_size, std::uint64_t max_peaks, double dedup_dist) {
    if (valley_size) check_valley_size(*valley_size, dim1, dim2);
    if (seed_row >= dim1 || seed_col >= dim2 || max_peaks == 0) return {};
    const std::vector<double> bg = background(image, dim1, dim2, valley_size);
    const std::size_t seed = index(static_cast<std::size_t>(seed_row), static_cast<std::size_t>(seed_col), dim2);
    if (!(bg[seed] < image[seed])) return {};

    // Only the seed's region is labelled: a flood fill over 4-neighbours.
    std::vector<std::uint8_t> massif(bg.size(), 0);
    std::vector<std::size_t> stack{seed};
    massif[seed] = 1;
    auto visit = [&](std::size_t j) {
        if (!massif[j] && bg[j] < image[j]) {
            massif[j] = 1;
            stack.push_back(j);
        }
    };
    while (!stack.empty()) {
        const std::size_t i = stack.back();
        stack.pop_back();
        const std::size_t r = i / dim2, c = i % dim2;
        if (r > 0) visit(i - dim2);
        if (r + 1 < dim1) visit(i + dim2);
        if (c > 0) visit(i - 1);
        if (c + 1 < dim2) visit(i + 1);
    }
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < massif.size(); ++i) {
        if (massif[i]) {
            sum += image[i];
            ++count;
        }
    }
    const double mean = sum / static_cast<double>(count);

    const std::uint64_t budget = 2 * (static_cast<std::uint64_t>(dim1) + dim2);
    std::vector<Peak> peaks{refine_peak_subpixel(image, dim1, dim2, seed_row, seed_col, budget)};
    if (peaks.size() >= max_peaks) return peaks;
    const double dedup_squared = dedup_dist * dedup_dist;
    for (std::size_t i = 0; i < massif.size(); ++i) {
        if (!massif[i] || !(image[i] > mean)) continue;
        const Peak p = refine_peak_subpixel(image, dim1, dim2, i / dim2, i % dim2, budget);
        const double r = std::round(p.d1), c = std::round(p.d2);
        if (!(r >= 0.0 && r < static_cast<double>(dim1) && c >= 0.0 && c < static_cast<double>(dim2))) continue;
        if (!massif[index(static_cast<std::size_t>(r), static_cast<std::size_t>(c), dim2)]) continue;
        const bool near = std::any_of(peaks.begin(), peaks.end(), [&](const Peak& q) {
            const double dr = p.d1 - q.d1, dc = p.d2 - q.d2;
            return dr * dr + dc * dc < dedup_squared;
        });
        if (near) continue;
        peaks.push_back(p);
        if (peaks.size() >= max_peaks) break;
    }
    return peaks;
}

}  // namespace karvelum::calibration
