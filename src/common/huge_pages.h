// Large arrays backed by 2 MiB pages where the system leaves that to the program (Linux's
// transparent huge pages in "madvise" mode). One fault then maps 2 MiB instead of 4 KiB, and one
// translation entry covers them: on a virtual machine, where first touches and translation misses
// cost the most, that is a fifth of a sparse reduction's time, and more when the numbering
// scatters its reads. Elsewhere these are plain vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace fwprune {

// Advises the whole 2 MiB pages inside [data, data + bytes) to be huge pages. Pages already
// touched keep their size; failure is harmless (the advice is only advice).
inline void adviseHugePages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    if (bytes < 2 * kHuge) return;
    const auto at = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = (at + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t end = (at + bytes) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    static_cast<void>(data);
    static_cast<void>(bytes);
#endif
}

// Reserves room for count elements in an empty vector and advises its pages before anything
// touches them, so that filling the room (resize, assign, push_back) maps huge pages.
template <class T>
void reserveHugePages(std::vector<T>& v, std::size_t count) {
    v.reserve(count);
    adviseHugePages(v.data(), v.capacity() * sizeof(T));
}

// count copies of value, on huge pages where they are big enough.
template <class T>
std::vector<T> hugePageVector(std::size_t count, const T& value = T()) {
    std::vector<T> v;
    reserveHugePages(v, count);
    v.assign(count, value);
    return v;
}

}  // namespace fwprune
