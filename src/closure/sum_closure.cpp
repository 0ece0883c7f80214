// The closure of sums of strings. Strings are numbered as they are first seen (a hash set of
// packed strings); elements are sparse vectors over those numbers, with an inverted index
// (string -> elements holding it) so that projecting a candidate costs the overlap of its
// strings with the basis, not a pass over it. The commutator with a generator is read from
// transition tables: for each term of each generator and each string number, the number of
// the product string and the factor the commutator gives it, kept up to date as strings are
// numbered (a product not yet numbered is formed directly).
//
// Reductions are classical Gram–Schmidt, repeated when a pass removed more than half of the
// vector; sums that cancelled to rounding are dropped.
#include "closure/sum_closure.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "core/parallel.hpp"
#include "core/sparse_vector.hpp"

namespace tanvo {
namespace {

using Clock = std::chrono::steady_clock;

// Candidates reduced in parallel between two acceptances: enough to share among threads, few
// enough that the one-by-one reduction against the batch's own new elements stays cheap.
constexpr std::size_t kBatch = 64;
// A reduction that keeps less than this share of a vector's norm is repeated.
constexpr double kKeptShare = 0.5;
// A candidate whose squared norm outside the span, found by Pythagoras from its projections,
// is below this share of its squared norm is dependent: the difference of two nearly equal sums
// is rounding there (about 1e-15), and a candidate reduced outright keeps at least 1e-6 of
// its norm when it is independent of the span by that much.
constexpr double kPythagoras = 1e-12;

// Real coordinates r stand for i r (the anti-Hermitian elements of qubit sums); complex ones
// for themselves.
inline double magnitude(double x) { return std::abs(x); }
inline double magnitude(Complex x) { return std::abs(x.re) + std::abs(x.im); }
inline double norm2(double x) { return x * x; }
inline double norm2(Complex x) { return x.re * x.re + x.im * x.im; }
inline double conj_product(double a, double b) { return a * b; }
inline Complex conj_product(Complex a, Complex b) { return conj_times(a, b); }
inline double scaled(double x, double f) { return x * f; }
inline Complex scaled(Complex x, double f) { return {x.re * f, x.im * f}; }
// A sum is dropped when it is within 1e-13 of the magnitudes of its terms: it cancelled in exact
// arithmetic (a Gram–Schmidt pass sums hundreds of terms, whose rounding passes the few ulps
// that would flag a short sum), and keeping such remainders would fill every vector with noise.
constexpr double kCancelled = 2e-15;
// Coordinates below this share of their vector's norm are dropped too: left in, the rounding
// noise of one element spreads through its commutators into every later one (as entries of
// 1e-20, then 1e-40, ...), each step a term more to carry. Dropping them moves a unit vector by
// at most 1e-15 per dropped term.
constexpr double kNegligible = 1e-15;
inline bool cancelled_sum(double sum, double size) { return std::abs(sum) <= kCancelled * size; }
inline bool cancelled_sum(Complex sum, double size) { return magnitude(sum) <= kCancelled * size; }

template <class Scalar>
Scalar from_complex(Complex c) {
    if constexpr (std::is_same_v<Scalar, double>)
        return c.im;
    else
        return c;
}
template <class Scalar>
Scalar from_real(double x) {
    if constexpr (std::is_same_v<Scalar, double>)
        return x;
    else
        return Complex{x, 0.0};
}
template <class Scalar>
Complex to_complex(Scalar x) {
    if constexpr (std::is_same_v<Scalar, double>)
        return {0.0, x};
    else
        return x;
}

// For a generator term a G and a string P with G P = exp(2πi k/r) R: the factor f with
// [a G, v P] = f v R. Real coordinates: [i a G, i v P] = -a v [G, P] = -2 a v i^k R, with k odd,
// which is i (-2 a v i^(k-1)) R.
template <class Scalar>
Scalar commutator_factor(unsigned k, unsigned c, Scalar a, const std::vector<Complex>& roots) {
    if constexpr (std::is_same_v<Scalar, double>) {
        (void)c;
        (void)roots;
        return k == 1 ? -2.0 * a : 2.0 * a;
    } else {
        const unsigned order = unsigned(roots.size());
        return a * (roots[k] - roots[(k + order - c) % order]);
    }
}

template <class Scalar>
struct Transition {
    static constexpr std::int32_t kCommutes = -1, kUnknown = -2;
    std::int32_t number = kUnknown;  // of the product string
    Scalar factor{};
};

template <class Scalar>
struct Element {
    std::vector<std::uint32_t> numbers;  // increasing
    std::vector<Scalar> values;
};

// A candidate: terms on numbered strings, terms on strings not yet numbered, and (once
// assessed) its projections <e_k, c> onto the basis and the square of its norm.
template <class Scalar>
struct Candidate {
    std::vector<std::uint32_t> numbers;
    std::vector<Scalar> values;
    std::vector<std::uint64_t> fresh_strings;
    std::vector<Scalar> fresh_values;
    std::vector<std::pair<std::uint32_t, Scalar>> projections;
    double squared = 0.0;
    bool kept = false;
};

inline double conj_of(double x) { return x; }
inline Complex conj_of(Complex x) { return {x.re, -x.im}; }

class Tracker {
public:
    explicit Tracker(const SumClosureOptions& options) : options_(options), start_(Clock::now()), last_(start_) {}

