// The model file: a little-endian packed header, biases, codes and connection records.
#pragma once

#include <string>

#include "network/network.hpp"

namespace corvane {

void write_network(const Network& network, const std::string& path);
Network read_network(const std::string& path);

}  // namespace corvane
