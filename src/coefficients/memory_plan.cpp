// The least memory of each coefficient route, and the refusals of computations none could fit.
#include "coefficients/memory_plan.hpp"

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "coefficients/dense_rows.hpp"
#include "coefficients/sparse_basis.hpp"
#include "solve/lapack.hpp"

namespace tanvo {
namespace {

// A map entry with its key and value objects in a Python dict.
constexpr double kBytesPerReturnedEntry = 256;

std::string matrices_text(std::size_t n, std::size_t rows, std::size_t cols) {
    return std::to_string(n) + " matrices of " + std::to_string(rows) + " x " + std::to_string(cols);
}

// The per-pair solves of the map: a copy of every matrix, the flattened system and the copy
// that LAPACK overwrites.
double per_pair_map_bytes(const BasisViews& basis) {
    double copies = 0;
    for (const MatrixView& m : basis) copies += double(m.rows) * double(m.cols);
    const double length = double(basis[0].rows) * double(basis[0].rows);
    return double(sizeof(Complex)) * (copies + 2 * length * double(basis.size())) + double(kBlasBufferBytes);
}

// The per-pair solves of the tensor: the copies and the system, and each thread's copy for LAPACK.
double per_pair_tensor_bytes(std::size_t n, std::size_t d, unsigned threads) {
    const double system = double(n) * double(d) * double(d);
    return double(sizeof(Complex)) * (2 + double(threads)) * system + double(threads) * double(kBlasBufferBytes);
}

bool views_repeat(const BasisViews& basis) {
    using Key = std::tuple<const Complex*, std::size_t, std::size_t, std::ptrdiff_t, std::ptrdiff_t>;
    std::vector<Key> keys;
    keys.reserve(basis.size());
    for (const MatrixView& m : basis) keys.emplace_back(m.first, m.rows, m.cols, m.row_step, m.col_step);
    std::sort(keys.begin(), keys.end());
    return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
}

}  // namespace

void require_room_for_map(std::size_t n, std::size_t d) {
    const double length = double(d) * double(d);
    // Products of matrices without rows are empty: no pair has a term.
    if (d == 0 || double(n) <= length) return;
    const double entries = double(n) * double(n);
    require_room(saturated(entries * kBytesPerReturnedEntry),
                 "the up to " + std::to_string(n) + "\u00b2 entries of the map of " + matrices_text(n, d, d) +
                     ", more matrices than their dimensions");
}

void require_room_for_extraction(const BasisViews& basis) {
    const std::size_t n = basis.size(), d = basis[0].rows, cols = basis[0].cols;
    require_room_for_map(n, d);
    const bool square = std::all_of(basis.begin(), basis.end(), [d](const MatrixView& m) { return m.rows == d && m.cols == d; });
    double least = per_pair_map_bytes(basis);
    std::string what = "copies of " + matrices_text(n, d, cols) + (square ? "" : " (the first)") +
                       " and their least-squares system";
    const double room = double(memory_room(saturated(least)));
    if (least <= room) return;
    if (square) {
        const double dense = DenseRowSolver::bytes_needed(n, d, 1);
        if (dense < least) {
            least = dense;
            what = "the products of " + matrices_text(n, d, d);
        }
        const double length = double(d) * double(d);
        if (double(n) <= length && !views_repeat(basis)) least = std::min(least, sparse_form_bytes(n, d, 1));
    }
    require_room(saturated(least), what + ", the least any method needs");
}

void require_room_for_tensor(std::size_t n, std::size_t d, TensorMethod method, const std::function<bool()>& repeated) {
    if (n == 0 || d == 0) return;
    const std::string matrices = matrices_text(n, d, d);
    if (method == TensorMethod::per_pair)
        return require_room(saturated(per_pair_tensor_bytes(n, d, 1)), "copies of " + matrices + " and their least-squares system");
    const double dense = DenseRowSolver::bytes_needed(n, d, 1);
    const std::string dense_what = "the products of " + matrices;
    if (method == TensorMethod::dense) return require_room(saturated(dense), dense_what);
    const double sparse = sparse_form_bytes(n, d, 1);
    const std::string sparse_what = "the sparse form of " + matrices;
    if (method == TensorMethod::sparse_orthogonal) return require_room(saturated(sparse), sparse_what);
    // Automatic: the sparse route when the matrices may be orthogonal, else the dense rows (the
    // per-pair solves only follow a pseudo-inverse found too ill-conditioned).
    if (dense <= double(memory_room(saturated(dense)))) return;
    const bool may_be_orthogonal = double(n) <= double(d) * double(d);
    if (may_be_orthogonal && !repeated()) return require_room(saturated(sparse), sparse_what + ", the least any method needs");
    require_room(saturated(dense), dense_what + (may_be_orthogonal ? " (two of them are one, so not orthogonal)" : ""));
}

unsigned dense_threads_that_fit(std::size_t n, std::size_t d, unsigned threads) {
    const double one = DenseRowSolver::bytes_needed(n, d, 1);
    require_room(saturated(one), "the products of " + matrices_text(n, d, d));
    const double per_thread = DenseRowSolver::bytes_needed(n, d, 2) - one;
    const double room = double(memory_room(saturated(DenseRowSolver::bytes_needed(n, d, std::max(threads, 1u)))));
    const double fitting = 1 + std::max(0.0, (room - one) / std::max(per_thread, 1.0));
    return unsigned(std::clamp(fitting, 1.0, double(std::max(threads, 1u))));
}

bool has_repeated_matrix(const BasisView& basis) {
    std::vector<const Complex*> first(basis.matrices);
    std::sort(first.begin(), first.end());
    return std::adjacent_find(first.begin(), first.end()) != first.end();
}

}  // namespace tanvo