    void check_room(std::size_t dimension) const {
        if (options_.max_dimension && dimension > *options_.max_dimension)
            throw ClosureTooLarge("the Lie closure passed max_dimension=" + std::to_string(*options_.max_dimension) +
                                  ": " + std::to_string(dimension) +
                                  " independent elements found so far, and the algebra may be larger");
    }
    void report(std::size_t dimension, std::size_t tried, bool always = false) {
        if (!options_.progress) return;
        const Clock::time_point now = Clock::now();
        if (!always && now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        options_.progress({dimension, tried, std::chrono::duration<double>(now - start_).count()});
    }

private:
    const SumClosureOptions& options_;
    Clock::time_point start_, last_;
};

template <class Scalar>
class SumSpace {
public:
    SumSpace(const StringShape& shape, const SumClosureOptions& options)
        : shape_(shape), words_(shape.words()), options_(options), set_(shape.words()) {
        for (unsigned k = 0; k < shape.phase_order(); ++k) roots_.push_back(root_of_unity(k, shape.phase_order()));
    }

    std::size_t size() const { return elements_.size(); }
    std::size_t strings() const { return set_.size(); }

    // Scratch of one thread: sums by string number and by element, and strings not numbered.
    struct Workspace {
        std::vector<Scalar> value;
        std::vector<double> size;  // Σ |terms| of each sum, to find cancellations
        std::vector<char> held;
        std::vector<std::uint32_t> touched;
        std::vector<Scalar> projection;
        std::vector<char> projected;
        std::vector<std::uint32_t> elements;
        StringSet fresh{0};
        std::vector<Scalar> fresh_value;
        std::vector<double> fresh_size;
        std::vector<std::uint64_t> product;

