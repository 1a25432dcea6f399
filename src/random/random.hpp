// The random sources of the evolution. Three kinds, each caller uses a fixed one:
//  - fresh-engine draws: a new MT19937 seeded from the random device per call;
//  - a network's own engine (engine_normal);
//  - the C library's process-wide rand(), seeded from the clock once per purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

namespace corvane {

// One 32-bit value from the platform's non-deterministic source.
std::uint32_t random_seed();

// (o1 + o2 * 2^32) / 2^64 over the first two outputs of a fresh engine, scaled to [a, b].
// Not clamped: exactly b is possible when the canonical value rounds up.
double uniform_draw(double a, double b);

// The canonical value of two 32-bit outputs; the arithmetic behind uniform_draw.
double canonical_value(std::uint32_t o1, std::uint32_t o2);

// One normal value from a fresh engine. sd = 0 gives exactly mean.
double normal_draw(double mean, double sd);

// One standard normal value from the given engine (a network's own); advances it.
double engine_normal(std::mt19937& engine);

// rand() % 4; rand() is seeded from the clock before the first activation draw.
std::int32_t random_activation();

// rand() % count (count >= 1); rand() is seeded from the clock before the first index draw.
std::int32_t random_index(std::int32_t count);

// Fisher-Yates from the front with a fresh engine.
void shuffle_indices(std::vector<std::int32_t>& list);

// An unbiased draw from 0 .. bound-1 out of rand(), combining outputs as needed.
std::uint64_t rand_below(std::uint64_t bound);

// A permutation of 0 .. n-1 drawn with rand() (not seeded here).
std::vector<std::size_t> rand_permutation(std::size_t n);

// Moves the element at position k to position perm[k], along the cycles of perm.
template <class T>
void apply_permutation(std::vector<T>& items, const std::vector<std::size_t>& perm) {
    std::vector<bool> placed(perm.size(), false);
    for (std::size_t start = 0; start < perm.size(); ++start) {
        if (placed[start]) continue;
        // Carry the element of `start` along its cycle, swapping each one into place.
        std::size_t k = start;
        while (!placed[perm[k]]) {
            placed[perm[k]] = true;
            if (perm[k] != start) std::swap(items[start], items[perm[k]]);
            k = perm[k];
        }
    }
}

// Reorders xs and ys by one common permutation drawn from rand(); pairs stay together.
template <class X, class Y>
void shuffle_pairs(std::vector<X>& xs, std::vector<Y>& ys) {
    const std::vector<std::size_t> perm = rand_permutation(xs.size());
    apply_permutation(xs, perm);
    apply_permutation(ys, perm);
}

}  // namespace corvane
