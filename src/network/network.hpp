// The network: a free-form graph of nodes, inputs first and outputs last, with a bias and an
// activation per node and weighted directed connections held in dense n x n tables.
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

#include "network/activation.hpp"
#include "random/random.hpp"

namespace corvane {

inline constexpr std::string_view activation_names[] = {"sigmoid", "tanh", "relu", "linear"};
inline constexpr std::int32_t activation_count = 4;

// Whether a network may have these counts: at least one input and one output, and room for both
// among its nodes (in 64 bits, so that large counts cannot wrap around).
constexpr bool counts_fit(std::int64_t inputs, std::int64_t outputs, std::int64_t node_count) {
    return inputs >= 1 && outputs >= 1 && node_count >= inputs + outputs;
}

// The bytes the tables of a network of n nodes take: weights, bit rows and the four per-node
// tables (a double, as it may exceed any integer type for absurd n).
double table_bytes(std::int64_t node_count);

// Throws std::bad_alloc when the dense tables of n nodes could not be held in this machine's
// memory (checked up front: with overcommit a plain allocation may not fail cleanly).
void check_table_size(std::int64_t node_count);

struct Network {
    std::int32_t node_count = 0;
    std::int32_t inputs = 0;
    std::int32_t outputs = 0;
    bool recurrent = false;
    std::vector<double> biases;
    std::vector<double> sums;
    std::vector<double> values;
    std::vector<std::int32_t> activations;
    // weights[s * node_count + t] is the weight of s -> t; counts only where the bit is set.
    std::vector<double> weights;
    // Row s holds words_per_row() 32-bit words; bit t of row s (word t / 32, bit t % 32, least
    // significant first) is set when s -> t exists.
    std::vector<std::uint32_t> connections;

    // An empty network: no nodes, every table empty (what a zero-filled object must hold).
    Network() = default;
    // inputs + outputs nodes, no connections, all zero.
    Network(std::int32_t inputs, std::int32_t outputs, bool recurrent);

    // Copying a network copies its tables and nothing else.
    Network(const Network&) = default;
    Network(Network&&) = default;
    Network& operator=(const Network&) = default;
    Network& operator=(Network&&) = default;

    // node_count := n and every table replaced by zeros; inputs, outputs and recurrent stay as
    // they are.
    void reset(std::int32_t node_count);
    // Random bias and activation for every node, every allowed connection with a standard
    // normal weight, all drawn from `random`.
    void randomize(Random& random);
    // One pass over the first `inputs` values of `input`; returns the `outputs` output values.
    std::vector<double> forward(const std::vector<double>& input);
    // The same pass writing the outputs to `output` (room for `outputs` values).
    void forward(const double* input, double* output);
    // values := 0; sums are left alone (every pass restarts them from the biases).
    void clear_state();

    std::int32_t words_per_row() const { return (node_count + 31) / 32; }
    bool has_connection(std::int32_t s, std::int32_t t) const {
        return (connections[row_word(s, t)] >> (t % 32)) & 1u;
    }
    void set_connection(std::int32_t s, std::int32_t t) {
        connections[row_word(s, t)] |= 1u << (t % 32);
    }
    void clear_connection(std::int32_t s, std::int32_t t) {
        connections[row_word(s, t)] &= ~(1u << (t % 32));
    }
    double& weight(std::int32_t s, std::int32_t t) {
        return weights[static_cast<std::size_t>(s) * node_count + t];
    }
    double weight(std::int32_t s, std::int32_t t) const {
        return weights[static_cast<std::size_t>(s) * node_count + t];
    }
    // Whether s -> t is one of the connections the mode allows.
    bool allowed(std::int32_t s, std::int32_t t) const {
        return s < node_count - outputs && t >= inputs && (recurrent || s < t);
    }
    // Number of set connection bits.
    std::int64_t connection_count() const;

    // Inserts a node at index g with the given bias and code: zero weights, no connections,
    // every node at g or above moves up by one.
    void insert_node(std::int32_t g, double bias, std::int32_t activation);
    // Removes node r with its entry, row and column; every node above it moves down by one.
    void erase_node(std::int32_t r);

    // Equal structure and values: counts, mode, biases, codes, connections and weights (the
    // node state and scratch are not compared).
    bool operator==(const Network& other) const;

private:
    std::size_t row_word(std::int32_t s, std::int32_t t) const {
        return static_cast<std::size_t>(s) * words_per_row() + t / 32;
    }
};

// A network is replaced by building the new one completely and moving it in: the move must not
// be able to fail, or an object could be left with the counts of one network and the tables of
// another.
static_assert(std::is_nothrow_move_assignable_v<Network> && std::is_nothrow_move_constructible_v<Network>);

// Every input and hidden node feeds a non-input node other than itself, and every hidden and
// output node is fed by a node other than itself. An empty network is valid.
bool is_valid(const Network& network);

}  // namespace corvane
