// Cache-line aligned heap blocks, portable to Windows (which has no aligned_alloc).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
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

// count elements of T in one block aligned to a 64-byte cache line and padded to whole lines, so
// vector kernels may read a full line past the last element in use. Zeroed unless asked not to
// be. Throws std::bad_alloc when memory is short.
template <typename T>
class AlignedArray {
  public:
    static constexpr std::size_t kLineBytes = 64;

    explicit AlignedArray(std::size_t count, bool zeroed = true) {
        const std::size_t bytes = count == 0 ? kLineBytes : count * sizeof(T);
        data_.reset(static_cast<T*>(alignedAllocate(kLineBytes, bytes)));
        if (!data_) throw std::bad_alloc();
        if (zeroed) std::memset(data_.get(), 0, (bytes + kLineBytes - 1) / kLineBytes * kLineBytes);
    }
    T* get() { return data_.get(); }
    const T* get() const { return data_.get(); }

  private:
    std::unique_ptr<T, AlignedFree> data_;
};

}  // namespace fwprune
