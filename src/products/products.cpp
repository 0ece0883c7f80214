// Products in coefficient space. The fast routines visit the same terms in the same order as
// the reference ones and skip only additions that cannot change a bit of the result, so the
// two agree to the last bit and fail with the same message at the same term.
#include "products/products.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

#include "core/parallel.hpp"
#include "coefficients/sparse_basis.hpp"

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
            const CoefficientMap::Term* term = map.find(g, t);
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
            const CoefficientMap::Term* term = f_ijk.find(g, t);
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
    for (const CoefficientMap::Term& e : map.entries()) {
        if (e.i >= a_count || e.i == CoefficientMap::kPastAny) break;
        if (++visited % (kProbesBetweenChecks / 16) == 0) interrupt();
        if (e.j >= b_count || e.j == CoefficientMap::kPastAny) continue;
        visit(std::size_t(e.i), std::size_t(e.j), e);
    }
}

// The sum of the sparse terms, real and imaginary parts apart, with the cells of the d x d
// result ordered by wrapped diagonal: cell (r, c) at ((c - r) mod d) * d + r. The non-zeros of
// a matrix then lie in a few runs of consecutive cells (a clock-and-shift matrix in one run of
// d), which are added with vector instructions.
class DiagonalSum {
public:
    explicit DiagonalSum(std::size_t d) : d_(d), re_(d * d + 1), im_(d * d + 1) {}
    std::size_t index(std::size_t r, std::size_t c) const { return (c + d_ - r) % d_ * d_ + r; }
    // A cell past the matrix, which takes additions that belong nowhere.
    std::size_t scratch() const { return d_ * d_; }
    double* re() { return re_.data(); }
    double* im() { return im_.data(); }
    // Writes the sum into the row-major accumulator of a product.
    void store(ComplexMatrix& result) const {
        const std::span<Complex> cells = result.storage();
        for (std::size_t r = 0; r < d_; ++r)
            for (std::size_t c = 0; c < d_; ++c) {
                const std::size_t at = index(r, c);
                cells[r * d_ + c] = {re_[at], im_[at]};
            }
    }

private:
    std::size_t d_;
    std::vector<double> re_, im_;
};

// Consecutive non-zeros of one matrix in the diagonal order: `length` cells from `first`, with
// their values from `values` in the value lists.
struct Run {
    std::size_t first, length, values;
};

// sum[i] + value[i]·w over a run, as Complex arithmetic would round it: the product textbook,
// each partial product on its own, then the addition. Exact ops vectorise without changing a
// bit (no contraction into FMA anywhere in the build), so wide versions are picked at load time.
[[gnu::target_clones("avx2", "default")]]
void add_scaled_run(double* __restrict sum_re, double* __restrict sum_im,
                    const double* __restrict value_re, const double* __restrict value_im,
                    std::size_t length, Complex w) {
    for (std::size_t i = 0; i < length; ++i) {
        const double product_re = value_re[i] * w.re - value_im[i] * w.im;
        const double product_im = value_re[i] * w.im + value_im[i] * w.re;
        sum_re[i] = sum_re[i] + product_re;
        sum_im[i] = sum_im[i] + product_im;
    }
}

// Pending signals are checked at least this often while the basis is listed.
constexpr std::size_t kElementsBetweenChecks = std::size_t(1) << 20;

// Shorter runs are added in line: a call would cost more than the run.
constexpr std::size_t kShortRun = 4;

// A basis matrix as the sparse terms add it: at most two non-zeros held in place (most
// Gell-Mann matrices), added without a branch, the unused one on the scratch cell; otherwise
// runs in the diagonal order.
struct SparseMatrix {
    static constexpr std::size_t kNoDiagonal = ~std::size_t(0);
    std::size_t cells[2];
    Complex values[2];
    bool in_runs;
    std::size_t begin, end;  // in the runs
    // The wrapped diagonal the matrix fills, one non-zero per row (clock-and-shift), if any.
    std::size_t diagonal = kNoDiagonal;
};

// The basis matrices that can be added sparsely, listed on first use: those of shape d x d
// whose elements are all finite (see add_sparse_term).
class SparseMatrices {
public:
    SparseMatrices(const BasisViews& basis, std::size_t d, const DiagonalSum& sum)
        : basis_(basis), d_(d), sum_(sum), matrices_(basis.size()) {}

