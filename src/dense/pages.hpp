// An allocator that takes large buffers straight from the system, so that freeing one hands
// its pages back at once: the C heap keeps freed pages resident, and the interpreter's object
// arenas, which grow meanwhile, never reuse them.
#pragma once

#include <cstddef>
#include <new>

namespace tanvo {

// Buffers of at least this many bytes are mapped; smaller ones come from the heap.
inline constexpr std::size_t kMappedFrom = std::size_t(64) << 10;

void* allocate_pages(std::size_t bytes);  // std::bad_alloc when the system refuses
void free_pages(void* pages, std::size_t bytes) noexcept;

template <class T>
struct PageAllocator {
    using value_type = T;
    PageAllocator() noexcept = default;
    template <class U>
    PageAllocator(const PageAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = count * sizeof(T);
        return static_cast<T*>(bytes >= kMappedFrom ? allocate_pages(bytes) : ::operator new(bytes));
    }
    void deallocate(T* buffer, std::size_t count) noexcept {
        const std::size_t bytes = count * sizeof(T);
        if (bytes >= kMappedFrom)
            free_pages(buffer, bytes);
        else
            ::operator delete(buffer);
    }
    template <class U>
    bool operator==(const PageAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace tanvo