        void prepare(std::size_t strings, std::size_t elements_count, std::size_t words) {
            if (value.size() < strings) {
                value.resize(strings);
                size.resize(strings);
                held.resize(strings);
            }
            if (projection.size() < elements_count) {
                projection.resize(elements_count);
                projected.resize(elements_count);
            }
            if (fresh.words() != words) fresh = StringSet(words);
            product.resize(words);
        }
        void add(std::uint32_t number, Scalar v, double magnitude_of_v) {
            if (!held[number]) {
                held[number] = 1;
                touched.push_back(number);
                value[number] = Scalar{};
                size[number] = 0.0;
            }
            value[number] += v;
            size[number] += magnitude_of_v;
        }
        // The projections gathered so far, in the order first met; they are cleared.
        void take_projections(std::vector<std::pair<std::uint32_t, Scalar>>& out) {
            for (std::uint32_t k : elements) {
                projected[k] = 0;
                out.emplace_back(k, projection[k]);
            }
            elements.clear();
        }
        void add_projection(std::uint32_t k, Scalar p) {
            if (!projected[k]) {
                projected[k] = 1;
                elements.push_back(k);
                projection[k] = Scalar{};
            }
            projection[k] += p;
        }
        void add_fresh(const std::uint64_t* s, Scalar v) {
            const auto [number, added] = fresh.insert(s);
            if (added) {
                fresh_value.push_back(v);
                fresh_size.push_back(magnitude(v));
            } else {
                fresh_value[number] += v;
                fresh_size[number] += magnitude(v);
            }
        }
        double norm() const {
            double sum = 0.0;
            for (std::uint32_t number : touched) sum += norm2(value[number]);
            for (std::size_t f = 0; f < fresh_value.size(); ++f) sum += norm2(fresh_value[f]);
            return std::sqrt(sum);
        }
        // The sums that did not cancel, in the order first met; the workspace is cleared.
        Candidate<Scalar> extract(std::size_t words) {
            Candidate<Scalar> c;
            const double floor = kNegligible * norm();
            for (std::uint32_t number : touched) {
                held[number] = 0;
                if (cancelled_sum(value[number], size[number]) || !(magnitude(value[number]) > floor)) continue;
                c.numbers.push_back(number);
                c.values.push_back(value[number]);
            }
            touched.clear();
            for (std::size_t f = 0; f < fresh_value.size(); ++f) {
                if (cancelled_sum(fresh_value[f], fresh_size[f]) || !(magnitude(fresh_value[f]) > floor)) continue;
                c.fresh_strings.insert(c.fresh_strings.end(), fresh.string(f), fresh.string(f) + words);
                c.fresh_values.push_back(fresh_value[f]);
            }
            fresh = StringSet(words);
            fresh_value.clear();
            fresh_size.clear();
            c.kept = true;
            return c;
        }
        void clear() {
            for (std::uint32_t number : touched) held[number] = 0;
            touched.clear();
            for (std::uint32_t k : elements) projected[k] = 0;
            elements.clear();
            fresh = StringSet(fresh.words());
            fresh_value.clear();
            fresh_size.clear();
        }
    };

    // Numbers the string (if new): its postings and transitions are added.
    std::uint32_t number_of(const std::uint64_t* s) {
        const auto [number, added] = set_.insert(s);
        if (!added) return number;
        postings_.emplace_back();
        for (std::size_t t = 0; t < terms_.size(); ++t) {
            tables_[t].emplace_back();
            update_transition(t, number);
        }
        return number;
    }

    // From now on, commutators are taken with the generator whose terms are these.
    void add_generator(const std::vector<std::uint32_t>& numbers, const std::vector<Scalar>& values) {
        const std::size_t first = terms_.size();
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            const std::uint64_t* s = set_.string(numbers[i]);
            term_strings_.insert(term_strings_.end(), s, s + words_);
            terms_.push_back(values[i]);
            tables_.emplace_back(set_.size());
            for (std::uint32_t number = 0; number < set_.size(); ++number) update_transition(terms_.size() - 1, number);
        }
        generators_.emplace_back(first, terms_.size());
    }
    std::size_t generators() const { return generators_.size(); }

