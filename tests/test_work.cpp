// The flow's work window: seeds run on worker threads, each block handed to the worker's
// handler, and in order, or out of order with only counts, to the calling thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

#include "flow.h"
#include "kernels.h"

namespace {

// A kernel path that runs the widest one this processor runs and counts the seeds it has run.
std::atomic<std::uint64_t> seeds_run{0};

void counted_block(const std::uint32_t *seeds, int count, const double *couplings,
                   int coupling_count, bool ranks, seed_result *results)
{
    const kernel_path *widest = nullptr;
    choose_kernel_path(nullptr, &widest);
    widest->run_block(seeds, count, couplings, coupling_count, ranks, results);
    seeds_run += static_cast<std::uint64_t>(count);
}

const kernel_path COUNTING_PATH = {"counting", 0U, counted_block};

// A kernel path that runs the widest path until it meets seed failing_seed, where it throws
// as a worker whose memory runs out would.
std::uint32_t failing_seed = 0;

void failing_block(const std::uint32_t *seeds, int count, const double *couplings,
                   int coupling_count, bool ranks, seed_result *results)
{
    if (std::find(seeds, seeds + count, failing_seed) != seeds + count) {
        throw std::bad_alloc();
    }
    counted_block(seeds, count, couplings, coupling_count, ranks, results);
}

const kernel_path FAILING_PATH = {"failing", 0U, failing_block};

} // namespace

// While the fold holds the first block, the workers fill every other slot of the window and
// run no block past it, whatever their speed: nine and a half blocks at one coupling, the
// last one short, against 4 and 8 slots. Each block is checked only after the fold has held
// it, so a worker writing into the slot still being folded shows up as another seed's
// results; every seed comes back once, in order. Over the whole run, a worker hands over block
// b only once the fold has returned from b + 1 - slots blocks: the window, seen from the two
// handlers, never holds more than its slots, and the slow fold lets the workers fill it.
TEST(WorkWindow, SlowFoldGetsEverySeedInOrder)
{
    const std::uint64_t block = work_block_seeds(1);
    for (const std::uint64_t threads : {1U, 3U}) {
        const std::uint64_t count = 9 * block + block / 2;
        const seed_job job = {4294967296U - count, count, &COUPLING_K, 1, false, &COUNTING_PATH};
        seeds_run = 0;
        const std::uint64_t window = work_window_slots(threads);
        std::atomic<std::uint64_t> folds_done{0};
        std::atomic<std::uint64_t> most_ahead{0}; // blocks handed over, past those folded
        const worker_block_handler on_worker = [&](std::uint64_t, const seed_result *results,
                                                   std::uint64_t) {
            const std::uint64_t handed = (results[0].seed - job.first_seed) / block + 1;
            const std::uint64_t ahead = handed - std::min(handed, folds_done.load());
            for (std::uint64_t seen = most_ahead; ahead > seen;) {
                most_ahead.compare_exchange_weak(seen, ahead);
            }
        };
        std::uint64_t next = job.first_seed;
        const int status = run_seeds_in_order(
            job, threads,
            [&](const seed_result *results, std::uint64_t seeds) {
                if (next == job.first_seed) {
                    const auto give_up =
                        std::chrono::steady_clock::now() + std::chrono::seconds(50);
                    while (seeds_run < window * block &&
                           std::chrono::steady_clock::now() < give_up) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    EXPECT_EQ(seeds_run, window * block) << "seeds run while the first is folded";
                }
                for (std::uint64_t i = 0; i < seeds; ++i) {
                    EXPECT_EQ(results[i].seed, next);
                    // The plain run of every 16th seed: the workers' path is held against it
                    // elsewhere, and here each block only needs telling apart from another.
                    if (next % 16 == 0) {
                        seed_result again = {};
                        run_seed(static_cast<std::uint32_t>(next), &COUPLING_K, 1, false, &again);
                        EXPECT_EQ(results[i].r[127], again.r[127]) << "seed " << next;
                    }
                    next += 1;
                }
                ++folds_done;
                return 0;
            },
            &on_worker);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(next, job.first_seed + job.seeds) << threads << " threads";
        EXPECT_EQ(most_ahead, window) << threads << " threads";
    }
}

