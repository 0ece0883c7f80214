// Joining the chunks' terms, and the term buffers kept between calls.
#include "coefficients/tensor_rows.hpp"

namespace tanvo::tensor_rows {

TermTable concatenate(std::vector<TermTable>& parts) {
    std::size_t total = 0;
    for (const TermTable& part : parts) total += part.size();
    require_memory(std::uint64_t(total), 3 * sizeof(std::int64_t) + sizeof(Complex),
                   "the " + std::to_string(total) + " terms of the tensor");
    TermTable all;
    all.indices.reserve(total * 3);
    all.values.reserve(total);
    std::size_t released = 0;
    for (TermTable& part : parts) {
        all.indices.insert(all.indices.end(), part.indices.begin(), part.indices.end());
        all.values.insert(all.values.end(), part.values.begin(), part.values.end());
        released += part.size();
        part = TermTable{};
        // Freed chunks below malloc's mmap threshold stay in its arenas unless trimmed.
        if (released > (std::size_t(1) << 20)) {
            malloc_trim(0);
            released = 0;
        }
    }
    return all;
}

KeptTermBuffers& kept_term_buffers = *new KeptTermBuffers;

}  // namespace tanvo::tensor_rows