    // [generator g, element e] into the workspace (cleared first).
    void commutator(std::size_t g, std::size_t e, Workspace& w) const {
        const Element<Scalar>& element = elements_[e];
        const auto [first, last] = generators_[g];
        for (std::size_t t = first; t < last; ++t) {
            const std::vector<Transition<Scalar>>& table = tables_[t];
            for (std::size_t i = 0; i < element.numbers.size(); ++i) {
                const Transition<Scalar>& transition = table[element.numbers[i]];
                if (transition.number == Transition<Scalar>::kCommutes) continue;
                const Scalar v = transition.factor * element.values[i];
                if (transition.number >= 0) {
                    w.add(std::uint32_t(transition.number), v, magnitude(v));
                    continue;
                }
                const std::uint64_t* s = set_.string(element.numbers[i]);
                const std::uint64_t* term = term_strings_.data() + t * words_;
                const unsigned k = multiply_strings(shape_, term, s, w.product.data());
                const unsigned c = commutation_phase(shape_, term, s);
                w.add_fresh(w.product.data(), commutator_factor(k, c, terms_[t], roots_) * element.values[i]);
            }
        }
    }

    // Loads a candidate into the workspace; strings numbered since it was reduced are moved to
    // the numbered terms.
    void load(const Candidate<Scalar>& c, Workspace& w) const {
        for (std::size_t i = 0; i < c.numbers.size(); ++i) w.add(c.numbers[i], c.values[i], magnitude(c.values[i]));
        for (std::size_t f = 0; f < c.fresh_values.size(); ++f) {
            const std::uint64_t* s = c.fresh_strings.data() + f * words_;
            const std::uint32_t number = set_.find(s);
            if (number == StringSet::kAbsent)
                w.add_fresh(s, c.fresh_values[f]);
            else
                w.add(number, c.fresh_values[f], magnitude(c.fresh_values[f]));
        }
    }

    // Reduces the workspace's vector against the whole basis (a second pass when the first
    // removed more than half of it), adding the projections subtracted to `totals`; false when
    // what is left is below tol.
    bool reduce(Workspace& w, std::vector<std::pair<std::uint32_t, Scalar>>& totals) const {
        const double before = w.norm();
        if (!(before > options_.tol)) return false;
        const std::size_t first = totals.size();
        project(w, 0, elements_.size());
        subtract(w, totals);
        double after = w.norm();
        if (after > options_.tol && after < kKeptShare * before) {
            project(w, 0, elements_.size());
            subtract(w, totals);
            after = w.norm();
            // Both passes' coefficients of an element, as one.
            std::sort(totals.begin() + std::ptrdiff_t(first), totals.end(),
                      [](const auto& a, const auto& b) { return a.first < b.first; });
            std::size_t kept = first;
            for (std::size_t t = first; t < totals.size(); ++t) {
                if (kept > first && totals[kept - 1].first == totals[t].first)
                    totals[kept - 1].second += totals[t].second;
                else
                    totals[kept++] = totals[t];
            }
            totals.resize(kept);
        }
        return after > options_.tol;
    }

    // The candidate [g, e_i] formed and assessed against elements [0, count): its projections
    // and the square of its norm. When ad_g is antisymmetric (anti-Hermitian generators), the
    // projections onto e_j for j < i are known, -conj <e_i, [g, e_j]>, recorded when [g, e_j]
    // was assessed; the others are found through the inverted index.
    Candidate<Scalar> assess(std::size_t g, std::size_t i, std::size_t count, Workspace& w) const {
        commutator(g, i, w);
        const double squared = w.norm() * w.norm();
        if (!(squared > options_.tol * options_.tol)) {
            w.clear();
            return {};
        }
        std::vector<std::pair<std::uint32_t, Scalar>> projections;
        std::size_t from = 0;
        if (options_.antisymmetric) {
            for (const auto& [j, value] : recorded_[i * generators_.size() + g])
                if (j < count) projections.emplace_back(j, scaled(conj_of(value), -1.0));
            from = std::min(i, count);
        }
        project(w, from, count);
        w.take_projections(projections);
        Candidate<Scalar> c = w.extract(words_);
        c.projections = std::move(projections);
        c.squared = squared;
        return c;
    }

