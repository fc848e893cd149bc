// What an integrate call allocates beyond the image: the per-pixel geometry
// for a new shape and the table it builds (or, for the histogram method, the
// threads' chunk buffers). Calls check the estimate against the memory available
// before they allocate any of it, so that a call far beyond the machine ends
// in MemoryError instead of the process being killed.
#pragma once

#include <cstdint>

#include "integration/integrate1d.hpp"
#include "integration/integrate2d.hpp"

namespace karvelum::integration {

std::uint64_t working_set_1d(const IntegratorCore& core, const Options1d& options, std::uint64_t dim1,
                             std::uint64_t dim2);
std::uint64_t working_set_2d(const IntegratorCore& core, const Options2d& options, std::uint64_t dim1,
                             std::uint64_t dim2);

}  // namespace karvelum::integration