    // Lists every matrix in turn, on this thread and, for a large basis, one waiting helper:
    // read one after the other, the matrices stream from memory faster than in the order the
    // terms name them, and two cores read faster than one. The helper runs only between this
    // thread's checks for signals, so no signal handler runs while it reads the matrices.
    void list_all(Interrupt interrupt) {
        const std::size_t n = basis_.size();
        const bool helped = available_threads() > 1 && n > 1 && n * d_ * d_ >= kElementsHelped;
        if (!helped) {
            std::size_t elements = 0;
            for (std::size_t k = 0; k < n; ++k) {
                if ((elements += basis_[k].size()) >= kElementsBetweenChecks) {
                    interrupt();
                    elements = 0;
                }
                matrix(k);
            }
            listed_all_ = true;
            return;
        }
        SparseMatrices helper(basis_, d_, sum_, kHelper);
        const std::stop_source never_stopped;
        for (std::size_t begin = 0; begin < n;) {
            // A round of at most twice kElementsBetweenChecks elements, in pieces that either
            // thread takes as it comes free (one of the two cores is often slower).
            std::size_t end = begin, elements = 0;
            while (end < n && elements < 2 * kElementsBetweenChecks) elements += basis_[end++].size();
            const std::size_t piece = std::max<std::size_t>(1, (end - begin + kPiecesPerRound - 1) / kPiecesPerRound);
            const std::size_t pieces = (end - begin + piece - 1) / piece;
            std::vector<char> by_helper(pieces, 0);
            auto list_piece = [&](std::size_t p, SparseMatrices& lister) {
                for (std::size_t k = begin + p * piece; k < std::min(end, begin + (p + 1) * piece); ++k)
                    matrices_[k].state = lister.list(k, matrices_[k].matrix);
            };
            try {
                parallel_chunks(pieces, 1, 2, never_stopped.get_token(), [&](std::size_t p, std::size_t, unsigned worker) {
                    list_piece(p, worker == 0 ? *this : helper);
                    by_helper[p] = worker != 0;
                });
            } catch (const std::system_error&) {
                // The helper could not start, so nothing was listed: all of it is listed here.
                for (std::size_t p = 0; p < pieces; ++p) list_piece(p, *this);
            }
            for (std::size_t p = 0; p < pieces; ++p)
                if (by_helper[p]) renumber(begin + p * piece, std::min(end, begin + (p + 1) * piece), runs_.size());
            adopt(helper);
            interrupt();
            begin = end;
        }
        listed_all_ = true;
    }
    // Whether list_all ran: matrix() then only reads, and the values never move.
    bool listed_all() const noexcept { return listed_all_; }

    // Null when matrix k has to be added densely.
    const SparseMatrix* matrix(std::size_t k) {
        Listed& listed = matrices_[k];
        if (listed.state == State::unseen) listed.state = list(k, listed.matrix);
        return listed.state == State::sparse ? &listed.matrix : nullptr;
    }
    std::span<const Run> runs(const SparseMatrix& m) const {
        return std::span<const Run>(runs_.data() + m.begin, m.end - m.begin);
    }
    const double* values_re() const { return values_re_.data(); }
    const double* values_im() const { return values_im_.data(); }
    // Where the values of a matrix that fills a diagonal start.
    std::size_t diagonal_values(const SparseMatrix& m) const { return runs_[m.begin].values; }

private:
    static constexpr std::size_t kElementsHelped = std::size_t(1) << 18, kPiecesPerRound = 16;

    // The helper's lists: runs and values only, no matrices of its own.
    struct Helper {};
    static constexpr Helper kHelper{};
    SparseMatrices(const BasisViews& basis, std::size_t d, const DiagonalSum& sum, Helper)
        : basis_(basis), d_(d), sum_(sum) {}

    bool listed_all_ = false;

    enum class State : unsigned char { unseen, sparse, dense };
    struct Listed {
        State state = State::unseen;
        SparseMatrix matrix;
    };

    // The matrices [begin, end) listed by the helper, as their runs will be numbered once
    // adopted after the `runs` already here.
    void renumber(std::size_t begin, std::size_t end, std::size_t runs) {
        for (std::size_t k = begin; k < end; ++k) {
            Listed& listed = matrices_[k];
            if (listed.state == State::sparse && listed.matrix.in_runs) {
                listed.matrix.begin += runs;
                listed.matrix.end += runs;
            }
        }
    }
    // The helper's runs and values appended here, leaving it empty.
    void adopt(SparseMatrices& helper) {
        const std::size_t values = values_re_.size();
        for (Run run : helper.runs_) {
            run.values += values;
            runs_.push_back(run);
        }
        values_re_.insert(values_re_.end(), helper.values_re_.begin(), helper.values_re_.end());
        values_im_.insert(values_im_.end(), helper.values_im_.begin(), helper.values_im_.end());
        helper.runs_.clear();
        helper.values_re_.clear();
        helper.values_im_.clear();
    }
    struct Placed {
        std::size_t at;
        Complex value;
    };