    // Whether the candidate, whose projections onto elements [0, count) are known, lies outside
    // the span: its projections onto the later elements are added, and when the norm it keeps
    // (by Pythagoras) is within rounding of none, it is dependent; otherwise it is reduced
    // outright (its projections then replaced by those subtracted) and appended when it keeps
    // more than tol. The projections are recorded for the later candidates of the same
    // generator. `w` is the serial workspace.
    void accept(Candidate<Scalar>& c, std::size_t g, std::size_t i, std::size_t count, std::size_t batch_start,
                Workspace& w, Tracker& tracker, const std::stop_token& stop) {
        const std::size_t gens = generators_.size();
        if (c.kept) {
            w.prepare(set_.size(), elements_.size(), words_);
            load(c, w);
            // Projections recorded since this candidate was assessed (by candidates of its batch).
            if (options_.antisymmetric)
                for (const auto& [j, value] : recorded_[i * gens + g])
                    if (std::size_t(j) * gens + g >= batch_start) c.projections.emplace_back(j, scaled(conj_of(value), -1.0));
            project(w, count, elements_.size());
            w.take_projections(c.projections);
            double kept = c.squared;
            for (const auto& projection : c.projections) kept -= norm2(projection.second);
            bool outside = false;
            if (kept > kPythagoras * c.squared) {
                c.projections.clear();
                outside = reduce(w, c.projections);
            }
            if (outside) {
                tracker.check_room(elements_.size() + 1);
                const double norm = w.norm();
                const auto index = std::uint32_t(elements_.size());
                append(w, stop);
                recorded_.resize(elements_.size() * gens);
                c.projections.emplace_back(index, from_real<Scalar>(norm));
            } else {
                w.clear();
            }
        }
        if (options_.antisymmetric)
            for (const auto& [k, value] : c.projections) recorded_[std::size_t(k) * gens + g].emplace_back(std::uint32_t(i), value);
        c = {};
    }

    // Sizes the records once the generators are known.
    void start_search() { recorded_.resize(elements_.size() * generators_.size()); }

    // Appends the workspace's vector, normalised; its new strings are numbered.
    // Appends the workspace's vector, normalised; its new strings are numbered.
    void append(Workspace& w, const std::stop_token& stop) {
        Candidate<Scalar> c = w.extract(words_);
        Element<Scalar> element;
        for (std::size_t f = 0; f < c.fresh_values.size(); ++f) {
            c.numbers.push_back(number_of(c.fresh_strings.data() + f * words_));
            c.values.push_back(c.fresh_values[f]);
        }
        // Order by string number (the fresh strings were numbered last, in order).
        std::vector<std::size_t> order(c.numbers.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return c.numbers[a] < c.numbers[b]; });
        double sum = 0.0;
        for (const Scalar& v : c.values) sum += norm2(v);
        const double scale = 1.0 / std::sqrt(sum);
        const auto index = std::uint32_t(elements_.size());
        for (std::size_t i : order) {
            const Scalar v = scaled(c.values[i], scale);
            element.numbers.push_back(c.numbers[i]);
            element.values.push_back(v);
            postings_[c.numbers[i]].elements.push_back(index);
            postings_[c.numbers[i]].values.push_back(v);
        }
        elements_.push_back(std::move(element));
        stop_point(stop);
    }

