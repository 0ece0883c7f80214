// An allocator that takes large buffers straight from the system, so that freeing one hands
// its pages back at once: the C heap keeps freed pages resident, and the interpreter's object
// arenas, which grow meanwhile, never reuse them.
#pragma once

#include <cstddef>
#include <new>

namespace tanvo {

// By default, buffers of at least this many bytes are mapped; smaller ones come from the heap,
// where a short-lived buffer costs no page faults.
inline constexpr std::size_t kMappedFrom = std::size_t(256) << 10;

void* allocate_pages(std::size_t bytes);  // MemoryRefused (a std::bad_alloc) when the system refuses
void free_pages(void* pages, std::size_t bytes) noexcept;

// The same for results handed to the caller, which a program often frees just before asking
// for the next one of the same size: a few freed ones of moderate size (together at most
// kKeptResultBytes) stay mapped for that next one, which then finds its pages in place instead
// of faulting each in afresh.
inline constexpr std::size_t kKeptResultBytes = std::size_t(32) << 20;
void* allocate_result_pages(std::size_t bytes);
void free_result_pages(void* pages, std::size_t bytes) noexcept;

// The same for a call's working buffers of moderate size: a program calls a routine of a few
// milliseconds many times, and faulting the same buffers' pages in afresh took a tenth of each
// call. Larger buffers, and any beyond kKeptWorkingBytes, go back to the system at once.
inline constexpr std::size_t kKeptWorkingBytes = std::size_t(8) << 20;
void* allocate_working_pages(std::size_t bytes);
void free_working_pages(void* pages, std::size_t bytes) noexcept;

// Where a mapped buffer comes from and goes back to.
struct FreshPages {
    static void* allocate(std::size_t bytes) { return allocate_working_pages(bytes); }
    static void free(void* pages, std::size_t bytes) noexcept { free_working_pages(pages, bytes); }
};
struct KeptResultPages {
    static void* allocate(std::size_t bytes) { return allocate_result_pages(bytes); }
    static void free(void* pages, std::size_t bytes) noexcept { free_result_pages(pages, bytes); }
};

template <class T, std::size_t MappedFrom = kMappedFrom, class Pages = FreshPages>
struct PageAllocator {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = PageAllocator<U, MappedFrom, Pages>;
    };
    PageAllocator() noexcept = default;
    template <class U>
    PageAllocator(const PageAllocator<U, MappedFrom, Pages>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = count * sizeof(T);
        return static_cast<T*>(bytes >= MappedFrom ? Pages::allocate(bytes) : ::operator new(bytes));
    }
    void deallocate(T* buffer, std::size_t count) noexcept {
        const std::size_t bytes = count * sizeof(T);
        if (bytes >= MappedFrom)
            Pages::free(buffer, bytes);
        else
            ::operator delete(buffer);
    }
    template <class U>
    bool operator==(const PageAllocator<U, MappedFrom, Pages>&) const noexcept {
        return true;
    }
};

}  // namespace tanvo
