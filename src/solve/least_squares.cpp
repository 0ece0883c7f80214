// The least-squares solver: the buffers zgelsd works on, its workspace query and solve, and
// the text of its failures.
#include "solve/least_squares.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "solve/lapack.hpp"


namespace tanvo {
namespace {

constexpr std::uint64_t kLapackIndexLimit = std::numeric_limits<std::int32_t>::max();

// Argument positions of zgelsd, as LAPACK numbers them in a negative INFO.
constexpr std::int32_t kArgumentM = 1, kArgumentN = 2, kArgumentA = 4, kArgumentB = 6;

SolverError illegal_argument(std::int32_t position) {
    return {LapackError{LapackInvalidValue{-position}}};
}

SolverError lapack_failure(std::int32_t info) {
    if (info < 0) return {LapackError{LapackInvalidValue{info}}};
    return {LapackError{LapackComputationalFailure{info}}};
}

bool is_finite(Complex z) { return std::isfinite(z.re) && std::isfinite(z.im); }

// A workspace size reported as a double, truncated to a count; anything that is not a count
// in (-1, 2^64) is an unusable answer from LAPACK.
std::uint64_t workspace_count(double reported) {
    if (!(reported > -1.0 && reported < 18446744073709551616.0)) fail(kUnwrapNone);
    return std::uint64_t(reported);
}

// Zeroed room for `count` elements; at least one, since zgelsd writes the first element of
// each workspace even when it needs none.
template <class T>
std::vector<T> workspace(std::uint64_t count) {
    count = std::max<std::uint64_t>(count, 1);
    require_memory(count, sizeof(T));
    return std::vector<T>(count);
}

std::string with_return_code(const char* variant, std::int32_t code) {
    return std::string(variant) + " { return_code: " + std::to_string(code) + " }";
}

// The kind's name and its description.
const char* shape_error_text(ShapeErrorKind kind) {
    switch (kind) {
        case ShapeErrorKind::IncompatibleShape: return "IncompatibleShape: incompatible shapes";
    }
    return "unknown shape error";
}

}  // namespace

std::string render(const SolverError& error) {
    if (const auto* lapack = std::get_if<LapackError>(&error.cause)) {
        if (const auto* invalid = std::get_if<LapackInvalidValue>(lapack))
            return "Lapack(" + with_return_code("LapackInvalidValue", invalid->return_code) + ")";
        const auto& failure = std::get<LapackComputationalFailure>(*lapack);
        return "Lapack(" + with_return_code("LapackComputationalFailure", failure.return_code) + ")";
    }
    return std::string("Shape(ShapeError/") + shape_error_text(std::get<ShapeError>(error.cause).kind) +
           ")";
}

LeastSquaresResult solve_least_squares(const ComplexMatrix& a, std::span<const Complex> b, double rcond) {
    const std::size_t m = a.rows(), n = a.cols();
    if (b.size() != m) return SolverError{ShapeError{ShapeErrorKind::IncompatibleShape}};
    // LAPACK indexes with 32-bit integers: larger dimensions are illegal arguments to it.
    if (m > kLapackIndexLimit) return illegal_argument(kArgumentM);
    if (n > kLapackIndexLimit) return illegal_argument(kArgumentN);
    // On NaN the SVD may never return, and what LAPACK answers for NaN or infinity differs
    // between builds: refuse them before calling it.
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t c = 0; c < n; ++c)
            if (!is_finite(a(r, c))) return illegal_argument(kArgumentA);
    for (const Complex& z : b)
        if (!is_finite(z)) return illegal_argument(kArgumentB);

    // Column-major copy of `a`, which LAPACK overwrites. OpenBLAS 0.3.21's zgemv kernel for
    // Haswell and Zen reads past the end of the matrix (OpenBLAS issue 4013), up to a column's
    // length as probed with guard pages; at the end of a page that is a segfault. So a zeroed
    // column of slack follows the matrix.
    std::vector<Complex> columns = workspace<Complex>(std::uint64_t(m) * n + m);
    for (std::size_t c = 0; c < n; ++c)
        for (std::size_t r = 0; r < m; ++r) columns[c * m + r] = a(r, c);
    // The right-hand side, padded with zeros to max(m, n): it receives the n solution entries.
    const std::size_t rhs_length = std::max(m, n);
    std::vector<Complex> rhs = workspace<Complex>(rhs_length);
    std::copy(b.begin(), b.end(), rhs.begin());
    std::vector<double> singular_values = workspace<double>(std::min(m, n));

    const std::int32_t rows = std::int32_t(m), cols = std::int32_t(n), nrhs = 1;
    const std::int32_t lda = std::max<std::int32_t>(1, rows);
    const std::int32_t ldb = std::max<std::int32_t>(1, std::int32_t(rhs_length));
    std::int32_t rank = 0, info = 0;

    Complex work_size{};
    double rwork_size = 0.0;
    std::int32_t iwork_size = 0;
    const std::int32_t query = -1;
    zgelsd_(&rows, &cols, &nrhs, columns.data(), &lda, rhs.data(), &ldb, singular_values.data(),
            &rcond, &rank, &work_size, &query, &rwork_size, &iwork_size, &info);
    if (info != 0) return lapack_failure(info);

    if (work_size.im != 0.0) fail(kUnwrapNone);
    const std::uint64_t lwork = workspace_count(work_size.re);
    if (iwork_size < 0) fail(kUnwrapNone);
    const std::uint64_t lrwork = workspace_count(rwork_size);

    std::vector<Complex> work = workspace<Complex>(lwork);
    std::vector<double> rwork = workspace<double>(lrwork);
    std::vector<std::int32_t> iwork = workspace<std::int32_t>(std::uint64_t(iwork_size));
    // A size beyond 32 bits cannot be told to LAPACK; the buffer still holds all of it.
    const std::int32_t lwork_given = std::int32_t(std::min(lwork, kLapackIndexLimit));
    zgelsd_(&rows, &cols, &nrhs, columns.data(), &lda, rhs.data(), &ldb, singular_values.data(),
            &rcond, &rank, work.data(), &lwork_given, rwork.data(), iwork.data(), &info);
    if (info != 0) return lapack_failure(info);

    // Entries n to m - 1 hold the residual's components.
    rhs.resize(n);
    return rhs;
}

}  // namespace tanvo
