// Mapped buffers for PageAllocator.
#include "dense/pages.hpp"

#include <sys/mman.h>

namespace tanvo {
namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kHugePagesFrom = 2 * kHugePage;

// A buffer that asks for huge pages spans whole ones: the system places mappings of whole huge
// pages on their boundaries, and only then can it back the whole buffer with them.
std::size_t mapped_length(std::size_t bytes) {
    return bytes >= kHugePagesFrom ? (bytes + kHugePage - 1) / kHugePage * kHugePage : bytes;
}

}  // namespace

void* allocate_pages(std::size_t bytes) {
    const std::size_t length = mapped_length(bytes);
    if (length < bytes) throw std::bad_alloc();
    void* pages = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) throw std::bad_alloc();
    // A fresh buffer of megabytes is mostly page faults: with huge pages, one per 2 MiB instead
    // of one per 4 KiB (where the system grants them on request).
    if (length != bytes || bytes >= kHugePagesFrom) madvise(pages, length, MADV_HUGEPAGE);
    return pages;
}

void free_pages(void* pages, std::size_t bytes) noexcept { munmap(pages, mapped_length(bytes)); }

}  // namespace tanvo
