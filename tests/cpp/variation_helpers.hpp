// Helpers for the tests of the variation operators: hand-built networks, seeded sources, a few
// statistics, and exact exception checks.
//
// To know what an operator draws, a test copies the source before the call and replays the same
// draws on the copy: a Random is a small value type, and equal sources give equal draws.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
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

// A fully connected random network of n nodes, as a new model starts, drawn from Random(seed).
inline Network random_network(std::int32_t inputs, std::int32_t outputs, std::int32_t n, bool recurrent,
                              std::uint64_t seed = 1) {
    Network net(inputs, outputs, recurrent);
    net.reset(n);
    Random random(seed);
    net.randomize(random);
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

// Pearson's chi-square statistic of observed counts against equal expected counts.
inline double chi_square_uniform(const std::vector<std::int64_t>& counts) {
    std::int64_t total = 0;
    for (std::int64_t c : counts) total += c;
    const double expected = static_cast<double>(total) / static_cast<double>(counts.size());
    double statistic = 0;
    for (std::int64_t c : counts) {
        const double d = static_cast<double>(c) - expected;
        statistic += d * d / expected;
    }
    return statistic;
}

// The upper 0.1 % point of the chi-square distribution with `dof` degrees of freedom
// (Wilson-Hilferty: within 2 % of the tables from 3 degrees of freedom on). A uniform source
// exceeds it at a given seed with chance 1/1000; the seeds of the tests are fixed, so a test
// either always passes or always fails.
inline double chi_square_limit(int dof) {
    const double z = 3.0902;  // the upper 0.1 % point of the standard normal
    const double k = dof;
    const double a = 2.0 / (9.0 * k);
    return k * std::pow(1.0 - a + z * std::sqrt(a), 3);
}

// Whether `hits` out of `trials` is within `sigmas` binomial standard deviations of share p.
inline ::testing::AssertionResult share_near(std::int64_t hits, std::int64_t trials, double p, double sigmas = 4.5) {
    const double share = static_cast<double>(hits) / static_cast<double>(trials);
    const double tolerance = sigmas * std::sqrt(p * (1 - p) / static_cast<double>(trials));
    if (std::fabs(share - p) <= tolerance) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "share " << share << " (" << hits << " of " << trials << "), expected "
                                         << p << " +- " << tolerance;
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
