// Lie closure: one driver over three representations of the elements (Pauli coordinates,
// matrix entries, dense matrices); the one-by-one reference is in reference.cpp.
//
// Every element found is commuted with the (orthonormalised) generators only: the span found
// is then invariant under each ad_g, so it is the whole algebra. Candidates are formed and
// reduced against the basis in batches (in parallel; for dense elements by BLAS-3 products),
// then accepted one by one in a fixed order after a reduction against the elements the batch
// added, so the result is the one of the one-by-one routine and does not depend on threads.
// Reductions are classical Gram–Schmidt, repeated whenever a pass removed much of the vector
// (for dense elements always twice), which keeps the basis orthonormal to rounding.
//
// Two rules keep rounding from growing into elements that are not in the algebra. Rounding an
// element carries along directions not found yet grows with each commutator (normalising
// [X, e] after a small coefficient magnifies the larger coefficients of the noise), so a
// commutator whose exact value lies in the span, or is zero, can leave 1e-10 or more outside
// it; normalised to a unit element, its fresh rounding is magnified as much and tilts the span
// out of the algebra. So a candidate that adds only a sliver waits (shared_rules.hpp) and is formed
// again only when no other adds to the span, the longest first: by then the directions its
// noise pointed to are found and it is rejected. And the identity, which no commutator can
// remove once it has leaked in, is kept out of every element when the generators are
// traceless (the algebra then lies in sl(d)). Clock and shift of d = 12 to 16 let the identity
// in without them. Likewise every element of a compact real form (generators each Hermitian or
// anti-Hermitian, the Hermitian ones multiplied by i) is kept exactly anti-Hermitian.
#include "closure/closure.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "core/matrix.hpp"
#include "core/parallel.hpp"
#include "solve/lapack.hpp"
#include "bases/pauli.hpp"
#include "core/sparse_vector.hpp"
#include "closure/shared_rules.hpp"

namespace tanvo {
namespace {

using namespace closure_rules;

using Clock = std::chrono::steady_clock;

// Candidates per batch: enough for parallel work and BLAS-3 projections, few enough that the
// one-by-one reduction against the batch's own new elements stays cheap.
constexpr std::size_t kSparseBatch = 256;
constexpr std::size_t kDenseBatch = 64;
// Candidates projected by one matrix product on one thread.
constexpr std::size_t kProjectedRows = 16;
// A reduction that keeps less than this share of a vector's length is repeated over the whole
// basis (the usual criterion for reorthogonalisation).
constexpr double kKeptShare = 0.5;
// A generator counts as sparse when it has at most max(floor, d^2 / kSparseShare) terms.
constexpr std::size_t kSparseShare = 64;

// [a, b] of row-major d x d matrices given by their sorted non-zero entries (key r * d + c).
void entries_commutator(const SparseVector& a, const SparseVector& b, std::size_t d,
                        KeyAccumulator& sum) {
    auto row_range = [d](const SparseVector& v, std::uint64_t row) {
        const auto first = std::lower_bound(v.keys.begin(), v.keys.end(), row * d);
        const auto last = std::lower_bound(first, v.keys.end(), (row + 1) * d);
        return std::pair{std::size_t(first - v.keys.begin()), std::size_t(last - v.keys.begin())};
    };
    auto add_products = [&](const SparseVector& left, const SparseVector& right, bool negate) {
        for (std::size_t i = 0; i < left.size(); ++i) {
            const std::uint64_t row = left.keys[i] / d, inner = left.keys[i] % d;
            const auto [first, last] = row_range(right, inner);
            for (std::size_t j = first; j < last; ++j) {
                const Complex p = left.values[i] * right.values[j];
                sum.add(row * d + right.keys[j] % d, negate ? Complex{-p.re, -p.im} : p);
            }
        }
    };
    add_products(a, b, false);
    add_products(b, a, true);
}

SparseVector entries_of(const Complex* matrix, std::size_t d) {
    SparseVector v;
    for (std::size_t key = 0; key < d * d; ++key) {
        if (matrix[key] == Complex{}) continue;
        v.keys.push_back(key);
        v.values.push_back(matrix[key]);
    }
    return v;
}

void entries_to_dense(const SparseVector& v, std::size_t, Complex* out) {
    for (std::size_t i = 0; i < v.size(); ++i) out[v.keys[i]] = v.values[i];
}

enum class Coordinates { Pauli, Entries };

// Elements as sparse vectors, with an inverted index (key → elements holding it) so that
// projecting a candidate costs the overlap of its keys with the basis, not a pass over it.
class SparseSpace {
public:
    using Element = SparseVector;