    State list(std::size_t k, SparseMatrix& listing) {
        const MatrixView& m = basis_[k];
        if (m.rows != d_ || m.cols != d_) return State::dense;
        placed_.clear();
        for (std::size_t r = 0; r < d_; ++r) {
            const Complex* row = &m(r, 0);
            if (m.col_step == 1 && all_zero(row, d_)) continue;
            for (std::size_t c = 0; c < d_; ++c) {
                const Complex e = row[std::ptrdiff_t(c) * m.col_step];
                if (e.re == 0.0 && e.im == 0.0) continue;  // most elements; zeros are finite
                if (!std::isfinite(e.re) || !std::isfinite(e.im)) return State::dense;
                placed_.push_back({sum_.index(r, c), e});
            }
        }
        listing.in_runs = placed_.size() > 2;
        if (!listing.in_runs) {
            for (std::size_t e = 0; e < 2; ++e) {
                listing.cells[e] = e < placed_.size() ? placed_[e].at : sum_.scratch();
                listing.values[e] = e < placed_.size() ? placed_[e].value : Complex{};
            }
            return State::sparse;
        }
        auto before = [](const Placed& x, const Placed& y) { return x.at < y.at; };
        if (!std::is_sorted(placed_.begin(), placed_.end(), before))
            std::sort(placed_.begin(), placed_.end(), before);
        listing.begin = runs_.size();
        for (std::size_t e = 0; e < placed_.size(); ++e) {
            if (e == 0 || placed_[e].at != placed_[e - 1].at + 1)
                runs_.push_back({placed_[e].at, 0, values_re_.size()});
            ++runs_.back().length;
            values_re_.push_back(placed_[e].value.re);
            values_im_.push_back(placed_[e].value.im);
        }
        listing.end = runs_.size();
        const Run& first = runs_[listing.begin];
        if (listing.end - listing.begin == 1 && first.length == d_ && first.first % d_ == 0)
            listing.diagonal = first.first / d_;
        return State::sparse;
    }

    const BasisViews& basis_;
    std::size_t d_;
    const DiagonalSum& sum_;
    std::vector<Listed> matrices_;
    std::vector<Placed> placed_;  // the matrix being listed
    std::vector<Run> runs_;
    std::vector<double> values_re_, values_im_;
};

// sum + value·w on one cell, as Complex arithmetic rounds it.
[[gnu::always_inline]] inline void add_scaled_cell(double* sum_re, double* sum_im, std::size_t cell,
                                                   double value_re, double value_im, Complex w) {
    const double product_re = value_re * w.re - value_im * w.im;
    const double product_im = value_re * w.im + value_im * w.re;
    sum_re[cell] = sum_re[cell] + product_re;
    sum_im[cell] = sum_im[cell] + product_im;
}

// Adds w·B over the non-zero elements of B only, for finite w and B. Exact: a zero element
// scales to a signed zero, and the sum never holds -0 (it starts at +0 and a rounded sum is -0
// only when both addends are), so adding that zero changes nothing. The only NaN finite
// operands can make is the default one, identical whichever operand order is used.
void add_sparse_term(DiagonalSum& sum, const SparseMatrices& sparse, const SparseMatrix& matrix,
                     Complex w) {
    double* const sum_re = sum.re();
    double* const sum_im = sum.im();
    if (!matrix.in_runs) {
        for (std::size_t e = 0; e < 2; ++e)
            add_scaled_cell(sum_re, sum_im, matrix.cells[e], matrix.values[e].re, matrix.values[e].im, w);
        return;
    }
    const double* const values_re = sparse.values_re();
    const double* const values_im = sparse.values_im();
    for (const Run& run : sparse.runs(matrix)) {
        if (run.length >= kShortRun) {
            add_scaled_run(sum_re + run.first, sum_im + run.first, values_re + run.values,
                           values_im + run.values, run.length, w);
            continue;
        }
        for (std::size_t i = 0; i < run.length; ++i)
            add_scaled_cell(sum_re, sum_im, run.first + i, values_re[run.values + i],
                            values_im[run.values + i], w);
    }
}

