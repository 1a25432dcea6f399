#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "network/activation.hpp"

namespace corvane {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// The distance in representable doubles between a and b (0 for equal values, both NaN, or
// +0 against -0 only when the signs agree), on the ordered line of doubles.
std::uint64_t ulp_distance(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : UINT64_MAX;
    auto ordered = [](double v) {
        const std::int64_t bits = std::bit_cast<std::int64_t>(v);
        return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
    };
    const std::int64_t x = ordered(a), y = ordered(b);
    return x > y ? static_cast<std::uint64_t>(x - y) : static_cast<std::uint64_t>(y - x);
}

double library_sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

struct Function {
    const char* id;
    double (*ours)(double);
    double (*library)(double);
    std::uint64_t bound;  // in ulp
};

// exp and tanh within 2 ulp of the C library. The sigmoid is built on exp; 1 ulp of exp can
// move 1 + e^-x across a rounding tie where e^-x is near 2^53, which gives it 4.
const Function functions[] = {
    {"exp", exp_value, [](double x) { return std::exp(x); }, 2},
    {"tanh", tanh_value, [](double x) { return std::tanh(x); }, 2},
    {"sigmoid", sigmoid_value, library_sigmoid, 4},
};

class Activation : public testing::TestWithParam<Function> {
protected:
    void expect_close(double x) {
        const Function& f = GetParam();
        const double ours = f.ours(x), library = f.library(x);
        ASSERT_LE(ulp_distance(ours, library), f.bound) << f.id << "(" << x << ") = " << ours << ", library " << library;
    }
};

TEST_P(Activation, SpecialValuesAsTheLibraryGivesThem) {
    const double values[] = {0.0, -0.0, inf, -inf, nan_value, DBL_MIN, -DBL_MIN, 0x1p-1074, -0x1p-1074,
                             0x1.fffffffffffffp-1023, DBL_MAX, -DBL_MAX, 1.0, -1.0};
    for (double x : values) {
        expect_close(x);
        const double ours = GetParam().ours(x), library = GetParam().library(x);
        // Exact agreement where the result is a special value or a signed zero.
        if (std::isnan(library) || std::isinf(library) || library == 0.0 || library == 1.0 || library == -1.0) {
            EXPECT_EQ(std::isnan(ours), std::isnan(library)) << x;
            if (!std::isnan(library)) {
                EXPECT_EQ(ours, library) << x;
                EXPECT_EQ(std::signbit(ours), std::signbit(library)) << x;
            }
        }
    }
}

TEST_P(Activation, WithinTheBoundOverTheWholeRange) {
    std::mt19937_64 engine(2024);
    // Every bit pattern is as likely as another: all exponents, subnormals and NaNs included.
    for (int i = 0; i < 300000; ++i) expect_close(std::bit_cast<double>(engine()));
    // The ranges where the functions do their work.
    for (double width : {1.0, 30.0, 800.0}) {
        std::uniform_real_distribution<double> uniform(-width, width);
        for (int i = 0; i < 300000; ++i) expect_close(uniform(engine));
    }
}

TEST_P(Activation, WithinTheBoundAtTheSeamsAndSaturationEdges) {
    // exp: overflow near 709.78, subnormal results from -708.4, zero below -745.13; tanh: the
    // change of formula at 0.625 and the approach to 1 near 19; the sigmoid mirrors exp.
    const double edges[] = {709.782712893384, 709.78, 709.79, -708.3964185322641, -745.1332191019411, -745.14,
                            -744.44, 0.625, -0.625, 19.06, 22.0, 36.7, 37.5, -36.7, -709.78, -0x1p-30, 0x1p-30};
    for (double edge : edges) {
        double x = edge;
        for (int i = 0; i < 2000; ++i) x = std::nextafter(x, inf);
        for (int i = 0; i < 4000; ++i, x = std::nextafter(x, -inf)) expect_close(x);
        for (double step = edge * 1e-12; std::fabs(step) < std::fabs(edge) * 1e-3; step *= 1.7) {
            expect_close(edge + step);
            expect_close(edge - step);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Functions, Activation, testing::ValuesIn(functions),
                         [](const testing::TestParamInfo<Function>& info) { return std::string(info.param.id); });

TEST(ActivationCodes, TableOfCodes) {
    EXPECT_EQ(activate(activation::relu, -2.0), 0.0);
    EXPECT_EQ(activate(activation::relu, nan_value), 0.0);  // a NaN sum gives 0
    EXPECT_EQ(activate(activation::linear, -2.5), -2.5);
    EXPECT_EQ(activate(7, 3.0), 0.0);
    EXPECT_EQ(activate(activation::sigmoid, 0.0), 0.5);
    EXPECT_EQ(activate(activation::tanh, 0.0), 0.0);
}

TEST(ActivationCodes, BlockLoopsGiveTheScalarValues) {
    // The same function applied in a loop the compiler vectorises and one call at a time.
    std::vector<double> x(1024), block(1024);
    std::mt19937_64 engine(7);
    std::uniform_real_distribution<double> uniform(-40.0, 40.0);
    for (double& v : x) v = uniform(engine);
    x[3] = nan_value, x[5] = inf, x[7] = -inf, x[9] = -0.0, x[11] = 0x1p-1074;
    for (std::size_t i = 0; i < x.size(); ++i) block[i] = tanh_value(x[i]);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double one = tanh_value(*static_cast<volatile double*>(&x[i]));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(block[i]) == std::bit_cast<std::uint64_t>(one) ||
                      (std::isnan(block[i]) && std::isnan(one)),
                  true)
            << x[i];
    }
}

}  // namespace
}  // namespace corvane
