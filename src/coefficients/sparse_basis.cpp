// The sparse form of a basis and the orthogonality test of its columns.
#include "coefficients/sparse_basis.hpp"

#include <algorithm>
#include <atomic>
#include <string>
#include <unordered_map>

#include "core/parallel.hpp"

namespace tanvo {

namespace {

// The non-zeros of the matrices [begin, end) appended to `s` (row and matrix starts count from
// the first entry of `s`); norm2 holds the part's matrices from index 0.
template <class Check>
void scan_matrices(SparseBasis& s, std::size_t begin, std::size_t end, const RowOf& row_of, const Check& check) {
    const std::size_t d = s.d;
    s.norm2.assign(end - begin, 0.0);
    for (std::size_t m = begin; m < end; ++m) {
        if ((m - begin) % 64 == 63) check();
        double& norm2 = s.norm2[m - begin];
        for (std::size_t r = 0; r < d; ++r) {
            s.row_start.push_back(s.value.size());
            const auto [row, step] = row_of(m, r);
            if (step == 1 && all_zero(row, d)) continue;
            for (std::size_t c = 0; c < d; ++c) {
                const Complex v = row[std::ptrdiff_t(c) * step];
                if (v.re == 0.0 && v.im == 0.0) continue;
                if (!finite(v)) s.first_non_finite = std::min(s.first_non_finite, m);
                s.row.push_back(std::uint32_t(r));
                s.col.push_back(std::uint32_t(c));
                s.position.push_back(r * d + c);
                s.value.push_back(v);
                norm2 += magnitude2(v);
            }
        }
        s.row_start.push_back(s.value.size());
        s.start.push_back(s.value.size());
    }
}

SparseBasis empty_form(std::size_t n, std::size_t d) {
    SparseBasis s;
    s.d = d;
    s.length = d * d;
    s.n = n;
    s.first_non_finite = n;
    s.start.push_back(0);
    return s;
}

// The matrices by position, from the entries.
void index_positions(SparseBasis& s) {
    std::vector<std::size_t> per_position(s.length + 1, 0);
    for (std::size_t p : s.position) ++per_position[p + 1];
    for (std::size_t p = 0; p < s.length; ++p) per_position[p + 1] += per_position[p];
    s.position_start = per_position;
    s.position_matrix.resize(s.value.size());
    s.position_value.resize(s.value.size());
    std::vector<std::size_t> fill(per_position.begin(), per_position.end() - 1);
    for (std::size_t m = 0; m < s.n; ++m)
        for (std::size_t e = s.start[m]; e < s.start[m + 1]; ++e) {
            const std::size_t slot = fill[s.position[e]]++;
            s.position_matrix[slot] = std::uint32_t(m);
            s.position_value[slot] = s.value[e];
        }
}

}  // namespace

SparseBasis sparse_form(std::size_t n, std::size_t d, const RowOf& row_of, Interrupt interrupt) {
    SparseBasis s = empty_form(n, d);
    s.start.reserve(n + 1);
    s.row_start.reserve(n * (d + 1));
    scan_matrices(s, 0, n, row_of, interrupt);
    index_positions(s);
    return s;
}

std::optional<SparseBasis> sparse_form(std::size_t n, std::size_t d, const RowOf& row_of, unsigned threads,
                                       const std::stop_token& stop, std::size_t most_entries) {
    // Reading the matrices is the cost: each thread scans consecutive matrices into a part of
    // its own, and the parts are joined in order.
    constexpr std::size_t kMatricesPerPart = 64;
    const std::size_t count = (n + kMatricesPerPart - 1) / kMatricesPerPart;
    std::vector<SparseBasis> parts(count, empty_form(n, d));
    std::atomic<std::size_t> found{0};
    parallel_chunks(count, 1, threads, stop, [&](std::size_t part, std::size_t, unsigned) {
        if (found.load(std::memory_order_relaxed) > most_entries) return;
        parts[part].start.clear();
        scan_matrices(parts[part], part * kMatricesPerPart, std::min(n, (part + 1) * kMatricesPerPart), row_of,
                      [&stop] { stop_point(stop); });
        found += parts[part].value.size();
    });
    if (found.load() > most_entries) return std::nullopt;
    SparseBasis s = empty_form(n, d);
    std::size_t entries = 0;
    for (const SparseBasis& part : parts) entries += part.value.size();
    for (auto* field : {&s.row, &s.col}) field->reserve(entries);
    s.position.reserve(entries);
    s.value.reserve(entries);
    s.start.reserve(n + 1);
    s.row_start.reserve(n * (d + 1));
    for (SparseBasis& part : parts) {
        const std::size_t offset = s.value.size();
        for (std::size_t at : part.row_start) s.row_start.push_back(offset + at);
        for (std::size_t at : part.start) s.start.push_back(offset + at);
        s.row.insert(s.row.end(), part.row.begin(), part.row.end());
        s.col.insert(s.col.end(), part.col.begin(), part.col.end());
        s.position.insert(s.position.end(), part.position.begin(), part.position.end());
        s.value.insert(s.value.end(), part.value.begin(), part.value.end());
        s.norm2.insert(s.norm2.end(), part.norm2.begin(), part.norm2.end());
        s.first_non_finite = std::min(s.first_non_finite, part.first_non_finite);
        part = SparseBasis{};
        stop_point(stop);
    }
    index_positions(s);
    return s;
}

SparseBasis sparse_form(const BasisViews& basis, Interrupt interrupt) {
    return sparse_form(basis.size(), basis[0].rows, [&basis](std::size_t m, std::size_t r) {
        return MatrixRow{&basis[m](r, 0), basis[m].col_step};
    }, interrupt);
}

// Whether the columns are orthogonal within kOrthogonality and none is so short that the
// solver's rank decision (machine precision times the largest) could drop it.
bool orthogonal_columns(const SparseBasis& s, Interrupt interrupt) {
    const double largest = *std::max_element(s.norm2.begin(), s.norm2.end());
    for (double norm2 : s.norm2)
        if (!(norm2 > 1e-12 * largest)) return false;
    std::vector<Complex> gram(s.n);
    std::vector<char> used(s.n, 0);
    std::vector<std::uint32_t> touched;
    for (std::size_t k = 0; k < s.n; ++k) {
        if (k % 64 == 0) interrupt();
        for (std::size_t e = s.start[k]; e < s.start[k + 1]; ++e) {
            const std::size_t p = s.position[e];
            for (std::size_t q = s.position_start[p]; q < s.position_start[p + 1]; ++q) {
                const std::uint32_t l = s.position_matrix[q];
                if (l <= k) continue;
                if (!used[l]) {
                    used[l] = 1;
                    touched.push_back(l);
                }
                gram[l] += inner(s.value[e], s.position_value[q]);
            }
        }
        bool orthogonal = true;
        for (std::uint32_t l : touched) {
            if (magnitude2(gram[l]) > kOrthogonality * kOrthogonality * s.norm2[k] * s.norm2[l])
                orthogonal = false;
            gram[l] = {};
            used[l] = 0;
        }
        touched.clear();
        if (!orthogonal) return false;
    }
    return true;
}

MatricesByLine matrices_by_line(const SparseBasis& s) {
    MatricesByLine lines{std::vector<std::vector<std::uint32_t>>(s.d), std::vector<std::vector<std::uint32_t>>(s.d)};
    for (std::size_t m = 0; m < s.n; ++m)
        for (std::size_t e = s.start[m]; e < s.start[m + 1]; ++e) {
            auto& row = lines.by_row[s.row[e]];
            if (row.empty() || row.back() != m) row.push_back(std::uint32_t(m));
            auto& column = lines.by_col[s.col[e]];
            if (column.empty() || column.back() != m) column.push_back(std::uint32_t(m));
        }
    return lines;
}

MonomialPatterns monomial_patterns(const SparseBasis& s) {
    if (s.entries() != s.n * s.d) return {};
    for (std::size_t m = 0; m < s.n; ++m)
        for (std::size_t r = 0; r < s.d; ++r)
            if (s.row_begin(m, r + 1) - s.row_begin(m, r) != 1) return {};
    MonomialPatterns found;
    std::unordered_map<std::string, std::size_t> ids;
    found.pattern_of.resize(s.n);
    for (std::size_t m = 0; m < s.n; ++m) {
        std::vector<std::uint32_t> to(s.col.begin() + std::ptrdiff_t(s.start[m]),
                                      s.col.begin() + std::ptrdiff_t(s.start[m + 1]));
        std::string key(reinterpret_cast<const char*>(to.data()), to.size() * sizeof(std::uint32_t));
        const auto [slot, added] = ids.emplace(std::move(key), found.patterns.size());
        if (added) found.patterns.push_back(std::move(to));
        found.pattern_of[m] = slot->second;
    }
    const std::size_t count = found.patterns.size();
    if (count * count * s.d > 64 * s.n * s.n + (1u << 20)) return {};
    found.compose.assign(count * count, -1);
    std::vector<std::uint32_t> composed(s.d);
    for (std::size_t a = 0; a < count; ++a)
        for (std::size_t b = 0; b < count; ++b) {
            // Row r of B_a·B_b holds its entry in column to_b(to_a(r)).
            for (std::size_t r = 0; r < s.d; ++r) composed[r] = found.patterns[b][found.patterns[a][r]];
            std::string key(reinterpret_cast<const char*>(composed.data()),
                            composed.size() * sizeof(std::uint32_t));
            const auto id = ids.find(key);
            if (id != ids.end()) found.compose[a * count + b] = std::int32_t(id->second);
        }
    return found;
}

}  // namespace tanvo