// A term on a matrix that fills one diagonal: where its values start, and its coefficient.
struct HeldTerm {
    std::size_t values;
    Complex w;
};

// Eight doubles operated on element by element, each operation rounded as on its own.
using Lanes = double __attribute__((vector_size(64)));

// The terms of one diagonal added eight cells at a time, the eight sums kept in registers
// across all the terms: each cell still receives its additions one by one in term order.
[[gnu::target_clones("avx512f", "avx2", "default")]]
void add_diagonal_terms(double* __restrict sum_re, double* __restrict sum_im,
                        const double* __restrict values_re, const double* __restrict values_im,
                        const HeldTerm* terms, std::size_t count, std::size_t d) {
    constexpr std::size_t kWidth = sizeof(Lanes) / sizeof(double);
    std::size_t first = 0;
    for (; first + kWidth <= d; first += kWidth) {
        Lanes part_re, part_im, value_re, value_im;
        std::memcpy(&part_re, sum_re + first, sizeof part_re);
        std::memcpy(&part_im, sum_im + first, sizeof part_im);
        for (std::size_t t = 0; t < count; ++t) {
            std::memcpy(&value_re, values_re + terms[t].values + first, sizeof value_re);
            std::memcpy(&value_im, values_im + terms[t].values + first, sizeof value_im);
            const Complex w = terms[t].w;
            part_re = part_re + (value_re * w.re - value_im * w.im);
            part_im = part_im + (value_re * w.im + value_im * w.re);
        }
        std::memcpy(sum_re + first, &part_re, sizeof part_re);
        std::memcpy(sum_im + first, &part_im, sizeof part_im);
    }
    for (; first < d; ++first)
        for (std::size_t t = 0; t < count; ++t)
            add_scaled_cell(sum_re, sum_im, first, values_re[terms[t].values + first],
                            values_im[terms[t].values + first], terms[t].w);
}

// From this many map entries on, a helper thread adds the held terms.
constexpr std::size_t kHelpedTerms = std::size_t(1) << 18;

// Terms on matrices that fill one diagonal, held back and then added diagonal by diagonal.
// Terms on different diagonals meet different cells, and each diagonal keeps its terms in
// order; any other term is only added once the held ones are (flush() first). So every cell
// receives its additions in term order, as if each term were added when met.
class HeldDiagonalTerms {
public:
    // Holds at most a block of terms: its memory does not grow with the map. In helped mode a
    // full block goes to a waiting helper, which adds it while this thread finds the next
    // block's terms; a block is handed over only once the previous one is added. The helper
    // touches only its block, the listed values (which no longer change then) and the sums,
    // which this thread leaves alone until the helper is done (flush()).
    HeldDiagonalTerms(std::size_t d, bool helped)
        : d_(d), block_(helped ? kHelpedBlockTerms : kBlockTerms), helped_(helped) {
        held_.reserve(block_);
        starts_.resize(d + 1);
        cursors_.reserve(d);
        if (helped_) {  // the helper's add() then allocates nothing, so it cannot throw
            handed_.reserve(block_);
            by_diagonal_.reserve(block_);
        }
    }
    // Returns once the helper is done: it reads this object's buffers.
    ~HeldDiagonalTerms() { helper_.reset(); }

    void hold(std::size_t diagonal, std::size_t values, Complex w, DiagonalSum& sum,
              const SparseMatrices& sparse) {
        held_.push_back({diagonal, {values, w}});
        if (held_.size() == block_) add_block(sum, sparse);
    }
    // Called before every other term: the test stays in line, the work does not.
    void flush(DiagonalSum& sum, const SparseMatrices& sparse) {
        if (!held_.empty() || helper_) add_all(sum, sparse);
    }

private:
    struct Held {
        std::size_t diagonal;
        HeldTerm term;
    };
    using Block = std::vector<Held>;

    [[gnu::noinline]] void add_block(DiagonalSum& sum, const SparseMatrices& sparse) {
        if (!helped_) {
            add(held_, sum, sparse);
            held_.clear();
            return;
        }
        helper_.reset();  // the previous block is added
        std::swap(held_, handed_);
        held_.clear();
        try {
            helper_.emplace([this, &sum, &sparse] { add(handed_, sum, sparse); });
        } catch (const std::system_error&) {
            add(handed_, sum, sparse);  // no helper could start: added here
        }
    }
    [[gnu::noinline]] void add_all(DiagonalSum& sum, const SparseMatrices& sparse) {
        helper_.reset();
        add(held_, sum, sparse);
        held_.clear();
    }

