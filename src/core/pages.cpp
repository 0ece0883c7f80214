// Mapped buffers for PageAllocator.
#include "core/pages.hpp"

#include <sys/mman.h>

#include <iterator>
#include <mutex>
#include <vector>

#include "core/failure.hpp"

namespace tanvo {
namespace {

constexpr std::size_t kPage = std::size_t(4) << 10, kHugePage = std::size_t(2) << 20;
constexpr std::size_t kHugePagesFrom = 2 * kHugePage;

// The whole pages a buffer spans. One that asks for huge pages spans whole ones: the system
// places mappings of whole huge pages on their boundaries, and only then can it back the whole
// buffer with them.
std::size_t mapped_length(std::size_t bytes) {
    const std::size_t unit = bytes >= kHugePagesFrom ? kHugePage : kPage;
    return (bytes + unit - 1) / unit * unit;
}

}  // namespace

void* allocate_pages(std::size_t bytes) {
    const std::size_t length = mapped_length(bytes);
    if (length < bytes) throw MemoryRefused(bytes);
    void* pages = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) throw MemoryRefused(bytes);
    // A fresh buffer of megabytes is mostly page faults: with huge pages, one per 2 MiB instead
    // of one per 4 KiB (where the system grants them on request).
    if (bytes >= kHugePagesFrom) madvise(pages, length, MADV_HUGEPAGE);
    return pages;
}

void free_pages(void* pages, std::size_t bytes) noexcept { munmap(pages, mapped_length(bytes)); }

namespace {

struct KeptPages {
    void* pages;
    std::size_t bytes;
};

// Never destroyed: a result may be freed while the process exits.
std::mutex& kept_mutex = *new std::mutex;
std::vector<KeptPages>& kept = *new std::vector<KeptPages>;  // most recently freed last
std::size_t kept_bytes = 0;

}  // namespace

void* allocate_result_pages(std::size_t bytes) {
    {
        const std::lock_guard<std::mutex> lock(kept_mutex);
        for (auto at = kept.rbegin(); at != kept.rend(); ++at)
            if (mapped_length(at->bytes) == mapped_length(bytes)) {
                void* pages = at->pages;
                kept_bytes -= mapped_length(at->bytes);
                kept.erase(std::next(at).base());
                return pages;
            }
    }
    return allocate_pages(bytes);
}

void free_result_pages(void* pages, std::size_t bytes) noexcept {
    const std::size_t length = mapped_length(bytes);
    if (length <= kKeptResultBytes / 2) {
        std::vector<KeptPages> released;
        {
            const std::lock_guard<std::mutex> lock(kept_mutex);
            try {
                kept.push_back({pages, bytes});
                kept_bytes += length;
                pages = nullptr;
                while (kept_bytes > kKeptResultBytes) {  // the oldest go first
                    released.push_back(kept.front());
                    kept_bytes -= mapped_length(kept.front().bytes);
                    kept.erase(kept.begin());
                }
            } catch (const std::bad_alloc&) {
            }
        }
        for (const KeptPages& old : released) free_pages(old.pages, old.bytes);
        if (!pages) return;
    }
    free_pages(pages, bytes);
}

}  // namespace tanvo
