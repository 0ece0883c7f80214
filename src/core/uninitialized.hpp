// Vectors whose resize leaves new elements of trivial types uninitialised: for large results
// every element of which is written once, so that the pages are first touched by the threads
// that fill them rather than zeroed by one thread beforehand.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/pages.hpp"

namespace tanvo {

// Results from this size on are mapped (and kept for the next result of their size).
inline constexpr std::size_t kResultsMappedFrom = std::size_t(1) << 20;

template <class T, std::size_t MappedFrom = kResultsMappedFrom, class Pages = KeptResultPages>
struct UninitializedAllocator : PageAllocator<T, MappedFrom, Pages> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U, MappedFrom, Pages>;
    };
    UninitializedAllocator() noexcept = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U, MappedFrom, Pages>&) noexcept {}

    // Allocated storage already holds objects of an implicit-lifetime type; nothing to write.
    template <class U>
    void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
        if constexpr (!std::is_trivially_copyable_v<U>) ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using UninitializedVector = std::vector<T, UninitializedAllocator<T>>;

// The same for the scratch buffers of one call: large ones mapped afresh and handed back when
// freed (no pages kept for a next result), their pages first touched where they are written.
template <class T>
using UninitializedScratch = std::vector<T, UninitializedAllocator<T, kResultsMappedFrom, FreshPages>>;

}  // namespace tanvo