    // A block's terms after a stable counting sort by diagonal, added diagonal by diagonal.
    void add(const Block& block, DiagonalSum& sum, const SparseMatrices& sparse) {
        std::fill(starts_.begin(), starts_.end(), 0);
        for (const Held& h : block) ++starts_[h.diagonal + 1];
        for (std::size_t a = 1; a <= d_; ++a) starts_[a] += starts_[a - 1];
        by_diagonal_.resize(block.size());
        cursors_.assign(starts_.begin(), starts_.end() - 1);
        for (const Held& h : block) by_diagonal_[cursors_[h.diagonal]++] = h.term;
        for (std::size_t a = 0; a < d_; ++a)
            if (starts_[a + 1] > starts_[a])
                add_diagonal_terms(sum.re() + a * d_, sum.im() + a * d_, sparse.values_re(), sparse.values_im(),
                                   by_diagonal_.data() + starts_[a], starts_[a + 1] - starts_[a], d_);
    }

    static constexpr std::size_t kBlockTerms = 4096, kHelpedBlockTerms = std::size_t(1) << 16;

    std::size_t d_, block_;
    bool helped_;
    Block held_, handed_;
    std::vector<std::size_t> starts_, cursors_;
    std::vector<HeldTerm> by_diagonal_;
    // Last, so that it is waited for before the buffers go.
    std::optional<BackgroundTask> helper_;
};

ComplexMatrix product_matrix(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                             const CoefficientMap& map, const BasisViews& basis,
                             std::source_location where, Interrupt interrupt) {
    if (basis.empty()) fail_empty_basis(where);
    const std::size_t d = basis[0].rows;
    ComplexMatrix result = ComplexMatrix::zeros(d, d);
    if (map.empty()) return result;
    const CoefficientElements a(l_a), b(l_b);
    DiagonalSum sum(d);
    SparseMatrices sparse(basis, d, sum);
    // A map that names most matrices has them all listed first.
    if (map.size() >= basis.size() && a.size() > 0 && b.size() > 0) sparse.list_all(interrupt);
    // After a dense term the accumulator may hold a NaN of the caller's, and which of two NaNs
    // a later addition keeps is only certain when that addition is the dense one too: from the
    // first dense term on, the sparse sum so far moves into the accumulator and every term is
    // added densely.
    bool dense_from_now = false;
    // Maps of many terms have them added by a helper while this thread finds the next ones.
    HeldDiagonalTerms held(d, map.size() >= kHelpedTerms && available_threads() > 1 && sparse.listed_all());
    auto end_sparse_terms = [&] {
        held.flush(sum, sparse);
        sum.store(result);
        dense_from_now = true;
    };
    for_each_reached_term(map, a.size(), b.size(), interrupt,
                          [&](std::size_t g, std::size_t t, const CoefficientMap::Term& term) {
        const Complex a_g = a[g], b_t = b[t];
        const Complex w = nan_free(a_g, b_t, term.c) ? term_coefficient(a_g, b_t, term.c)
                                                     : term_coefficient_shared(a_g, b_t, term.c);
        if (!significant_fast(w)) return;
        if (term.k >= basis.size()) fail(kUnwrapNone, where);
        if (!dense_from_now && finite(w)) {
            if (const SparseMatrix* matrix = sparse.matrix(term.k)) {
                if (matrix->diagonal != SparseMatrix::kNoDiagonal) {
                    held.hold(matrix->diagonal, sparse.diagonal_values(*matrix), w, sum, sparse);
                } else {
                    held.flush(sum, sparse);
                    add_sparse_term(sum, sparse, *matrix, w);
                }
                return;
            }
        }
        if (!dense_from_now) end_sparse_terms();
        // Also where a matrix of another shape is stretched, or fails to be.
        add_dense_term(result, basis[term.k], w);
    });
    if (!dense_from_now) end_sparse_terms();
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
                          [&](std::size_t g, std::size_t t, const CoefficientMap::Term& term) {
        if (term.k >= result.rows()) return;
        Complex& sum = result(term.k, 0);
        const Complex a_g = a[g], b_t = b[t];
        sum = nan_free(sum, term.c, a_g, b_t) ? add_cross_term(sum, term.c, a_g, b_t)
                                              : add_cross_term_shared(sum, term.c, a_g, b_t);
    });
    return result;
}

}  // namespace tanvo
