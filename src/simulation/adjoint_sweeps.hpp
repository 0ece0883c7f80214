// Values and adjoint gradients of circuits in the adjoint representation of a Lie algebra:
// v^T M_1 ... M_L w with M_k = exp(θ_k Â_k) on real vectors of dim g coefficients, for a batch
// of angle vectors spread over threads (each vector's result does not depend on the threads).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>

namespace tanvo::simulation {

// How exp(θÂ) is applied (the values the Python front packs).
enum class ExponentialForm : std::int64_t { rotations = 0, polynomial = 1, taylor = 2 };

// The distinct generators of a circuit, as flat arrays; generator g owns the entries
// [offsets[g], offsets[g + 1]) of each list below its offsets.
struct GeneratorSet {
    std::size_t n = 0;                          // the length of every vector
    std::span<const std::int64_t> forms;        // an ExponentialForm per generator
    // Rotations: Â e_u = a e_v and Â e_v = b e_u for each pair; other columns are zero.
    std::span<const std::int64_t> pair_offsets, pair_u, pair_v;
    std::span<const double> pair_a, pair_b;
    // Â and Âᵀ as coordinate terms sorted by row (the same offsets for both).
    std::span<const std::int64_t> term_offsets, rows, cols;
    std::span<const double> vals;
    std::span<const std::int64_t> transposed_rows, transposed_cols;
    std::span<const double> transposed_vals;
    // Polynomial: the distinct eigenvalues of -Â² in Newton order.
    std::span<const std::int64_t> node_offsets;
    std::span<const double> nodes;
    // Taylor: a bound on ‖Â‖₂ per generator.
    std::span<const double> norms;
};

// What to run: the generator of each of the L gates, B angle vectors of L angles (row-major),
// the state's vector v and the observable's w (both of length n).
struct SweepRequest {
    std::span<const std::int64_t> gate_generators;
    std::span<const double> angles;
    std::size_t batch = 0;
    std::span<const double> state, observable;
    bool gradient = false;
    unsigned threads = 1;
};

// Throws std::invalid_argument when the arrays do not describe generators of size n (an index
// out of range, offsets not increasing, sizes that disagree).
void check_generators(const GeneratorSet& generators, const SweepRequest& request);

// Writes values[b] and, when asked, derivatives[b * L + k] = ∂ value[b] / ∂θ_k. Throws
// Cancelled when the stop is requested.
void adjoint_sweeps(const GeneratorSet& generators, const SweepRequest& request, std::stop_token stop,
                    double* values, double* derivatives);

}  // namespace tanvo::simulation
