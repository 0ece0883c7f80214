#include "simulation/adjoint_sweeps.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/parallel.hpp"

namespace tanvo::simulation {
namespace {

// The largest number of Newton nodes the front produces.
constexpr std::size_t kMaxNodes = 16;
// Steps of the Taylor series take ‖hÂ‖₂ at most this (as the front's TAYLOR_STEP_NORM).
constexpr double kTaylorStepNorm = 2.0;

// One generator's slices of the flat arrays.
struct GeneratorView {
    ExponentialForm form;
    const std::int64_t* u;
    const std::int64_t* v;
    const double* a;
    const double* b;
    std::size_t pairs;
    const std::int64_t* rows;
    const std::int64_t* cols;
    const double* vals;
    const std::int64_t* transposed_rows;
    const std::int64_t* transposed_cols;
    const double* transposed_vals;
    std::size_t terms;
    const double* nodes;
    std::size_t node_count;
    double norm;
};

GeneratorView view_of(const GeneratorSet& set, std::size_t g) {
    const auto p0 = std::size_t(set.pair_offsets[g]), p1 = std::size_t(set.pair_offsets[g + 1]);
    const auto t0 = std::size_t(set.term_offsets[g]), t1 = std::size_t(set.term_offsets[g + 1]);
    const auto n0 = std::size_t(set.node_offsets[g]), n1 = std::size_t(set.node_offsets[g + 1]);
    return {ExponentialForm(set.forms[g]),
            set.pair_u.data() + p0, set.pair_v.data() + p0, set.pair_a.data() + p0, set.pair_b.data() + p0, p1 - p0,
            set.rows.data() + t0, set.cols.data() + t0, set.vals.data() + t0,
            set.transposed_rows.data() + t0, set.transposed_cols.data() + t0, set.transposed_vals.data() + t0,
            t1 - t0, set.nodes.data() + n0, n1 - n0, set.norms[g]};
}

// y = Â x (or Âᵀ x) for coordinate terms sorted by row.
void multiply(const GeneratorView& g, bool transposed, const double* x, double* y, std::size_t n) {
    const std::int64_t* rows = transposed ? g.transposed_rows : g.rows;
    const std::int64_t* cols = transposed ? g.transposed_cols : g.cols;
    const double* vals = transposed ? g.transposed_vals : g.vals;
    std::fill(y, y + n, 0.0);
    for (std::size_t t = 0; t < g.terms; ++t) y[rows[t]] += vals[t] * x[cols[t]];
}

// cos(ωθ) and sin(ωθ)/ω for ω² = -ab (cosh and sinh for ab > 0; 1 and θ for ab = 0).
void plane_factors(double product_ab, double theta, double& c, double& s) {
    const double minus = -product_ab;
    const double root = std::sqrt(std::abs(minus));
    if (root == 0.0) {
        c = 1.0;
        s = theta;
    } else if (minus > 0) {
        c = std::cos(theta * root);
        s = std::sin(theta * root) / root;
    } else {
        c = std::cosh(theta * root);
        s = std::sinh(theta * root) / root;
    }
}

// Newton divided differences of cos(θ√ν) and sin(θ√ν)/√ν on the nodes.
void polynomial_weights(const double* nodes, std::size_t count, double theta, double* f, double* g) {
    for (std::size_t i = 0; i < count; ++i) {
        const double nu = nodes[i];
        const double root = std::sqrt(std::abs(nu));
        if (nu >= 0) {
            f[i] = std::cos(theta * root);
            g[i] = root > 0 ? std::sin(theta * root) / root : theta;
        } else {
            f[i] = std::cosh(theta * root);
            g[i] = std::sinh(theta * root) / root;
        }
    }
    for (std::size_t level = 1; level < count; ++level) {
        for (std::size_t i = count - 1; i >= level; --i) {
            const double gap = nodes[i] - nodes[i - level];
            f[i] = (f[i] - f[i - 1]) / gap;
            g[i] = (g[i] - g[i - 1]) / gap;
        }
    }
}

// The smallest m with step_norm^(m+1) / (m+1)! below 2^-56.
std::size_t taylor_terms(double step_norm) {
    double term = 1.0;
    for (std::size_t m = 0;; ++m) {
        term *= step_norm / double(m + 1);
        if (term < 0x1p-56) return m;
    }
}

// Work vectors of one thread.
struct Scratch {
    explicit Scratch(std::size_t n) : left(n), right(n), a(n), b(n), c(n), d(n) {}
    std::vector<double> left, right, a, b, c, d;
};

// y <- exp(θÂ) y (exp(θÂᵀ) y when transposed).
void apply_exponential(const GeneratorView& g, bool transposed, double theta, double* y, std::size_t n,
                       Scratch& s) {
    switch (g.form) {
    case ExponentialForm::rotations: {
        double last_product = std::nan(""), c = 1.0, sn = 0.0;
        for (std::size_t p = 0; p < g.pairs; ++p) {
            const double a = transposed ? g.b[p] : g.a[p];
            const double b = transposed ? g.a[p] : g.b[p];
            const double product = a * b;
            if (!(product == last_product)) {  // pairs of one generator mostly share ω
                plane_factors(product, theta, c, sn);
                last_product = product;
            }
            const auto u = g.u[p], v = g.v[p];
            const double yu = y[u], yv = y[v];
            y[u] = c * yu + sn * b * yv;
            y[v] = c * yv + sn * a * yu;
        }
        return;
    }
    case ExponentialForm::polynomial: {
        double f[kMaxNodes], h[kMaxNodes];
        polynomial_weights(g.nodes, g.node_count, theta, f, h);
        double* w = s.a.data();
        double* product = s.b.data();
        double* head = s.c.data();
        double* tail = s.d.data();
        std::copy(y, y + n, w);
        for (std::size_t i = 0; i < n; ++i) {
            head[i] = f[0] * w[i];
            tail[i] = h[0] * w[i];
        }
        for (std::size_t j = 1; j < g.node_count; ++j) {
            multiply(g, transposed, w, product, n);
            multiply(g, transposed, product, y, n);  // y is free until the end
            const double nu = g.nodes[j - 1];
            for (std::size_t i = 0; i < n; ++i) {
                w[i] = -y[i] - nu * w[i];
                head[i] += f[j] * w[i];
                tail[i] += h[j] * w[i];
            }
        }
        multiply(g, transposed, tail, y, n);
        for (std::size_t i = 0; i < n; ++i) y[i] = head[i] + y[i];
        return;
    }
    case ExponentialForm::taylor: {
        const double steps_real = std::max(1.0, std::ceil(std::abs(theta) * g.norm / kTaylorStepNorm));
        const auto steps = std::size_t(steps_real);
        const double step = theta / steps_real;
        const std::size_t terms = taylor_terms(std::abs(step) * g.norm);
        double* term = s.a.data();
        double* next = s.b.data();
        for (std::size_t k = 0; k < steps; ++k) {
            std::copy(y, y + n, term);
            for (std::size_t m = 1; m <= terms; ++m) {
                multiply(g, transposed, term, next, n);
                const double factor = step / double(m);
                for (std::size_t i = 0; i < n; ++i) {
                    term[i] = factor * next[i];
                    y[i] += term[i];
                }
            }
        }
        return;
    }
    }
}

// leftᵀ Â right.
double derivative_term(const GeneratorView& g, const double* left, const double* right) {
    double sum = 0.0;
    if (g.form == ExponentialForm::rotations) {
        for (std::size_t p = 0; p < g.pairs; ++p) {
            const auto u = g.u[p], v = g.v[p];
            sum += left[v] * (g.a[p] * right[u]) + left[u] * (g.b[p] * right[v]);
        }
        return sum;
    }
    for (std::size_t t = 0; t < g.terms; ++t) sum += left[g.rows[t]] * (g.vals[t] * right[g.cols[t]]);
    return sum;
}

double dot(const double* x, const double* y, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += x[i] * y[i];
    return sum;
}

// One angle vector: the value, and the derivatives when asked.
void sweep(const std::vector<GeneratorView>& generators, const SweepRequest& request, std::size_t n,
           const double* angles, Scratch& s, const std::stop_token& stop, double& value, double* derivatives) {
    const std::size_t gates = request.gate_generators.size();
    double* right = s.right.data();
    double* left = s.left.data();
    std::copy(request.observable.begin(), request.observable.end(), right);
    for (std::size_t k = gates; k-- > 0;) {
        apply_exponential(generators[std::size_t(request.gate_generators[k])], false, angles[k], right, n, s);
        stop_point(stop);
    }
    value = dot(request.state.data(), right, n);
    if (!request.gradient) return;
    std::copy(request.state.begin(), request.state.end(), left);
    for (std::size_t k = 0; k < gates; ++k) {
        const GeneratorView& g = generators[std::size_t(request.gate_generators[k])];
        derivatives[k] = derivative_term(g, left, right);
        apply_exponential(g, false, -angles[k], right, n, s);
        apply_exponential(g, true, angles[k], left, n, s);
        stop_point(stop);
    }
}

// Batches of circuits made only of rotations run kLanes angle vectors at once, their vectors
// interleaved (entry i of lane l at i * kLanes + l): each pair's indices and constants are read
// once for all lanes, and the lanes' arithmetic vectorises. Every lane does exactly the scalar
// sweep's operations in the same order, so the results are the same bits.
constexpr std::size_t kLanes = 8;

void rotate_lanes(const GeneratorView& g, bool transposed, const double* theta, double* y) {
    double c[kLanes], sn[kLanes];
    double last_product = std::nan("");
    for (std::size_t p = 0; p < g.pairs; ++p) {
        const double a = transposed ? g.b[p] : g.a[p];
        const double b = transposed ? g.a[p] : g.b[p];
        const double product = a * b;
        if (!(product == last_product)) {
            for (std::size_t l = 0; l < kLanes; ++l) plane_factors(product, theta[l], c[l], sn[l]);
            last_product = product;
        }
        double* yu = y + std::size_t(g.u[p]) * kLanes;
        double* yv = y + std::size_t(g.v[p]) * kLanes;
        double old_u[kLanes], old_v[kLanes];
        for (std::size_t l = 0; l < kLanes; ++l) {
            old_u[l] = yu[l];
            old_v[l] = yv[l];
        }
        for (std::size_t l = 0; l < kLanes; ++l) {
            yu[l] = c[l] * old_u[l] + sn[l] * b * old_v[l];
            yv[l] = c[l] * old_v[l] + sn[l] * a * old_u[l];
        }
    }
}

// Up to kLanes angle vectors (`count` of them; the other lanes run zero angles and are dropped).
void sweep_lanes(const std::vector<GeneratorView>& generators, const SweepRequest& request, std::size_t n,
                 const double* angles, std::size_t count, std::vector<double>& left, std::vector<double>& right,
                 const std::stop_token& stop, double* values, double* derivatives) {
    const std::size_t gates = request.gate_generators.size();
    double theta[kLanes];
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t l = 0; l < kLanes; ++l) right[i * kLanes + l] = request.observable[i];
    for (std::size_t k = gates; k-- > 0;) {
        for (std::size_t l = 0; l < kLanes; ++l) theta[l] = l < count ? angles[l * gates + k] : 0.0;
        rotate_lanes(generators[std::size_t(request.gate_generators[k])], false, theta, right.data());
        stop_point(stop);
    }
    double sum[kLanes] = {};
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t l = 0; l < kLanes; ++l) sum[l] += request.state[i] * right[i * kLanes + l];
    for (std::size_t l = 0; l < count; ++l) values[l] = sum[l];
    if (!request.gradient) return;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t l = 0; l < kLanes; ++l) left[i * kLanes + l] = request.state[i];
    for (std::size_t k = 0; k < gates; ++k) {
        const GeneratorView& g = generators[std::size_t(request.gate_generators[k])];
        double term[kLanes] = {};
        for (std::size_t p = 0; p < g.pairs; ++p) {
            const double* lu = left.data() + std::size_t(g.u[p]) * kLanes;
            const double* lv = left.data() + std::size_t(g.v[p]) * kLanes;
            const double* ru = right.data() + std::size_t(g.u[p]) * kLanes;
            const double* rv = right.data() + std::size_t(g.v[p]) * kLanes;
            for (std::size_t l = 0; l < kLanes; ++l) term[l] += lv[l] * (g.a[p] * ru[l]) + lu[l] * (g.b[p] * rv[l]);
        }
        for (std::size_t l = 0; l < count; ++l) derivatives[l * gates + k] = term[l];
        for (std::size_t l = 0; l < kLanes; ++l) theta[l] = l < count ? -angles[l * gates + k] : 0.0;
        rotate_lanes(g, false, theta, right.data());
        for (std::size_t l = 0; l < kLanes; ++l) theta[l] = -theta[l];
        rotate_lanes(g, true, theta, left.data());
        stop_point(stop);
    }
}

