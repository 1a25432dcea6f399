#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/errors.hpp"
#include "training/evolution.hpp"
#include "variation_helpers.hpp"

using namespace corvane;

namespace {

using testing_support::random_network;

// y = x0 - x1 on a few points: feed-forward samples are series of one sample.
std::pair<Dataset, Dataset> regression(int count) {
    std::vector<double> x, y;
    for (int i = 0; i < count; ++i) {
        const double a = (i % 5) / 5.0, b = (i % 3) / 3.0;
        x.insert(x.end(), {a, b});
        y.push_back(a - b);
    }
    return {Dataset(count, 1, 2, x), Dataset(count, 1, 1, y)};
}

// Bit for bit equal histories (NaN included).
bool same_history(const History& a, const History& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a[k].key != b[k].key || a[k].integer != b[k].integer || a[k].values.size() != b[k].values.size())
            return false;
        for (std::size_t e = 0; e < a[k].values.size(); ++e)
            if (std::memcmp(&a[k].values[e], &b[k].values[e], sizeof(double)) != 0) return false;
    }
    return true;
}

std::vector<std::string> keys(const History& history) {
    std::vector<std::string> out;
    for (const HistoryColumn& column : history) out.push_back(column.key);
    return out;
}

}  // namespace

struct BatchCase {
    std::int32_t series, batch_size, expected;
};

class BatchCountTest : public ::testing::TestWithParam<BatchCase> {};