    SparseSpace(Coordinates coordinates, std::size_t d) : coordinates_(coordinates), d_(d) {}

    std::size_t size() const { return elements_.size(); }
    // Products of matrix entries look rows up by binary search; Pauli words need no order.
    bool sorted() const { return coordinates_ == Coordinates::Entries; }
    static double norm(const Element& v) { return tanvo::norm(v); }
    static void scale(Element& v, double factor) { tanvo::scale(v, factor); }

    // |tr(v)| / sqrt(d): the component along the identity.
    double identity_component(const Element& v) const {
        Complex trace;
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (coordinates_ == Coordinates::Pauli) {
                if (v.keys[i] == 0) return std::hypot(v.values[i].re, v.values[i].im);
            } else if (v.keys[i] / d_ == v.keys[i] % d_) {
                trace += v.values[i];
            }
        }
        return std::hypot(trace.re, trace.im) / std::sqrt(double(d_));
    }

    // v minus its component along the identity. Entries leave a trace that cancelled to
    // rounding as it is (spreading it over the diagonal would fill it).
    void remove_identity(Element& v) const {
        if (coordinates_ == Coordinates::Pauli) {
            const auto at = std::find(v.keys.begin(), v.keys.end(), std::uint64_t(0));
            if (at == v.keys.end()) return;
            v.values.erase(v.values.begin() + (at - v.keys.begin()));
            v.keys.erase(at);
            return;
        }
        Complex trace;
        double magnitude = 0.0;
        for (std::size_t i = 0; i < v.size(); ++i)
            if (v.keys[i] / d_ == v.keys[i] % d_) {
                trace += v.values[i];
                magnitude += std::abs(v.values[i].re) + std::abs(v.values[i].im);
            }
        if (cancelled(trace, magnitude)) return;
        const Complex share{-trace.re / double(d_), -trace.im / double(d_)};
        std::vector<std::pair<std::uint64_t, Complex>> terms;
        terms.reserve(v.size() + d_);
        for (std::size_t i = 0; i < v.size(); ++i)
            terms.emplace_back(v.keys[i], v.keys[i] / d_ == v.keys[i] % d_ ? v.values[i] + share : v.values[i]);
        for (std::uint64_t r = 0; r < d_; ++r)
            if (!std::binary_search(v.keys.begin(), v.keys.end(), r * d_ + r)) terms.emplace_back(r * d_ + r, share);
        v = vector_of(terms, true);
    }

    // (v - v^†) / 2. A Pauli word X^x Z^z has W^† = (-1)^{x·z} W; an entry pairs with its mirror.
    void make_anti_hermitian(Element& v) const {
        std::vector<std::pair<std::uint64_t, Complex>> terms;
        terms.reserve(2 * v.size());
        for (std::size_t i = 0; i < v.size(); ++i) {
            const Complex x = v.values[i];
            if (coordinates_ == Coordinates::Pauli) {
                // c -> (c - s conj(c)) / 2: the imaginary part for s = 1, the real part for s = -1.
                const Complex part = word_is_hermitian(v.keys[i]) ? Complex{0.0, x.im} : Complex{x.re, 0.0};
                if (!(part == Complex{})) terms.emplace_back(v.keys[i], part);
                continue;
            }
            const std::uint64_t row = v.keys[i] / d_, col = v.keys[i] % d_, mirror = col * d_ + row;
            const auto at = std::lower_bound(v.keys.begin(), v.keys.end(), mirror);
            const bool paired = at != v.keys.end() && *at == mirror;
            if (paired && mirror < v.keys[i]) continue;  // written with its mirror
            const Complex y = paired ? v.values[at - v.keys.begin()] : Complex{};
            const Complex part{(x.re - y.re) * 0.5, (x.im + y.im) * 0.5};
            if (part == Complex{}) continue;
            terms.emplace_back(v.keys[i], part);
            if (mirror != v.keys[i]) terms.emplace_back(mirror, Complex{-part.re, part.im});
        }
        v = vector_of(terms, sorted());
    }

