// Mutation: one random step that changes a network in place.
#pragma once

#include <cstdint>

#include "network/network.hpp"

namespace corvane {

// s -> t exists afterwards, with a fresh standard normal weight from the network's engine.
void connect(Network& network, std::int32_t s, std::int32_t t);
// s -> t no longer exists and its weight is 0.
void disconnect(Network& network, std::int32_t s, std::int32_t t);

void perturb(Network& network);
void mutate_activations(Network& network);
void add_node(Network& network);
void split_connection(Network& network, std::int32_t s, std::int32_t t, double bias, std::int32_t activation);
void remove_node(Network& network);
void add_connection(Network& network);
void remove_connection(Network& network);

// Prints `message` and a newline on standard output, then throws consistency_error carrying it.
[[noreturn]] void fail_check(const char* message);

// One random mutation step. A structural step that leaves the network invalid prints its
// message and throws consistency_error.
void mutate(Network& network);

}  // namespace corvane
