// The pseudo-inverse of a well-conditioned tall matrix from steps that can each be stopped after
// a few tens of milliseconds: a Householder QR in panels (each trailing update in column
// slices), the inverse of R by column blocks, and Q applied to R⁻ᴴ a block of reflectors and a
// slice of columns at a time. A single zgelsd call of the same size runs for minutes without a
// stop point. Only matrices of which the SVD would keep every singular value under the rank rule
// are taken, so the rule needs no decision here.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

#include "core/uninitialized.hpp"
#include "solve/lapack.hpp"
#include "solve/pseudo_inverse.hpp"

namespace tanvo {
namespace {

// Reflectors per panel (and per block when Q is applied).
constexpr std::size_t kPanel = 32;
// Columns copied between two stop points.
constexpr std::size_t kTile = 64;
// About this many complex multiply-adds per step: a few tens of milliseconds.
constexpr double kMultiplyAddsPerStep = double(1 << 26);

// Columns of a slice whose update costs `per_column` multiply-adds each.
std::size_t columns_per_step(double per_column) {
    return std::size_t(std::clamp(kMultiplyAddsPerStep / std::max(per_column, 1.0), 1.0, double(INT32_MAX)));
}

double frobenius2(const Complex* column_major, std::size_t ld, std::size_t n, bool upper) {
    double sum = 0.0;
    for (std::size_t c = 0; c < n; ++c)
        for (std::size_t r = 0; r < (upper ? c + 1 : n); ++r) {
            const Complex z = column_major[r + c * ld];
            sum += z.re * z.re + z.im * z.im;
        }
    return sum;
}

std::int32_t lapack_int(std::size_t value) { return std::int32_t(value); }

}  // namespace

std::optional<std::vector<Complex>> pseudo_inverse_in_steps(std::size_t m, std::size_t n, std::span<const Complex> a,
                                                            double rcond, const std::function<void()>& stop_point) {
    if (m == 0 || n == 0) return std::vector<Complex>(n * m);
    if (m < n || m > std::size_t(INT32_MAX) / 2 || n > std::size_t(INT32_MAX) / 2) return std::nullopt;
    const Complex one{1.0, 0.0}, minus_one{-1.0, 0.0};
    const std::int32_t lda = lapack_int(m);

    // A = QR: the reflectors below the diagonal, R on and above it; T of each panel kept.
    // Column-major, with LAPACK's column of slack.
    UninitializedScratch<Complex> qr(m * n + m);
    std::fill(qr.begin() + std::ptrdiff_t(m * n), qr.end(), Complex{});
    transpose_in_tiles(m, n, a.data(), qr.data(), m, stop_point);
    std::vector<Complex> tau(n), panel_work(kPanel), t(n * kPanel), work;
    for (std::size_t k = 0; k < n; k += kPanel) {
        const std::size_t width = std::min(kPanel, n - k);
        const std::int32_t rows = lapack_int(m - k), cols = lapack_int(width), ldt = lapack_int(kPanel);
        Complex* panel = qr.data() + k + k * m;
        std::int32_t info = 0;
        zgeqr2_(&rows, &cols, panel, &lda, tau.data() + k, panel_work.data(), &info);
        if (info != 0) return std::nullopt;
        Complex* block_t = t.data() + k * kPanel;
        zlarft_("F", "C", &rows, &cols, panel, &lda, tau.data() + k, block_t, &ldt, 1, 1);
        stop_point();
        const std::size_t slice = columns_per_step(4.0 * double(m - k) * double(width));
        for (std::size_t c = k + width; c < n; c += slice) {
            const std::size_t count = std::min(slice, n - c);
            const std::int32_t slice_cols = lapack_int(count), ldwork = lapack_int(count);
            work.resize(count * width);
            zlarfb_("L", "C", "F", "C", &rows, &slice_cols, &cols, panel, &lda, block_t, &ldt, qr.data() + k + c * m, &lda,
                    work.data(), &ldwork, 1, 1, 1, 1);
            stop_point();
        }
    }

    // X = R⁻¹ by column blocks, as LAPACK's ztrtri does it, X[0:j, J] = -X[0:j, 0:j] R[0:j, J] R[J, J]⁻¹,
    // the product taken by slices of rows from the top (a slice reads rows below it that are
    // not yet overwritten).
    for (std::size_t k = 0; k < n; ++k)
        if (qr[k + k * m] == Complex{}) return std::nullopt;  // rank deficient: the SVD decides
    const double r_norm2 = frobenius2(qr.data(), m, n, true);
    std::vector<Complex> x;
    x.reserve(n * n);
    for (std::size_t c = 0; c < n; ++c) {
        x.insert(x.end(), qr.data() + c * m, qr.data() + c * m + c + 1);
        x.resize(x.size() + (n - c - 1));
        if (c % kTile == kTile - 1) stop_point();
    }
    const std::int32_t ldx = lapack_int(n);
    for (std::size_t j = 0; j < n; j += kPanel) {
        const std::int32_t width = lapack_int(std::min(kPanel, n - j));
        Complex* column = x.data() + j * n;
        Complex* diagonal = x.data() + j + j * n;
        const std::size_t rows_per_step = columns_per_step(double(j) * double(width));
        for (std::size_t i = 0; i < j; i += rows_per_step) {
            const std::size_t end = std::min(j, i + rows_per_step);
            const std::int32_t height = lapack_int(end - i), rest = lapack_int(j - end);
            ztrmm_("L", "U", "N", "N", &height, &width, &one, x.data() + i + i * n, &ldx, column + i, &ldx, 1, 1, 1, 1);
            if (rest > 0)
                zgemm_("N", "N", &height, &width, &rest, &one, x.data() + i + end * n, &ldx, column + end, &ldx, &one,
                       column + i, &ldx, 1, 1);
            stop_point();
        }
        const std::int32_t above = lapack_int(j);
        if (j > 0) ztrsm_("R", "U", "N", "N", &above, &width, &minus_one, diagonal, &ldx, column, &ldx, 1, 1, 1, 1);
        std::int32_t info = 0;
        ztrti2_("U", "N", &width, diagonal, &ldx, &info, 1, 1);
        if (info != 0) return std::nullopt;
    }
    // Whether the SVD's rank decision under `rcond` would keep every singular value and find
    // the smallest above kConditionBound of the largest: σ_max σ_min⁻¹ <= |R|_F |R⁻¹|_F, with a
    // margin for rounding. A negative rcond (machine precision) is below kConditionBound.
    const double threshold = std::max(rcond, kConditionBound);
    const double bound2 = r_norm2 * frobenius2(x.data(), n, n, true);
    if (!(bound2 <= 0.25 / (threshold * threshold))) return std::nullopt;

    // Y = A⁺ᴴ = Q [R⁻ᴴ; 0]: the blocks of reflectors applied from the last, slice by slice.
    std::vector<Complex> y;
    y.reserve(m * n);
    for (std::size_t c = 0; c < n; ++c) {
        y.resize(y.size() + c);
        for (std::size_t r = c; r < n; ++r) y.push_back({x[c + r * n].re, -x[c + r * n].im});
        y.resize(y.size() + (m - n));
        if (c % kTile == kTile - 1) stop_point();
    }
    x = {};
    for (std::size_t k = (n - 1) / kPanel * kPanel;; k -= kPanel) {
        const std::size_t width = std::min(kPanel, n - k);
        const std::int32_t rows = lapack_int(m - k), reflectors = lapack_int(width), ldt = lapack_int(kPanel);
        const std::size_t slice = columns_per_step(4.0 * double(m - k) * double(width));
        for (std::size_t c = 0; c < n; c += slice) {
            const std::size_t count = std::min(slice, n - c);
            const std::int32_t slice_cols = lapack_int(count), ldwork = lapack_int(count);
            work.resize(count * width);
            zlarfb_("L", "N", "F", "C", &rows, &slice_cols, &reflectors, qr.data() + k + k * m, &lda,
                    t.data() + k * kPanel, &ldt, y.data() + k + c * m, &lda, work.data(), &ldwork, 1, 1, 1, 1);
            stop_point();
        }
        if (k == 0) break;
    }

    // A⁺ row-major (n x m) holds at (k, p) the conjugate of Y's (p, k), stored at p + k·m.
    for (Complex& z : y) {
        if (!std::isfinite(z.re) || !std::isfinite(z.im)) return std::nullopt;
        z.im = -z.im;
    }
    return y;
}

}  // namespace tanvo
