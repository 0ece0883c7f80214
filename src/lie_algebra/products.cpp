// Products in coefficient space. The fast routines visit the same terms in the same order as
// the reference ones and skip only additions that cannot change a bit of the result, so the
// two agree to the last bit and fail with the same message at the same term.
#include "lie_algebra/products.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "lie_algebra/sparse_basis.hpp"

namespace tanvo {
namespace {

// Pending signals are checked this often: a few milliseconds of work at most.
constexpr std::uint64_t kProbesBetweenChecks = 1 << 16;

// A term whose coefficient has at most this magnitude (or none, being NaN) is left out.
constexpr double kSignificance = 1e-8;

bool significant(Complex w) { return std::hypot(w.re, w.im) > kSignificance; }

// The same decision without hypot where its outcome is certain: a faithfully rounded hypot
// is at least the larger part, and below 1e-8 when both parts are at most half of it.
bool significant_fast(Complex w) {
    const double x = std::fabs(w.re), y = std::fabs(w.im);
    if (x > kSignificance || y > kSignificance) return true;
    if (x <= kSignificance / 2 && y <= kSignificance / 2) return false;
    return significant(w);
}

[[noreturn]] void fail_empty_basis(std::source_location where) {
    fail("index out of bounds: the len is 0 but the index is 0", where);
}

// Element g of a coefficient array, counting in row-major order whatever the storage.
Complex element(const ComplexMatrix& m, std::size_t g) { return m(g / m.cols(), g % m.cols()); }

// Which NaN an operation returns when both operands are NaN depends on the operand order the
// compiler picks. A step that may meet a NaN of the caller's therefore runs in one
// out-of-line copy (the *_shared functions) that both routines call; with no NaN among its
// inputs every NaN it makes is the default one, whatever the order, and it may be inlined.
template <class... Values>
bool nan_free(Values... values) {
    return (... && (!std::isnan(values.re) && !std::isnan(values.im)));
}

// w = (a·b)·f: the two coefficients first, then the map's coefficient.
Complex term_coefficient(Complex a, Complex b, Complex f) { return (a * b) * f; }
[[gnu::noinline]] Complex term_coefficient_shared(Complex a, Complex b, Complex f) {
    return term_coefficient(a, b, f);
}

// sum + (f·a)·b: the map's coefficient times a first, then times b.
Complex add_cross_term(Complex sum, Complex f, Complex a, Complex b) { return sum + (f * a) * b; }
[[gnu::noinline]] Complex add_cross_term_shared(Complex sum, Complex f, Complex a, Complex b) {
    return add_cross_term(sum, f, a, b);
}

// The dense way to add w·B to the accumulator: copy, scale, then add with stretching. Shared.
[[gnu::noinline]] void add_dense_term(ComplexMatrix& result, const MatrixView& matrix,
                                      Complex w) {
    ComplexMatrix term = matrix.copy();
    scale(term, w);
    add_into(result, term);
}

}  // namespace

namespace reference {
namespace {

ComplexMatrix product_matrix(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                             const CoefficientMap& map, const BasisViews& basis,
                             std::source_location where, Interrupt interrupt) {
    if (basis.empty()) fail_empty_basis(where);
    const std::size_t d = basis[0].rows;
    ComplexMatrix result = ComplexMatrix::zeros(d, d);
    if (map.empty()) return result;
    std::uint64_t probes = 0;
    for (std::size_t g = 0; g < l_a.size(); ++g)
        for (std::size_t t = 0; t < l_b.size(); ++t) {
            if (++probes % kProbesBetweenChecks == 0) interrupt();
            const CoefficientEntry* term = map.find(g, t);
            if (!term) continue;
            const Complex w = term_coefficient_shared(element(l_a, g), element(l_b, t), term->c);
            if (!significant(w)) continue;
            if (term->k >= basis.size()) fail(kUnwrapNone, where);
            add_dense_term(result, basis[term->k], w);
        }
    return result;
}

}  // namespace

ComplexMatrix su_commutator(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                            const CoefficientMap& f_ijk, const BasisViews& basis,
                            Interrupt interrupt) {
    return product_matrix(l_a, l_b, f_ijk, basis, std::source_location::current(), interrupt);
}

ComplexMatrix su_anticommutator(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                                const CoefficientMap& d_ijk, const BasisViews& basis,
                                Interrupt interrupt) {
    return product_matrix(l_a, l_b, d_ijk, basis, std::source_location::current(), interrupt);
}

ComplexMatrix cross(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                    const CoefficientMap& f_ijk, Interrupt interrupt) {
    ComplexMatrix result = ComplexMatrix::zeros(l_a.rows(), l_a.cols());
    if (result.rows() == 0 || f_ijk.empty()) return result;
    std::uint64_t probes = 0;
    for (std::size_t g = 0; g < l_a.size(); ++g)
        for (std::size_t t = 0; t < l_b.size(); ++t) {
            if (++probes % kProbesBetweenChecks == 0) interrupt();
            const CoefficientEntry* term = f_ijk.find(g, t);
            if (!term || term->k >= result.rows()) continue;
            Complex& sum = result(term->k, 0);
            sum = add_cross_term_shared(sum, term->c, element(l_a, g), element(l_b, t));
        }
    return result;
}

}  // namespace reference

namespace {

// Coefficients by number, without a division per access when the storage is row-major.
class CoefficientElements {
public:
    explicit CoefficientElements(const ComplexMatrix& m)
        : matrix_(m), row_major_(m.is_row_major()) {}
    std::size_t size() const { return matrix_.size(); }
    Complex operator[](std::size_t g) const {
        return row_major_ ? matrix_.storage()[g] : element(matrix_, g);
    }

private:
    const ComplexMatrix& matrix_;
    bool row_major_;
};

// Calls visit(g, t, entry) for every key (g, t) with g < a_count and t < b_count, g outer and
// t inner: the order in which probing every pair would meet them, which is the map's own order.
template <class Visit>
void for_each_reached_term(const CoefficientMap& map, std::size_t a_count, std::size_t b_count,
                           Interrupt interrupt, Visit&& visit) {
    std::uint64_t visited = 0;
    for (const CoefficientEntry& e : map.entries()) {
        if (e.i >= a_count) break;
        if (++visited % (kProbesBetweenChecks / 16) == 0) interrupt();
        if (e.j >= b_count) continue;
        visit(std::size_t(e.i), std::size_t(e.j), e);
    }
}

// A non-zero element of a d x d basis matrix, at its position in the row-major accumulator.
struct PlacedElement {
    std::size_t cell;
    Complex value;
};

// The non-zero elements of the basis matrices that can be added sparsely, listed on first use:
// those of shape d x d whose elements are all finite (see add_sparse_term).
class SparseMatrices {
public:
    SparseMatrices(const BasisViews& basis, std::size_t d)
        : basis_(basis), d_(d), lists_(basis.size()), states_(basis.size(), State::unseen) {}

