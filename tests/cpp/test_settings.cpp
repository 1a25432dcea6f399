#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "core/errors.hpp"
#include "variation/mutation.hpp"
#include "variation/population.hpp"
#include "variation/settings.hpp"
#include "variation_helpers.hpp"

namespace corvane {
namespace {

using testing_support::build_network;

Network random_network(std::int32_t n, bool recurrent, std::uint64_t seed = 1) {
    return testing_support::random_network(3, 2, n, recurrent, seed);
}

VariationSettings with(const std::function<void(VariationSettings&)>& change) {
    VariationSettings settings;
    change(settings);
    return settings;
}

// No branch of mutate is ever taken.
VariationSettings no_branch() {
    return with([](VariationSettings& s) {
        s.perturb_probability = s.activations_probability = s.add_node_probability = 0.0;
        s.remove_node_probability = s.remove_connection_probability = s.add_connection_probability = 0.0;
    });
}

struct BadSetting {
    const char* name;
    std::function<void(VariationSettings&)> change;
    const char* message;
};

class CheckVariation : public ::testing::TestWithParam<BadSetting> {};

TEST_P(CheckVariation, NamesTheSettingOutOfRange) {
    EXPECT_THROW_MESSAGE(check_variation(with(GetParam().change)), value_error, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, CheckVariation,
    ::testing::Values(
        BadSetting{"perturb_above_one", [](VariationSettings& s) { s.perturb_probability = 1.5; },
                   "perturb_probability must be a probability from 0 to 1, got 1.5."},
        BadSetting{"remove_connection_nan",
                   [](VariationSettings& s) { s.remove_connection_probability = std::nan(""); },
                   "remove_connection_probability must be a probability from 0 to 1, got nan."},
        BadSetting{"negative_size", [](VariationSettings& s) { s.perturb_size = -0.25; },
                   "perturb_size must be a finite number of at least 0, got -0.25."},
        BadSetting{"unknown_mode", [](VariationSettings& s) { s.perturb_mode = static_cast<PerturbMode>(2); },
                   "perturb_mode must be 'relative' or 'absolute'."},
        BadSetting{"tournament_of_none", [](VariationSettings& s) { s.tournament_size = 0; },
                   "tournament_size must be from 1 to 1000, got 0."},
        BadSetting{"share_below_zero", [](VariationSettings& s) { s.crossover_share = -0.5; },
                   "crossover_share must be a probability from 0 to 1, got -0.5."},
        BadSetting{"unknown_first_population",
                   [](VariationSettings& s) { s.first_population = static_cast<FirstPopulation>(-1); },
                   "first_population must be 'mutants' or 'random'."},
        BadSetting{"too_many_mutations", [](VariationSettings& s) { s.mutations = 101; },
                   "mutations must be from 0 to 100, got 101."}),
    [](const ::testing::TestParamInfo<BadSetting>& info) { return std::string(info.param.name); });

TEST(CheckVariation, DefaultsAndLimitsPass) {
    EXPECT_NO_THROW(check_variation(VariationSettings{}));
    EXPECT_NO_THROW(check_variation(with([](VariationSettings& s) {
        s.perturb_probability = 1.0;
        s.crossover_share = 0.0;
        s.tournament_size = 1;
        s.mutations = 0;
        s.perturb_size = 0.0;
    })));
}

TEST(Perturb, AbsoluteStepsMoveZeroWeightsAndBiases) {
    Network net = build_network(2, 1, 3, false, {{0, 2, 0.0}, {1, 2, 0.0}});
    net.biases.assign(3, 0.0);
    const VariationSettings absolute = with([](VariationSettings& s) { s.perturb_mode = PerturbMode::absolute; });
    Random random(5);
    perturb(net, random, absolute);
    for (double b : net.biases) EXPECT_NE(b, 0.0);
    EXPECT_NE(net.weight(0, 2), 0.0);
    EXPECT_NE(net.weight(1, 2), 0.0);
    EXPECT_EQ(net.weight(0, 1), 0.0) << "absent connections keep their weight";
}

TEST(Perturb, AbsoluteStepsHaveTheGivenDeviationWhateverTheValue) {
    const VariationSettings absolute = with([](VariationSettings& s) {
        s.perturb_mode = PerturbMode::absolute;
        s.perturb_size = 0.5;
    });
    double sum = 0, squares = 0;
    const int trials = 20000;
    for (int k = 0; k < trials; ++k) {
        Network net = build_network(1, 1, 2, false, {{0, 1, 100.0}});
        Random random(static_cast<std::uint64_t>(k));
        perturb(net, random, absolute);
        const double step = net.weight(0, 1) - 100.0;
        sum += step;
        squares += step * step;
    }
    EXPECT_NEAR(sum / trials, 0.0, 0.02);
    EXPECT_NEAR(std::sqrt(squares / trials), 0.5, 0.01);
}

TEST(Mutate, NoBranchChangesNothingAndACertainBranchAlwaysRuns) {
    const VariationSettings add_only = with([](VariationSettings& s) {
        s = no_branch();
        s.add_node_probability = 1.0;
    });
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        const Network source = random_network(6, seed % 2 == 1, seed);
        Network unchanged = source, grown = source;
        Random a(seed), b(seed);
        mutate(unchanged, a, no_branch());
        mutate(grown, b, add_only);
        EXPECT_EQ(unchanged, source);
        EXPECT_EQ(grown.node_count, source.node_count + 1);
    }
}

TEST(Mutate, MutationsRepeatTheStepOnOneSource) {
    const VariationSettings three = with([](VariationSettings& s) { s.mutations = 3; });
    const Network source = random_network(7, true);
    Network repeated = source, expected = source;
    Random a(9), b(9);
    mutate_times(repeated, a, three);
    for (int k = 0; k < 3; ++k) mutate(expected, b);
    EXPECT_EQ(repeated, expected);
    Network none = source;
    mutate_times(none, a, with([](VariationSettings& s) { s.mutations = 0; }));
    EXPECT_EQ(none, source);
}

TEST(SeedPopulation, RandomMembersHaveTheShapeAndTheirOwnStreams) {
    const VariationSettings random_first = with([](VariationSettings& s) { s.first_population = FirstPopulation::random; });
    for (bool recurrent : {false, true}) {
        const Network source = random_network(7, recurrent);
        const Population population = seed_population(source, 6, 41, run_in_order, random_first);
        ASSERT_EQ(population.size(), 6u);
        EXPECT_EQ(population[0], source);
        for (std::size_t i = 1; i < population.size(); ++i) {
            Network expected(3, 2, recurrent);
            expected.reset(7);
            Random random = stream(41, stream_kind::population, 0, i);
            expected.randomize(random);
            EXPECT_EQ(population[i], expected) << "member " << i;
            EXPECT_TRUE(is_valid(population[i]));
            EXPECT_NE(population[i], source);
        }
    }
}

TEST(Breed, CrossoverShareDecidesHowManyPairsAreCrossed) {
    Population parents;
    for (std::int32_t n : {5, 6, 7}) parents.push_back(random_network(n, false, static_cast<std::uint64_t>(n)));
    const std::vector<double> losses{3.0, 1.0, 2.0};
    for (double share : {0.0, 0.25, 1.0}) {
        const VariationSettings settings = with([&](VariationSettings& s) { s.crossover_share = share; });
        std::int64_t copies = 0, pairs = 0;
        for (std::uint64_t generation = 0; generation < 3000; ++generation) {
            const Population children = breed(parents, losses, 3, generation, 6, run_in_order, settings);
            for (std::size_t p = 0; p < 3; ++p, ++pairs) {
                bool copied = false;
                for (const Network& parent : parents) copied = copied || children[2 * p] == parent;
                copies += copied;
            }
        }
        // A crossed pair of one parent with itself gives a copy too: chance 1/5 per pair (the
        // order holds every parent twice).
        const double copy_share = (1.0 - share) + share * (1.0 / 5.0);
        EXPECT_TRUE(testing_support::share_near(copies, pairs, copy_share)) << "share " << share;
    }
}

TEST(TournamentWinners, GroupSizeSetsTheSelectionPressure) {
    // Member 0 is the best of four. Groups of one pick members uniformly; groups of 40 (each
    // member about ten times) almost always hold it.
    const std::vector<LossList> losses{{1.0}, {2.0}, {3.0}, {4.0}};
    for (auto [size, share] : {std::pair{1, 0.25}, std::pair{40, 1.0}}) {
        std::int64_t wins = 0, trials = 0;
        for (std::uint64_t seed = 0; seed < 500; ++seed) {
            Random random(seed);
            for (std::int32_t winner : tournament_winners(losses, 4, random, size)) {
                wins += winner == 0;
                ++trials;
            }
        }
        if (share == 1.0) EXPECT_GE(static_cast<double>(wins) / trials, 0.999);
        else EXPECT_TRUE(testing_support::share_near(wins, trials, share));
    }
}

}  // namespace
}  // namespace corvane
