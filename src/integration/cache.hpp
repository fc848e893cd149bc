// The one-entry table caches of an integrator.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "geometry_state.hpp"
#include "integration/methods.hpp"
#include "lut/table.hpp"

namespace karvelum::integration {

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

    // Serialises builds, so that callers that miss together build once.
    std::mutex& build_mutex() { return build_mutex_; }

    bool empty() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return !table_;
    }

private:
    static std::pair<std::uint64_t, std::uint64_t> shape_of(const lut::CsrLut& t) { return {t.dim1, t.dim2}; }
    static std::pair<std::uint64_t, std::uint64_t> shape_of(const lut::CsrLut2d& t) { return shape_of(t.table); }

    mutable std::mutex mutex_;
    std::mutex build_mutex_;
    std::optional<Key> key_;
    std::shared_ptr<const Table> table_;
};

using Lut1dCache = TableCache<Lut1dCacheKey, lut::CsrLut, lut1d_cache_key_eq>;
using Lut2dCache = TableCache<Lut2dCacheKey, lut::CsrLut2d, lut2d_cache_key_eq>;

struct IntegratorCore;

// The 1D table for `key` and the snapshot's image shape, from the cache or
// built from the snapshot and stored. Callers that miss together wait for
// one build.
std::shared_ptr<const lut::CsrLut> get_or_build_lut_1d(IntegratorCore& core, const GeometrySnapshot& snap,
                                                  const Lut1dCacheKey& key);

// The 2D table for `key` and the snapshot's image shape, from the cache or
// built and stored.
std::shared_ptr<const lut::CsrLut2d> get_or_build_lut_2d(IntegratorCore& core, const GeometrySnapshot& snap,
                                                    const Lut2dCacheKey& key);

}  // namespace karvelum::integration