// An exception in a worker or in the fold reaches the calling thread with every worker
// stopped and joined (a thread left joinable ends the test program): the fold has seen the
// seeds before the failing block, in order, and none from it on.
TEST(WorkWindow, AnExceptionReachesTheCallingThread)
{
    const std::uint64_t block = work_block_seeds(1);
    const std::uint64_t first_seed = 1000;
    struct failure {
        const char *where;
        std::uint64_t threads;
        std::uint64_t failing_block; // the block whose run or fold throws
        bool in_fold;
    };
    const failure failures[] = {
        {"a worker, the first block", 1, 0, false},
        {"a worker, a later block", 3, 4, false},
        {"the fold, the first block", 1, 0, true},
        {"the fold, a later block", 3, 4, true},
    };
    for (const failure &f : failures) {
        const std::uint64_t failing_first = first_seed + f.failing_block * block;
        failing_seed = static_cast<std::uint32_t>(failing_first + block / 2);
        seed_job job = {first_seed, 8 * block, &COUPLING_K,
                        1,          false,     f.in_fold ? &COUNTING_PATH : &FAILING_PATH};
        std::uint64_t next = first_seed;
        EXPECT_THROW(run_seeds_in_order(job, f.threads,
                                        [&](const seed_result *results, std::uint64_t seeds) {
                                            if (f.in_fold && results[0].seed == failing_first) {
                                                throw std::bad_alloc();
                                            }
                                            for (std::uint64_t i = 0; i < seeds; ++i) {
                                                EXPECT_EQ(results[i].seed, next) << f.where;
                                                next += 1;
                                            }
                                            return 0;
                                        }),
                     std::bad_alloc)
            << f.where;
        // A worker's failure may come before the fold reaches the blocks ahead of it.
        EXPECT_LE(next, failing_first) << f.where;
        if (f.in_fold) {
            EXPECT_EQ(next, failing_first) << f.where;
        }
    }
}

// Out of order, each worker folds the blocks it runs and the calling thread only hears how
// many seeds are done: every seed reaches exactly one worker once, the counts add up to the
// seeds, and a fold that says stop stops the run; a worker's failure still reaches the caller.
TEST(WorkWindow, OutOfOrderEachSeedOnceOnItsWorker)
{
    const std::uint64_t block = work_block_seeds(1);
    for (const std::uint64_t threads : {1, 3}) {
        seed_job job = {500, 10 * block + 3, &COUPLING_K, 1, false, &COUNTING_PATH};
        job.in_order = false;
        std::vector<std::vector<std::uint32_t>> seen(threads);
        const worker_block_handler on_worker =
            [&seen](std::uint64_t worker, const seed_result *results, std::uint64_t seeds) {
                for (std::uint64_t i = 0; i < seeds; ++i) {
                    seen[worker].push_back(results[i].seed);
                }
            };
        std::uint64_t heard = 0;
        ASSERT_EQ(run_seeds_in_order(
                      job, threads,
                      [&heard](const seed_result *results, std::uint64_t seeds) {
                          EXPECT_EQ(results, nullptr);
                          heard += seeds;
                          return 0;
                      },
                      &on_worker),
                  0);
        EXPECT_EQ(heard, job.seeds) << threads;
        std::vector<std::uint32_t> all;
        for (const std::vector<std::uint32_t> &one : seen) {
            all.insert(all.end(), one.begin(), one.end());
        }
        std::sort(all.begin(), all.end());
        ASSERT_EQ(all.size(), job.seeds) << threads;
        for (std::size_t i = 0; i < all.size(); ++i) {
            EXPECT_EQ(all[i], 500 + i) << threads;
        }
    }
    seed_job slow = {500, 4000 * block, &COUPLING_K, 1, false, &COUNTING_PATH};
    slow.in_order = false;
    std::uint64_t heard = 0;
    EXPECT_EQ(run_seeds_in_order(slow, 2,
                                 [&heard](const seed_result *, std::uint64_t seeds) {
                                     heard += seeds;
                                     return 1;
                                 }),
              1);
    EXPECT_LT(heard, slow.seeds) << "stopped at the first look";
    failing_seed = 500 + 3 * static_cast<std::uint32_t>(block);
    seed_job failing = {500, 8 * block, &COUPLING_K, 1, false, &FAILING_PATH};
    failing.in_order = false;
    EXPECT_THROW(
        run_seeds_in_order(failing, 2, [](const seed_result *, std::uint64_t) { return 0; }),
        std::bad_alloc);
}
