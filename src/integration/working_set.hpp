// What an integrate call allocates beyond the image it is given: the
// per-pixel geometry for a new shape and the table it builds (built once and
// shared by every thread that integrates with the core), and its own buffers
// (a widened copy of a file's samples, the Poisson variance, the histogram's
// chunk buffers, the per-bin arrays). Calls admit the estimate against the
// memory available before they allocate any of it, so that a call beyond the
// machine or the control group ends in MemoryError instead of the process
// being killed. The estimate is the call's peak, not a bound with a margin:
// the margin is the admission's fixed reserve (memory.hpp).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "integration/integrate1d.hpp"
#include "integration/integrate2d.hpp"
#include "memory.hpp"
#include "sample_type.hpp"

namespace karvelum::integration {

// `image` is the type of the samples the call is handed: F64 for an array or
// a frame decoded to doubles, the file's type for samples kept as stored.
WorkingSet working_set_1d(const IntegratorCore& core, const Options1d& options, std::uint64_t dim1,
                          std::uint64_t dim2, SampleType image = SampleType::F64);
WorkingSet working_set_2d(const IntegratorCore& core, const Options2d& options, std::uint64_t dim1,
                          std::uint64_t dim2, SampleType image = SampleType::F64);

// The entries the estimate counts in the table a first call builds (0 where
// it builds none), for the C++ tests to set beside the table built.
std::uint64_t estimated_table_entries_1d(const IntegratorCore& core, const Options1d& options, std::uint64_t dim1,
                                         std::uint64_t dim2);
std::uint64_t estimated_table_entries_2d(const IntegratorCore& core, const Options2d& options, std::uint64_t dim1,
                                         std::uint64_t dim2);

// The bytes the estimate counts for a build's entry lists, one per chunk:
// (entries reserved, entries written), built by `workers` threads. For the
// C++ tests.
std::uint64_t entry_list_bytes(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& lists,
                               std::uint64_t workers);

}  // namespace karvelum::integration
