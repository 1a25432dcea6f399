#include "network/describe.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace corvane {

namespace {

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string padded(std::string text, std::size_t width, bool right) {
    if (text.size() >= width) return text;
    const std::string fill(width - text.size(), ' ');
    return right ? fill + text : text + fill;
}

std::vector<std::int64_t> in_degrees(const Network& network) {
    std::vector<std::int64_t> degrees(static_cast<std::size_t>(network.node_count), 0);
    for (std::int32_t s = 0; s < network.node_count; ++s)
        for (std::int32_t t = 0; t < network.node_count; ++t)
            if (network.has_connection(s, t)) ++degrees[t];
    return degrees;
}

}  // namespace

std::vector<std::int32_t> node_depths(const Network& network) {
    const std::int32_t n = network.node_count, I = network.inputs, O = network.outputs;
    std::vector<std::int32_t> depth(static_cast<std::size_t>(std::max(n, 0)), 0);
    std::int32_t deepest = 0;
    for (std::int32_t t = I; t < n - O; ++t) {
        std::int32_t d = 1;
        for (std::int32_t s = 0; s < t; ++s)
            if (network.has_connection(s, t)) d = std::max(d, depth[s] + 1);
        depth[t] = d;
        deepest = std::max(deepest, d);
    }
    for (std::int32_t t = std::max(n - O, I); t < n; ++t) depth[t] = deepest + 1;
    return depth;
}

std::string_view node_role(const Network& network, std::int32_t node) {
    if (node < network.inputs) return "input";
    if (node >= network.node_count - network.outputs) return "output";
    return "hidden";
}

std::string_view activation_label(std::int32_t code) {
    return code >= 0 && code < activation_count ? activation_names[code] : "unknown";
}

std::string summary_text(const Network& network, std::string_view title) {
    const std::size_t widths[] = {7, 8, 12, 14, 11};
    const std::size_t total = 7 + 8 + 12 + 14 + 11;
    const std::string rule(total, '_'), double_rule(total, '=');
    std::string text = std::string(title) + "\n" + rule + "\n";
    text += padded(" Node", widths[0], false) + padded("Role", widths[1], false) +
            padded("Activation", widths[2], false) + padded("Bias", widths[3], true) +
            padded("In-degree", widths[4], true) + "\n" + double_rule + "\n";
    const std::vector<std::int64_t> degrees = in_degrees(network);
    std::int64_t recurrent = 0;
    for (std::int32_t s = 0; s < network.node_count; ++s)
        for (std::int32_t t = 0; t < network.node_count; ++t)
            if (network.has_connection(s, t) && is_recurrent_connection(s, t)) ++recurrent;
    for (std::int32_t i = 0; i < network.node_count; ++i) {
        std::string index(1, ' ');
        index += std::to_string(i);
        text += padded(index, widths[0], false) + padded(std::string(node_role(network, i)), widths[1], false) +
                padded(std::string(activation_label(network.activations[i])), widths[2], false) +
                padded(formatted("%.6f", network.biases[i]), widths[3], true) +
                padded(std::to_string(degrees[i]), widths[4], true) + "\n";
    }
    const std::int32_t hidden = network.node_count - network.inputs - network.outputs;
    text += double_rule + "\n";
    text += "Nodes: " + std::to_string(network.node_count) + " (" + std::to_string(network.inputs) + " input, " +
            std::to_string(hidden) + " hidden, " + std::to_string(network.outputs) + " output)\n";
    text += "Connections: " + std::to_string(network.connection_count());
    if (recurrent > 0) text += " (" + std::to_string(recurrent) + " recurrent)";
    text += "\n" + rule + "\n";
    return text;
}

std::string dot_text(const Network& network) {
    const std::vector<std::int32_t> depth = node_depths(network);
    double largest = 0;
    for (std::int32_t s = 0; s < network.node_count; ++s)
        for (std::int32_t t = 0; t < network.node_count; ++t)
            if (network.has_connection(s, t)) largest = std::max(largest, std::fabs(network.weight(s, t)));
    std::string text = "digraph corvane {\n  rankdir=LR;\n  node [shape=circle, style=filled, fontsize=10];\n";
    std::map<std::int32_t, std::vector<std::int32_t>> ranks;
    for (std::int32_t i = 0; i < network.node_count; ++i) ranks[depth[i]].push_back(i);
    for (const auto& [rank, nodes] : ranks) {
        text += "  { rank=same;";
        for (std::int32_t i : nodes) text += " n" + std::to_string(i) + ";";
        text += " }\n";
    }
    for (std::int32_t i = 0; i < network.node_count; ++i) {
        const std::string_view role = node_role(network, i);
        const char* fill = role == "input" ? "#d9d9d9" : role == "output" ? "#fdd49e" : "#ffffff";
        const std::string label = role == "input" ? "in" : std::string(activation_label(network.activations[i]));
        text += "  n" + std::to_string(i) + " [label=\"" + std::to_string(i) + "\\n" + label + "\", fillcolor=\"" +
                fill + "\"];\n";
    }
    for (std::int32_t s = 0; s < network.node_count; ++s) {
        for (std::int32_t t = 0; t < network.node_count; ++t) {
            if (!network.has_connection(s, t)) continue;
            const double w = network.weight(s, t);
            const double width = 0.5 + 3.0 * (largest > 0 && std::isfinite(largest) ? std::fabs(w) / largest : 0.0);
            text += "  n" + std::to_string(s) + " -> n" + std::to_string(t) + " [color=\"" +
                    (w < 0 ? "#d62728" : "#1f77b4") + "\", penwidth=" + formatted("%.2f", std::isfinite(width) ? width : 0.5) +
                    ", tooltip=\"" + formatted("%.6g", w) + "\"";
            if (is_recurrent_connection(s, t)) text += ", style=dashed, constraint=false";
            text += "];\n";
        }
    }
    return text + "}\n";
}

}  // namespace corvane