    // [generator g, element e] for e in [first, last) and g in [0, generators), reduced against
    // the whole basis.
    std::vector<Element> form(std::size_t first, std::size_t last, std::size_t generators, double tol,
                              unsigned threads, const std::stop_token& stop,
                              std::vector<double>& lengths) const {
        const std::size_t count = (last - first) * generators;
        std::vector<Element> candidates(count);
        lengths.assign(count, 0.0);
        if (workspaces_.size() < threads) workspaces_.resize(threads);
        parallel_chunks(count, 4, threads, stop, [&](std::size_t begin, std::size_t end, unsigned worker) {
            Workspace& w = workspaces_[worker];
            for (std::size_t index = begin; index < end; ++index) {
                stop_point(stop);
                Element v = commutator(index % generators, first + index / generators, w);
                lengths[index] = norm(v);
                reduce(v, 0, tol, w);
                candidates[index] = std::move(v);
            }
        });
        return candidates;
    }

    // [generator, element], unreduced.
    Element commutator(std::size_t generator, std::size_t element) { return commutator(generator, element, serial_); }

    // Reduces v against the elements from `from` on: a second pass when the first removed
    // much of it, none when what is left is below tol (reduction only shortens it further).
    void reduce(Element& v, std::size_t from, double tol) { reduce(v, from, tol, serial_); }

    void append(Element&& unit) {
        const auto index = std::uint32_t(elements_.size());
        std::vector<std::uint32_t> lists(unit.size());
        for (std::size_t i = 0; i < unit.size(); ++i) {
            lists[i] = lists_.insert(unit.keys[i]);
            if (lists[i] == postings_.size()) postings_.emplace_back();
            Postings& postings = postings_[lists[i]];
            postings.elements.push_back(index);
            postings.values.push_back(unit.values[i]);
        }
        elements_.push_back(std::move(unit));
        lists_of_element_.push_back(std::move(lists));
    }

    ClosureBasis result(unsigned threads, const std::stop_token& stop) const {
        const std::size_t area = d_ * d_;
        require_memory(std::uint64_t(elements_.size()) * area, sizeof(Complex));
        ClosureBasis basis{elements_.size(), d_, std::vector<Complex>(elements_.size() * area)};
        parallel_chunks(elements_.size(), 1, threads, stop, [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t i = begin; i < end; ++i) {
                Complex* out = basis.elements.data() + i * area;
                if (coordinates_ == Coordinates::Pauli)
                    pauli_to_dense(elements_[i], d_, out);
                else
                    entries_to_dense(elements_[i], d_, out);
            }
        });
        return basis;
    }

private:
    // The elements holding one key, in increasing order, with their coordinates there.
    struct Postings {
        std::vector<std::uint32_t> elements;
        std::vector<Complex> values;
    };
    static constexpr std::uint32_t kNoList = KeyTable::kAbsent;
    // Scratch of one thread. Residuals are summed in arrays indexed by the keys' lists: keys
    // no element holds cannot change.
    struct Workspace {
        std::vector<Complex> coefficients;  // by element, zero between uses
        std::vector<char> touched_flags;    // by element, false between uses
        std::vector<std::uint32_t> touched;
        std::vector<std::uint32_t> lists;   // of the reduced vector's keys
        std::vector<Complex> sums;          // by list
        std::vector<double> magnitudes;     // by list
        std::vector<char> list_flags;       // by list, false between uses
        std::vector<std::uint32_t> lists_touched;
        std::vector<std::pair<std::uint64_t, Complex>> terms;
        KeyAccumulator sum;                 // of commutators
    };

    Element commutator(std::size_t generator, std::size_t element, Workspace& w) const {
        if (coordinates_ == Coordinates::Pauli)
            pauli_commutator(elements_[generator], elements_[element], d_, w.sum);
        else
            entries_commutator(elements_[generator], elements_[element], d_, w.sum);
        return w.sum.extract(sorted());
    }

