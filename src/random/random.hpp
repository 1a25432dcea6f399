// The random sources of the evolution: one small seeded generator, passed to whatever draws.
//
// A run has one 64-bit seed. Every piece of work of the run (the initial network, one member of
// the first population, one pair of a generation, one child's mutation, one generation's
// pairing and tournaments, one epoch's shuffle) draws from a stream of its own, derived from
// (seed, kind, generation, member) alone. No stream depends on how many draws another made or
// in which order the pieces ran, so work can be spread over threads without changing a result.
// There is no hidden or process-wide state here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace corvane {

// xoshiro256** over 256 bits of state: four words, a few cycles per 64-bit output, and no
// statistical weakness known in its output function. The state is filled from the seed by
// splitmix64, so any seed (0 included) gives a good state.
class Random {
public:
    explicit Random(std::uint64_t seed);

    std::uint64_t next() {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // (o1 + o2 * 2^32) / 2^64 with o1 the low and o2 the high half of one output: the canonical
    // value of 64 random bits. It can round up to exactly 1 (about once in 2^54 draws).
    double canonical() {
        const std::uint64_t word = next();
        return canonical_value(static_cast<std::uint32_t>(word), static_cast<std::uint32_t>(word >> 32));
    }
    // canonical() * (b - a) + a, not clamped: exactly b is possible.
    double uniform(double a, double b) { return canonical() * (b - a) + a; }
    // One standard normal value (Marsaglia's polar method; the second value of a pair is kept
    // for the next call on this source).
    double standard_normal();
    // mean + sd * z: exactly mean for sd = 0.
    double normal(double mean, double sd) { return mean + sd * standard_normal(); }
    // A value in 0 .. bound-1, every one equally likely (bound >= 1): a multiply and, rarely, a
    // rejection, never a modulo bias.
    std::uint64_t below(std::uint64_t bound);
    std::int32_t index(std::int32_t count) { return static_cast<std::int32_t>(below(static_cast<std::uint64_t>(count))); }
    // An activation code 0 .. 3, each with chance 1/4.
    std::int32_t activation() { return static_cast<std::int32_t>(next() >> 62); }

    bool operator==(const Random& other) const = default;

    // The canonical value of two 32-bit halves.
    static double canonical_value(std::uint32_t o1, std::uint32_t o2) {
        const double two32 = 4294967296.0;
        return (static_cast<double>(o1) + static_cast<double>(o2) * two32) / (two32 * two32);
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    std::uint64_t state_[4];
    double spare_ = 0.0;
    bool has_spare_ = false;
};

// One step of splitmix64 as a mixing function: a bijection of 64-bit words whose outputs for
// neighbouring inputs look unrelated.
std::uint64_t mix64(std::uint64_t x);

// What a stream is for; part of its derivation, so that two kinds never share a stream.
enum class stream_kind : std::uint64_t {
    initial_network = 1,  // the random network of a new model
    population = 2,       // member `member` of the first population
    pairing = 3,          // the pairing order of generation `generation`
    pair = 4,             // crossovers or clones of pair `member`
    mutation = 5,         // the mutation of child `member`
    selection = 6,        // the tournaments of generation `generation`
    shuffle = 7,          // the dataset order of epoch `generation`
};

// The source of one piece of work: a pure function of its four arguments.
Random stream(std::uint64_t run_seed, stream_kind kind, std::uint64_t generation, std::uint64_t member);

// 64 bits from the platform's non-deterministic source: the seed of a run given none.
std::uint64_t device_seed();

// Fisher-Yates from the front: for i = 1 .. n-1, swap list[i] with list[r], r uniform in 0 .. i.
void shuffle_indices(std::vector<std::int32_t>& list, Random& random);

// A uniformly drawn permutation of 0 .. n-1 (Fisher-Yates).
std::vector<std::size_t> random_permutation(std::size_t n, Random& random);

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

// Reorders xs and ys by one common random permutation; pairs stay together.
template <class X, class Y>
void shuffle_pairs(std::vector<X>& xs, std::vector<Y>& ys, Random& random) {
    const std::vector<std::size_t> perm = random_permutation(xs.size(), random);
    apply_permutation(xs, perm);
    apply_permutation(ys, perm);
}

}  // namespace corvane
