// Pixel-to-bin tables and the one-entry table caches of an integrator.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "buffer.hpp"
#include "integration/methods.hpp"

namespace karvelum {

// Compressed sparse rows: bin b owns entries offsets[b] .. offsets[b+1]-1,
// pixel indices ascending inside a bin. Tables remember the image shape they
// were built for and are applied only to images of that shape.
struct CsrLut {
    Buffer<std::uint64_t> offsets;        // bins + 1 entries, first 0
    Buffer<std::uint32_t> indices;        // flat row-major pixel index per entry
    Buffer<double> weights;               // empty: every weight is 1.0
    // Per bin: the factor that turns the bin's normalised weights back into
    // raw weights (empty: 1): overlap areas for pixel splitting, fractions of
    // a pixel for supersampling. Raw sums of several detectors add in these.
    Buffer<double> raw_scale;
    double start = 0.0;                   // lower edge of bin 0
    double step = 0.0;                    // bin width
    std::uint64_t dim1 = 0, dim2 = 0;     // image shape the table belongs to

    std::uint64_t bins() const { return offsets.empty() ? 0 : offsets.size() - 1; }
    std::uint64_t pixels() const { return dim1 * dim2; }
};

struct CsrLut2d {
    CsrLut table;  // bins = n_radial * n_azimuthal, flat bin = radial + n_radial * azimuthal
    std::uint64_t n_radial = 0, n_azimuthal = 0;
};

// One slot: the table of the last key requested. Callers hold the returned
// shared pointer while they apply the table, so a table is never released
// under a reader, and no lock is held during a parallel apply.
template <class Key, class Table, bool (*Equal)(const Key&, const Key&)>
class TableCache {
public:
    // The cached table when it was built for `key` and this image shape.
    std::shared_ptr<const Table> find(const Key& key, std::uint64_t dim1, std::uint64_t dim2) const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (key_ && Equal(*key_, key) && table_ && shape_of(*table_) == std::pair{dim1, dim2}) return table_;
        return nullptr;
    }

    // Stores a freshly built table unless an equal one for the same shape got
    // there first; returns the table the caller should use.
    std::shared_ptr<const Table> store(const Key& key, std::shared_ptr<const Table> table) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (key_ && Equal(*key_, key) && table_ && shape_of(*table_) == shape_of(*table)) return table_;
        key_ = key;
        table_ = std::move(table);
        return table_;
    }

    void clear() {
        std::shared_ptr<const Table> released;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            key_.reset();
            released = std::move(table_);
        }
        // `released` drops outside the lock; readers may still hold the table.
    }

    bool empty() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return !table_;
    }

private:
    static std::pair<std::uint64_t, std::uint64_t> shape_of(const CsrLut& t) { return {t.dim1, t.dim2}; }
    static std::pair<std::uint64_t, std::uint64_t> shape_of(const CsrLut2d& t) { return shape_of(t.table); }

    mutable std::mutex mutex_;
    std::optional<Key> key_;
    std::shared_ptr<const Table> table_;
};

using Lut1dCache = TableCache<Lut1dCacheKey, CsrLut, lut1d_cache_key_eq>;
using Lut2dCache = TableCache<Lut2dCacheKey, CsrLut2d, lut2d_cache_key_eq>;

}  // namespace karvelum

namespace karvelum {

struct IntegratorCore;
struct GeometrySnapshot;

// The 1D table for `key` and the snapshot's image shape, from the cache or
// built from the snapshot and stored. Concurrent callers that miss together
// both build; the first to store wins.
std::shared_ptr<const CsrLut> get_or_build_lut_1d(IntegratorCore& core, const GeometrySnapshot& snap,
                                                  const Lut1dCacheKey& key);

}  // namespace karvelum

namespace karvelum {

// The 2D table for `key` and the snapshot's image shape, from the cache or
// built and stored.
std::shared_ptr<const CsrLut2d> get_or_build_lut_2d(IntegratorCore& core, const GeometrySnapshot& snap,
                                                    const Lut2dCacheKey& key);

}  // namespace karvelum