void require(bool condition, const char* message) {
    if (!condition) throw std::invalid_argument(std::string("adjoint_sweeps: ") + message);
}

// Whether offsets[0] = 0, they never decrease, and the last one is `size`.
bool offsets_fit(std::span<const std::int64_t> offsets, std::size_t count, std::size_t size) {
    if (offsets.size() != count + 1 || offsets[0] != 0 || std::size_t(offsets[count]) != size) return false;
    for (std::size_t g = 0; g < count; ++g)
        if (offsets[g + 1] < offsets[g]) return false;
    return true;
}

bool indices_fit(std::span<const std::int64_t> indices, std::size_t n) {
    return std::all_of(indices.begin(), indices.end(), [n](std::int64_t i) { return i >= 0 && std::size_t(i) < n; });
}

}  // namespace

void check_generators(const GeneratorSet& set, const SweepRequest& request) {
    const std::size_t count = set.forms.size();
    require(set.norms.size() == count, "one norm per generator");
    for (const std::int64_t form : set.forms) require(form >= 0 && form <= 2, "unknown form");
    require(set.pair_u.size() == set.pair_v.size() && set.pair_u.size() == set.pair_a.size() &&
                set.pair_u.size() == set.pair_b.size(), "pair lists of different lengths");
    require(offsets_fit(set.pair_offsets, count, set.pair_u.size()), "pair offsets");
    const std::size_t terms = set.rows.size();
    require(set.cols.size() == terms && set.vals.size() == terms && set.transposed_rows.size() == terms &&
                set.transposed_cols.size() == terms && set.transposed_vals.size() == terms,
            "term lists of different lengths");
    require(offsets_fit(set.term_offsets, count, terms), "term offsets");
    require(offsets_fit(set.node_offsets, count, set.nodes.size()), "node offsets");
    for (std::size_t g = 0; g < count; ++g) {
        const auto nodes = set.node_offsets[g + 1] - set.node_offsets[g];
        require(nodes <= std::int64_t(kMaxNodes), "too many nodes");
        require(set.forms[g] != std::int64_t(ExponentialForm::polynomial) || nodes >= 1, "a polynomial without nodes");
    }
    for (auto list : {set.pair_u, set.pair_v, set.rows, set.cols, set.transposed_rows, set.transposed_cols})
        require(indices_fit(list, set.n), "an index outside the vectors");
    require(indices_fit(request.gate_generators, count), "a gate names no generator");
    require(request.state.size() == set.n && request.observable.size() == set.n, "vectors of another length");
    require(request.angles.size() == request.batch * request.gate_generators.size(), "angles of another shape");
}

