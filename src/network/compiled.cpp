#include "network/compiled.hpp"

#include <bit>

namespace corvane {

void CompiledNetwork::compile(const Network& network) {
    node_count = network.node_count;
    inputs = network.inputs;
    outputs = network.outputs;
    recurrent = network.recurrent;
    biases = network.biases;
    activations = network.activations;
    const std::int32_t n = node_count;
    const std::int32_t targets = std::max(n - inputs, 0);
    const std::int32_t words = network.words_per_row();
    // Counting sort of the connections by target: the rows are walked in ascending source
    // order, so every target's run comes out in ascending source order.
    first.assign(static_cast<std::size_t>(targets) + 1, 0);
    auto for_each_connection = [&](auto use) {
        for (std::int32_t s = 0; s < n; ++s) {
            const std::uint32_t* row = network.connections.data() + static_cast<std::size_t>(s) * words;
            for (std::int32_t w = 0; w < words; ++w) {
                for (std::uint32_t bits = row[w]; bits != 0; bits &= bits - 1) {
                    const std::int32_t t = w * 32 + std::countr_zero(bits);
                    if (t >= inputs && t < n && (recurrent || s < t)) use(s, t);
                }
            }
        }
    };
    for_each_connection([&](std::int32_t, std::int32_t t) { ++first[t - inputs + 1]; });
    for (std::int32_t i = 0; i < targets; ++i) first[i + 1] += first[i];
    const std::size_t count = targets > 0 ? static_cast<std::size_t>(first[targets]) : 0;
    sources.resize(count);
    weights.resize(count);
    std::vector<std::int32_t> next(first.begin(), first.end() - (targets > 0 ? 1 : 0));
    for_each_connection([&](std::int32_t s, std::int32_t t) {
        const std::int32_t c = next[t - inputs]++;
        sources[c] = s;
        weights[c] = network.weight(s, t);
    });
}

}  // namespace corvane
