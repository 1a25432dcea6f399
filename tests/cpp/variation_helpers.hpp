// Helpers for the tests of the variation operators: hand-built networks, control over the
// rand()-based index and activation draws, and exact exception checks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <tuple>
#include <typeinfo>
#include <vector>

#include "network/network.hpp"
#include "random/random.hpp"

namespace corvane::testing_support {

struct Link {
    std::int32_t s, t;
    double w;
};

// A network of n nodes with the given connections; node i gets bias 0.1 * (i + 1) and code i % 4
// so that nodes can be told apart after a shift.
inline Network build_network(std::int32_t inputs, std::int32_t outputs, std::int32_t n, bool recurrent,
                             const std::vector<Link>& links) {
    Network net(inputs, outputs, recurrent);
    net.reset(n);
    for (std::int32_t i = 0; i < n; ++i) {
        net.biases[i] = 0.1 * (i + 1);
        net.activations[i] = i % 4;
    }
    for (const Link& link : links) {
        net.set_connection(link.s, link.t);
        net.weight(link.s, link.t) = link.w;
    }
    return net;
}

// A fully connected random network of n nodes, as a new model starts.
inline Network random_network(std::int32_t inputs, std::int32_t outputs, std::int32_t n, bool recurrent) {
    Network net(inputs, outputs, recurrent);
    net.reset(n);
    net.randomize();
    return net;
}

// Every connection s -> t in row-then-column order.
inline std::vector<std::pair<std::int32_t, std::int32_t>> connections_of(const Network& net) {
    std::vector<std::pair<std::int32_t, std::int32_t>> found;
    for (std::int32_t s = 0; s < net.node_count; ++s)
        for (std::int32_t t = 0; t < net.node_count; ++t)
            if (net.has_connection(s, t)) found.emplace_back(s, t);
    return found;
}

// Whether the tables have the sizes of node_count and every connection is an allowed one.
inline bool only_allowed_connections(const Network& net) {
    const std::size_t n = static_cast<std::size_t>(net.node_count);
    if (net.biases.size() != n || net.sums.size() != n || net.values.size() != n || net.activations.size() != n ||
        net.weights.size() != n * n || net.connections.size() != n * static_cast<std::size_t>(net.words_per_row()))
        return false;
    for (const auto& [s, t] : connections_of(net))
        if (!net.allowed(s, t)) return false;
    return true;
}

// Puts rand() into the state of srand(seed), after both of its one-time clock seedings have
// happened, so that the following index and activation draws are known in advance.
inline void seed_rand(unsigned seed) {
    random_index(1);
    random_activation();
    std::srand(seed);
}

// The first `count` values rand() gives after seed_rand(seed), without disturbing a later run.
inline std::vector<int> rand_values(unsigned seed, int count) {
    seed_rand(seed);
    std::vector<int> values;
    for (int i = 0; i < count; ++i) values.push_back(std::rand());
    return values;
}

// Checks that `call` throws an exception of exactly type E whose what() is `message`.
template <class E, class F>
void expect_throw_message(F&& call, const std::string& message, const char* file, int line) {
    ::testing::ScopedTrace trace(file, line, "expect_throw_message");
    try {
        call();
    } catch (const E& error) {
        EXPECT_EQ(typeid(error), typeid(E)) << "threw a type derived from the expected one";
        EXPECT_EQ(std::string(error.what()), message);
        return;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "threw " << typeid(other).name() << ": " << other.what();
        return;
    }
    ADD_FAILURE() << "did not throw";
}

#define EXPECT_THROW_MESSAGE(statement, type, message) \
    ::corvane::testing_support::expect_throw_message<type>([&] { statement; }, message, __FILE__, __LINE__)

}  // namespace corvane::testing_support
