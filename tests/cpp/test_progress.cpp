#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "training/progress.hpp"

namespace corvane {
namespace {

using Codes = std::vector<std::int32_t>;
const Codes size_monitor = {0};
const Codes no_monitor = {};
const Codes mse_mae = {0, 1};

// ---- format_duration ----

struct DurationCase {
    const char* id;
    double milliseconds;
    const char* text;
};

std::ostream& operator<<(std::ostream& out, const DurationCase& c) { return out << c.milliseconds << " ms"; }

class FormatDuration : public testing::TestWithParam<DurationCase> {};

TEST_P(FormatDuration, LeavesOutZeroParts) {
    EXPECT_EQ(format_duration(GetParam().milliseconds), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatDuration,
    testing::Values(DurationCase{"ms_truncated", 532.7, "532ms"}, DurationCase{"zero", 0, "0ms"},
                    DurationCase{"below_a_second", 999.9, "999ms"}, DurationCase{"seconds", 5300, "5s"},
                    DurationCase{"just_under_a_minute", 59999, "59s"},
                    DurationCase{"minute_and_seconds", 65000, "1:05"},
                    DurationCase{"two_minutes", 125000, "2:05"}, DurationCase{"one_minute", 60000, "1:"},
                    DurationCase{"ten_minutes", 600000, "10:"}, DurationCase{"minutes_and_ten_seconds", 130000, "2:10"},
                    DurationCase{"hours_minutes_seconds", 3725000, "1:02:05"},
                    DurationCase{"zero_minutes_left_out", 3605000, "1:05"}, DurationCase{"one_hour", 3600000, "1:"},
                    DurationCase{"hour_and_minutes", 3720000, "1:02:"},
                    DurationCase{"two_digit_parts", 40271000, "11:11:11"},
                    DurationCase{"negative_is_no_time", -5, "0ms"},
                    DurationCase{"nan_is_no_time", std::numeric_limits<double>::quiet_NaN(), "0ms"},
                    DurationCase{"infinity_is_no_time", std::numeric_limits<double>::infinity(), "0ms"}),
    [](const testing::TestParamInfo<DurationCase>& info) { return std::string(info.param.id); });

// ---- epoch_progress_line ----

// The line of batch u of the third of 10 epochs, compiled with loss mse, metric mae and a monitor.
std::string epoch_line(int verbose, int u, int nb, double elapsed_ms, const std::vector<double>& sums,
                       bool validation = false, const std::vector<double>& values = {},
                       const Codes& monitors = size_monitor) {
    return epoch_progress_line(verbose, monitors, 7, mse_mae, elapsed_ms, 2, 10, u, nb, sums, validation, values);
}

TEST(EpochProgressLine, MidEpochWithBarAndEta) {
    EXPECT_EQ(epoch_line(1, 1, 4, 1500, {0.246914, 0.5}),
              "\rEpoch 3/10 - 2/4 [===============>..............] - ETA: 1s - loss*: 0.123457 - mae*: 0.250000"
              " - size: 7");
}

TEST(EpochProgressLine, SingleBatchEpochWithValidation) {
    EXPECT_EQ(epoch_line(1, 0, 1, 2000, {0.1, 0.2}, true, {0.11, 0.21}),
              "\rEpoch 3/10 - 1/1 [==============================] - 2s 1s/step - loss: 0.100000 - mae: 0.200000"
              " - val_loss: 0.110000 - val_mae: 0.210000 - size: 7\n");
}

TEST(EpochProgressLine, VerboseTwoOnlyAtTheEndWithoutCounterOrStep) {
    EXPECT_EQ(epoch_line(2, 3, 4, 2500, {0.493828, 1.0}),
              "\rEpoch 3/10 - 2s - loss*: 0.123457 - mae*: 0.250000 - size: 7\n");
    for (int u = 0; u < 3; ++u) EXPECT_EQ(epoch_line(2, u, 4, 2500, {1, 1}), "") << "batch " << u;
}

TEST(EpochProgressLine, VerboseZeroWritesNothing) {
    EXPECT_EQ(epoch_line(0, 0, 3, 10, {1, 1}), "");
    EXPECT_EQ(epoch_line(0, 2, 3, 10, {1, 1}), "");
}

TEST(EpochProgressLine, FirstOfThreeBatchesShowsAThirdAndTwiceTheTime) {
    const std::string line = epoch_line(1, 0, 3, 1000, {3, 3});
    EXPECT_EQ(line, "\rEpoch 3/10 - 1/3 [" + std::string(10, '=') + ">" + std::string(19, '.') +
                        "] - ETA: 2s - loss*: 3.000000 - mae*: 3.000000 - size: 7");
}

TEST(EpochProgressLine, EndOfManyBatchesStepTimeDividesByOneMore) {
    // 4 batches in 10 s: 10000 / 5 = 2 s per step, not 2.5
    EXPECT_EQ(epoch_line(1, 3, 4, 10000, {4, 8}),
              "\rEpoch 3/10 - 4/4 [==============================] - 10s 2s/step - loss*: 1.000000 - mae*: 2.000000"
              " - size: 7\n");
}

TEST(EpochProgressLine, OtherVerboseValuesWriteEveryBatchWithoutBar) {
    EXPECT_EQ(epoch_line(3, 0, 2, 1000, {1, 2}), "\rEpoch 3/10 - ETA: 1s - loss*: 1.000000 - mae*: 2.000000 - size: 7");
    EXPECT_EQ(epoch_line(-1, 1, 2, 1000, {2, 4}), "\rEpoch 3/10 - 1s - loss*: 1.000000 - mae*: 2.000000 - size: 7\n");
}

TEST(EpochProgressLine, ValidationHasNoMarkAndNoDivision) {
    EXPECT_EQ(epoch_line(2, 1, 2, 0, {1, 1}, true, {0.5, 0.25}, no_monitor),
              "\rEpoch 3/10 - 0ms - loss*: 0.500000 - mae*: 0.500000 - val_loss: 0.500000 - val_mae: 0.250000\n");
}

TEST(EpochProgressLine, NamesFollowTheCodesAndNumbersUsePrintf) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::string line = epoch_progress_line(2, no_monitor, 3, Codes{2, 2, 0, 1}, 0, 0, 1, 0, 1,
                                                 {inf, nan, 1234567.0000004, 0.0000004}, false, {});
    EXPECT_EQ(line, "\rEpoch 1/1 - 0ms - loss: inf - mape: nan - mse: 1234567.000000 - mae: 0.000000\n");
}

// ---- function_progress_line ----

TEST(FunctionProgressLine, AllFields) {
    EXPECT_EQ(function_progress_line(1, Codes{0}, 5, 532.7, 0, 100, 0.25, true, 0.3),
              "\rEpoch 1/100 - 532ms - loss: 0.250000 - val_loss: 0.300000 - size: 5\n");
}

TEST(FunctionProgressLine, OptionalFieldsAndVerbose) {
    EXPECT_EQ(function_progress_line(2, no_monitor, 5, 65000, 9, 10, 1.5, false, 0.0),
              "\rEpoch 10/10 - 1:05 - loss: 1.500000\n");
    EXPECT_EQ(function_progress_line(0, Codes{0}, 5, 1, 0, 1, 1, true, 1), "");
}

// ---- printing ----

TEST(Printing, WritesTheLinesToTheOutputAndNothingToStandardOutput) {
    std::string out;
    int calls = 0;
    const Output output = [&](std::string_view text) {
        out += text;
        ++calls;
    };
    testing::internal::CaptureStdout();
    print_function_progress(output, 1, no_monitor, 5, monotonic_ns(), 0, 2, 0.5, false, 0.0);
    print_function_progress(output, 0, no_monitor, 5, monotonic_ns(), 1, 2, 0.5, false, 0.0);
    print_epoch_progress(output, 2, no_monitor, 5, Codes{0}, monotonic_ns(), 0, 2, 0, 2, {1.0}, false, {});
    print_epoch_progress(output, 2, no_monitor, 5, Codes{0}, monotonic_ns(), 0, 2, 1, 2, {1.0}, false, {});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(calls, 2);  // empty lines are not written
    // The elapsed times vary; the rest is fixed.
    const std::string function_end = " - loss: 0.500000\n";
    const std::string epoch_end = " - loss*: 0.500000\n";
    ASSERT_EQ(out.rfind("\rEpoch 1/2 - ", 0), 0u) << out;
    const std::size_t second = out.find("\rEpoch 1/2 - ", 1);
    ASSERT_NE(second, std::string::npos) << out;
    EXPECT_EQ(out.substr(second - function_end.size(), function_end.size()), function_end);
    EXPECT_EQ(out.substr(out.size() - epoch_end.size()), epoch_end);
    EXPECT_EQ(out.find("\rEpoch", second + 1), std::string::npos) << "only two lines: " << out;
}

TEST(Printing, MonotonicClockDoesNotGoBack) {
    const std::int64_t a = monotonic_ns();
    const std::int64_t b = monotonic_ns();
    EXPECT_LE(a, b);
}

}  // namespace
}  // namespace corvane
