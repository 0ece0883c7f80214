// Complete coefficient tensors. The rows i of pairs are split over threads in chunks whose
// terms are concatenated in order; each row is found by one of three routes, all equal to one
// least-squares solve per pair up to rounding:
// - sparse orthogonal bases: only the pairs whose supports touch, products formed sparsely,
//   coefficients by orthogonal projection (for monomial bases one verified term per pair; for
//   Gell-Mann-like bases, of mirrored pairs and diagonals, by lookups per position);
// - any other square basis: one pseudo-inverse, then products and coefficients of a whole row
//   by matrix products;
// - a basis too ill-conditioned for either: one least-squares solve per pair.
// A basis of extreme scale is divided by a power of two first, its coefficients multiplied back.
//
// This file scales, chooses the route and holds the two general ones; the sparse orthogonal
// routes are in tensor_sparse_orthogonal.cpp and tensor_mirrored_pairs.cpp, their shared
// machinery in tensor_rows.hpp.
#include "coefficients/tensor.hpp"

#include <limits>

#include "coefficients/memory_plan.hpp"
#include "coefficients/tensor_rows.hpp"

namespace tanvo {

using namespace tensor_rows;

namespace {

// ---- any square basis ---------------------------------------------------------------------

// Thrown by a dense row that the pseudo-inverse cannot give: the per-pair solves decide then.
struct UsePerPairRows {};

TermTable dense_rows(const DenseRowSolver& solver, const TensorRequest& request, const std::stop_token& stop,
                     const BasisView& basis) {
    const std::size_t n = basis.size(), d = basis.d;
    struct Scratch {
        DenseRowSolver::Workspace work;
        std::vector<Complex> coefficients;
    };
    return rows_in_parallel<Scratch>(
        request, stop, [&] { return Scratch{DenseRowSolver::Workspace(n, d), {}}; },
        [&](std::size_t i, Scratch& w, TermTable& out) {
            // A product that overflows, or a basis solved for directly that is too ill-conditioned:
            // the per-pair solves tell which (they throw for the first, solve the second).
            if (!solver.solve_row(i, request.product, w.work, w.coefficients, [&stop] { stop_point(stop); }))
                throw UsePerPairRows{};
            for (std::size_t j = 0; j < n; ++j) {
                if (j == i && request.product == PairProduct::commutator) continue;
                for (std::size_t k = 0; k < n; ++k)
                    if (kept(w.coefficients[j * n + k], request.tol)) add_term(out, i, j, k, w.coefficients[j * n + k]);
            }
        });
}

// ---- one least-squares solve per pair -------------------------------------------------------

// A solve of at least this many multiply-adds (m n min(m, n) of its system) runs for a good part
// of a second without a stop point: it goes to a helper thread that a stopped row leaves.
constexpr double kLeavableSolveFrom = double(1 << 24);

TermTable per_pair_rows(const BasisView& view, const TensorRequest& request, const std::stop_token& stop,
                        double rcond) {
    const std::size_t n = view.size(), d = view.d, length = d * d;
    require_memory(std::uint64_t(n) * length * 2, sizeof(Complex),
                   "copies of " + std::to_string(n) + " matrices of " + std::to_string(d) + " x " + std::to_string(d) +
                       " and their least-squares system");
    Basis basis;
    basis.reserve(n);
    std::vector<Complex> columns(length * n);  // the system matrix, column k = B_k flattened
    for (std::size_t k = 0; k < n; ++k) {
        stop_point(stop);
        std::vector<Complex> storage(view.matrices[k], view.matrices[k] + length);
        std::copy(storage.begin(), storage.end(), columns.begin() + std::ptrdiff_t(k * length));
        basis.push_back(ComplexMatrix::from_storage(d, d, std::ptrdiff_t(d), 1, std::move(storage)));
    }
    // Shared with the solves a stopped row leaves running.
    const auto system = std::make_shared<const ComplexMatrix>(
        ComplexMatrix::from_storage(length, n, 1, std::ptrdiff_t(length), std::move(columns)));
    const bool leave_solves = double(length) * double(n) * double(std::min(length, n)) >= kLeavableSolveFrom;
    auto solve = [&](const std::vector<Complex>& rhs) -> LeastSquaresResult {
        if (!leave_solves) return solve_least_squares(*system, rhs, rcond);
        const auto shared_rhs = std::make_shared<const std::vector<Complex>>(rhs);
        const auto result = std::make_shared<LeastSquaresResult>();
        run_leavable(
            [system, shared_rhs, result, rcond] {
                const SingleThreadedBlas one_thread;
                *result = solve_least_squares(*system, *shared_rhs, rcond);
            },
            [&stop] { stop_point(stop); });
        return std::move(*result);
    };
    struct Scratch {
        std::vector<Complex> rhs;
    };
    return rows_in_parallel<Scratch>(
        request, stop, [] { return Scratch{}; },
        [&](std::size_t i, Scratch& w, TermTable& out) {
            for (std::size_t j = 0; j < n; ++j) {
                if (j == i && request.product == PairProduct::commutator) continue;
                stop_point(stop);
                ComplexMatrix combined = matmul(basis[i], basis[j]);
                const ComplexMatrix reversed = matmul(basis[j], basis[i]);
                if (request.product == PairProduct::commutator)
                    subtract_into(combined, reversed);
                else
                    add_into(combined, reversed);
                w.rhs.assign(combined.storage().begin(), combined.storage().end());
                const LeastSquaresResult solved = solve(w.rhs);
                if (const auto* error = std::get_if<SolverError>(&solved)) {
                    if (!std::all_of(w.rhs.begin(), w.rhs.end(), finite)) fail_overflow();
                    throw std::runtime_error("least-squares solve failed: " + render(*error));
                }
                const auto& x = std::get<std::vector<Complex>>(solved);
                for (std::size_t k = 0; k < n; ++k)
                    if (kept(x[k], request.tol)) add_term(out, i, j, k, x[k]);
            }
        });
}

// The rank rule of the request for the d² x n system: its own, or NumPy's.
double rank_rule(const TensorRequest& request, std::size_t n, std::size_t d) {
    if (request.rcond) return *request.rcond;
    return std::numeric_limits<double>::epsilon() * double(std::max(d * d, n));
}

// Whether the rank rule keeps every column of an orthogonal basis: its singular values are then
// the columns' norms, and the projection is the least-squares solution only if none counts as
// zero.
bool keeps_every_column(const SparseBasis& sparse, double rcond) {
    const double largest = std::sqrt(*std::max_element(sparse.norm2.begin(), sparse.norm2.end()));
    return std::all_of(sparse.norm2.begin(), sparse.norm2.end(),
                       [&](double norm2) { return std::sqrt(norm2) > rcond * largest; });
}

// ---- bases of any scale ---------------------------------------------------------------------
//
// The routes square the basis's entries (norms, products) and multiply squares (the
// orthogonality test), so that bases of entries from about 1e77 on, or below about 1e-77, left
// them overflowing or underflowing each in its own way: a non-orthogonal basis taken for an
// orthogonal one, NaN coefficients, a product said to overflow that did not. A basis whose
// largest matrix norm² lies outside these bounds is first divided by the power of two of its
// largest entry, and its coefficients multiplied back: T(sB) = s·T(B) for either product
// ([sB_i, sB_j] = s²[B_i, B_j] = Σ_k (s·T_ijk)(s·B_k)), exactly for a power of two (the routes
// see the same bits), as far as the coefficients themselves fit in a double. Within the bounds
// no square and no product of two overflows or underflows, and the basis is read as it is.
constexpr double kSmallestUnscaledNorm2 = 0x1p-200, kLargestUnscaledNorm2 = 0x1p200;

// The exponent of 2 that brings the basis's largest entry (of real and imaginary parts) to
// [1, 2), when its largest matrix norm² lies outside the bounds; 0 otherwise, and for a zero basis.
int scale_exponent(double largest_norm2, double largest_part) {
    if (largest_norm2 >= kSmallestUnscaledNorm2 && largest_norm2 <= kLargestUnscaledNorm2) return 0;
    return largest_part > 0.0 ? std::ilogb(largest_part) : 0;
}

// The same for a basis read in full (the forced methods, which skip the sparse form's norms).
int scale_exponent(const BasisView& basis, const std::stop_token& stop) {
    double largest_norm2 = 0.0, largest_part = 0.0;
    for (std::size_t m = 0; m < basis.size(); ++m) {
        if (m % 64 == 0) stop_point(stop);
        double norm2 = 0.0;
        for (std::size_t t = 0; t < basis.d * basis.d; ++t) {
            const Complex v = basis.matrices[m][t];
            norm2 += magnitude2(v);
            largest_part = std::max({largest_part, std::abs(v.re), std::abs(v.im)});
        }
        largest_norm2 = std::max(largest_norm2, norm2);
    }
    return scale_exponent(largest_norm2, largest_part);
}

int scale_exponent(const SparseBasis& sparse) {
    const double largest_norm2 = *std::max_element(sparse.norm2.begin(), sparse.norm2.end());
    if (largest_norm2 >= kSmallestUnscaledNorm2 && largest_norm2 <= kLargestUnscaledNorm2) return 0;
    double largest_part = 0.0;
    for (const Complex& v : sparse.value) largest_part = std::max({largest_part, std::abs(v.re), std::abs(v.im)});
    return scale_exponent(largest_norm2, largest_part);
}

Complex times_power_of_two(Complex c, int exponent) {
    return {std::ldexp(c.re, exponent), std::ldexp(c.im, exponent)};
}

// The tensor of 2^-exponent · basis (a copy), its coefficients multiplied by 2^exponent and
// those at most the request's tol dropped. Throws std::overflow_error for a coefficient past
// the largest double.
TermTable scaled_tensor(const BasisView& basis, const TensorRequest& request, const std::stop_token& stop,
                        int exponent) {
    const std::size_t n = basis.size(), length = basis.d * basis.d;
    require_memory(std::uint64_t(n) * length, sizeof(Complex),
                   "a copy of " + std::to_string(n) + " matrices of " + std::to_string(basis.d) + " x " +
                       std::to_string(basis.d) + " scaled by a power of two");
    std::vector<Complex> storage(n * length);
    BasisView scaled{basis.d, {}};
    scaled.matrices.reserve(n);
    for (std::size_t m = 0; m < n; ++m) {
        if (m % 64 == 0) stop_point(stop);
        Complex* to = storage.data() + m * length;
        for (std::size_t t = 0; t < length; ++t) to[t] = times_power_of_two(basis.matrices[m][t], -exponent);
        scaled.matrices.push_back(to);
    }
    TensorRequest inner = request;
    inner.tol = std::ldexp(request.tol, -exponent);  // rounded only if it leaves the normal range
    TermTable terms = coefficient_tensor(scaled, inner, stop);
    std::size_t kept_terms = 0;
    for (std::size_t e = 0; e < terms.size(); ++e) {
        const Complex c = times_power_of_two(terms.values[e], exponent);
        if (!finite(c))
            throw std::overflow_error("a coefficient overflows double precision (the basis's scale times its "
                                      "coefficient exceeds the largest double)");
        if (!kept(c, request.tol)) continue;
        std::copy_n(terms.indices.begin() + std::ptrdiff_t(3 * e), 3,
                    terms.indices.begin() + std::ptrdiff_t(3 * kept_terms));
        terms.values[kept_terms++] = c;
    }
    terms.indices.resize(3 * kept_terms);
    terms.values.resize(kept_terms);
    return terms;
}

// Lets the orthogonality test, which takes a plain function, see the call's stop token.
thread_local const std::stop_token* current_stop = nullptr;
void check_current_stop() {
    if (current_stop) stop_point(*current_stop);
}

}  // namespace

std::size_t first_non_finite(const BasisView& basis, unsigned threads, const std::stop_token& stop) {
    const std::size_t n = basis.size(), length = basis.d * basis.d;
    std::atomic<std::size_t> first{n};
    const std::size_t chunk = std::max<std::size_t>(1, (std::size_t(1) << 20) / std::max<std::size_t>(length, 1));
    parallel_chunks(n, chunk, worker_count(threads), stop, [&](std::size_t begin, std::size_t end, unsigned) {
        for (std::size_t m = begin; m < end && m < first.load(std::memory_order_relaxed); ++m) {
            // An exponent of all ones marks infinity and NaN; tested on the bits, vectorised.
            constexpr std::uint64_t kExponent = 0x7ff0000000000000ull;
            const double* parts = &basis.matrices[m]->re;  // re, im, re, ... (Complex is two doubles)
            std::uint64_t non_finite = 0;
            for (std::size_t t = 0; t < 2 * length; ++t) {
                std::uint64_t bits;
                std::memcpy(&bits, parts + t, sizeof bits);
                non_finite |= (bits & kExponent) == kExponent;
            }
            if (!non_finite) continue;
            std::size_t seen = first.load();
            while (m < seen && !first.compare_exchange_weak(seen, m)) {
            }
            return;
        }
    });
    return first.load();
}

TermTable coefficient_tensor(const BasisView& basis, const TensorRequest& request, const std::stop_token& stop) {
    const std::size_t n = basis.size(), d = basis.d;
    if (request.row_begin > request.row_end || request.row_end > n)
        throw std::invalid_argument("rows must satisfy 0 <= start <= stop <= n");
    // Products of 0 x 0 matrices are empty and have no terms; nor has an empty range.
    if (d == 0 || request.row_begin == request.row_end) {
        if (const std::size_t bad = first_non_finite(basis, request.threads, stop); bad < n) throw NonFiniteMatrix{bad};
        return {};
    }

    TensorMethod method = request.method;
    const double rcond = rank_rule(request, n, d);
    // From the sizes, before any pass over the matrices: a list may hold one matrix many times.
    require_room_for_tensor(n, d, method, [&basis] { return has_repeated_matrix(basis); });
    if (method == TensorMethod::per_pair || method == TensorMethod::dense) {
        if (const std::size_t bad = first_non_finite(basis, request.threads, stop); bad < n) throw NonFiniteMatrix{bad};
        if (const int exponent = scale_exponent(basis, stop)) return scaled_tensor(basis, request, stop, exponent);
    }
    if (method == TensorMethod::per_pair) {
        const SingleThreadedBlas rows_own_threads;
        return per_pair_rows(basis, request, stop, rcond);
    }
    if (method != TensorMethod::dense) {
        // The sparse routes take at most two entries per matrix row: a denser basis is left
        // unread, for the dense route's own pass.
        const std::optional<SparseBasis> sparse = sparse_form(
            n, d, [&basis](std::size_t m, std::size_t r) { return MatrixRow{basis.matrices[m] + r * basis.d, 1}; },
            worker_count(request.threads), stop, 2 * n * d);
        if (!sparse) {
            if (const std::size_t bad = first_non_finite(basis, request.threads, stop); bad < n) throw NonFiniteMatrix{bad};
            if (const int exponent = scale_exponent(basis, stop)) return scaled_tensor(basis, request, stop, exponent);
        } else {
            if (sparse->first_non_finite < n) throw NonFiniteMatrix{sparse->first_non_finite};  // read in the same pass
            if (const int exponent = scale_exponent(*sparse)) return scaled_tensor(basis, request, stop, exponent);
        }
        current_stop = &stop;
        const bool orthogonal =
            sparse && orthogonal_columns(*sparse, {check_current_stop}) && keeps_every_column(*sparse, rcond);
        current_stop = nullptr;
        if (orthogonal) {
            if (std::optional<TermTable> terms = mirrored_pair_tensor(*sparse, request, stop)) return std::move(*terms);
            return sparse_orthogonal_tensor(*sparse, request, stop);
        }
        if (method == TensorMethod::sparse_orthogonal)
            throw std::invalid_argument("the sparse orthogonal method needs a sparse basis of orthogonal matrices");
    }
    // The rows are split over the request's threads. The pseudo-inverse runs on this one too:
    // OpenBLAS's threads wait by spinning, and on cores that other work keeps busy its threaded
    // solve took ten times longer than the single-threaded one.
    const SingleThreadedBlas rows_own_threads;
    TensorRequest dense_request = request;
    dense_request.threads = dense_threads_that_fit(n, d, worker_count(request.threads));
    std::optional<DenseRowSolver> solver = DenseRowSolver::prepare(
        n, d, [&basis](std::size_t m, std::size_t r, std::size_t c) { return basis.at(m, r, c); },
        {.check = [&stop] { stop_point(stop); }, .in_steps = true}, rcond);
    if (solver) {
        try {
            return dense_rows(*solver, dense_request, stop, basis);
        } catch (const UsePerPairRows&) {
        }
        solver.reset();  // the per-pair solves take the memory of its copies
    }
    return per_pair_rows(basis, request, stop, rcond);
}

std::vector<Complex> contract_terms(std::span<const std::int64_t> indices, std::span<const Complex> values,
                                    std::size_t n, std::size_t columns, const Complex* a, const Complex* b,
                                    const std::stop_token& stop) {
    if (indices.size() != 3 * values.size()) throw std::invalid_argument("indices must hold three per value");
    for (std::int64_t index : indices)
        if (index < 0 || std::uint64_t(index) >= n) throw std::invalid_argument("a term's index is outside the tensor");
    require_memory(std::uint64_t(n) * columns, sizeof(Complex),
                   "the " + std::to_string(n) + " x " + std::to_string(columns) + " coefficients of the contraction");
    std::vector<Complex> c(n * columns);
    // A stop point every 65,536 column products: per term, that left wide batches (20,000
    // columns of clock-and-shift su(16), 3 s) without one.
    const std::size_t terms_per_check = std::max<std::size_t>(1, 65536 / std::max<std::size_t>(columns, 1));
    for (std::size_t e = 0; e < values.size(); ++e) {
        if (e % terms_per_check == 0) stop_point(stop);
        const Complex* ai = a + std::size_t(indices[3 * e]) * columns;
        const Complex* bj = b + std::size_t(indices[3 * e + 1]) * columns;
        Complex* ck = c.data() + std::size_t(indices[3 * e + 2]) * columns;
        const Complex v = values[e];
        for (std::size_t col = 0; col < columns; ++col) ck[col] += v * (ai[col] * bj[col]);
    }
    return c;
}

}  // namespace tanvo
