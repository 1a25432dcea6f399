// The fixed probabilities, step sizes and group sizes of the evolution.
#pragma once

#include <cstdint>

namespace corvane {

// mutate: each test uses a fresh uniform draw, reached only when the earlier ones failed.
inline constexpr double perturb_probability = 0.3;             // draw < this
inline constexpr double activations_probability = 0.3;         // draw < this
inline constexpr double add_node_probability = 0.1;            // draw <= this
inline constexpr double remove_node_probability = 0.1;         // draw <= this
inline constexpr double remove_connection_probability = 0.05;  // draw <= this
inline constexpr double add_connection_probability = 0.05;     // draw <= this

// perturb: the step's standard deviation is this share of the value's own magnitude.
inline constexpr double perturb_scale = 0.2;
// mutate_activations: chance per hidden or output node (draw <= this).
inline constexpr double activation_change_probability = 0.05;
// add_node: standard deviation of the new node's bias.
inline constexpr double new_bias_sd = 1.0;

// crossover: a node gene or shared weight comes from the first parent when draw <= this.
inline constexpr double crossover_first_parent = 0.5;
// breed: a pair is crossed when draw >= this, otherwise both are cloned.
inline constexpr double crossover_probability = 0.5;

// tournament_select: members per group.
inline constexpr std::int32_t tournament_size = 4;

}  // namespace corvane