    // Generators: each normalised, reduced against the basis so far, kept when independent.
    void add_generators(const StringSumsView& generators, Workspace& w, const std::stop_token& stop) {
        std::vector<std::uint32_t> numbers;
        std::vector<Scalar> values;
        for (std::size_t g = 0; g < generators.operators; ++g) {
            stop_point(stop);
            numbers.clear();
            values.clear();
            double sum = 0.0;
            for (auto t = std::size_t(generators.offsets[g]); t < std::size_t(generators.offsets[g + 1]); ++t) {
                numbers.push_back(number_of(generators.strings + t * words_));
                values.push_back(from_complex<Scalar>(generators.coefficients[t]));
                sum += norm2(values.back());
            }
            if (!(sum > 0.0)) continue;
            const double scale = 1.0 / std::sqrt(sum);
            for (Scalar& v : values) v = scaled(v, scale);
            w.prepare(set_.size(), elements_.size(), words_);
            for (std::size_t i = 0; i < numbers.size(); ++i) w.add(numbers[i], values[i], magnitude(values[i]));
            std::vector<std::pair<std::uint32_t, Scalar>> projections;
            if (!reduce(w, projections)) {
                w.clear();
                continue;
            }
            append(w, stop);
            add_generator(numbers, values);
        }
    }

    StringSums result() const {
        StringSums out;
        out.offsets.push_back(0);
        for (const Element<Scalar>& element : elements_) {
            for (std::size_t i = 0; i < element.numbers.size(); ++i) {
                const std::uint64_t* s = set_.string(element.numbers[i]);
                out.strings.insert(out.strings.end(), s, s + words_);
                out.coefficients.push_back(to_complex(element.values[i]));
            }
            out.offsets.push_back(std::int64_t(out.coefficients.size()));
        }
        return out;
    }

private:
    struct Postings {
        std::vector<std::uint32_t> elements;  // increasing
        std::vector<Scalar> values;
    };

    // The transition of string `number` under term t, and the one into it: from the string s
    // with G s = P_number (s = G^-1 P_number up to a phase; for qubits G s = P_number means
    // s = G P_number, but a qudit word G is no involution).
    void update_transition(std::size_t t, std::uint32_t number) {
        const std::uint64_t* term = term_strings_.data() + t * words_;
        const std::uint64_t* s = set_.string(number);
        std::vector<std::uint64_t> other_string(words_);
        const unsigned c = commutation_phase(shape_, term, s);
        if (c == 0) {
            // Then G commutes with G^-1 P_number too: nothing leads into this string.
            tables_[t][number] = {Transition<Scalar>::kCommutes, Scalar{}};
            return;
        }
        const unsigned k = multiply_strings(shape_, term, s, other_string.data());
        const std::uint32_t forward = set_.find(other_string.data());
        if (forward != StringSet::kAbsent)
            tables_[t][number] = {std::int32_t(forward), commutator_factor(k, c, terms_[t], roots_)};
        quotient_string(s, term, other_string.data());
        const std::uint32_t backward = set_.find(other_string.data());
        if (backward == StringSet::kAbsent) return;
        const std::uint64_t* b = set_.string(backward);
        const unsigned k_back = multiply_strings(shape_, term, b, other_string.data());
        tables_[t][backward] = {std::int32_t(number),
                                commutator_factor(k_back, commutation_phase(shape_, term, b), terms_[t], roots_)};
    }

    // The string of G^-1 P (exponents of P minus those of G), phase aside.
    void quotient_string(const std::uint64_t* p, const std::uint64_t* g, std::uint64_t* out) const {
        if (shape_.qubits()) {
            for (std::size_t i = 0; i < words_; ++i) out[i] = p[i] ^ g[i];
            return;
        }
        const unsigned q = shape_.q;
        const auto* pb = reinterpret_cast<const std::uint8_t*>(p);
        const auto* gb = reinterpret_cast<const std::uint8_t*>(g);
        auto* ob = reinterpret_cast<std::uint8_t*>(out);
        for (std::size_t i = 0; i < 8 * words_; ++i) ob[i] = std::uint8_t((pb[i] + q - gb[i]) % q);
    }

    // Adds <e_k, v> for the elements k in [from, to) to the workspace's projections.
    void project(Workspace& w, std::size_t from, std::size_t to) const {
        if (to <= from) return;
        for (std::uint32_t number : w.touched) {
            const Postings& postings = postings_[number];
            const Scalar v = w.value[number];
            for (std::size_t p = postings.elements.size(); p-- > 0;) {  // increasing: walk back
                const std::uint32_t k = postings.elements[p];
                if (k >= to) continue;
                if (k < from) break;
                w.add_projection(k, conj_product(postings.values[p], v));
            }
        }
    }