    void reduce(Element& v, std::size_t from, double tol, Workspace& w) const {
        const double before = norm(v);
        project_out(v, from, w);
        const double after = norm(v);
        if (!(after > tol))
            v = {};
        else if (after < kKeptShare * before)
            project_out(v, from, w);
    }

    // One classical Gram–Schmidt pass: v -= Σ_k <b_k, v> b_k over the elements k >= from.
    void project_out(Element& v, std::size_t from, Workspace& w) const {
        if (elements_.size() <= from || v.size() == 0) return;
        if (w.coefficients.size() < elements_.size()) {
            w.coefficients.resize(elements_.size());
            w.touched_flags.resize(elements_.size());
        }
        w.touched.clear();
        w.lists.resize(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) {
            w.lists[i] = lists_.find(v.keys[i]);
            if (w.lists[i] == kNoList) continue;
            const Postings& postings = postings_[w.lists[i]];
            const Complex value = v.values[i];
            // Elements are listed in increasing order: walk back to `from`.
            for (std::size_t p = postings.elements.size(); p-- > 0;) {
                const std::uint32_t k = postings.elements[p];
                if (k < from) break;
                if (!w.touched_flags[k]) {
                    w.touched_flags[k] = 1;
                    w.touched.push_back(k);
                }
                w.coefficients[k] += conj_times(postings.values[p], value);
            }
        }
        if (w.touched.empty()) return;
        std::sort(w.touched.begin(), w.touched.end());

        if (w.sums.size() < postings_.size()) {
            w.sums.resize(postings_.size());
            w.magnitudes.resize(postings_.size());
            w.list_flags.resize(postings_.size());
        }
        w.terms.clear();
        w.lists_touched.clear();
        for (std::size_t i = 0; i < v.size(); ++i) {
            const std::uint32_t list = w.lists[i];
            if (list == kNoList) {
                w.terms.emplace_back(v.keys[i], v.values[i]);
                continue;
            }
            w.sums[list] = v.values[i];
            w.magnitudes[list] = std::abs(v.values[i].re) + std::abs(v.values[i].im);
            w.list_flags[list] = 1;
            w.lists_touched.push_back(list);
        }
        for (std::uint32_t k : w.touched) {
            const Complex c = std::exchange(w.coefficients[k], Complex{});
            w.touched_flags[k] = 0;
            const Element& b = elements_[k];
            const std::vector<std::uint32_t>& lists = lists_of_element_[k];
            for (std::size_t i = 0; i < b.size(); ++i) {
                const std::uint32_t list = lists[i];
                if (!w.list_flags[list]) {
                    w.list_flags[list] = 1;
                    w.lists_touched.push_back(list);
                    w.sums[list] = Complex{};
                    w.magnitudes[list] = 0.0;
                }
                const Complex p = c * b.values[i];
                w.sums[list] = w.sums[list] - p;
                w.magnitudes[list] += std::abs(p.re) + std::abs(p.im);
            }
        }
        for (std::uint32_t list : w.lists_touched) {
            w.list_flags[list] = 0;
            if (!cancelled(w.sums[list], w.magnitudes[list])) w.terms.emplace_back(lists_.key(list), w.sums[list]);
        }
        v = vector_of(w.terms, sorted());
    }

    Coordinates coordinates_;
    std::size_t d_;
    std::vector<Element> elements_;
    std::vector<std::vector<std::uint32_t>> lists_of_element_;  // the list of each of its keys
    // Inverted index: each key held by some element has a list, numbered by lists_.
    KeyTable lists_;
    std::vector<Postings> postings_;
    Workspace serial_;
    mutable std::vector<Workspace> workspaces_;  // of the threads of form()
};

// Elements as dense d x d matrices, rows of one row-major (count x d^2) array: projections of a
// batch of candidates are two matrix products.
class DenseSpace {
public:
    using Element = std::vector<Complex>;

    explicit DenseSpace(std::size_t d) : d_(d), area_(d * d) {}

    std::size_t size() const { return count_; }
    static double norm(const Element& v) { return vector_norm(v); }
    static void scale(Element& v, double factor) { vector_scale(v, factor); }

