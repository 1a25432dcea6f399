#include "variation/crossover.hpp"

#include "random/random.hpp"
#include "variation/constants.hpp"

namespace corvane {

namespace {

bool first_parent_drawn(Random& random) { return random.uniform(0.0, 1.0) <= crossover_first_parent; }

// Bias and code of every node from a parent drawn 50/50; a drawn parent without that node
// yields to the fitter one, which has every node of the child.
void cross_nodes(Network& child, const Network& first, const Network& second, const Network& fitter,
                 Random& random) {
    for (std::int32_t i = 0; i < child.node_count; ++i) {
        const Network& drawn = first_parent_drawn(random) ? first : second;
        const Network& source = i < drawn.node_count ? drawn : fitter;
        child.biases[i] = source.biases[i];
        child.activations[i] = source.activations[i];
    }
}

// The fitter parent's connections over every allowed position; a connection the other parent
// has at the same position takes its weight from either parent 50/50.
void cross_connections(Network& child, const Network& first, const Network& second, const Network& fitter,
                       const Network& other, Random& random) {
    const std::int32_t n = child.node_count;
    for (std::int32_t i = 0; i < n - child.outputs; ++i) {
        for (std::int32_t k = child.recurrent ? child.inputs : i + 1; k < n; ++k) {
            if (!fitter.has_connection(i, k)) continue;
            const bool shared = i < other.node_count && k < other.node_count && other.has_connection(i, k);
            double w = fitter.weight(i, k);
            if (shared) w = first_parent_drawn(random) ? first.weight(i, k) : second.weight(i, k);
            child.set_connection(i, k);
            child.weight(i, k) = w;
        }
    }
}

}  // namespace

Network crossover(const Network& first, const Network& second, double first_loss, double second_loss,
                  Random& random) {
    // Only a strictly greater first loss makes the second parent the fitter one, so ties and
    // NaN losses go to the first parent and the child gets its connections.
    const bool second_fitter = first_loss > second_loss;
    const Network& fitter = second_fitter ? second : first;
    const Network& other = second_fitter ? first : second;
    Network child(first.inputs, first.outputs, first.recurrent);
    child.reset(fitter.node_count);
    cross_nodes(child, first, second, fitter, random);
    cross_connections(child, first, second, fitter, other, random);
    return child;
}

}  // namespace corvane
