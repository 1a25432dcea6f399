// The slow reference of the tests: the one-sample pass over the dense tables, node by node,
// every possible source tested by its connection bit. The compiled block pass must give
// exactly its numbers.
#pragma once

#include <cstdint>
#include <vector>

#include "network/network.hpp"

namespace corvane::testing_support {

// One pass over `input` (at least `inputs` values); writes the outputs and updates
// network.sums and network.values, as Network::forward does.
inline void reference_forward(Network& network, const double* input, double* output) {
    const std::int32_t n = network.node_count;
    for (std::int32_t j = 0; j < n; ++j) network.sums[j] = network.biases[j];
    for (std::int32_t k = 0; k < n; ++k) {
        if (k < network.inputs) {
            network.values[k] = input[k];
            continue;
        }
        const std::int32_t limit = network.recurrent ? n : k;
        double sum = network.sums[k];
        for (std::int32_t s = 0; s < limit; ++s)
            if (network.has_connection(s, k)) sum = network.weight(s, k) * network.values[s] + sum;
        network.sums[k] = sum;
        network.values[k] = activate(network.activations[k], sum);
    }
    for (std::int32_t j = 0; j < network.outputs; ++j) output[j] = network.values[n - network.outputs + j];
}

}  // namespace corvane::testing_support
