// The evaluation form of a network and the pass over a block of samples at once.
//
// A Network holds its connections in dense n x n tables, which suit mutation and crossover.
// For measuring, it is compiled into CompiledNetwork: for every non-input node, in node order,
// one contiguous run of (source, weight) pairs in ascending source order, the order in which
// the one-sample pass adds them. A pass then costs one multiply-add per connection instead of a
// bit test per possible source.
//
// BlockEvaluator runs a compiled network over a block of lanes side by side: independent
// samples for a feed-forward network, series for a recurrent one (each lane keeps its own
// state; steps stay sequential). Node values are held node-major (values[node * L + lane]), so
// the inner loops run over lanes and vectorise, while every lane's sum is formed exactly as the
// one-sample pass forms it: the bias first, then the product of each source in ascending order,
// product first and then added. The results are bit-identical to Network::forward.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "network/activation.hpp"
#include "network/network.hpp"

namespace corvane {

struct CompiledNetwork {
    std::int32_t node_count = 0;
    std::int32_t inputs = 0;
    std::int32_t outputs = 0;
    bool recurrent = false;
    // Node k >= inputs reads sources[c] with weights[c] for c in [first[k - inputs], first[k - inputs + 1]).
    std::vector<std::int32_t> first;
    std::vector<std::int32_t> sources;
    std::vector<double> weights;
    std::vector<double> biases;
    std::vector<std::int32_t> activations;

    CompiledNetwork() = default;
    explicit CompiledNetwork(const Network& network) { compile(network); }
    // Rebuilds the form from `network`, reusing the storage already held. Takes every set
    // connection bit that the one-sample pass reads: s < k in feed-forward mode, any s in
    // recurrent mode. Costs O(n x n / 32 + connections).
    void compile(const Network& network);
    std::size_t connection_count() const { return sources.size(); }
};

// The samples of a dataset or an array: `series` series of `steps` steps of at least the
// network's inputs values; value k of step t of series s lies at
// data + s * series_stride + t * step_stride + k * value_stride (strides in bytes, any sign).
struct SampleGrid {
    const char* data = nullptr;
    std::int64_t series = 0;
    std::int64_t steps = 0;
    std::int64_t series_stride = 0;
    std::int64_t step_stride = 0;
    std::int64_t value_stride = 0;

    const char* row(std::int64_t s, std::int64_t t) const { return data + s * series_stride + t * step_stride; }
    double value(const char* row, std::int64_t k) const {
        return *reinterpret_cast<const double*>(row + k * value_stride);
    }
};

namespace block_detail {

// The lanes of one pass: the widest block when there are many samples, a narrower one when
// there are few (a block is paid in full whatever number of its lanes is used).
inline constexpr std::int64_t widths[] = {1, 4, 16, 32};
inline constexpr std::int64_t max_width = 32;

// One pass of `net` over the L lanes of `values` (node-major, L values per node). The input
// rows and, for a recurrent network, the state of the other nodes are in place; the node
// values are overwritten in node order, so a recurrent source at or above the node (itself
// included) is read before this pass changes it, as in the one-sample pass.
template <std::int64_t L>
[[gnu::always_inline]] inline void block_pass(const CompiledNetwork& net, double* values) {
    constexpr std::int64_t chunk = L < 16 ? L : 16;
    const std::int32_t* first = net.first.data();
    const std::int32_t* sources = net.sources.data();
    const double* weights = net.weights.data();
    alignas(64) double sums[L];
    for (std::int32_t k = net.inputs; k < net.node_count; ++k) {
        const std::int32_t c0 = first[k - net.inputs];
        const std::int32_t c1 = first[k - net.inputs + 1];
        const double bias = net.biases[k];
        for (std::int64_t base = 0; base < L; base += chunk) {
            double acc[chunk];
            for (std::int64_t l = 0; l < chunk; ++l) acc[l] = bias;
            for (std::int32_t c = c0; c < c1; ++c) {
                const double w = weights[c];
                const double* source = values + static_cast<std::int64_t>(sources[c]) * L + base;
                for (std::int64_t l = 0; l < chunk; ++l) acc[l] = w * source[l] + acc[l];
            }
            for (std::int64_t l = 0; l < chunk; ++l) sums[base + l] = acc[l];
        }
        double* out = values + static_cast<std::int64_t>(k) * L;
        switch (net.activations[k]) {
            case activation::sigmoid:
                for (std::int64_t l = 0; l < L; ++l) out[l] = sigmoid_value(sums[l]);
                break;
            case activation::tanh:
                for (std::int64_t l = 0; l < L; ++l) out[l] = tanh_value(sums[l]);
                break;
            case activation::relu:
                for (std::int64_t l = 0; l < L; ++l) out[l] = relu_value(sums[l]);
                break;
            case activation::linear:
                for (std::int64_t l = 0; l < L; ++l) out[l] = sums[l];
                break;
            default:
                for (std::int64_t l = 0; l < L; ++l) out[l] = 0.0;
        }
    }
}

// The same pass compiled for the wider vectors of AVX2 (the same operations in the same order
// on each lane, so the same bits; no fused multiply-add is formed) and for the base
// instruction set; the wider one is taken when the processor has it.
template <std::int64_t L>
[[gnu::target("avx2"), gnu::noinline]] void wide_block(const CompiledNetwork& net, double* values) {
    block_pass<L>(net, values);
}

template <std::int64_t L>
[[gnu::noinline]] void base_block(const CompiledNetwork& net, double* values) {
    block_pass<L>(net, values);
}

inline bool wide_available() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

template <std::int64_t L>
void run_block(const CompiledNetwork& net, double* values) {
    if (wide_available()) wide_block<L>(net, values);
    else base_block<L>(net, values);
}

}  // namespace block_detail

// Runs compiled networks over grids of samples. Holds the node values of one block of lanes
// (node_count x 32 doubles at most), allocated once and reused for every block and network.
//
// The passes call emit(s, t, outputs, stride) once per evaluated sample, in the order of
// (series, step) within a block of lanes and block after block; outputs[j * stride] is output j.
// After a pass `state` (the network's node values) holds the values of the last sample that
// was evaluated, as the one-sample pass would have left them.
class BlockEvaluator {
public:
    // Feed-forward: the samples (s, t) for s in [0, grid.series), t in [0, grid.steps), each on
    // its own, lanes taken in that order.
    template <class Emit>
    void feed_forward(const CompiledNetwork& net, const SampleGrid& grid, std::vector<double>& state, Emit&& emit) {
        const std::int64_t count = grid.series * grid.steps;
        dispatch(count, [&](auto width) { feed_forward_blocks<decltype(width)::value>(net, grid, state, emit); });
    }

