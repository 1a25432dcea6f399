#include "random/random.hpp"

#include <cmath>
#include <random>

namespace corvane {

std::uint64_t mix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

Random::Random(std::uint64_t seed) {
    // splitmix64's sequence from the seed: never the all-zero state xoshiro cannot leave.
    for (std::uint64_t& word : state_) {
        word = mix64(seed);
        seed += 0x9e3779b97f4a7c15ull;
    }
}

double Random::standard_normal() {
    if (has_spare_) {
        has_spare_ = false;
        return spare_;
    }
    // A point uniform in the unit disc (without its centre) gives two independent normals.
    for (;;) {
        const double u = 2.0 * canonical() - 1.0;
        const double v = 2.0 * canonical() - 1.0;
        const double s = u * u + v * v;
        if (s >= 1.0 || s == 0.0) continue;
        const double factor = std::sqrt(-2.0 * std::log(s) / s);
        spare_ = v * factor;
        has_spare_ = true;
        return u * factor;
    }
}

std::uint64_t Random::below(std::uint64_t bound) {
    // Lemire's method: the high word of a 128-bit product is uniform once the low word is
    // outside the short band that would favour some values.
    unsigned __int128 product = static_cast<unsigned __int128>(next()) * bound;
    std::uint64_t low = static_cast<std::uint64_t>(product);
    if (low < bound) {
        const std::uint64_t threshold = (0 - bound) % bound;
        while (low < threshold) {
            product = static_cast<unsigned __int128>(next()) * bound;
            low = static_cast<std::uint64_t>(product);
        }
    }
    return static_cast<std::uint64_t>(product >> 64);
}

Random stream(std::uint64_t run_seed, stream_kind kind, std::uint64_t generation, std::uint64_t member) {
    // Each argument goes through the mixer in turn, so streams that differ in any one of them
    // start from unrelated states.
    std::uint64_t key = mix64(run_seed);
    key = mix64(key ^ static_cast<std::uint64_t>(kind));
    key = mix64(key ^ generation);
    key = mix64(key ^ member);
    return Random(key);
}

std::uint64_t device_seed() {
    std::random_device device;
    const std::uint64_t high = device();
    return (high << 32) | static_cast<std::uint32_t>(device());
}

void shuffle_indices(std::vector<std::int32_t>& list, Random& random) {
    for (std::size_t i = 1; i < list.size(); ++i) {
        const std::size_t r = static_cast<std::size_t>(random.below(i + 1));
        if (r != i) std::swap(list[i], list[r]);
    }
}

std::vector<std::size_t> random_permutation(std::size_t n, Random& random) {
    std::vector<std::size_t> perm(n);
    for (std::size_t k = 0; k < n; ++k) perm[k] = k;
    for (std::size_t j = 1; j < n; ++j) {
        const std::size_t r = static_cast<std::size_t>(random.below(j + 1));
        if (r != j) std::swap(perm[j], perm[r]);
    }
    return perm;
}

}  // namespace corvane
