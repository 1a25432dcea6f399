// Texts that describe a network to a person: the summary table, the Graphviz DOT drawing, and
// the ranks by depth that the drawings share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "network/network.hpp"

namespace corvane {

// The rank of every node in a drawing: inputs 0; a hidden node one more than the deepest node
// that feeds it forward (a lower index), or 1 when none does; every output one more than the
// deepest hidden node. Connections to the same or a lower index (recurrent ones) do not count.
std::vector<std::int32_t> node_depths(const Network& network);

// "input", "hidden" or "output".
std::string_view node_role(const Network& network, std::int32_t node);

// The name of an activation code, "unknown" for a code without one.
std::string_view activation_label(std::int32_t code);

// A connection drawn as recurrent: to the node itself or to a node of a lower index.
inline bool is_recurrent_connection(std::int32_t source, std::int32_t target) { return target <= source; }

// A table of the nodes (index, role, activation, bias, in-degree) with totals, under `title`.
std::string summary_text(const Network& network, std::string_view title);

// The network as a Graphviz digraph: nodes in ranks by depth from left to right, each labelled
// with its index and activation; edge width by the size of the weight, blue for positive and red
// for negative weights; recurrent and self connections dashed.
std::string dot_text(const Network& network);

}  // namespace corvane
