#include "variation/mutation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "random/random.hpp"
#include "variation/constants.hpp"

namespace corvane {

namespace {

// Calls visit(s, t) for every candidate of a scan over rows 0 .. n-O-1 and, per row, targets
// first(s) .. n-1 that satisfy `wanted`; stops early when visit returns true.
template <class First, class Wanted, class Visit>
void scan_pairs(const Network& net, First first, Wanted wanted, Visit visit) {
    const std::int32_t n = net.node_count;
    for (std::int32_t s = 0; s < n - net.outputs; ++s) {
        for (std::int32_t t = first(s); t < n; ++t) {
            if (wanted(s, t) && visit(s, t)) return;
        }
    }
}

// A candidate of a scan drawn uniformly, or {-1, -1} when the scan finds none. Counting first
// and then walking to the chosen one avoids building a list.
template <class First, class Wanted>
std::pair<std::int32_t, std::int32_t> pick_pair(const Network& net, Random& random, First first, Wanted wanted) {
    std::int64_t count = 0;
    scan_pairs(net, first, wanted, [&](std::int32_t, std::int32_t) {
        ++count;
        return false;
    });
    if (count == 0) return {-1, -1};
    std::int64_t index = static_cast<std::int64_t>(random.below(static_cast<std::uint64_t>(count)));
    std::pair<std::int32_t, std::int32_t> chosen{-1, -1};
    scan_pairs(net, first, wanted, [&](std::int32_t s, std::int32_t t) {
        if (index-- > 0) return false;
        chosen = {s, t};
        return true;
    });
    return chosen;
}

// Number of connections of every node that are not self connections: out[i] counts row i
// without column i, in[j] counts column j without row j.
void degrees_without_self(const Network& net, std::vector<std::int32_t>& out, std::vector<std::int32_t>& in) {
    const std::int32_t n = net.node_count;
    out.assign(static_cast<std::size_t>(n), 0);
    in.assign(static_cast<std::size_t>(n), 0);
    for (std::int32_t s = 0; s < n; ++s) {
        for (std::int32_t t = 0; t < n; ++t) {
            if (t == s || !net.has_connection(s, t)) continue;
            ++out[s];
            ++in[t];
        }
    }
}

}  // namespace

void connect(Network& network, std::int32_t s, std::int32_t t, Random& random) {
    network.set_connection(s, t);
    network.weight(s, t) = random.standard_normal();
}

void disconnect(Network& network, std::int32_t s, std::int32_t t) {
    network.clear_connection(s, t);
    network.weight(s, t) = 0.0;
}

void perturb(Network& network, Random& random, const VariationSettings& settings) {
    const std::int32_t n = network.node_count;
    const double size = settings.perturb_size;
    const bool relative = settings.perturb_mode == PerturbMode::relative;
    const double floor = settings.perturb_floor;
    // The same draws in the same order in both modes; only the standard deviation differs. A
    // relative step is sized from at least `floor`, so that small and zero values move too.
    auto step = [&](double value) {
        return random.normal(0.0, relative ? size * std::max(std::fabs(value), floor) : size);
    };
    for (std::int32_t i = 0; i < n; ++i) {
        double& bias = network.biases[i];
        bias += step(bias);
        for (std::int32_t j = 0; j < n; ++j) {
            if (!network.has_connection(i, j)) continue;
            double& w = network.weight(i, j);
            w += step(w);
        }
    }
}

void mutate_activations(Network& network, Random& random, const VariationSettings& settings) {
    const double chance = settings.activation_change_probability;
    // Fixed output activations stay; only hidden nodes then change.
    const std::int32_t end =
        settings.output_activation == any_activation ? network.node_count : network.node_count - network.outputs;
    for (std::int32_t i = network.inputs; i < end; ++i) {
        if (random.uniform(0.0, 1.0) <= chance && chance > 0.0) network.activations[i] = random.activation();
    }
}

void add_node(Network& network, Random& random) {
    const std::int32_t I = network.inputs;
    const bool recurrent = network.recurrent;
    const auto [s, t] = pick_pair(
        network, random, [&](std::int32_t src) { return recurrent ? I : src + 1; },
        [&](std::int32_t src, std::int32_t dst) { return network.has_connection(src, dst); });
    if (s < 0) return;
    const std::int32_t activation = random.activation();
    const double bias = random.normal(0.0, new_bias_sd);
    split_connection(network, s, t, bias, activation, random);
}

void split_connection(Network& network, std::int32_t s, std::int32_t t, double bias, std::int32_t activation,
                      Random& random) {
    disconnect(network, s, t);
    // The new node sits right behind its source, never among the inputs.
    const std::int32_t g = s + 1 < network.inputs ? network.inputs : s + 1;
    network.insert_node(g, bias, activation);
    connect(network, s, g, random);
    // A forward target moved up with the insertion; a backward or self target lies below g.
    connect(network, g, t >= g ? t + 1 : t, random);
}

namespace {

// What remove_node needs to put node r back exactly when its removal turns out invalid.
struct RemovedNode {
    std::int32_t index;
    double bias, sum, value;
    std::int32_t activation;
    std::vector<double> row_weights, column_weights;
    std::vector<bool> row_bits, column_bits;
    // The joined pairs (indices after removal) with the bit and weight they had before.
    std::vector<std::pair<std::int32_t, std::int32_t>> joined;
    std::vector<std::pair<bool, double>> joined_before;
};

RemovedNode save_node(const Network& net, std::int32_t r) {
    const std::int32_t n = net.node_count;
    RemovedNode saved{r, net.biases[r], net.sums[r], net.values[r], net.activations[r], {}, {}, {}, {}, {}, {}};
    for (std::int32_t i = 0; i < n; ++i) {
        saved.row_weights.push_back(net.weight(r, i));
        saved.column_weights.push_back(net.weight(i, r));
        saved.row_bits.push_back(net.has_connection(r, i));
        saved.column_bits.push_back(net.has_connection(i, r));
    }
    return saved;
}

void restore_node(Network& net, const RemovedNode& saved) {
    for (std::size_t k = saved.joined.size(); k-- > 0;) {
        const auto [s, t] = saved.joined[k];
        const auto [bit, w] = saved.joined_before[k];
        if (bit) net.set_connection(s, t); else net.clear_connection(s, t);
        net.weight(s, t) = w;
    }
    const std::int32_t r = saved.index;
    net.insert_node(r, saved.bias, saved.activation);
    net.sums[r] = saved.sum;
    net.values[r] = saved.value;
    for (std::int32_t i = 0; i < net.node_count; ++i) {
        net.weight(r, i) = saved.row_weights[i];
        net.weight(i, r) = saved.column_weights[i];
        if (saved.row_bits[i]) net.set_connection(r, i);
        if (saved.column_bits[i]) net.set_connection(i, r);
    }
}

// Indices that the sources (or targets) of node r will have once r is gone, ascending.
std::vector<std::int32_t> neighbours_after_removal(const Network& net, std::int32_t r, bool sources) {
    std::vector<std::int32_t> found;
    for (std::int32_t i = sources ? 0 : net.inputs; i < net.node_count; ++i) {
        if (i == r || !(sources ? net.has_connection(i, r) : net.has_connection(r, i))) continue;
        found.push_back(i > r ? i - 1 : i);
    }
    return found;
}

}  // namespace

void remove_node(Network& network, Random& random) {
    const std::int32_t hidden = network.node_count - network.inputs - network.outputs;
    if (hidden <= 0) return;
    const std::int32_t r = network.inputs + random.index(hidden);
    const std::vector<std::int32_t> sources = neighbours_after_removal(network, r, true);
    const std::vector<std::int32_t> targets = neighbours_after_removal(network, r, false);
    RemovedNode saved = save_node(network, r);
    network.erase_node(r);
    for (std::int32_t s : sources) {
        for (std::int32_t t : targets) {
            saved.joined.emplace_back(s, t);
            saved.joined_before.emplace_back(network.has_connection(s, t), network.weight(s, t));
            connect(network, s, t, random);
        }
    }
    // In recurrent mode a node that was both source and target of r may be left with nothing
    // but a self connection: such a removal is taken back and the network stays as it was.
    if (!is_valid(network)) restore_node(network, saved);
}

void add_connection(Network& network, Random& random) {
    const std::int32_t I = network.inputs;
    const bool recurrent = network.recurrent;
    const auto [s, t] = pick_pair(
        network, random, [&](std::int32_t src) { return recurrent ? I : std::max(I, src + 1); },
        [&](std::int32_t src, std::int32_t dst) { return !network.has_connection(src, dst); });
    if (s >= 0) connect(network, s, t, random);
}

void remove_connection(Network& network, Random& random) {
    // A connection may go only when its source keeps another outgoing and its target another
    // incoming connection; self connections count on neither side.
    std::vector<std::int32_t> out, in;
    degrees_without_self(network, out, in);
    const std::int32_t n = network.node_count;
    std::int64_t count = 0;
    auto candidate = [&](std::int32_t i, std::int32_t j) {
        return out[i] >= 2 && in[j] >= 2 && network.has_connection(i, j);
    };
    for (std::int32_t i = 0; i < n; ++i)
        for (std::int32_t j = 0; j < n; ++j) count += candidate(i, j);
    if (count == 0) return;
    std::int64_t index = static_cast<std::int64_t>(random.below(static_cast<std::uint64_t>(count)));
    for (std::int32_t i = 0; i < n; ++i) {
        for (std::int32_t j = 0; j < n; ++j) {
            if (candidate(i, j) && index-- == 0) return disconnect(network, i, j);
        }
    }
}

void fail_check(const char* message) { throw consistency_error(message); }

namespace {

void checked(Network& network, Random& random, void (*operation)(Network&, Random&), const char* message) {
    operation(network, random);
    if (!is_valid(network)) fail_check(message);
}

}  // namespace

void mutate(Network& network, Random& random, const VariationSettings& settings) {
    // Each test draws afresh, and only when it is reached. The structural tests compare with <=,
    // so a probability of 0 is tested as "never" explicitly (a draw can be exactly 0).
    auto reached = [&](double probability) {
        return random.uniform(0.0, 1.0) <= probability && probability > 0.0;
    };
    if (random.uniform(0.0, 1.0) < settings.perturb_probability) return perturb(network, random, settings);
    if (random.uniform(0.0, 1.0) < settings.activations_probability)
        return mutate_activations(network, random, settings);
    if (reached(settings.add_node_probability))
        return checked(network, random, add_node, "Add node mutation broke network.");
    if (reached(settings.remove_node_probability))
        return checked(network, random, remove_node, "Remove node mutation broke network.");
    if (reached(settings.remove_connection_probability))
        return checked(network, random, remove_connection, "Remove connection mutation broke network.");
    if (reached(settings.add_connection_probability))
        return checked(network, random, add_connection, "Add connection mutation broke network.");
}

void mutate_times(Network& network, Random& random, const VariationSettings& settings) {
    for (std::int32_t k = 0; k < settings.mutations; ++k) mutate(network, random, settings);
}

}  // namespace corvane
