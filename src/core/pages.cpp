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

// Freed mappings kept for the next buffer of the same length, most recently freed last, at
// most `limit` bytes of them (the oldest go first), each at most half of that.
class PageCache {
public:
    explicit PageCache(std::size_t limit) : limit_(limit) {}

    void* allocate(std::size_t bytes) {
        const std::size_t length = mapped_length(bytes);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            for (auto at = kept_.rbegin(); at != kept_.rend(); ++at)
                if (at->length == length) {
                    void* pages = at->pages;
                    kept_bytes_ -= length;
                    kept_.erase(std::next(at).base());
                    return pages;
                }
        }
        return allocate_pages(bytes);
    }

    void free(void* pages, std::size_t bytes) noexcept {
        const std::size_t length = mapped_length(bytes);
        if (length <= limit_ / 2) {
            std::vector<Kept> released;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                try {
                    kept_.push_back({pages, length});
                    kept_bytes_ += length;
                    pages = nullptr;
                    while (kept_bytes_ > limit_) {
                        released.push_back(kept_.front());
                        kept_bytes_ -= kept_.front().length;
                        kept_.erase(kept_.begin());
                    }
                } catch (const std::bad_alloc&) {
                }
            }
            for (const Kept& old : released) munmap(old.pages, old.length);
            if (!pages) return;
        }
        free_pages(pages, bytes);
    }

private:
    struct Kept {
        void* pages;
        std::size_t length;
    };
    const std::size_t limit_;
    std::mutex mutex_;
    std::vector<Kept> kept_;
    std::size_t kept_bytes_ = 0;
};

// Never destroyed: a buffer may be freed while the process exits.
PageCache& result_pages = *new PageCache(kKeptResultBytes);
PageCache& working_pages = *new PageCache(kKeptWorkingBytes);

}  // namespace

void* allocate_result_pages(std::size_t bytes) { return result_pages.allocate(bytes); }
void free_result_pages(void* pages, std::size_t bytes) noexcept { result_pages.free(pages, bytes); }
void* allocate_working_pages(std::size_t bytes) { return working_pages.allocate(bytes); }
void free_working_pages(void* pages, std::size_t bytes) noexcept { working_pages.free(pages, bytes); }

}  // namespace tanvo
