// Mapped buffers for PageAllocator.
#include "dense/pages.hpp"

#include <sys/mman.h>

namespace tanvo {
namespace {
constexpr std::size_t kHugePagesFrom = std::size_t(4) << 20;
}

void* allocate_pages(std::size_t bytes) {
    void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) throw std::bad_alloc();
    // A fresh buffer of megabytes is mostly page faults: with huge pages, one per 2 MiB instead
    // of one per 4 KiB (where the system grants them on request).
    if (bytes >= kHugePagesFrom) madvise(pages, bytes, MADV_HUGEPAGE);
    return pages;
}

void free_pages(void* pages, std::size_t bytes) noexcept { munmap(pages, bytes); }

}  // namespace tanvo
