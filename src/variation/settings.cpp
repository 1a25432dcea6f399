#include "variation/settings.hpp"

#include <charconv>
#include <cmath>
#include <span>
#include <string>

#include "core/errors.hpp"

namespace corvane {
namespace {

// Shortest text that reads back as the same double.
std::string number_text(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

void check_probability(const char* name, double value) {
    if (!(value >= 0.0 && value <= 1.0))
        throw value_error(std::string(name) + " must be a probability from 0 to 1, got " + number_text(value) + ".");
}

// A spread of random draws: above 0 and at most max_random_scale (NaN fails both tests).
void check_scale(const char* name, double value) {
    if (!(value > 0.0 && value <= max_random_scale))
        throw value_error(std::string(name) + " must be above 0 and at most " + number_text(max_random_scale) +
                          ", got " + number_text(value) + ".");
}

void check_count(const char* name, std::int32_t value, std::int32_t lowest, std::int32_t highest) {
    if (value < lowest || value > highest)
        throw value_error(std::string(name) + " must be from " + std::to_string(lowest) + " to " +
                          std::to_string(highest) + ", got " + std::to_string(value) + ".");
}

std::int32_t index_of(std::span<const std::string_view> table, std::string_view name) {
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i] == name) return static_cast<std::int32_t>(i);
    return -1;
}

}  // namespace

void check_variation(const VariationSettings& s) {
    check_probability("perturb_probability", s.perturb_probability);
    check_probability("activations_probability", s.activations_probability);
    check_probability("add_node_probability", s.add_node_probability);
    check_probability("remove_node_probability", s.remove_node_probability);
    check_probability("remove_connection_probability", s.remove_connection_probability);
    check_probability("add_connection_probability", s.add_connection_probability);
    if (!(s.perturb_size >= 0.0 && std::isfinite(s.perturb_size)))
        throw value_error("perturb_size must be a finite number of at least 0, got " + number_text(s.perturb_size) +
                          ".");
    if (!(s.perturb_floor >= 0.0 && std::isfinite(s.perturb_floor)))
        throw value_error("perturb_floor must be a finite number of at least 0, got " +
                          number_text(s.perturb_floor) + ".");
    const auto mode = static_cast<std::int32_t>(s.perturb_mode);
    if (mode < 0 || mode >= static_cast<std::int32_t>(std::size(perturb_mode_names)))
        throw value_error("perturb_mode must be 'relative' or 'absolute'.");
    check_probability("activation_change_probability", s.activation_change_probability);
    check_count("tournament_size", s.tournament_size, 1, max_tournament_size);
    check_probability("crossover_share", s.crossover_share);
    const auto first = static_cast<std::int32_t>(s.first_population);
    if (first < 0 || first >= static_cast<std::int32_t>(std::size(first_population_names)))
        throw value_error("first_population must be 'mutants' or 'random'.");
    check_scale("random_scale", s.random_scale);
    check_scale("random_bias_scale", s.random_bias_scale);
    check_count("mutations", s.mutations, 0, max_mutations);
    if (s.output_activation < any_activation || s.output_activation > 3)
        throw value_error("output_activation must be None, 'sigmoid', 'tanh', 'relu' or 'linear'.");
}

std::int32_t perturb_mode_code(std::string_view name) { return index_of(perturb_mode_names, name); }

std::int32_t first_population_code(std::string_view name) { return index_of(first_population_names, name); }

}  // namespace corvane
