// Crossover: one child from two parents, matched by node position.
#pragma once

#include "network/network.hpp"
#include "random/random.hpp"

namespace corvane {

// The child takes the fitter parent's node count and connections (the second parent only when
// first_loss > second_loss); node genes and shared weights come from either parent 50/50.
Network crossover(const Network& first, const Network& second, double first_loss, double second_loss,
                  Random& random);

}  // namespace corvane
