// The settings of the variation operators and of selection. The defaults are the fixed constants
// of the first optimizer, so a run with default settings is the run it has always been.
#pragma once

#include <cstdint>
#include <string_view>

#include "variation/constants.hpp"

namespace corvane {

// How perturb sizes a step: as a share of the value's own magnitude (a zero never moves), or
// as a fixed standard deviation whatever the value.
enum class PerturbMode : std::int32_t { relative = 0, absolute = 1 };
inline constexpr std::string_view perturb_mode_names[] = {"relative", "absolute"};

// How the first population is made besides the unchanged start network: mutants of it, or
// independent random networks of its shape (inputs, outputs, node count, mode).
enum class FirstPopulation : std::int32_t { mutants = 0, random = 1 };
inline constexpr std::string_view first_population_names[] = {"mutants", "random"};

inline constexpr std::int32_t any_activation = -1;

struct VariationSettings {
    // mutate's decision tree: each test is reached only when the earlier ones failed.
    double perturb_probability = corvane::perturb_probability;
    double activations_probability = corvane::activations_probability;
    double add_node_probability = corvane::add_node_probability;
    double remove_node_probability = corvane::remove_node_probability;
    double remove_connection_probability = corvane::remove_connection_probability;
    double add_connection_probability = corvane::add_connection_probability;
    // perturb: the step's standard deviation (a share of the magnitude when relative).
    double perturb_size = perturb_scale;
    PerturbMode perturb_mode = PerturbMode::relative;
    // A relative step is sized from max(|value|, perturb_floor): 0 keeps a zero where it is.
    double perturb_floor = 0.0;
    // mutate_activations: chance per hidden or output node.
    double activation_change_probability = corvane::activation_change_probability;
    // tournament_select: members per group.
    std::int32_t tournament_size = corvane::tournament_size;
    // breed: share of the pairs that are crossed (the others are cloned).
    double crossover_share = 1.0 - crossover_probability;
    FirstPopulation first_population = FirstPopulation::mutants;
    // The standard deviations of the weights and of the biases of a random first population's
    // networks (randomize draws both from a standard normal; 1 keeps its draws as they are).
    double random_scale = 1.0;
    double random_bias_scale = 1.0;
    // mutate steps per child and per mutant of the first population.
    std::int32_t mutations = 1;
    // An activation code every new member's output nodes get, and that activation changes then
    // leave alone; any_activation lets outputs change like hidden nodes.
    std::int32_t output_activation = any_activation;
};

// Limits that keep a run's memory and work bounded.
inline constexpr std::int32_t max_tournament_size = 1000;
inline constexpr std::int32_t max_mutations = 100;
inline constexpr double max_random_scale = 1000.0;

// Throws value_error naming the first setting out of its range.
void check_variation(const VariationSettings& settings);

// The code of a mode name, or -1.
std::int32_t perturb_mode_code(std::string_view name);
std::int32_t first_population_code(std::string_view name);

}  // namespace corvane
