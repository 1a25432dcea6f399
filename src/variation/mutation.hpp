// Mutation: one random step that changes a network in place. Every operator draws from the
// source it is given.
#pragma once

#include <cstdint>

#include "network/network.hpp"
#include "random/random.hpp"
#include "variation/settings.hpp"

namespace corvane {

// s -> t exists afterwards, with a fresh standard normal weight.
void connect(Network& network, std::int32_t s, std::int32_t t, Random& random);
// s -> t no longer exists and its weight is 0.
void disconnect(Network& network, std::int32_t s, std::int32_t t);

// Every bias and every existing weight moves by a normal step: by default of 20 % of its own
// magnitude, or of settings.perturb_size (relative to the magnitude or absolute).
void perturb(Network& network, Random& random, const VariationSettings& settings = {});
// Each hidden and output node gets a random activation code with chance 5 % (or
// settings.activation_change_probability; output nodes keep theirs when
// settings.output_activation is set).
void mutate_activations(Network& network, Random& random, const VariationSettings& settings = {});
// Splits a random existing connection with a new hidden node (nothing without connections).
void add_node(Network& network, Random& random);
// Replaces s -> t by s -> g -> t through a new node g inserted right behind s (never among the
// inputs); every node from g on moves up by one.
void split_connection(Network& network, std::int32_t s, std::int32_t t, double bias, std::int32_t activation,
                      Random& random);
// Removes a random hidden node and joins each of its sources to each of its targets. A removal
// that leaves the network invalid is taken back: structure and values stay as they were.
void remove_node(Network& network, Random& random);
// Creates a random absent allowed connection (nothing when every one exists).
void add_connection(Network& network, Random& random);
// Removes a random connection whose source keeps another outgoing and whose target keeps another
// incoming connection, self connections not counted on either side.
void remove_connection(Network& network, Random& random);

// Throws consistency_error carrying `message`; the training loops write it to their output.
[[noreturn]] void fail_check(const char* message);

// One random mutation step, its branches chosen with the probabilities of `settings`. A
// structural step that leaves the network invalid throws consistency_error with its message.
void mutate(Network& network, Random& random, const VariationSettings& settings = {});
// settings.mutations steps of mutate, one after the other.
void mutate_times(Network& network, Random& random, const VariationSettings& settings);

}  // namespace corvane