    double identity_component(const Element& v) const {
        Complex trace;
        for (std::size_t r = 0; r < d_; ++r) trace += v[r * d_ + r];
        return std::hypot(trace.re, trace.im) / std::sqrt(double(d_));
    }

    void remove_identity(Element& v) const { subtract_trace(v.data(), d_); }
    void make_anti_hermitian(Element& v) const { tanvo::closure_rules::make_anti_hermitian(v.data(), d_); }

    // The products of each generator with the whole batch are two matrix products: elements
    // [first, last) stacked vertically (as stored) times g, and g times them side by side.
    std::vector<Element> form(std::size_t first, std::size_t last, std::size_t generators, double,
                              unsigned threads, const std::stop_token& stop,
                              std::vector<double>& lengths) const {
        const std::size_t batch = last - first, count = batch * generators;
        require_memory(std::uint64_t(count + 3 * batch) * area_, sizeof(Complex));
        std::vector<Complex> block(count * area_);
        std::vector<Complex> side_by_side(batch * area_), left(batch * area_), right(batch * area_);
        for (std::size_t i = 0; i < batch; ++i)
            for (std::size_t r = 0; r < d_; ++r)
                std::copy_n(element(first + i) + r * d_, d_, side_by_side.data() + r * batch * d_ + i * d_);
        for (std::size_t j = 0; j < generators; ++j) {
            stop_point(stop);
            const Complex* g = element(j);
            multiply_row_major(d_, batch * d_, d_, g, side_by_side.data(), left.data());
            multiply_row_major(batch * d_, d_, d_, element(first), g, right.data());
            for (std::size_t i = 0; i < batch; ++i) {
                Complex* out = block.data() + (i * generators + j) * area_;
                const Complex* e_g = right.data() + i * area_;
                for (std::size_t r = 0; r < d_; ++r)
                    for (std::size_t c = 0; c < d_; ++c)
                        out[r * d_ + c] = left[r * batch * d_ + i * d_ + c] - e_g[r * d_ + c];
            }
        }
        lengths.resize(count);
        for (std::size_t index = 0; index < count; ++index)
            lengths[index] = vector_norm(block.data() + index * area_, area_);
        project_out(block.data(), count, 0, threads, stop);
        project_out(block.data(), count, 0, threads, stop);
        std::vector<Element> candidates(count);
        for (std::size_t index = 0; index < count; ++index) {
            const Complex* start = block.data() + index * area_;
            candidates[index].assign(start, start + area_);
        }
        return candidates;
    }

    // [generator, element], unreduced: two matrix products.
    Element commutator(std::size_t generator, std::size_t element) const {
        Element v(area_), e_g(area_);
        multiply_row_major(d_, d_, d_, this->element(generator), this->element(element), v.data());
        multiply_row_major(d_, d_, d_, this->element(element), this->element(generator), e_g.data());
        for (std::size_t i = 0; i < area_; ++i) v[i] = v[i] - e_g[i];
        return v;
    }

    // Two passes always: with BLAS they cost little next to the products.
    void reduce(Element& v, std::size_t from, double) {
        project_out(v.data(), 1, from, 1, {});
        project_out(v.data(), 1, from, 1, {});
    }

    void append(Element&& unit) {
        basis_.insert(basis_.end(), unit.begin(), unit.end());
        ++count_;
    }

    ClosureBasis result(unsigned, const std::stop_token&) {
        return {count_, d_, std::move(basis_)};
    }

private:
    const Complex* element(std::size_t k) const { return basis_.data() + k * area_; }

    // One classical Gram–Schmidt pass of `count` contiguous vectors against elements >= from:
    // coefficients C (count x n) = V · B^H, then V -= C · B, in blocks of rows of V spread over
    // the threads (fixed blocks, so the bits do not depend on the threads).
    void project_out(Complex* vectors, std::size_t count, std::size_t from, unsigned threads,
                     const std::stop_token& stop) const {
        if (count_ <= from || count == 0) return;
        const int n = int(count_ - from), length = int(area_);
        const Complex* b = element(from);
        parallel_chunks(count, kProjectedRows, threads, stop, [&](std::size_t begin, std::size_t end, unsigned) {
            const int k = int(end - begin);
            std::vector<Complex> coefficients(std::size_t(n) * k);
            Complex* v = vectors + begin * area_;
            const Complex one{1.0, 0.0}, zero{0.0, 0.0}, minus_one{-1.0, 0.0};
            // Column-major view: B^T is length x n, V^T is length x k, C^T is n x k.
            zgemm_("C", "N", &n, &k, &length, &one, b, &length, v, &length, &zero,
                   coefficients.data(), &n, 1, 1);
            zgemm_("N", "N", &length, &k, &n, &minus_one, b, &length, coefficients.data(), &n, &one,
                   v, &length, 1, 1);
        });
    }

