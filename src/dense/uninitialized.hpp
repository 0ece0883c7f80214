// Vectors whose resize leaves new elements of trivial types uninitialised: for large results
// every element of which is written once, so that the pages are first touched by the threads
// that fill them rather than zeroed by one thread beforehand. Large ones ask for huge pages.
#pragma once

#include <sys/mman.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace tanvo {

template <class T>
struct UninitializedAllocator : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() noexcept = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

    // A fresh result of megabytes is mostly page faults: with huge pages, one per 2 MiB
    // instead of one per 4 KiB (where the system grants them on request).
    T* allocate(std::size_t count) {
        const std::size_t bytes = count * sizeof(T);
        if (bytes < kHugeFrom) return std::allocator<T>::allocate(count);
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* memory = std::aligned_alloc(kHugePage, rounded);
        if (!memory) throw std::bad_alloc();
        madvise(memory, rounded, MADV_HUGEPAGE);
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, std::size_t count) noexcept {
        if (count * sizeof(T) < kHugeFrom) return std::allocator<T>::deallocate(memory, count);
        std::free(memory);
    }

    // Allocated storage already holds objects of an implicit-lifetime type; nothing to write.
    template <class U>
    void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
        if constexpr (!std::is_trivially_copyable_v<U>) ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }

private:
    static constexpr std::size_t kHugePage = std::size_t(2) << 20, kHugeFrom = kHugePage / 2;
};

template <class T>
using UninitializedVector = std::vector<T, UninitializedAllocator<T>>;

}  // namespace tanvo
