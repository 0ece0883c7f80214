// Internal failures of the core: a violated assertion with its message and source position;
// and memory refused, with the size that was asked for.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <source_location>
#include <string>

namespace tanvo {

class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message,
                             std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
    throw InternalFailure(std::move(message), where);
}

// std::bad_alloc that knows how many bytes were asked for (UINT64_MAX: more than 64 bits
// count), so that a binding can say what could not be allocated. Every catch of bad_alloc takes
// it as one.
class MemoryRefused : public std::bad_alloc {
public:
    explicit MemoryRefused(std::uint64_t bytes) noexcept : bytes_(bytes) {}
    std::uint64_t bytes() const noexcept { return bytes_; }
    const char* what() const noexcept override { return "memory refused"; }

private:
    std::uint64_t bytes_;
};

// The message every "value was absent" assertion carries.
inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";
// Prefix of the message of an error value that reached an assertion.
inline constexpr const char* kUnwrapErr = "called `Result::unwrap()` on an `Err` value: ";

}  // namespace tanvo