    std::size_t d_;
    std::size_t area_;
    std::size_t count_ = 0;
    std::vector<Complex> basis_;
};

// Progress reports and the dimension limit.
class Tracker {
public:
    Tracker(const ClosureOptions& options, Clock::time_point start) : options_(options), start_(start), last_(start) {}

    void count_tried() { ++tried_; }

    void check_room(std::size_t dimension) const {
        if (options_.max_dimension && dimension + 1 > *options_.max_dimension)
            throw ClosureTooLarge("the Lie closure passed max_dimension=" +
                                  std::to_string(*options_.max_dimension) + ": " +
                                  std::to_string(dimension + 1) +
                                  " independent elements found so far, and the algebra may be larger");
    }

    void report(std::size_t dimension, bool always = false) {
        if (!options_.progress) return;
        const Clock::time_point now = Clock::now();
        if (!always && now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        options_.progress({dimension, tried_, std::chrono::duration<double>(now - start_).count()});
    }

private:
    const ClosureOptions& options_;
    Clock::time_point start_;
    Clock::time_point last_;
    std::size_t tried_ = 0;
};

template <class Space>
ClosureBasis close(Space& space, std::vector<typename Space::Element> generators, std::size_t d, bool compact,
                   const ClosureOptions& options, const std::stop_token& stop, Clock::time_point start) {
    Tracker tracker(options, start);
    const double tol = options.tol;
    auto accept = [&](typename Space::Element& v) {
        const double length = Space::norm(v);
        if (!(length > tol)) return false;
        tracker.check_room(space.size());
        Space::scale(v, 1.0 / length);
        space.append(std::move(v));
        return true;
    };

    // Commutators are traceless: with traceless generators the algebra lies in sl(d), and every
    // element is kept free of the identity, which no commutator could correct (see the top).
    const bool traceless = std::all_of(generators.begin(), generators.end(), [&](const typename Space::Element& v) {
        return !(space.identity_component(v) > tol * Space::norm(v));
    });
    // Rounding is kept out of the form every element has (see the top).
    auto keep_form = [&](typename Space::Element& v) {
        if (traceless) space.remove_identity(v);
        if (compact) space.make_anti_hermitian(v);
    };
    bool has_identity = false;
    for (typename Space::Element& v : generators) {
        stop_point(stop);
        keep_form(v);
        const double length = Space::norm(v);
        if (length == 0.0) continue;
        Space::scale(v, 1.0 / length);  // dependence is judged relative to the generator's size
        space.reduce(v, 0, tol);
        keep_form(v);
        has_identity = has_identity || space.identity_component(v) > tol;
        accept(v);
    }
    const std::size_t generator_count = space.size();
    // Commutators are traceless: the algebra lies in span(generators) + sl(d).
    const std::size_t bound = d * d - 1 + (has_identity ? 1 : 0);
    const std::size_t batch =
        std::max<std::size_t>(1, (std::is_same_v<Space, DenseSpace> ? kDenseBatch : kSparseBatch) /
                                     std::max<std::size_t>(1, generator_count));
    const unsigned threads = worker_count(options.threads);

    WaitingCandidates waiting(d, bound);
    std::vector<double> lengths;
    std::size_t next = 0;
    while (space.size() < bound) {
        if (next == space.size()) {
            // Every element is commuted: the waiting candidates, best first, until one adds to
            // the span (each formed again and reduced against the span as it is now).
            if (waiting.empty()) break;
            const auto [element, generator] = waiting.take();
            stop_point(stop);
            tracker.count_tried();
            typename Space::Element v = space.commutator(generator, element);
            space.reduce(v, 0, tol);
            keep_form(v);
            const double length = Space::norm(v);
            if (length > tol && waiting.still_best(length)) accept(v);
            tracker.report(space.size());
            continue;
        }
        const std::size_t last = std::min(space.size(), next + batch);
        const std::size_t batch_start = space.size();
        std::vector<typename Space::Element> candidates =
            space.form(next, last, generator_count, tol, threads, stop, lengths);
        for (std::size_t index = 0; index < candidates.size(); ++index) {
            typename Space::Element& v = candidates[index];
            stop_point(stop);
            tracker.count_tried();
            const double reduced_length = Space::norm(v);
            if (!(reduced_length > tol)) continue;
            if (!waiting.weak(reduced_length, lengths[index], space.size())) {
                space.reduce(v, batch_start, tol);
                // v was orthogonal to the older elements relative to its length before this
                // reduction; when much of it went, that error grows relative to what is left.
                const double length = Space::norm(v);
                if (length > tol && length < kKeptShare * reduced_length) space.reduce(v, 0, tol);
            }
            keep_form(v);
            const double length = Space::norm(v);
            if (!(length > tol)) continue;
            if (waiting.weak(length, lengths[index], space.size())) {
                waiting.add(length, next + index / generator_count, index % generator_count);
                continue;
            }
            accept(v);
            tracker.report(space.size());
            if (space.size() == bound) break;
        }
        next = last;
    }
    tracker.report(space.size(), true);
    return space.result(threads, stop);
}

// Each generator as convert(matrix) gives it.
template <class Convert>
auto converted(const Complex* generators, std::size_t m, std::size_t d, Convert convert) {
    std::vector<decltype(convert(generators))> elements;
    elements.reserve(m);
    for (std::size_t i = 0; i < m; ++i) elements.push_back(convert(generators + i * d * d));
    return elements;
}

bool sparse_enough(const std::vector<SparseVector>& generators, std::size_t floor, std::size_t d) {
    const std::size_t limit = std::max(floor, d * d / kSparseShare);
    return std::all_of(generators.begin(), generators.end(),
                       [limit](const SparseVector& g) { return g.size() <= limit; });
}

}  // namespace

