// How much memory this process may still take, decided from sizes before anything is allocated,
// and the failure that says which allocation could not be made.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

namespace tanvo {

// std::bad_alloc with a message naming what was to be allocated and how much: the bindings
// raise MemoryError with it.
class MemoryShortfall : public std::bad_alloc {
public:
    explicit MemoryShortfall(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// The bytes this process could still hold: the machine's physical memory, and, under an
// address-space limit (RLIMIT_AS), what the limit leaves beside the mappings the process has.
// Below kRoomCheckedFrom only the physical memory is consulted (no system calls).
inline constexpr std::uint64_t kRoomCheckedFrom = std::uint64_t(1) << 20;
std::uint64_t memory_room(std::uint64_t bytes = UINT64_MAX);

// "167.8 GB": a byte count as people read it (decimal units).
std::string byte_text(std::uint64_t bytes);

// `count` x `size` bytes, UINT64_MAX when the product overflows.
std::uint64_t bytes_of(std::uint64_t count, std::uint64_t size);
// An estimate reckoned in double (sizes whose products may overflow 64 bits), as a byte count:
// UINT64_MAX from 2^64 on.
std::uint64_t saturated(double bytes);

// Throws MemoryShortfall "cannot allocate <bytes> for <what>; this process can use at most
// <room> more" when `bytes` does not fit in memory_room().
void require_room(std::uint64_t bytes, std::string_view what);

// The same for `element_count` elements of `element_size` bytes; `what` defaults to a count of
// elements, for buffers whose purpose the caller's own plan already named.
void require_memory(std::uint64_t element_count, std::uint64_t element_size, std::string_view what = {});

// Whether `bytes` fit in memory_room().
bool fits_in_room(std::uint64_t bytes);

// require_memory with the description made only when the size does not fit: for calls made
// once per matrix of a basis, where building a text each time would cost more than the check.
template <class Describe>
void require_memory_for(std::uint64_t element_count, std::uint64_t element_size, Describe&& describe) {
    const std::uint64_t bytes = bytes_of(element_count, element_size);
    if (!fits_in_room(bytes)) require_room(bytes, describe());
}

}  // namespace tanvo
