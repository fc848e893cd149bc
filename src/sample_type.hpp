// The sample types of decoded images, and dispatch on them.
#pragma once

#include <cstdint>

namespace karvelum {

enum class SampleType : std::uint8_t { U8, U16, U32, U64, I8, I16, I32, I64, F32, F64 };

// Calls f with a value of the C++ type of `type` (for dispatch).
template <class F>
void with_sample_type(SampleType type, F&& f) {
    switch (type) {
        case SampleType::U8: return f(std::uint8_t{});
        case SampleType::U16: return f(std::uint16_t{});
        case SampleType::U32: return f(std::uint32_t{});
        case SampleType::U64: return f(std::uint64_t{});
        case SampleType::I8: return f(std::int8_t{});
        case SampleType::I16: return f(std::int16_t{});
        case SampleType::I32: return f(std::int32_t{});
        case SampleType::I64: return f(std::int64_t{});
        case SampleType::F32: return f(float{});
        case SampleType::F64: return f(double{});
    }
}

// A decoded file's samples as the file stores them: `type`, rows top-down,
// so that the file's row r is image row dim1 - 1 - r (the row order in which
// the detector geometry numbers its pixels). Empty when `data` is null.
struct FileSamples {
    SampleType type = SampleType::F64;
    const void* data = nullptr;
};

}  // namespace karvelum