    // Null when matrix k has to be added densely.
    const std::vector<PlacedElement>* nonzeros(std::size_t k) {
        if (states_[k] == State::unseen) states_[k] = list(k);
        return states_[k] == State::sparse ? &lists_[k] : nullptr;
    }

private:
    enum class State : unsigned char { unseen, sparse, dense };

    State list(std::size_t k) {
        const MatrixView& m = basis_[k];
        if (m.rows != d_ || m.cols != d_) return State::dense;
        for (std::size_t r = 0; r < d_; ++r) {
            const Complex* row = &m(r, 0);
            if (m.col_step == 1 && all_zero(row, d_)) continue;
            for (std::size_t c = 0; c < d_; ++c) {
                const Complex e = row[std::ptrdiff_t(c) * m.col_step];
                if (e.re == 0.0 && e.im == 0.0) continue;  // most elements; zeros are finite
                if (!std::isfinite(e.re) || !std::isfinite(e.im)) {
                    lists_[k].clear();
                    return State::dense;
                }
                lists_[k].push_back({r * d_ + c, e});
            }
        }
        return State::sparse;
    }

    const BasisViews& basis_;
    std::size_t d_;
    std::vector<std::vector<PlacedElement>> lists_;
    std::vector<State> states_;
};

// Adds w·B over the non-zero elements of B only, for finite w and B. Exact: a zero element
// scales to a signed zero, and the accumulator never holds -0 (it starts at +0 and a rounded
// sum is -0 only when both addends are), so adding that zero changes nothing. The only NaN
// finite operands can make is the default one, identical whichever operand order is used.
void add_sparse_term(ComplexMatrix& result, const std::vector<PlacedElement>& nonzeros,
                     Complex w) {
    const std::span<Complex> cells = result.storage();
    for (const PlacedElement& e : nonzeros) cells[e.cell] = cells[e.cell] + e.value * w;
}

ComplexMatrix product_matrix(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                             const CoefficientMap& map, const BasisViews& basis,
                             std::source_location where, Interrupt interrupt) {
    if (basis.empty()) fail_empty_basis(where);
    const std::size_t d = basis[0].rows;
    ComplexMatrix result = ComplexMatrix::zeros(d, d);
    if (map.empty()) return result;
    const CoefficientElements a(l_a), b(l_b);
    SparseMatrices sparse(basis, d);
    // After a dense term the accumulator may hold a NaN of the caller's, and which of two NaNs
    // a later addition keeps is only certain when that addition is the dense one too.
    bool dense_from_now = false;
    for_each_reached_term(map, a.size(), b.size(), interrupt,
                          [&](std::size_t g, std::size_t t, const CoefficientEntry& term) {
        const Complex a_g = a[g], b_t = b[t];
        const Complex w = nan_free(a_g, b_t, term.c) ? term_coefficient(a_g, b_t, term.c)
                                                     : term_coefficient_shared(a_g, b_t, term.c);
        if (!significant_fast(w)) return;
        if (term.k >= basis.size()) fail(kUnwrapNone, where);
        const std::vector<PlacedElement>* nonzeros =
            dense_from_now || !finite(w) ? nullptr : sparse.nonzeros(term.k);
        if (nonzeros) {
            add_sparse_term(result, *nonzeros, w);
        } else {
            // Also where a matrix of another shape is stretched, or fails to be.
            add_dense_term(result, basis[term.k], w);
            dense_from_now = true;
        }
    });
    return result;
}

}  // namespace

ComplexMatrix su_commutator(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                            const CoefficientMap& f_ijk, const BasisViews& basis,
                            Interrupt interrupt) {
    return product_matrix(l_a, l_b, f_ijk, basis, std::source_location::current(), interrupt);
}

ComplexMatrix su_anticommutator(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                                const CoefficientMap& d_ijk, const BasisViews& basis,
                                Interrupt interrupt) {
    return product_matrix(l_a, l_b, d_ijk, basis, std::source_location::current(), interrupt);
}

ComplexMatrix cross(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                    const CoefficientMap& f_ijk, Interrupt interrupt) {
    ComplexMatrix result = ComplexMatrix::zeros(l_a.rows(), l_a.cols());
    if (result.rows() == 0 || f_ijk.empty()) return result;
    const CoefficientElements a(l_a), b(l_b);
    for_each_reached_term(f_ijk, a.size(), b.size(), interrupt,
                          [&](std::size_t g, std::size_t t, const CoefficientEntry& term) {
        if (term.k >= result.rows()) return;
        Complex& sum = result(term.k, 0);
        const Complex a_g = a[g], b_t = b[t];
        sum = nan_free(sum, term.c, a_g, b_t) ? add_cross_term(sum, term.c, a_g, b_t)
                                              : add_cross_term_shared(sum, term.c, a_g, b_t);
    });
    return result;
}

}  // namespace tanvo
