#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>

#include "training/config.hpp"

namespace corvane {
namespace {

struct NameCase {
    const char* id;
    std::string_view name;
    std::int32_t loss;
    std::int32_t monitor;
};

std::ostream& operator<<(std::ostream& out, const NameCase& c) { return out << c.id; }

class NameCodes : public testing::TestWithParam<NameCase> {};

TEST_P(NameCodes, MatchByteForByte) {
    EXPECT_EQ(loss_code(GetParam().name), GetParam().loss);
    EXPECT_EQ(monitor_code(GetParam().name), GetParam().monitor);
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(
    Tables, NameCodes,
    testing::Values(NameCase{"mse", "mse", 0, -1}, NameCase{"mae", "mae", 1, -1}, NameCase{"mape", "mape", 2, -1},
                    NameCase{"size", "size", -1, 0}, NameCase{"capitals", "MSE", -1, -1},
                    NameCase{"capital_size", "Size", -1, -1}, NameCase{"trailing_space", "mse ", -1, -1},
                    NameCase{"prefix", "ms", -1, -1}, NameCase{"embedded_nul", "mse\0x"sv, -1, -1},
                    NameCase{"empty", "", -1, -1}),
    [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.id); });

TEST(LossName, NamesEveryCodeAndNothingElse) {
    EXPECT_EQ(loss_name(0), "mse");
    EXPECT_EQ(loss_name(1), "mae");
    EXPECT_EQ(loss_name(2), "mape");
    EXPECT_EQ(loss_name(3), "unknown");
    EXPECT_EQ(loss_name(-1), "unknown");
}

}  // namespace
}  // namespace corvane
