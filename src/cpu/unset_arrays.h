// Big arrays whose pages are first touched by the threads of the pass that fills them.
//
// The first touch of a page is the dearest access there is, on a virtual machine most of all: the
// system clears the page (2 MiB at a time on huge pages) and maps it. A std::vector clears its
// elements on the calling thread, which takes every one of those faults in turn, and then writes
// the elements again when a pass fills them. These arrays leave their elements unset, so the pass
// that writes them, split between the pool's threads, takes the faults side by side.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/huge_pages.h"
#include "common/parallel.h"

namespace fwprune::cpu {

// std::allocator, except that an element made without a value is left as it is (default
// initialised: unset for the plain numbers and records these arrays hold).
template <class T>
struct LeavesUnset : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = LeavesUnset<U>;
    };
    LeavesUnset() = default;
    template <class U>
    LeavesUnset(const LeavesUnset<U>&) noexcept {}  // NOLINT(google-explicit-constructor)

    template <class U>
    void construct(U* at) noexcept(std::is_nothrow_default_constructible<U>::value) {
        ::new (static_cast<void*>(at)) U;
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using Array = std::vector<T, LeavesUnset<T>>;

// count elements, unset, on huge pages where they are big enough.
template <class T>
Array<T> unsetArray(std::size_t count) {
    Array<T> a;
    a.reserve(count);
    adviseHugePages(a.data(), a.capacity() * sizeof(T));
    a.resize(count);
    return a;
}

// count copies of value, written by the pool's threads.
template <class T>
Array<T> filledArray(std::size_t count, const T& value, ThreadPool& pool) {
    Array<T> a = unsetArray<T>(count);
    pool.parallelFor(0, static_cast<std::int64_t>(count),
                     [&](std::int64_t begin, std::int64_t end, int) {
                         std::fill(a.begin() + begin, a.begin() + end, value);
                     });
    return a;
}

// Gives v's memory back.
template <class V>
void release(V& v) {
    V().swap(v);
}

}  // namespace fwprune::cpu