    // v -= Σ p_k e_k over the workspace's projections, which move to `done`.
    void subtract(Workspace& w, std::vector<std::pair<std::uint32_t, Scalar>>& done) const {
        const std::size_t first = done.size();
        w.take_projections(done);
        for (std::size_t t = first; t < done.size(); ++t) {
            const auto [k, c] = done[t];
            const Element<Scalar>& b = elements_[k];
            for (std::size_t i = 0; i < b.numbers.size(); ++i) {
                const Scalar p = c * b.values[i];
                w.add(b.numbers[i], scaled(p, -1.0), magnitude(p));
            }
        }
    }

    StringShape shape_;
    std::size_t words_;
    const SumClosureOptions& options_;
    std::vector<Complex> roots_;
    StringSet set_;
    std::vector<Postings> postings_;  // by string number
    std::vector<std::uint64_t> term_strings_;
    std::vector<Scalar> terms_;
    std::vector<std::vector<Transition<Scalar>>> tables_;  // by term, then string number
    std::vector<std::pair<std::size_t, std::size_t>> generators_;  // their terms
    std::vector<Element<Scalar>> elements_;
    // <e_k, [g, e_j]> for each (k, g), as (j, value) in increasing j: the projections of every
    // candidate assessed so far, for the antisymmetry of ad_g.
    std::vector<std::vector<std::pair<std::uint32_t, Scalar>>> recorded_;
};

template <class Scalar>
StringSums close(const StringShape& shape, const StringSumsView& generators, const SumClosureOptions& options,
                 const std::stop_token& stop) {
    using Space = SumSpace<Scalar>;
    Space space(shape, options);
    Tracker tracker(options);
    typename Space::Workspace serial;
    space.add_generators(generators, serial, stop);
    tracker.check_room(space.size());

    space.start_search();
    const unsigned threads = std::max(1u, options.threads);
    std::vector<typename Space::Workspace> workspaces(threads);
    std::vector<Candidate<Scalar>> batch;
    std::size_t tried = 0;
    // Candidates are (element, generator) pairs in order; `next` is the next one to form.
    const std::size_t gens = space.generators();
    std::size_t next = 0;
    while (gens > 0 && next < space.size() * gens) {
        const std::size_t basis_at_start = space.size();
        const std::size_t count = std::min(kBatch, basis_at_start * gens - next);
        batch.assign(count, {});
        for (auto& w : workspaces) w.prepare(space.strings(), basis_at_start, shape.words());
        parallel_chunks(count, 1, threads, stop, [&](std::size_t begin, std::size_t end, unsigned worker) {
            for (std::size_t i = begin; i < end; ++i) {
                stop_point(stop);
                const std::size_t pair = next + i;
                batch[i] = space.assess(pair % gens, pair / gens, basis_at_start, workspaces[worker]);
            }
        });
        for (std::size_t i = 0; i < count; ++i) {
            stop_point(stop);
            const std::size_t pair = next + i;
            space.accept(batch[i], pair % gens, pair / gens, basis_at_start, next, serial, tracker, stop);
        }
        next += count;
        tried += count;
        tracker.report(space.size(), tried);
    }
    tracker.report(space.size(), tried, true);
    return space.result();
}

}  // namespace

StringSums sum_closure(const StringShape& shape, const StringSumsView& generators, const SumClosureOptions& options,
                       const std::stop_token& stop) {
    if (options.real && !shape.qubits()) throw std::invalid_argument("real coordinates are for qubit sums");
    return options.real ? close<double>(shape, generators, options, stop)
                        : close<Complex>(shape, generators, options, stop);
}

}  // namespace tanvo