ClosureBasis lie_closure(const Complex* generators, std::size_t m, std::size_t d,
                         const ClosureOptions& options, const std::stop_token& stop) {
    const Clock::time_point start = Clock::now();
    if (d == 0 || m == 0) return {0, d, {}};
    const ClosureMethod method = options.method;
    require_memory(std::uint64_t(m) * d * d, sizeof(Complex));
    std::vector<Complex> scaled = unit_scaled(generators, m, d);
    const bool compact = to_compact_form(scaled, m, d, options.tol);
    generators = scaled.data();
    if (method == ClosureMethod::Pauli && (!is_power_of_two(d) || d > (std::size_t(1) << 32)))
        throw std::invalid_argument("Pauli-word coordinates need d a power of two up to 2^32; got d = " +
                                    std::to_string(d));
    const bool automatic = method == ClosureMethod::Automatic;
    if (method == ClosureMethod::Pauli || (automatic && is_power_of_two(d) && d <= (std::size_t(1) << 32))) {
        auto words = converted(generators, m, d, [d](const Complex* g) { return pauli_coordinates(g, d); });
        if (!automatic || sparse_enough(words, 4, d)) {
            SparseSpace space(Coordinates::Pauli, d);
            return close(space, std::move(words), d, compact, options, stop, start);
        }
    }
    if (method == ClosureMethod::Entries || automatic) {
        auto entries = converted(generators, m, d, [d](const Complex* g) { return entries_of(g, d); });
        if (!automatic || sparse_enough(entries, d, d)) {
            SparseSpace space(Coordinates::Entries, d);
            return close(space, std::move(entries), d, compact, options, stop, start);
        }
    }
    DenseSpace space(d);
    // The closure spreads its products over its own threads.
    const SingleThreadedBlas blas_on_calling_thread;
    const std::size_t area = d * d;
    return close(space, converted(generators, m, d, [area](const Complex* g) { return std::vector<Complex>(g, g + area); }),
                 d, compact, options, stop, start);
}

}  // namespace tanvo
