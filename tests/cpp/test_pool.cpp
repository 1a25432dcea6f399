#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "training/pool.hpp"

using corvane::WorkerPool;

class PoolSizes : public ::testing::TestWithParam<int> {};

TEST_P(PoolSizes, EveryTaskRunsOnceForAnyCount) {
    WorkerPool pool(GetParam());
    EXPECT_EQ(pool.size(), std::max(GetParam(), 1));
    for (std::size_t count : {0u, 1u, 2u, 3u, 7u, 64u, 1000u}) {
        std::vector<std::atomic<int>> runs(count);
        pool.run(count, [&](std::size_t i) { runs[i].fetch_add(1); });
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(runs[i].load(), 1) << count << " tasks, task " << i;
    }
}

TEST_P(PoolSizes, LowestFailingTaskIsRethrownAndLaterOnesAreSkipped) {
    WorkerPool pool(GetParam());
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> after{0};
        try {
            pool.run(200, [&](std::size_t i) {
                if (i == 150) std::this_thread::sleep_for(std::chrono::microseconds(200));
                if (i == 150 || i == 40 || i == 41) throw std::runtime_error("task " + std::to_string(i));
                if (i > 150) after.fetch_add(1);
            });
            FAIL() << "no exception";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "task 40");
        }
        // The pool still works after a failure.
        std::atomic<int> total{0};
        pool.run(10, [&](std::size_t) { total.fetch_add(1); });
        EXPECT_EQ(total.load(), 10);
    }
}

TEST_P(PoolSizes, PollThatThrowsStopsTheJob) {
    WorkerPool pool(GetParam());
    std::atomic<int> polls{0};
    pool.set_poll([&] {
        if (polls.fetch_add(1) >= 2) throw std::runtime_error("interrupted");
    }, std::chrono::milliseconds(1));
    std::atomic<std::size_t> done{0};
    EXPECT_THROW(pool.run(100000, [&](std::size_t) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        done.fetch_add(1);
    }), std::runtime_error);
    EXPECT_LT(done.load(), 100000u);
}

INSTANTIATE_TEST_SUITE_P(Threads, PoolSizes, ::testing::Values(0, 1, 2, 4));

TEST(Pool, AvailableCoresIsPositive) { EXPECT_GE(corvane::available_cores(), 1); }