    // Recurrent: the series of the grid side by side, steps in order. With `clear` every series
    // starts from zero node values; otherwise (a single series) it continues from `state`.
    template <class Emit>
    void recurrent(const CompiledNetwork& net, const SampleGrid& grid, bool clear, std::vector<double>& state,
                   Emit&& emit) {
        dispatch(grid.series, [&](auto width) { series_blocks<decltype(width)::value>(net, grid, clear, state, emit); });
    }

private:
    template <std::int64_t W>
    struct width_tag {
        static constexpr std::int64_t value = W;
    };

    template <class Run>
    static void dispatch(std::int64_t lanes, Run&& run) {
        if (lanes <= 1) run(width_tag<1>{});
        else if (lanes <= 4) run(width_tag<4>{});
        else if (lanes <= 16) run(width_tag<16>{});
        else run(width_tag<block_detail::max_width>{});
    }

    double* scratch(const CompiledNetwork& net, std::int64_t L) {
        const std::size_t need = static_cast<std::size_t>(net.node_count) * static_cast<std::size_t>(L);
        if (values_.size() < need) values_.resize(need);
        return values_.data();
    }

    template <std::int64_t L>
    static void load_input_values(const CompiledNetwork& net, const SampleGrid& grid, double* values,
                            const std::int64_t* lane_series, const std::int64_t* lane_steps, std::int64_t lanes) {
        for (std::int64_t l = 0; l < lanes; ++l) {
            const char* row = grid.row(lane_series[l], lane_steps[l]);
            for (std::int32_t k = 0; k < net.inputs; ++k) values[k * L + l] = grid.value(row, k);
        }
    }

    template <std::int64_t L>
    static void store_state(const CompiledNetwork& net, const double* values, std::int64_t lane,
                            std::vector<double>& state) {
        for (std::int32_t k = 0; k < net.node_count; ++k) state[k] = values[k * L + lane];
    }

    template <std::int64_t L, class Emit>
    void feed_forward_blocks(const CompiledNetwork& net, const SampleGrid& grid, std::vector<double>& state,
                             Emit& emit) {
        double* values = scratch(net, L);
        // A feed-forward pass reads no value it has not written in the same pass: the lanes
        // left over in the last block may hold anything.
        std::fill(values, values + static_cast<std::size_t>(net.node_count) * L, 0.0);
        const double* outputs = values + static_cast<std::int64_t>(net.node_count - net.outputs) * L;
        std::int64_t lane_series[L], lane_steps[L];
        std::int64_t s = 0, t = 0, lanes = 0;
        const std::int64_t count = grid.series * grid.steps;
        for (std::int64_t done = 0; done < count; done += lanes) {
            lanes = std::min<std::int64_t>(L, count - done);
            for (std::int64_t l = 0; l < lanes; ++l) {
                lane_series[l] = s;
                lane_steps[l] = t;
                if (++t == grid.steps) t = 0, ++s;
            }
            load_input_values<L>(net, grid, values, lane_series, lane_steps, lanes);
            block_detail::run_block<L>(net, values);
            for (std::int64_t l = 0; l < lanes; ++l) emit(lane_series[l], lane_steps[l], outputs + l, L);
        }
        if (count > 0) store_state<L>(net, values, lanes - 1, state);
    }

    template <std::int64_t L, class Emit>
    void series_blocks(const CompiledNetwork& net, const SampleGrid& grid, bool clear, std::vector<double>& state,
                       Emit& emit) {
        double* values = scratch(net, L);
        const double* outputs = values + static_cast<std::int64_t>(net.node_count - net.outputs) * L;
        std::int64_t lane_series[L], lane_steps[L];
        std::int64_t lanes = 0;
        for (std::int64_t s0 = 0; s0 < grid.series; s0 += lanes) {
            lanes = std::min<std::int64_t>(L, grid.series - s0);
            for (std::int32_t k = 0; k < net.node_count; ++k)
                for (std::int64_t l = 0; l < L; ++l) values[k * L + l] = clear ? 0.0 : state[k];
            for (std::int64_t l = 0; l < lanes; ++l) lane_series[l] = s0 + l;
            for (std::int64_t t = 0; t < grid.steps; ++t) {
                for (std::int64_t l = 0; l < lanes; ++l) lane_steps[l] = t;
                load_input_values<L>(net, grid, values, lane_series, lane_steps, lanes);
                block_detail::run_block<L>(net, values);
                for (std::int64_t l = 0; l < lanes; ++l) emit(s0 + l, t, outputs + l, L);
            }
        }
        if (grid.series > 0) store_state<L>(net, values, lanes - 1, state);
    }

    std::vector<double> values_;
};

}  // namespace corvane
