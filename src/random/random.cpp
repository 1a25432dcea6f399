#include "random/random.hpp"

#include <ctime>

namespace corvane {

namespace {

// Both flags only ever go from true to false: rand() is seeded at most twice per process.
bool activation_seed_pending = true;
bool index_seed_pending = true;

void seed_rand_once(bool& pending) {
    if (pending) {
        std::srand(static_cast<unsigned>(static_cast<std::uint32_t>(std::time(nullptr))));
        pending = false;
    }
}

std::mt19937 fresh_engine() { return std::mt19937(random_seed()); }

}  // namespace

std::uint32_t random_seed() {
    // One device for the process; every call still takes a new value from it.
    static std::random_device device;
    return static_cast<std::uint32_t>(device());
}

double canonical_value(std::uint32_t o1, std::uint32_t o2) {
    const double two32 = 4294967296.0;
    return (static_cast<double>(o1) + static_cast<double>(o2) * two32) / (two32 * two32);
}

double uniform_draw(double a, double b) {
    std::mt19937 engine = fresh_engine();
    const std::uint32_t o1 = engine();
    const std::uint32_t o2 = engine();
    return canonical_value(o1, o2) * (b - a) + a;
}

double normal_draw(double mean, double sd) {
    std::mt19937 engine = fresh_engine();
    // mean + sd * z is the same distribution, and exactly mean for sd = 0
    // (a standard-library distribution may refuse sd = 0).
    std::normal_distribution<double> standard(0.0, 1.0);
    return mean + sd * standard(engine);
}

double engine_normal(std::mt19937& engine) {
    std::normal_distribution<double> standard(0.0, 1.0);
    return standard(engine);
}

std::int32_t random_activation() {
    seed_rand_once(activation_seed_pending);
    return static_cast<std::int32_t>(std::rand() % 4);
}

std::int32_t random_index(std::int32_t count) {
    seed_rand_once(index_seed_pending);
    return static_cast<std::int32_t>(std::rand() % count);
}

void shuffle_indices(std::vector<std::int32_t>& list) {
    if (list.size() < 2) return;
    std::mt19937 engine = fresh_engine();
    for (std::size_t i = 1; i < list.size(); ++i) {
        std::uniform_int_distribution<std::size_t> pick(0, i);
        const std::size_t r = pick(engine);
        if (r != i) std::swap(list[i], list[r]);
    }
}

std::uint64_t rand_below(std::uint64_t bound) {
    // Combine rand() outputs into a value of `range` equally likely values, then reject the
    // top remainder so that every value below `bound` is equally likely.
    const std::uint64_t base = static_cast<std::uint64_t>(RAND_MAX) + 1;
    for (;;) {
        std::uint64_t value = 0, range = 1;
        while (range < bound) {
            value = value * base + static_cast<std::uint64_t>(std::rand());
            range *= base;
        }
        const std::uint64_t limit = range - range % bound;
        if (value < limit) return value % bound;
    }
}

std::vector<std::size_t> rand_permutation(std::size_t n) {
    std::vector<std::size_t> perm(n);
    for (std::size_t k = 0; k < n; ++k) perm[k] = k;
    for (std::size_t j = 1; j < n; ++j) {
        const std::size_t r = static_cast<std::size_t>(rand_below(j + 1));
        if (r != j) std::swap(perm[j], perm[r]);
    }
    return perm;
}

}  // namespace corvane
