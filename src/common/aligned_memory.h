// Cache-line aligned heap blocks, portable to Windows (which has no aligned_alloc).
#pragma once

#include <cstddef>
#include <cstdlib>
#if defined(_WIN32)
#include <malloc.h>
#endif

namespace fwprune {

// alignment must be a power of two; bytes is rounded up to a multiple of it. nullptr when
// memory is short.
inline void* alignedAllocate(std::size_t alignment, std::size_t bytes) {
    bytes = (bytes + alignment - 1) / alignment * alignment;
#if defined(_WIN32)
    return _aligned_malloc(bytes, alignment);
#else
    return std::aligned_alloc(alignment, bytes);
#endif
}

inline void alignedFree(void* pointer) noexcept {
#if defined(_WIN32)
    _aligned_free(pointer);
#else
    std::free(pointer);
#endif
}

// Deleter for std::unique_ptr over alignedAllocate's blocks.
struct AlignedFree {
    void operator()(void* pointer) const noexcept { alignedFree(pointer); }
};

}  // namespace fwprune