void adjoint_sweeps(const GeneratorSet& set, const SweepRequest& request, std::stop_token stop, double* values,
                    double* derivatives) {
    check_generators(set, request);
    std::vector<GeneratorView> generators;
    generators.reserve(set.forms.size());
    for (std::size_t g = 0; g < set.forms.size(); ++g) generators.push_back(view_of(set, g));
    const std::size_t gates = request.gate_generators.size();
    const unsigned threads = unsigned(std::clamp<std::size_t>(request.threads, 1, std::max<std::size_t>(request.batch, 1)));
    const bool rotations_only = std::all_of(generators.begin(), generators.end(), [](const GeneratorView& g) {
        return g.form == ExponentialForm::rotations;
    });
    if (rotations_only && request.batch >= kLanes / 2) {
        const std::size_t groups = (request.batch + kLanes - 1) / kLanes;
        const unsigned group_threads = unsigned(std::min<std::size_t>(threads, groups));
        std::vector<std::vector<double>> lefts(group_threads), rights(group_threads);
        parallel_chunks(groups, 1, group_threads, stop, [&](std::size_t begin, std::size_t end, unsigned worker) {
            if (rights[worker].empty()) {
                rights[worker].resize(set.n * kLanes);
                if (request.gradient) lefts[worker].resize(set.n * kLanes);
            }
            for (std::size_t group = begin; group < end; ++group) {
                const std::size_t first = group * kLanes;
                const std::size_t count = std::min(kLanes, request.batch - first);
                sweep_lanes(generators, request, set.n, request.angles.data() + first * gates, count, lefts[worker],
                            rights[worker], stop, values + first,
                            request.gradient ? derivatives + first * gates : nullptr);
            }
        });
        return;
    }
    std::vector<std::unique_ptr<Scratch>> scratch(threads);
    parallel_chunks(request.batch, 1, threads, stop, [&](std::size_t begin, std::size_t end, unsigned worker) {
        if (!scratch[worker]) scratch[worker] = std::make_unique<Scratch>(set.n);
        for (std::size_t b = begin; b < end; ++b)
            sweep(generators, request, set.n, request.angles.data() + b * gates, *scratch[worker], stop, values[b],
                  request.gradient ? derivatives + b * gates : nullptr);
    });
}

}  // namespace tanvo::simulation