TEST_P(BatchCountTest, Count) {
    EXPECT_EQ(batch_count(GetParam().series, GetParam().batch_size), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchCountTest,
                         ::testing::Values(BatchCase{1000, 50, 20}, BatchCase{1000, 100, 10}, BatchCase{10, 3, 4},
                                           BatchCase{10, -1, 1}, BatchCase{10, 20, 1}, BatchCase{0, -1, 0},
                                           BatchCase{7, 7, 1}, BatchCase{(1 << 26) + 5, 2, (1 << 25) + 3},
                                           BatchCase{INT32_MAX, 2, (1 << 30)}, BatchCase{INT32_MAX, INT32_MAX, 1},
                                           BatchCase{INT32_MAX, 1, INT32_MAX}));

// Integer ceiling division gives the counts the single-precision division gave wherever that
// is exact (up to 2**24 series).
TEST(BatchCount, SameAsSinglePrecisionUpTo2To24) {
    Random random(77);
    for (int k = 0; k < 200000; ++k) {
        const std::int32_t series = 1 + static_cast<std::int32_t>(random.below(1 << 24));
        const std::int32_t batch = 1 + static_cast<std::int32_t>(random.below(k % 2 ? 64 : static_cast<std::uint64_t>(series)));
        const auto single = static_cast<std::int32_t>(std::ceil(static_cast<float>(series) / static_cast<float>(batch)));
        ASSERT_EQ(batch_count(series, batch), single) << series << " / " << batch;
    }
}

TEST(DatasetEvolution, HistoryKeysInOrderWithOneSlotPerEpoch) {
    auto [X, Y] = regression(12);
    EvolutionSettings settings;
    settings.loss_codes = {0, 1, 1};  // mse, then mae named twice
    settings.monitor_codes = {0, 0};
    settings.pop_size = 6;
    settings.batch_size = 5;
    settings.epochs = 3;
    settings.verbose = 0;
    const DataView Xv = X.view(), Yv = Y.view();
    EvolutionResult result =
        evolve_on_dataset(random_network(2, 1, 3, false), X, Y, &Xv, &Yv, settings, EvolutionHooks{});
    EXPECT_EQ(keys(result.history), (std::vector<std::string>{"loss", "mae", "val_loss", "val_mae", "size"}));
    for (const HistoryColumn& column : result.history) {
        EXPECT_EQ(column.values.size(), 3u);
        EXPECT_EQ(column.integer, column.key == "size");
    }
    EXPECT_EQ(result.history.back().values.back(), result.best.node_count);
    EXPECT_TRUE(is_valid(result.best));
}

TEST(DatasetEvolution, SingleBatchLossNeverRises) {
    // With one batch the best candidate wins both of its tournaments and is measured again on
    // the same data, so the best loss can only fall.
    auto [X, Y] = regression(20);
    EvolutionSettings settings;
    settings.loss_codes = {0};
    settings.pop_size = 10;
    settings.epochs = 25;
    settings.verbose = 0;
    EvolutionResult result = evolve_on_dataset(random_network(2, 1, 4, false), X, Y, nullptr, nullptr, settings, {});
    const std::vector<double>& loss = result.history[0].values;
    for (std::size_t e = 1; e < loss.size(); ++e) EXPECT_LE(loss[e], loss[e - 1]);
    Network best = result.best;
    EXPECT_DOUBLE_EQ(dataset_losses(best, X, Y, {0})[0], loss.back());
}

// Several batches per epoch, so the shuffles, pairings, mutations and tournaments of every
// generation all draw; with a validation set and a monitor column.
EvolutionResult dataset_run(std::uint64_t seed, bool recurrent) {
    auto [X, Y] = regression(15);
    EvolutionSettings settings;
    settings.loss_codes = {0, 1};
    settings.monitor_codes = {0};
    settings.pop_size = 8;
    settings.batch_size = 4;
    settings.epochs = 12;
    settings.verbose = 0;
    settings.seed = seed;
    const DataView Xv = X.view(), Yv = Y.view();
    return evolve_on_dataset(random_network(2, 1, 4, recurrent), X, Y, &Xv, &Yv, settings, {});
}

class SeededDatasetEvolution : public ::testing::TestWithParam<bool> {};

TEST_P(SeededDatasetEvolution, SameSeedRepeatsTheRunAnotherSeedDoesNot) {
    const EvolutionResult a = dataset_run(1234, GetParam());
    const EvolutionResult b = dataset_run(1234, GetParam());
    EXPECT_EQ(a.best, b.best);
    EXPECT_TRUE(same_history(a.history, b.history));
    const EvolutionResult c = dataset_run(1235, GetParam());
    EXPECT_FALSE(same_history(a.history, c.history));
}

INSTANTIATE_TEST_SUITE_P(Modes, SeededDatasetEvolution, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Recurrent" : "FeedForward"); });

TEST(DatasetEvolution, ZeroEpochsGiveAnUnchangedCloneAndEmptyHistory) {
    auto [X, Y] = regression(4);
    const Network start = random_network(2, 1, 4, true);
    EvolutionSettings settings;
    settings.loss_codes = {0};
    settings.epochs = 0;
    settings.pop_size = 3;
    EvolutionResult result = evolve_on_dataset(start, X, Y, nullptr, nullptr, settings, {});
    EXPECT_TRUE(result.best == start);
    ASSERT_EQ(result.history.size(), 1u);
    EXPECT_TRUE(result.history[0].values.empty());
}

TEST(DatasetEvolution, InterruptStopsTheRun) {
    auto [X, Y] = regression(4);
    EvolutionSettings settings;
    settings.loss_codes = {0};
    settings.epochs = 5;
    settings.pop_size = 3;
    settings.verbose = 0;
    int calls = 0;
    EvolutionHooks hooks;
    hooks.check_interrupt = [&] {
        if (++calls == 3) throw std::runtime_error("interrupted");
    };
    EXPECT_THROW(evolve_on_dataset(random_network(2, 1, 3, false), X, Y, nullptr, nullptr, settings, hooks),
                 std::runtime_error);
    EXPECT_EQ(calls, 3);
}

TEST(DatasetEvolution, RecurrentManyToOneRuns) {
    std::vector<double> x, y;
    for (int s = 0; s < 6; ++s) {
        x.insert(x.end(), {1.0 * s, 0.5, -1.0});
        y.push_back(0.1 * s);
    }
    const Dataset X(6, 3, 1, x), Y(6, 1, 1, y);
    EvolutionSettings settings;
    settings.loss_codes = {0, 2};
    settings.pop_size = 8;
    settings.epochs = 40;
    settings.batch_size = 2;
    settings.verbose = 0;
    EvolutionResult result = evolve_on_dataset(random_network(1, 1, 3, true), X, Y, nullptr, nullptr, settings, {});
    EXPECT_TRUE(is_valid(result.best));
    for (double v : result.history[0].values) EXPECT_TRUE(std::isfinite(v));
}

TEST(FunctionEvolution, CandidatesComeTwicePopSizeAndAllNanRecordsNan) {
    EvolutionSettings settings;
    settings.pop_size = 5;
    settings.epochs = 3;
    settings.verbose = 0;
    std::vector<std::size_t> seen;
    EvolutionHooks hooks;
    hooks.score = [&](Population& candidates) {
        seen.push_back(candidates.size());
        return std::vector<LossList>(candidates.size(), LossList{std::nan("")});
    };
    EvolutionResult result = evolve_on_function(random_network(2, 1, 3, false), false, settings, hooks);
    EXPECT_EQ(seen, (std::vector<std::size_t>{10, 10, 10}));
    ASSERT_EQ(result.history.size(), 1u);
    for (double v : result.history[0].values) EXPECT_TRUE(std::isnan(v));
}

TEST(FunctionEvolution, NanScoresNeverBeatNumbers) {
    EvolutionSettings settings;
    settings.pop_size = 6;
    settings.epochs = 10;
    settings.verbose = 0;
    EvolutionHooks hooks;
    hooks.score = [](Population& candidates) {
        std::vector<LossList> scores;
        for (std::size_t i = 0; i < candidates.size(); ++i)
            scores.push_back({i % 2 == 0 ? std::nan("") : static_cast<double>(candidates[i].node_count)});
        return scores;
    };
    EvolutionResult result = evolve_on_function(random_network(2, 1, 3, false), false, settings, hooks);
    for (double v : result.history[0].values) EXPECT_FALSE(std::isnan(v));
}

TEST(FunctionEvolution, RecurrentCandidatesStartClearedAndValidationIsRecorded) {
    EvolutionSettings settings;
    settings.pop_size = 4;
    settings.epochs = 30;
    settings.verbose = 0;
    settings.monitor_codes = {0};
    EvolutionHooks hooks;
    hooks.score = [](Population& candidates) {
        std::vector<LossList> scores;
        for (Network& candidate : candidates) {
            for (double v : candidate.values) EXPECT_EQ(v, 0.0);
            const double out = candidate.forward({1.0, 2.0})[0];
            candidate.forward({1.0, 2.0});  // leave some state behind
            scores.push_back({std::abs(out - 0.25)});
        }
        return scores;
    };
    hooks.validate = [](const Network& best) { return static_cast<double>(best.node_count); };
    EvolutionResult result = evolve_on_function(random_network(2, 1, 4, true), true, settings, hooks);
    EXPECT_EQ(keys(result.history), (std::vector<std::string>{"loss", "val_loss", "size"}));
    EXPECT_EQ(result.history[1].values, result.history[2].values);
    const std::vector<double>& loss = result.history[0].values;
    for (std::size_t e = 1; e < loss.size(); ++e) EXPECT_LE(loss[e], loss[e - 1]);
}

// The score of a candidate depends on its network only, as a user's deterministic function would.
EvolutionHooks network_scores(std::vector<std::vector<double>>* seen = nullptr) {
    EvolutionHooks hooks;
    hooks.score = [seen](Population& candidates) {
        std::vector<LossList> scores;
        std::vector<double> epoch;
        for (Network& candidate : candidates) {
            const double out = candidate.forward({0.5, -0.25})[0];
            scores.push_back({std::abs(out - 0.3) + 0.001 * candidate.node_count});
            epoch.push_back(scores.back()[0]);
        }
        if (seen) seen->push_back(epoch);
        return scores;
    };
    hooks.validate = [](const Network& best) { return static_cast<double>(best.connection_count()); };
    return hooks;
}

EvolutionResult function_run(std::uint64_t seed, std::vector<std::vector<double>>* seen = nullptr) {
    EvolutionSettings settings;
    settings.pop_size = 7;
    settings.epochs = 15;
    settings.verbose = 0;
    settings.monitor_codes = {0};
    settings.seed = seed;
    return evolve_on_function(random_network(2, 1, 4, false), false, settings, network_scores(seen));
}

// Same seed: the same candidates in the same order every epoch, the same history and best.
TEST(FunctionEvolution, SameSeedRepeatsTheRunAnotherSeedDoesNot) {
    std::vector<std::vector<double>> seen_a, seen_b, seen_c;
    const EvolutionResult a = function_run(99, &seen_a);
    const EvolutionResult b = function_run(99, &seen_b);
    EXPECT_EQ(a.best, b.best);
    EXPECT_TRUE(same_history(a.history, b.history));
    EXPECT_EQ(seen_a, seen_b);
    const EvolutionResult c = function_run(100, &seen_c);
    EXPECT_NE(seen_a, seen_c);
}

TEST(FunctionEvolution, TooFewScoresAreRefused) {
    EvolutionSettings settings;
    settings.pop_size = 3;
    settings.epochs = 1;
    settings.verbose = 0;
    EvolutionHooks hooks;
    hooks.score = [](Population& candidates) { return std::vector<LossList>(candidates.size() - 1, LossList{1.0}); };
    try {
        evolve_on_function(random_network(1, 1, 2, false), false, settings, hooks);
        FAIL() << "expected value_error";
    } catch (const value_error& error) {
        EXPECT_STREQ(error.what(), "Expected the result of train_func to have one row per genome (6), got 5.");
    }
}

// ---- output ----

TEST(Output, EveryLineGoesToTheHookAndNothingToStandardOutput) {
    auto [X, Y] = regression(30);
    EvolutionSettings settings;
    settings.loss_codes = {0};
    settings.pop_size = 4;
    settings.batch_size = 2;  // below a tenth of the samples: the warning comes first
    settings.epochs = 1;
    settings.verbose = 2;
    EvolutionHooks hooks;
    std::string out;
    hooks.output = [&](std::string_view text) { out += text; };
    testing::internal::CaptureStdout();
    evolve_on_dataset(random_network(2, 1, 3, false), X, Y, nullptr, nullptr, settings, hooks);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(out.rfind("WARNING! The batch size is less than 10% the number of samples", 0), 0u) << out;
    EXPECT_NE(out.find("\rEpoch 1/1 - "), std::string::npos) << out;
}

TEST(Output, AFailedConsistencyCheckWritesItsMessageLastBeforeTheError) {
    // A start network that evolution refuses is refused up front; so the scoring hook breaks
    // every candidate instead (node 1 then feeds nothing): breeding warns, and mutations and
    // crossovers of them fail their checks.
    const Network sound =
        testing_support::build_network(2, 1, 4, false, {{0, 3, 1.0}, {1, 2, 1.0}, {2, 3, 1.0}});
    EvolutionSettings settings;
    settings.pop_size = 20;
    settings.epochs = 5;
    settings.verbose = 0;
    EvolutionHooks hooks;
    std::string out;
    hooks.output = [&](std::string_view text) { out += text; };
    hooks.score = [](Population& candidates) {
        for (Network& candidate : candidates)
            for (std::int32_t t = 0; t < candidate.node_count; ++t) candidate.clear_connection(1, t);
        return std::vector<LossList>(candidates.size(), LossList{1.0});
    };
    testing::internal::CaptureStdout();
    try {
        evolve_on_function(sound, false, settings, hooks);
        FAIL() << "expected consistency_error";
    } catch (const consistency_error& error) {
        const std::string line = std::string(error.what()) + "\n";
        ASSERT_GE(out.size(), line.size());
        EXPECT_EQ(out.substr(out.size() - line.size()), line) << out;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// The epoch-end hook, for both loops: it sees every epoch once its values are recorded, and
// asking to stop ends the run after that epoch with that epoch's best network.
struct EpochEndCase {
    const char* name;
    std::function<EvolutionResult(const EvolutionSettings&, const EvolutionHooks&)> run;
};

class EpochEndTest : public ::testing::TestWithParam<EpochEndCase> {};

TEST_P(EpochEndTest, SeesEveryEpochAndStopsAfterTheOneThatAsks) {
    EvolutionSettings settings;
    settings.loss_codes = {0};
    settings.monitor_codes = {0};
    settings.pop_size = 5;
    settings.epochs = 1000;
    settings.verbose = 0;
    settings.seed = 7;
    EvolutionHooks hooks = network_scores();
    std::vector<std::int32_t> epochs;
    Network last;
    hooks.epoch_end = [&](std::int32_t epoch, const History& history, const Network& best) {
        epochs.push_back(epoch);
        for (const HistoryColumn& column : history) EXPECT_EQ(column.values.size(), epochs.size()) << column.key;
        EXPECT_EQ(history.back().values.back(), best.node_count);  // the size column is this network's
        last = best;
        return epoch == 3;
    };
    const EvolutionResult result = GetParam().run(settings, hooks);
    EXPECT_EQ(epochs, (std::vector<std::int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(result.best, last);
    for (const HistoryColumn& column : result.history) EXPECT_EQ(column.values.size(), 4u) << column.key;
}

TEST_P(EpochEndTest, WhatTheHookThrowsEndsTheRun) {
    EvolutionSettings settings;
    settings.loss_codes = {0};
    settings.pop_size = 3;
    settings.epochs = 10;
    settings.verbose = 0;
    EvolutionHooks hooks = network_scores();
    int calls = 0;
    hooks.epoch_end = [&](std::int32_t, const History&, const Network&) -> bool {
        if (++calls == 2) throw std::runtime_error("stop here");
        return false;
    };
    EXPECT_THROW(GetParam().run(settings, hooks), std::runtime_error);
    EXPECT_EQ(calls, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Loops, EpochEndTest,
    ::testing::Values(
        EpochEndCase{"Dataset",
                     [](const EvolutionSettings& settings, const EvolutionHooks& hooks) {
                         auto [X, Y] = regression(12);
                         EvolutionSettings batches = settings;
                         batches.batch_size = 5;
                         return evolve_on_dataset(random_network(2, 1, 4, false), X, Y, nullptr, nullptr, batches,
                                                  hooks);
                     }},
        EpochEndCase{"Function",
                     [](const EvolutionSettings& settings, const EvolutionHooks& hooks) {
                         return evolve_on_function(random_network(2, 1, 4, false), false, settings, hooks);
                     }}),
    [](const auto& info) { return std::string(info.param.name); });
