#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/describe.hpp"

using namespace corvane;

namespace {

// Inputs 0, 1; hidden 2, 3, 4; output 5. 0 -> 2 -> 3 -> 5, 1 -> 4 -> 5, 0 -> 5, and in recurrent
// mode 3 -> 2 (backwards) and 4 -> 4 (self).
Network chain(bool recurrent) {
    Network network(2, 1, recurrent);
    network.reset(6);
    const struct { std::int32_t s, t; double w; } links[] = {
        {0, 2, 1.5}, {2, 3, -0.75}, {3, 5, 3.0}, {1, 4, 0.25}, {4, 5, -3.0}, {0, 5, 0.0}};
    for (const auto& link : links) {
        network.set_connection(link.s, link.t);
        network.weight(link.s, link.t) = link.w;
    }
    if (recurrent) {
        network.set_connection(3, 2);
        network.weight(3, 2) = 2.0;
        network.set_connection(4, 4);
        network.weight(4, 4) = -1.0;
    }
    network.activations = {0, 0, 1, 2, 3, 7};
    return network;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(Describe, DepthsRankNodesByTheirLongestForwardPath) {
    // Recurrent connections do not deepen a node; outputs share the last rank.
    for (bool recurrent : {false, true}) {
        EXPECT_EQ(node_depths(chain(recurrent)), (std::vector<std::int32_t>{0, 0, 1, 2, 1, 3})) << recurrent;
    }
    Network unfed(1, 2, false);
    unfed.reset(4);  // a hidden node that nothing feeds still stands between inputs and outputs
    EXPECT_EQ(node_depths(unfed), (std::vector<std::int32_t>{0, 1, 2, 2}));
    EXPECT_EQ(node_depths(Network(2, 1, false)), (std::vector<std::int32_t>{0, 0, 1}));
}

TEST(Describe, DotHasRanksLabelsAndWeightStyles) {
    const std::string dot = dot_text(chain(true));
    EXPECT_TRUE(dot.rfind("digraph corvane {\n  rankdir=LR;\n", 0) == 0);
    EXPECT_TRUE(contains(dot, "  { rank=same; n0; n1; }\n  { rank=same; n2; n4; }\n  { rank=same; n3; }\n"
                              "  { rank=same; n5; }\n"));
    EXPECT_TRUE(contains(dot, "  n0 [label=\"0\\nin\", fillcolor=\"#d9d9d9\"];\n"));
    EXPECT_TRUE(contains(dot, "  n3 [label=\"3\\nrelu\", fillcolor=\"#ffffff\"];\n"));
    EXPECT_TRUE(contains(dot, "  n5 [label=\"5\\nunknown\", fillcolor=\"#fdd49e\"];\n"));
    // width 0.5 + 3 |w| / largest |w|; blue for positive, red for negative; recurrent ones dashed
    EXPECT_TRUE(contains(dot, "  n3 -> n5 [color=\"#1f77b4\", penwidth=3.50, tooltip=\"3\"];\n"));
    EXPECT_TRUE(contains(dot, "  n4 -> n5 [color=\"#d62728\", penwidth=3.50, tooltip=\"-3\"];\n"));
    EXPECT_TRUE(contains(dot, "  n0 -> n5 [color=\"#1f77b4\", penwidth=0.50, tooltip=\"0\"];\n"));
    EXPECT_TRUE(contains(dot, "  n3 -> n2 [color=\"#1f77b4\", penwidth=2.50, tooltip=\"2\", style=dashed, "
                              "constraint=false];\n"));
    EXPECT_TRUE(contains(dot, "  n4 -> n4 [color=\"#d62728\", penwidth=1.50, tooltip=\"-1\", style=dashed, "
                              "constraint=false];\n"));
    EXPECT_FALSE(contains(dot_text(chain(false)), "dashed"));
    EXPECT_TRUE(contains(dot, "\n}\n"));
}

TEST(Describe, SummaryListsEveryNodeWithItsInDegreeAndTotals) {
    const std::string text = summary_text(chain(true), "Model: test");
    EXPECT_TRUE(text.rfind("Model: test\n", 0) == 0);
    EXPECT_TRUE(contains(text, " Node  Role    Activation            Bias  In-degree\n"));
    EXPECT_TRUE(contains(text, " 2     hidden  tanh              0.000000          2\n"));
    EXPECT_TRUE(contains(text, " 4     hidden  linear            0.000000          2\n"));
    EXPECT_TRUE(contains(text, " 5     output  unknown           0.000000          3\n"));
    EXPECT_TRUE(contains(text, "Nodes: 6 (2 input, 3 hidden, 1 output)\nConnections: 8 (2 recurrent)\n"));
    EXPECT_TRUE(contains(summary_text(chain(false), ""), "Connections: 6\n"));
}
