#include "bases/pauli.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace tanvo {
namespace {

constexpr std::uint64_t kLowHalf = 0xffffffffULL;

std::uint64_t word_x(std::uint64_t key) { return key >> 32; }
std::uint64_t word_z(std::uint64_t key) { return key & kLowHalf; }
bool odd(std::uint64_t bits) { return (std::popcount(bits) & 1) != 0; }

}  // namespace

// X^x Z^z has the entry (-1)^{popcount(z & c)} at (c ^ x, c): for each x, the coordinates over z
// are the Walsh–Hadamard transform of the diagonal f(c) = A[c ^ x, c], divided by sqrt(d).
SparseVector pauli_coordinates(const Complex* matrix, std::size_t d) {
    const double scale = 1.0 / std::sqrt(double(d));
    const double rounding =
        (std::bit_width(d) + 1) * 2 * std::numeric_limits<double>::epsilon();
    // Which diagonals hold anything, found in one pass in memory order: gathering a diagonal
    // touches d rows, so only those are gathered.
    std::vector<char> occupied(d);
    for (std::size_t r = 0; r < d; ++r)
        for (std::size_t c = 0; c < d; ++c)
            if (!(matrix[r * d + c] == Complex{})) occupied[r ^ c] = 1;
    SparseVector v;
    std::vector<Complex> f(d);
    for (std::size_t x = 0; x < d; ++x) {
        if (!occupied[x]) continue;
        double magnitude = 0.0;
        for (std::size_t c = 0; c < d; ++c) {
            f[c] = matrix[(c ^ x) * d + c];
            magnitude += std::abs(f[c].re) + std::abs(f[c].im);
        }
        if (magnitude == 0.0) continue;
        for (std::size_t half = 1; half < d; half *= 2)
            for (std::size_t block = 0; block < d; block += 2 * half)
                for (std::size_t c = block; c < block + half; ++c) {
                    const Complex a = f[c], b = f[c + half];
                    f[c] = a + b;
                    f[c + half] = a - b;
                }
        for (std::size_t z = 0; z < d; ++z) {
            if (std::abs(f[z].re) + std::abs(f[z].im) <= rounding * magnitude) continue;
            v.keys.push_back(std::uint64_t(x) << 32 | z);
            v.values.push_back({f[z].re * scale, f[z].im * scale});
        }
    }
    return v;
}

// W(xa, za) W(xb, zb) = (-1)^{za·xb} W(xa ^ xb, za ^ zb), and the reversed product carries
// (-1)^{zb·xa}: the commutator is 0 when the two signs agree and twice the product otherwise.
// With words normalised by 1/sqrt(d), each product also carries 1/sqrt(d).
void pauli_commutator(const SparseVector& a, const SparseVector& b, std::size_t d,
                      KeyAccumulator& sum) {
    const double factor = 2.0 / std::sqrt(double(d));
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::uint64_t ka = a.keys[i];
        const std::uint64_t xa = word_x(ka), za = word_z(ka);
        const Complex va{a.values[i].re * factor, a.values[i].im * factor};
        for (std::size_t j = 0; j < b.size(); ++j) {
            const std::uint64_t kb = b.keys[j];
            const bool sign_ab = odd(za & word_x(kb));
            if (sign_ab == odd(word_z(kb) & xa)) continue;
            const Complex p = va * b.values[j];
            sum.add(ka ^ kb, sign_ab ? Complex{-p.re, -p.im} : p);
        }
    }
}

void pauli_to_dense(const SparseVector& v, std::size_t d, Complex* out) {
    const double scale = 1.0 / std::sqrt(double(d));
    for (std::size_t i = 0; i < v.size(); ++i) {
        const std::uint64_t x = word_x(v.keys[i]), z = word_z(v.keys[i]);
        const Complex value{v.values[i].re * scale, v.values[i].im * scale};
        for (std::size_t c = 0; c < d; ++c) {
            Complex& entry = out[(c ^ x) * d + c];
            entry += odd(z & c) ? Complex{-value.re, -value.im} : value;
        }
    }
}

}  // namespace tanvo
