#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "random/random.hpp"
#include "training/dataset.hpp"

namespace corvane {
namespace {

using Codes = std::vector<std::int32_t>;
const Codes all_codes = {0, 1, 2};

// ---- loss_value ----

struct LossCase {
    const char* id;
    std::int32_t code;
    Sample target;
    Sample prediction;
    double expected;
};

std::ostream& operator<<(std::ostream& out, const LossCase& c) { return out << c.id; }

class LossValue : public testing::TestWithParam<LossCase> {};

TEST_P(LossValue, MeanOverTheValuesOfOneSample) {
    const LossCase& c = GetParam();
    EXPECT_DOUBLE_EQ(loss_value(c.code, c.target, c.prediction), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, LossValue,
    testing::Values(LossCase{"mse", 0, {1, 3}, {0, 0}, 5.0}, LossCase{"mse_negative", 0, {-1}, {1}, 4.0},
                    LossCase{"mae", 1, {1, -3}, {0, 0}, 2.0}, LossCase{"mae_exact", 1, {0.5}, {0.5}, 0.0},
                    LossCase{"mape_zero_target", 2, {0}, {1}, 1e12},
                    LossCase{"mape", 2, {2, -4}, {1, -2}, (100 * 1 / (2 + 1e-10) + 100 * 2 / (4 + 1e-10)) / 2},
                    LossCase{"longer_prediction", 0, {1}, {0, 100}, 1.0}),
    [](const testing::TestParamInfo<LossCase>& info) { return std::string(info.param.id); });

TEST(LossValueLimits, EmptyTargetIsNaN) { EXPECT_TRUE(std::isnan(loss_value(0, {}, {}))); }

TEST(LossValueLimits, RefusesWhatCannotBeComputed) {
    EXPECT_THROW(loss_value(3, {1}, {1}), value_error);
    EXPECT_THROW(loss_value(-1, {1}, {1}), value_error);
    EXPECT_THROW(loss_value(0, {1, 2}, {1}), value_error);  // would read past the prediction
}

// ---- hand-built networks ----

// 1 input, 1 linear output: out = w * x + b.
Network line(double w, double b) {
    Network n(1, 1, false);
    n.activations = {activation::linear, activation::linear};
    n.biases = {0.0, b};
    n.weight(0, 1) = w;
    n.set_connection(0, 1);
    return n;
}

// Recurrent 1 input, 1 linear output feeding itself: out_t = x_t + out_{t-1}, a running sum.
Network accumulator() {
    Network n(1, 1, true);
    n.activations = {activation::linear, activation::linear};
    n.weight(0, 1) = 1.0;
    n.set_connection(0, 1);
    n.weight(1, 1) = 1.0;
    n.set_connection(1, 1);
    return n;
}

// Feed-forward rows: every row a series of one sample.
Dataset rows(const std::vector<double>& values) {
    return Dataset(static_cast<std::int64_t>(values.size()), 1, 1, values);
}

// Recurrent series of one value per step (all of the same length).
Dataset sequences(const std::vector<std::vector<double>>& series) {
    std::vector<std::vector<Sample>> nested;
    for (const auto& steps : series) {
        std::vector<Sample> one;
        for (double v : steps) one.push_back(Sample{v});
        nested.push_back(one);
    }
    return Dataset::from_nested(nested);
}

void expect_losses(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_DOUBLE_EQ(actual[i], expected[i]) << "code " << i;
}

void expect_all_nan(const std::vector<double>& values, std::size_t count) {
    ASSERT_EQ(values.size(), count);
    for (double v : values) EXPECT_TRUE(std::isnan(v));
}

TEST(DatasetLosses, FeedForwardIsTheMeanOverSamples) {
    Network n = line(2.0, 0.5);
    // predictions 2.5 and 4.5 against 3 and 3
    const auto losses = dataset_losses(n, rows({1, 2}), rows({3, 3}), Codes{0, 1, 2, 0});
    expect_losses(losses, {(0.25 + 2.25) / 2, (0.5 + 1.5) / 2, (100 * 0.5 / (3 + 1e-10) + 100 * 1.5 / (3 + 1e-10)) / 2,
                           (0.25 + 2.25) / 2});
}

TEST(DatasetLosses, NoCodesGiveNoValues) {
    Network n = line(1.0, 0.0);
    EXPECT_TRUE(dataset_losses(n, rows({1}), rows({1}), Codes{}).empty());
}

TEST(DatasetLosses, ManyToOneComparesTheLastStepAndClearsStateBetweenSeries) {
    Network n = accumulator();
    n.values = {5.0, 100.0};  // stale state must not reach the first series
    // running sums end at 6 (target 6) and 3 (target 0)
    const auto losses = dataset_losses(n, sequences({{1, 2, 3}, {1, 1, 1}}), sequences({{6}, {0}}), Codes{0, 1});
    expect_losses(losses, {(0.0 + 9.0) / 2, (0.0 + 3.0) / 2});
    EXPECT_DOUBLE_EQ(n.values[1], 3.0);  // the state of the last pass stays
}

TEST(DatasetLosses, ManyToManyAveragesOverEveryStep) {
    Network n = accumulator();
    // outputs 1, 3 against 1, 3; outputs 0, 0 against 1, 1
    const auto losses = dataset_losses(n, sequences({{1, 2}, {0, 0}}), sequences({{1, 3}, {1, 1}}), Codes{0});
    expect_losses(losses, {2.0 / 4});
}

TEST(DatasetLosses, FeedForwardStateIsNotCleared) {
    // A feed-forward pass does not read old values, so the result is the same; the values stay.
    Network n = line(1.0, 0.0);
    const auto losses = dataset_losses(n, sequences({{1, 2}}), sequences({{1, 2}}), Codes{0});
    expect_losses(losses, {0.0});
    EXPECT_DOUBLE_EQ(n.values[1], 2.0);
}

TEST(DatasetLosses, RangeMeasuresOnlyItsSeries) {
    Network n = line(1.0, 0.0);
    const Dataset X = rows({0, 1, 2, 3});
    const Dataset Y = rows({0, 0, 0, 0});
    expect_losses(dataset_losses(n, X, Y, 1, 3, Codes{0}), {(1.0 + 4.0) / 2});
    expect_losses(dataset_losses(n, X, Y, 3, 4, Codes{1}), {3.0});
    expect_losses(dataset_losses(n, X, Y, Codes{1}), {6.0 / 4});
}

TEST(DatasetLosses, RangeDividesByItsFirstTargetSeries) {
    Network n = accumulator();
    // series 1 alone: outputs 2, 4 against 0, 0
    const Dataset X = sequences({{9, 9}, {2, 2}});
    const Dataset Y = sequences({{0, 0}, {0, 0}});
    expect_losses(dataset_losses(n, X, Y, 1, 2, Codes{1}), {(2.0 + 4.0) / 2});
}

TEST(DatasetLosses, WithoutTermsEveryValueIsNaN) {
    Network n = accumulator();
    expect_all_nan(dataset_losses(n, Dataset{}, Dataset{}, all_codes), 3);
    expect_all_nan(dataset_losses(n, rows({1, 2}), rows({1, 2}), 1, 1, all_codes), 3);
    // x of zero steps against one target: there is no output to compare
    expect_all_nan(dataset_losses(n, Dataset(2, 0, 1, {}), sequences({{1}, {1}}), all_codes), 3);
    // targets of zero samples
    expect_all_nan(dataset_losses(n, Dataset(1, 0, 1, {}), Dataset(1, 0, 1, {}), all_codes), 3);
    // targets of no values: each term is a mean over nothing
    expect_all_nan(dataset_losses(n, rows({1}), Dataset(1, 1, 0, {}), all_codes), 3);
}

TEST(DatasetLosses, RefusesDataItCannotRead) {
    Network n = accumulator();
    const Dataset X = rows({1, 2});
    EXPECT_THROW(dataset_losses(n, X, rows({1}), Codes{0}), value_error);        // fewer target series
    EXPECT_THROW(dataset_losses(n, X, X, 1, 3, Codes{0}), value_error);          // range past the end
    EXPECT_THROW(dataset_losses(n, X, X, 2, 1, Codes{0}), value_error);          // reversed range
    EXPECT_THROW(dataset_losses(n, Dataset(1, 1, 0, {}), rows({1}), Codes{0}), value_error);  // no input value
    EXPECT_THROW(dataset_losses(n, rows({1}), Dataset(1, 1, 2, {1, 2}), Codes{0}), value_error);  // 2 targets
    EXPECT_THROW(dataset_losses(n, sequences({{1, 2, 3}}), sequences({{1, 2}}), Codes{0}), value_error);
    EXPECT_THROW(dataset_losses(n, X, X, Codes{3}), value_error);  // unknown code
}

TEST(DatasetShape, NestedSeriesMustBeRectangular) {
    EXPECT_THROW(Dataset::from_nested({{{1.0}}, {}}), value_error);
    EXPECT_THROW(Dataset::from_nested({{{1.0}, {2.0, 3.0}}}), value_error);
    EXPECT_THROW(Dataset(2, 1, 1, {1.0}), value_error);
    const Dataset d = Dataset::from_nested({{{1, 2}, {3, 4}}, {{5, 6}, {7, 8}}});
    EXPECT_EQ(d.series(), 2);
    EXPECT_EQ(d.steps(), 2);
    EXPECT_EQ(d.width(), 2);
    EXPECT_EQ(d.at(1, 0, 1), 6.0);
}

TEST(DatasetShape, PermutationMovesSeriesKToPositionPermK) {
    Dataset d = sequences({{0, 1}, {10, 11}, {20, 21}, {30, 31}});
    d.permute_series({2, 0, 3, 1});
    EXPECT_EQ(d.values(), (std::vector<double>{10, 11, 30, 31, 0, 1, 20, 21}));
    // The same permutation of a list, for comparison with what the shuffle of lists does.
    std::vector<int> list = {0, 10, 20, 30};
    apply_permutation(list, {2, 0, 3, 1});
    EXPECT_EQ(list, (std::vector<int>{10, 30, 0, 20}));
}

TEST(PopulationLosses, OneListPerMemberInOrder) {
    Population population = {line(1.0, 0.0), line(2.0, 0.0), line(0.0, 1.0)};
    const Dataset X = rows({1, 2, 3});
    const Dataset Y = rows({1, 2, 3});
    const auto losses = population_losses(population, X, Y, Codes{0, 1});
    ASSERT_EQ(losses.size(), 3u);
    expect_losses(losses[0], {0.0, 0.0});
    expect_losses(losses[1], {(1.0 + 4.0 + 9.0) / 3, (1.0 + 2.0 + 3.0) / 3});
    expect_losses(losses[2], {(0.0 + 1.0 + 4.0) / 3, (0.0 + 1.0 + 2.0) / 3});
    const auto batch = population_losses(population, X, Y, 2, 3, Codes{1});
    ASSERT_EQ(batch.size(), 3u);
    expect_losses(batch[1], {3.0});
    Population none;
    EXPECT_TRUE(population_losses(none, X, Y, Codes{0}).empty());
}

}  // namespace
}  // namespace corvane
