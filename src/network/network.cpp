#include "network/network.hpp"

#include <bit>
#include <cmath>
#include <new>
#include <unistd.h>

#include "random/random.hpp"

namespace corvane {

double table_bytes(std::int64_t n) {
    const double nodes = static_cast<double>(n);
    return nodes * nodes * 8.0 + nodes * std::ceil(nodes / 32.0) * 4.0 + nodes * 28.0;
}

void check_table_size(std::int64_t n) {
    if (n < 0) throw std::bad_alloc();
    const double need = table_bytes(n);
    // Asked once: the size of physical memory does not change while the process runs.
    static const double memory = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGE_SIZE);
        return (pages > 0 && page_size > 0) ? static_cast<double>(pages) * page_size : 0x1p40;
    }();
    if (need > memory || n > INT32_MAX) throw std::bad_alloc();
}

Network::Network(std::int32_t inputs_, std::int32_t outputs_, bool recurrent_)
    : inputs{inputs_}, outputs{outputs_}, recurrent{recurrent_} {
    reset(inputs_ + outputs_);
}

void Network::reset(std::int32_t n) {
    check_table_size(n);
    node_count = n;
    const std::size_t count = static_cast<std::size_t>(n);
    biases.assign(count, 0.0);
    sums.assign(count, 0.0);
    values.assign(count, 0.0);
    activations.assign(count, 0);
    weights.assign(count * count, 0.0);
    connections.assign(count * static_cast<std::size_t>(words_per_row()), 0u);
}

void Network::randomize(Random& random) {
    for (std::int32_t i = 0; i < node_count; ++i) {
        biases[i] = random.standard_normal();
        activations[i] = random.activation();
    }
    for (std::int32_t s = 0; s < node_count - outputs; ++s) {
        const std::int32_t first = recurrent ? inputs : std::max(inputs, s + 1);
        for (std::int32_t t = first; t < node_count; ++t) {
            weight(s, t) = random.standard_normal();
            set_connection(s, t);
        }
    }
}

void Network::forward(const double* input, double* output) {
    const std::int32_t n = node_count;
    const std::size_t words = static_cast<std::size_t>(words_per_row());
    for (std::int32_t j = 0; j < n; ++j) sums[j] = biases[j];
    for (std::int32_t k = 0; k < n; ++k) {
        if (k < inputs) {
            values[k] = input[k];
            continue;
        }
        const std::int32_t limit = recurrent ? n : k;
        const std::size_t word = static_cast<std::size_t>(k / 32);
        const std::uint32_t mask = 1u << (k % 32);
        double sum = sums[k];
        for (std::int32_t s = 0; s < limit; ++s) {
            if (connections[s * words + word] & mask) sum = weights[static_cast<std::size_t>(s) * n + k] * values[s] + sum;
        }
        sums[k] = sum;
        values[k] = activate(activations[k], sum);
    }
    for (std::int32_t j = 0; j < outputs; ++j) output[j] = values[n - outputs + j];
}

std::vector<double> Network::forward(const std::vector<double>& input) {
    std::vector<double> output(static_cast<std::size_t>(outputs));
    forward(input.data(), output.data());
    return output;
}

void Network::clear_state() {
    for (double& value : values) value = 0.0;
}

std::int64_t Network::connection_count() const {
    std::int64_t count = 0;
    for (std::uint32_t word : connections) count += std::popcount(word);
    return count;
}

namespace {

// Dense tables of m nodes, filled from the old tables of n nodes through an index map that
// returns -1 for a node that is dropped.
template <class Map>
void remap_tables(const Network& net, std::int32_t m, Map new_index, std::vector<double>& weights,
                  std::vector<std::uint32_t>& connections) {
    const std::int32_t n = net.node_count;
    const std::size_t words = static_cast<std::size_t>((m + 31) / 32);
    weights.assign(static_cast<std::size_t>(m) * m, 0.0);
    connections.assign(static_cast<std::size_t>(m) * words, 0u);
    for (std::int32_t s = 0; s < n; ++s) {
        const std::int32_t ns = new_index(s);
        if (ns < 0) continue;
        for (std::int32_t t = 0; t < n; ++t) {
            const std::int32_t nt = new_index(t);
            if (nt < 0) continue;
            weights[static_cast<std::size_t>(ns) * m + nt] = net.weight(s, t);
            if (net.has_connection(s, t)) connections[ns * words + nt / 32] |= 1u << (nt % 32);
        }
    }
}

}  // namespace

void Network::insert_node(std::int32_t g, double bias, std::int32_t activation) {
    check_table_size(static_cast<std::int64_t>(node_count) + 1);
    std::vector<double> new_weights;
    std::vector<std::uint32_t> new_connections;
    remap_tables(*this, node_count + 1, [g](std::int32_t i) { return i >= g ? i + 1 : i; }, new_weights,
                 new_connections);
    biases.insert(biases.begin() + g, bias);
    sums.insert(sums.begin() + g, 0.0);
    values.insert(values.begin() + g, 0.0);
    activations.insert(activations.begin() + g, activation);
    weights = std::move(new_weights);
    connections = std::move(new_connections);
    node_count += 1;
}

void Network::erase_node(std::int32_t r) {
    std::vector<double> new_weights;
    std::vector<std::uint32_t> new_connections;
    remap_tables(*this, node_count - 1, [r](std::int32_t i) { return i == r ? -1 : (i > r ? i - 1 : i); },
                 new_weights, new_connections);
    biases.erase(biases.begin() + r);
    sums.erase(sums.begin() + r);
    values.erase(values.begin() + r);
    activations.erase(activations.begin() + r);
    weights = std::move(new_weights);
    connections = std::move(new_connections);
    node_count -= 1;
}

bool Network::operator==(const Network& other) const {
    return node_count == other.node_count && inputs == other.inputs && outputs == other.outputs &&
           recurrent == other.recurrent && biases == other.biases && activations == other.activations &&
           weights == other.weights && connections == other.connections;
}

bool is_valid(const Network& network) {
    const std::int32_t n = network.node_count;
    const std::int32_t I = network.inputs;
    const std::int32_t O = network.outputs;
    if (n <= 0) return true;
    for (std::int32_t i = 0; i < n; ++i) {
        if (i < n - O) {
            bool feeds = false;
            for (std::int32_t j = I; j < n && !feeds; ++j) feeds = j != i && network.has_connection(i, j);
            if (!feeds) return false;
        }
        if (i >= I) {
            bool fed = false;
            for (std::int32_t j = 0; j < n && !fed; ++j) fed = j != i && network.has_connection(j, i);
            if (!fed) return false;
        }
    }
    return true;
}

}  // namespace corvane
