// Complex doubles with the arithmetic the results are defined by: textbook product, each
// partial product rounded on its own (the build forbids FMA contraction).
#pragma once

namespace tanvo {

struct Complex {
    double re = 0.0;
    double im = 0.0;

    friend bool operator==(const Complex&, const Complex&) = default;
};
static_assert(sizeof(Complex) == 16, "Complex must match the layout of complex128 and LAPACK");

inline Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
inline Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
// (x + iy)(u + iv) = (xu - yv) + i(xv + yu); no NaN/inf recovery, unlike std::complex.
inline Complex operator*(Complex a, Complex b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline Complex& operator+=(Complex& a, Complex b) { return a = a + b; }

// What a matrix product stores for the sum S: (1 + 0i) * S + (0 + 0i) * (0 + 0i).
inline Complex stored_product_sum(Complex sum) {
    return Complex{1.0, 0.0} * sum + Complex{0.0, 0.0} * Complex{0.0, 0.0};
}

}  // namespace tanvo
