// The activation functions, one implementation for every evaluation path.
//
// exp and tanh are written here rather than taken from the C library: they are branch-free,
// so that a loop applying them to a block of values vectorises, and they stay within 2 ulp of
// the C library's results over the whole double range (tests/cpp/test_activation.cpp checks
// that, the special values and the saturation ranges included). Every caller, the one-sample
// pass and the block pass alike, goes through these functions, so all paths agree bit for bit.
#pragma once

#include <bit>
#include <cstdint>

namespace corvane {

// Activation codes, as stored in Network::activations and the model file (a file may hold others).
namespace activation {
inline constexpr std::int32_t sigmoid = 0;
inline constexpr std::int32_t tanh = 1;
inline constexpr std::int32_t relu = 2;
inline constexpr std::int32_t linear = 3;
}  // namespace activation

namespace activation_detail {

// 2^k for -1022 <= k <= 1023 (k in two's complement), built from its exponent bits.
inline double power_of_two(std::uint64_t k) { return std::bit_cast<double>((k + 1023) << 52); }

// |x| with the sign of s, on the bits (std::copysign does not always vectorise).
inline double with_sign_of(double x, double s) {
    constexpr std::uint64_t sign = 0x8000000000000000ull;
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(x) & ~sign) | (std::bit_cast<std::uint64_t>(s) & sign));
}

inline double absolute(double x) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & 0x7fffffffffffffffull);
}

}  // namespace activation_detail

// e^x. x = k ln 2 + r with |r| <= ln 2 / 2 (ln 2 split in two parts so that k * high is exact),
// e^r by its Taylor polynomial to degree 13 (the first term left out is below 2^-56), and 2^k
// applied as two factors so that results near overflow and in the subnormal range are rounded
// once. NaN gives NaN, +inf gives +inf, -inf gives +0.
inline double exp_value(double x) {
    using namespace activation_detail;
    constexpr double log2e = 1.4426950408889634;
    constexpr double ln2_high = 0x1.62e42fefa3800p-1;
    constexpr double ln2_low = 0x1.ef35793c76730p-45;
    constexpr double shifter = 0x1.8p52;  // adding it rounds to an integer held in the low bits
    // Beyond these bounds the result is +inf or +0 anyway; the clamp keeps k in range (a NaN
    // passes both comparisons and stays NaN).
    double xc = x > 709.8 ? 709.8 : x;
    xc = xc < -746.0 ? -746.0 : xc;
    const double kd_shifted = xc * log2e + shifter;
    // k in two's complement; unsigned, so that the garbage of a NaN wraps instead of overflowing.
    const std::uint64_t k = std::bit_cast<std::uint64_t>(kd_shifted) - std::bit_cast<std::uint64_t>(shifter);
    const double kd = kd_shifted - shifter;
    const double r = (xc - kd * ln2_high) - kd * ln2_low;
    double p = 1.0 / 6227020800.0;
    p = p * r + 1.0 / 479001600.0;
    p = p * r + 1.0 / 39916800.0;
    p = p * r + 1.0 / 3628800.0;
    p = p * r + 1.0 / 362880.0;
    p = p * r + 1.0 / 40320.0;
    p = p * r + 1.0 / 5040.0;
    p = p * r + 1.0 / 720.0;
    p = p * r + 1.0 / 120.0;
    p = p * r + 1.0 / 24.0;
    p = p * r + 1.0 / 6.0;
    p = p * r + 0.5;
    // 1 + r + r^2 p: the small terms are summed first, the 1 last.
    const double e = 1.0 + (r + (r * r) * p);
    // k in [-1077, 1024]: half of it (rounded down, on a non-negative offset so that a logical
    // shift does it) and the rest, each a normal power of two.
    const std::uint64_t k1 = ((k + 2048) >> 1) - 1024;
    const std::uint64_t k2 = k - k1;
    return (e * power_of_two(k1)) * power_of_two(k2);
}

// tanh x. For |x| < 0.625 the odd rational x + x z P(z) / Q(z), z = x^2; above it
// 1 - 2 / (e^(2|x|) + 1), which reaches 1 where e^(2|x|) overflows. The sign is put back last,
// so -0 gives -0; NaN gives NaN.
inline double tanh_value(double x) {
    using namespace activation_detail;
    const double a = absolute(x);
    const double z = a * a;
    const double p = (-9.64399179425052238628e-1 * z + -9.92877231001918586564e1) * z + -1.61468768441708447952e3;
    const double q = ((z + 1.12811678491632931402e2) * z + 2.23548839060100448583e3) * z + 4.84406305325125486048e3;
    const double small = a + a * (z * (p / q));
    const double large = 1.0 - 2.0 / (exp_value(2.0 * a) + 1.0);
    return with_sign_of(a < 0.625 ? small : large, x);
}

inline double sigmoid_value(double x) { return 1.0 / (1.0 + exp_value(-x)); }

// relu: x above 0, otherwise 0 (a NaN sum gives 0).
inline double relu_value(double x) { return x > 0 ? x : 0.0; }

// The function of an activation code; an unknown code yields 0.
inline double activate(std::int32_t code, double x) {
    switch (code) {
        case activation::sigmoid: return sigmoid_value(x);
        case activation::tanh: return tanh_value(x);
        case activation::relu: return relu_value(x);
        case activation::linear: return x;
        default: return 0.0;
    }
}

}  // namespace corvane
