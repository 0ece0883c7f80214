// Memory room: physical memory and the address-space limit.
#include "core/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace tanvo {
namespace {

std::uint64_t physical_memory() {
    static const std::uint64_t physical = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGESIZE);
        return pages > 0 && page_size > 0 ? std::uint64_t(pages) * std::uint64_t(page_size) : UINT64_MAX;
    }();
    return physical;
}

// The process's mapped address space (VmSize), or 0 when it cannot be read.
std::uint64_t mapped_bytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm) return 0;
    unsigned long long pages = 0;
    const bool read = std::fscanf(statm, "%llu", &pages) == 1;
    std::fclose(statm);
    const long page_size = sysconf(_SC_PAGESIZE);
    return read && page_size > 0 ? std::uint64_t(pages) * std::uint64_t(page_size) : 0;
}

}  // namespace

std::uint64_t memory_room(std::uint64_t bytes) {
    const std::uint64_t physical = physical_memory();
    if (bytes < kRoomCheckedFrom) return physical;
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return physical;
    const std::uint64_t mapped = mapped_bytes();
    const std::uint64_t left = std::uint64_t(limit.rlim_cur) > mapped ? std::uint64_t(limit.rlim_cur) - mapped : 0;
    return left < physical ? left : physical;
}

std::string byte_text(std::uint64_t bytes) {
    if (bytes == UINT64_MAX) return "more than 18 EB";
    static constexpr const char* kUnits[] = {"bytes", "kB", "MB", "GB", "TB", "PB", "EB"};
    double value = double(bytes);
    int unit = 0;
    while (value >= 1000.0 && unit < 6) {
        value /= 1000.0;
        ++unit;
    }
    char text[48];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::uint64_t bytes_of(std::uint64_t count, std::uint64_t size) {
    std::uint64_t bytes = 0;
    return __builtin_mul_overflow(count, size, &bytes) ? UINT64_MAX : bytes;
}

namespace {

[[noreturn]] void fail_room(std::uint64_t bytes, std::uint64_t room, std::string_view what) {
    throw MemoryShortfall("cannot allocate " + byte_text(bytes) + " for " + std::string(what) +
                          "; this process can use at most " + byte_text(room) + " more");
}

}  // namespace

std::uint64_t saturated(double bytes) {
    if (!(bytes < 18446744073709551616.0)) return UINT64_MAX;
    return bytes > 0.0 ? std::uint64_t(bytes) : 0;
}

bool fits_in_room(std::uint64_t bytes) { return bytes != UINT64_MAX && bytes <= memory_room(bytes); }

void require_room(std::uint64_t bytes, std::string_view what) {
    const std::uint64_t room = memory_room(bytes);
    if (bytes > room || bytes == UINT64_MAX) fail_room(bytes, room, what);
}

void require_memory(std::uint64_t element_count, std::uint64_t element_size, std::string_view what) {
    const std::uint64_t bytes = bytes_of(element_count, element_size);
    const std::uint64_t room = memory_room(bytes);
    if (bytes <= room && bytes != UINT64_MAX) return;
    if (!what.empty()) fail_room(bytes, room, what);
    fail_room(bytes, room, "an array of " + std::to_string(element_count) + " elements of " +
                               std::to_string(element_size) + " bytes");
}

}  // namespace tanvo
