// The model file: a little-endian packed header, biases, codes and connection records.
//
//   offset 0      int32    node count n
//   offset 4      int32    inputs I
//   offset 8      int32    outputs O
//   offset 12     uint8    recurrent flag (written 0 or 1, read as recurrent when not 0)
//   offset 13     n float64 biases, then n int32 activation codes
//   offset 13+12n 16-byte records (int32 source, int32 target, float64 weight) to the end of file
//
// Feed-forward networks write only the records s < t; recurrent ones write every set bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "network/network.hpp"

namespace corvane {

inline constexpr std::int64_t file_header_size = 13;
inline constexpr std::int64_t file_node_size = 12;    // one bias and one code
inline constexpr std::int64_t file_record_size = 16;  // source, target, weight

// Called when an open, read or write that was waiting (on a pipe, a FIFO, a slow device) was
// interrupted by a signal, and after a short write (which is how a signal shows once a write has
// begun): it returns to have the call retried or continued, or throws to give up. Empty: retry.
using InterruptedCall = std::function<void()>;

// Writes the file. An existing regular file at `path` is replaced only once the new content is
// complete (through a temporary file in the same folder renamed over it). Throws file_error on
// any failed system call and value_error for a network whose counts no file could hold.
void write_network(const Network& network, const std::string& path, const InterruptedCall& interrupted = {});

// Reads a file into a new network (state zero). Throws file_error when the file cannot be
// opened or read, value_error when its content is not a model file, and memory_error, before
// reading past the header, when the node count it gives needs tables larger than the memory
// available (biases and codes are read only then; for a regular file, only when it is long
// enough to hold them).
Network read_network(const std::string& path, const InterruptedCall& interrupted = {});

// The memory, in bytes, that the system can give the process now without swapping (MemAvailable
// of /proc/meminfo; the free physical memory where that cannot be read).
double available_memory();

// The content of the file for `network`, in memory (what pickling carries). Throws value_error
// for a network whose counts no file could hold.
std::string network_bytes(const Network& network);

// Reads a file's content from memory, with the errors of read_network; `name` stands for the
// path in their messages.
Network network_from_bytes(const unsigned char* data, std::size_t size, const std::string& name);


// ---- The compact form: what pickles and the parallel evaluators' messages carry.
//
//   varint  node count n, inputs I, outputs O (unsigned LEB128, at most 5 bytes, below 2^31)
//   uint8   flags: bit 0 recurrent; bit 1 the pair set: 0 the pairs the mode allows, 1 every
//           pair the model file writes (s < t, or all pairs when recurrent); bit 2 how the
//           connections are given: 0 a bitmask, 1 a list of gaps; the other bits are 0
//   n float64 biases, then n activation codes as varints (of the code's 32 bits: 0..127 take a byte)
//   bitmask: one bit per pair of the set, in source-then-target order, least significant bit
//            first, padded with zero bits to a whole byte
//   gaps:    varint count c, then c varints: the index of each connection in the pair set, less
//            the previous index plus one (the first: its index)
//   one float64 weight per connection, in the pairs' order, to the end
//
// Weights and biases keep every bit. The writer takes the smaller of the two connection forms,
// and the allowed pairs whenever every connection is among them.

// The compact form of `network`. Throws value_error for counts no model file could hold.
std::string network_compact_bytes(const Network& network);

// Reads the compact form, with the checks (counts, memory, sizes before allocation) and the
// messages of the model file's reader; `name` stands for the path in the messages.
Network network_from_compact_bytes(const unsigned char* data, std::size_t size, const std::string& name);

}  // namespace corvane
