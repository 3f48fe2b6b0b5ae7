// The flow room: the command line's options and coupling lists, the summary's curve, and the
// work window that hands seeds back in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "files.h"
#include "flow.h"
#include "kernels.h"
#include "quantiles.h"
#include "theory.h"

TEST(EnsembleOptions, DefaultsAndShortHelp)
{
    ensemble_options chosen;
    char program[] = "agreement_ensemble";
    char help[] = "-h";
    char *argv[] = {program, help, nullptr};
    ASSERT_EQ(read_options(1, argv, &chosen), 0);
    EXPECT_EQ(chosen.seeds, 10000U);
    EXPECT_EQ(chosen.first_seed, 1U);
    // The machine's hardware threads, as the command line and the module both take them.
    const std::uint64_t hardware = std::thread::hardware_concurrency();
    EXPECT_EQ(chosen.threads, hardware == 0 ? 1 : std::min<std::uint64_t>(hardware, 256));
    EXPECT_EQ(chosen.couplings, std::vector<double>{0.0});
    EXPECT_EQ(chosen.output, "ensemble.csv");
    EXPECT_EQ(chosen.per_seed, "");
    EXPECT_FALSE(chosen.help);
    ASSERT_EQ(read_options(2, argv, &chosen), 0);
    EXPECT_TRUE(chosen.help) << "-h is --help";
}

// The one rule both front ends read a request by, spelled as the module spells it.
const request_names MODULE_NAMES = {"seeds", "first_seed", "threads", "coupling"};

// Counts are judged from their text, so that a value no integer type holds (a Python int of
// 2^70, a sign) is refused like any other, by its own digits, under the caller's names; the
// command line's refusals are read whole end to end, so here the module's spelling and the
// largest values each count takes.
TEST(EnsembleRequest, CountsFromTheirText)
{
    struct count_case {
        std::string request_arguments::*field;
        const char *text;
        const char *problem; // empty: accepted
    };
    const count_case cases[] = {
        {&request_arguments::seeds, "0",
         "seeds must be a whole number from 1 to 4294967296, not '0'"},
        {&request_arguments::seeds, "1180591620717411303424",
         "not '1180591620717411303424'"},              // 2^70
        {&request_arguments::seeds, "4294967295", ""}, // seeds 1 .. 4294967295, the last state
        {&request_arguments::first_seed, "0", ""},
        {&request_arguments::threads, "257", "threads must be a whole number from 1 to 256"},
        {&request_arguments::threads, "256", ""},
    };
    for (const count_case &one : cases) {
        request_arguments given;
        given.*one.field = one.text;
        ensemble_request request;
        const std::string problem = check_request(given, MODULE_NAMES, &request);
        if (*one.problem == '\0') {
            EXPECT_EQ(problem, "") << one.text;
        } else {
            EXPECT_NE(problem.find(one.problem), std::string::npos) << one.text << ": " << problem;
        }
    }
    request_arguments given;
    given.first_seed = "4294967295";
    given.threads = "3";
    given.seeds = "1";
    ensemble_request request;
    ASSERT_EQ(check_request(given, MODULE_NAMES, &request), "");
    EXPECT_EQ(request.first_seed, 4294967295U);
    EXPECT_EQ(request.seeds, 1U);
    EXPECT_EQ(request.threads, 3U);
}

// Every front end runs k as the double nearest its six-decimal text; only the order and the
// repeats differ, kept for a caller whose results index as its own list.
TEST(EnsembleRequest, CouplingsRunAsTheyPrint)
{
    request_arguments given;
    given.couplings = {0.1 + 0.2, 1.0, 0.3, -0.0, 0.1234567};
    ensemble_request sorted;
    ASSERT_EQ(check_request(given, MODULE_NAMES, &sorted), "");
    EXPECT_EQ(sorted.couplings, (std::vector<double>{0.0, 0.123457, 0.3, 1.0}));
    given.listed_order = true;
    ensemble_request listed;
    ASSERT_EQ(check_request(given, MODULE_NAMES, &listed), "");
    EXPECT_EQ(listed.couplings, (std::vector<double>{0.3, 1.0, 0.3, 0.0, 0.123457}));
    EXPECT_FALSE(std::signbit(listed.couplings[3])) << "-0 would be printed -0.000000";

    struct bad_case {
        std::vector<double> couplings;
        bool listed_order;
        const char *problem;
    };
    const std::vector<double> thousand_and_two(1002, 0.5);
    std::vector<double> different(1002);
    for (std::size_t i = 0; i < different.size(); ++i) {
        different[i] = static_cast<double>(i) / 1001.0; // apart by more than a millionth
    }
    const bad_case cases[] = {
        {{0.5, std::nan("")}, false, "coupling value 'nan' lies outside [0, 1]"},
        {{1.0000004}, true, "coupling value '1.0000004' lies outside [0, 1]"}, // prints 1.000000
        {{-1e-7}, false, "coupling value '-1e-07' lies outside [0, 1]"},       // prints -0.000000
        {{}, true, "coupling needs at least one value"},
        {thousand_and_two, true, "coupling gives more than 1001 values"},
        {thousand_and_two, false, ""}, // one value once merged
        {different, false, "coupling gives more than 1001 different values"},
    };
    for (const bad_case &bad : cases) {
        request_arguments one;
        one.couplings = bad.couplings;
        one.listed_order = bad.listed_order;
        ensemble_request request;
        EXPECT_EQ(check_request(one, MODULE_NAMES, &request), bad.problem)
            << bad.couplings.size() << " values, listed " << bad.listed_order;
    }
}

TEST(CouplingOptions, ListsAndRanges)
{
    std::vector<double> k;
    ASSERT_EQ(read_couplings("0:1:0.05", &k), "");
    ASSERT_EQ(k.size(), 21U);
    EXPECT_EQ(k[3], 0.15); // 3 * 0.05 as the table names it, not 0.15000000000000002
    EXPECT_EQ(k[20], 1.0);
    ASSERT_EQ(read_couplings("0.1:0.3:0.1", &k), "");
    ASSERT_EQ(k.size(), 3U);
    EXPECT_EQ(k[2], 0.3); // STOP as written, though 0.1 + 2 * 0.1 lies a bit above it
    ASSERT_EQ(read_couplings("0:0.9:0.3", &k), "");
    ASSERT_EQ(k.size(), 4U);
    EXPECT_EQ(k[3], 0.9); // and though 3 * 0.3 lies a bit below it
    ASSERT_EQ(read_couplings("0:1:0.3", &k), "");
    EXPECT_EQ(k, (std::vector<double>{0.0, 0.3, 0.6, 0.9})); // STOP off the grid
    ASSERT_EQ(read_couplings("1,0.25,0:0.5:0.25", &k), "");
    EXPECT_EQ(k, (std::vector<double>{0.0, 0.25, 0.5, 1.0})); // ascending, each once
    // Values that print alike run once, and the limit counts them after merging.
    ASSERT_EQ(read_couplings("0:1:0.1,0.3,0.0000001,-0", &k), "");
    EXPECT_EQ(k, (std::vector<double>{0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0}));
    EXPECT_FALSE(std::signbit(k[0]));
    ASSERT_EQ(read_couplings("-0", &k), "");
    EXPECT_FALSE(std::signbit(k[0])) << "-0 would be printed -0.000000";
    ASSERT_EQ(read_couplings("0:1:0.001,0.5", &k), "");
    EXPECT_EQ(k.size(), 1001U);
    ASSERT_EQ(read_couplings("0.0000004,0.0000006", &k), "");
    EXPECT_EQ(k, (std::vector<double>{0.0, 0.000001}));
}

// The line through a curve, against a direct least-squares fit: R^2 as 1 - residual / total
// sum of squares, and the largest residual, on a straight line and on a bent one.
TEST(CurveShape, LineAndBend)
{
    std::vector<pass_row> rows(PASS_COUNT);
    for (int q = 0; q < PASS_COUNT; ++q) {
        rows[q].agreement = agreement_fraction(q);
        rows[q].mean_r = 0.9 * rows[q].agreement - 0.45;
    }
    line_fit fit = fit_line(rows.data());
    EXPECT_NEAR(fit.slope, 0.9, 1e-12);
    EXPECT_NEAR(fit.intercept, -0.45, 1e-12);
    EXPECT_NEAR(fit.r_squared, 1.0, 1e-12);
    EXPECT_NEAR(fit.largest_distance, 0.0, 1e-12);
    EXPECT_NEAR(zero_crossing(rows.data()), 0.5, 1e-12);

    for (int q = 0; q < PASS_COUNT; ++q) {
        const double f = rows[q].agreement;
        rows[q].mean_r = f * f * f - 0.5; // bends, and crosses zero at 0.5^(1/3)
    }
    fit = fit_line(rows.data());
    double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    for (const pass_row &row : rows) {
        sx += row.agreement;
        sy += row.mean_r;
        sxx += row.agreement * row.agreement;
        sxy += row.agreement * row.mean_r;
    }
    const double slope = (PASS_COUNT * sxy - sx * sy) / (PASS_COUNT * sxx - sx * sx);
    const double intercept = (sy - slope * sx) / PASS_COUNT;
    double residual = 0.0, total = 0.0, largest = 0.0;
    for (const pass_row &row : rows) {
        const double off = row.mean_r - (intercept + slope * row.agreement);
        residual += off * off;
        total += (row.mean_r - sy / PASS_COUNT) * (row.mean_r - sy / PASS_COUNT);
        largest = std::max(largest, std::fabs(off));
    }
    EXPECT_NEAR(fit.slope, slope, 1e-12);
    EXPECT_NEAR(fit.r_squared, 1.0 - residual / total, 1e-12);
    EXPECT_NEAR(fit.largest_distance, largest, 1e-12);
    EXPECT_GT(fit.largest_distance, 0.05);
    // Linear between the passes on either side of 0.5^(1/3) = 0.7937.
    EXPECT_NEAR(zero_crossing(rows.data()), std::cbrt(0.5), 1e-3);
}

// Sign changes along a curve, counted by hand: zeros and NaNs are stepped over, so touching
// zero is no change and crossing through one is a single change.
TEST(CurveShape, SignChanges)
{
    const double nan = std::nan("");
    struct curve {
        const char *shape;
        std::vector<double> start; // the first passes; the rest repeat the last value
        int changes;
    };
    const curve curves[] = {
        {"always above", {0.5}, 0},
        {"one crossing", {0.5, 0.2, -0.1}, 1},
        {"through an exact zero", {0.5, 0.0, -0.3}, 1},
        {"touches zero and turns back", {0.5, 0.0, 0.0, 0.2}, 0},
        {"across a NaN", {-0.5, nan, 0.4}, 1},
        {"zigzag", {0.1, -0.1, 0.1, -0.1, 0.1}, 4},
        {"starts at zero", {0.0, -0.2, 0.3}, 1},
    };
    for (const curve &c : curves) {
        std::vector<pass_row> rows(PASS_COUNT);
        for (int q = 0; q < PASS_COUNT; ++q) {
            rows[q].agreement = agreement_fraction(q);
            rows[q].mean_r = c.start[std::min<std::size_t>(q, c.start.size() - 1)];
        }
        EXPECT_EQ(sign_changes(rows.data()), c.changes) << c.shape;
    }
}

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

} // namespace

// While the fold holds the first block, the workers fill every other slot of the window and
// run no block past it, whatever their speed: nine and a half blocks at one coupling, the
// last one short, against 4 and 8 slots. Each block is checked only after the fold has held
// it, so a worker writing into the slot still being folded shows up as another seed's
// results; every seed comes back once, in order.
TEST(WorkWindow, SlowFoldGetsEverySeedInOrder)
{
    const std::uint64_t block = work_block_seeds(1);
    for (const std::uint64_t threads : {1U, 3U}) {
        std::uint64_t most_ahead = 0;
        const std::uint64_t count = 9 * block + block / 2;
        seed_job job = {4294967296U - count, count, &COUPLING_K, 1, false, &COUNTING_PATH};
        job.most_ahead = &most_ahead;
        seeds_run = 0;
        const std::uint64_t window = work_window_slots(threads);
        std::uint64_t next = job.first_seed;
        const int status =
            run_seeds_in_order(job, threads, [&](const seed_result *results, std::uint64_t seeds) {
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
                return 0;
            });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(next, job.first_seed + job.seeds) << threads << " threads";
        EXPECT_EQ(most_ahead, work_window_slots(threads)) << threads << " threads";
    }
}

// The finite-length law is asked between its couplings whether to stop (a notebook's Ctrl-C
// must not wait for every coupling's law): the study stops with 1 and no rows; left to run,
// every row carries its own coupling's law, whichever thread computed it.
TEST(EnsembleTable, TheLawAsksBetweenCouplingsWhetherToStop)
{
    const double couplings[] = {0.0, 1.0, 0.5};
    const kernel_path *widest = nullptr;
    choose_kernel_path(nullptr, &widest);
    const seed_job job = {1, 4, couplings, 3, true, widest};
    study_state state;
    std::vector<pass_row> rows;
    int asked = 0;
    const auto stop_at_law = [&asked](int run, const seed_result *, std::uint64_t) {
        asked += run < 0 ? 1 : 0;
        return run < 0 ? 1 : 0;
    };
    EXPECT_EQ(run_study(job, quantile_list(), 1, stop_at_law, false, &state, &rows), 1);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(rows.empty());
    const auto go_on = [](int, const seed_result *, std::uint64_t) { return 0; };
    ASSERT_EQ(run_study(job, quantile_list(), 2, go_on, false, &state, &rows), 0);
    ASSERT_EQ(rows.size(), 3U * PASS_COUNT);
    for (int c = 0; c < 3; ++c) {
        double law[PASS_COUNT];
        finite_length_law(couplings[c], law);
        for (int q = 0; q < PASS_COUNT; ++q) {
            EXPECT_EQ(rows[static_cast<std::size_t>(c) * PASS_COUNT + static_cast<std::size_t>(q)]
                          .finite_law_r,
                      law[q])
                << "k " << couplings[c] << ", q " << q;
        }
    }
}

// The quantiles come out the same whether the net keeps their values during the first run or
// a small budget sends every coupling back for more runs, a few couplings at a time.
TEST(EnsembleTable, QuantilesFoundAgainMatchTheNets)
{
    const double couplings[] = {0.0, 0.35, 1.0};
    const kernel_path *widest = nullptr;
    choose_kernel_path(nullptr, &widest);
    const seed_job job = {1000, 64, couplings, 3, true, widest};
    std::vector<pass_row> caught;
    std::vector<pass_row> again;
    study_state state;
    int runs = 0;
    const auto count_runs = [&runs](int run, const seed_result *, std::uint64_t) {
        runs = std::max(runs, run + 1);
        return 0;
    };
    ASSERT_EQ(run_study(job, quantile_list(), 2, count_runs, false, &state, &caught), 0);
    EXPECT_EQ(runs, 1) << "the net catches every value";
    // At least 6 values per cell (the order statistics) in 128 cells per coupling: each run
    // keeps one coupling.
    ASSERT_EQ(run_study(job, quantile_list(), 2, count_runs, false, &state, &again, 500), 0);
    EXPECT_EQ(runs, 4) << "one run per coupling after the first";
    ASSERT_EQ(caught.size(), again.size());
    for (std::size_t i = 0; i < caught.size(); ++i) {
        EXPECT_EQ(std::memcmp(&caught[i], &again[i], sizeof(pass_row)), 0) << "row " << i;
        EXPECT_EQ(again[i].coupling, couplings[i / PASS_COUNT]) << "row " << i;
        EXPECT_LE(again[i].r_quantile[0], again[i].r_quantile[2]) << "row " << i;
    }
}

// ---- Exhausted memory ----

namespace {

// Every allocation of this test program goes through a count of the bytes in use and of the
// allocations made, and the next allocation can be made to fail, as when memory runs out.
std::atomic<std::int64_t> bytes_in_use{0};
std::atomic<std::uint64_t> allocations{0};
std::atomic<std::uint64_t> failing_allocation{UINT64_MAX}; // the one that throws, counted
                                                           // from 1

constexpr std::size_t SIZE_HEADER = 16; // keeps the default new alignment

} // namespace

void *operator new(std::size_t size)
{
    if (++allocations == failing_allocation) {
        throw std::bad_alloc();
    }
    char *block = static_cast<char *>(std::malloc(size + SIZE_HEADER));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    std::memcpy(block, &size, sizeof size);
    bytes_in_use += static_cast<std::int64_t>(size);
    return block + SIZE_HEADER;
}

void operator delete(void *memory) noexcept
{
    if (memory != nullptr) {
        char *block = static_cast<char *>(memory) - SIZE_HEADER;
        std::size_t size = 0;
        std::memcpy(&size, block, sizeof size);
        bytes_in_use -= static_cast<std::int64_t>(size);
        std::free(block);
    }
}

void operator delete(void *memory, std::size_t) noexcept
{
    operator delete(memory);
}

namespace {

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

namespace {

// Runs a table of 32 seeds (one block) at the given couplings that keeps 500 values at a time,
// so that every coupling is run again in a group of its own; returns the rows. The count of
// allocations made when the watcher hears of each run goes to *heard, the bytes in use then
// to *bytes.
std::vector<pass_row> small_table(const std::vector<double> &couplings,
                                  std::vector<std::uint64_t> *heard,
                                  std::vector<std::int64_t> *bytes)
{
    const kernel_path *widest = nullptr;
    choose_kernel_path(nullptr, &widest);
    const seed_job job = {1000, 32,    couplings.data(), static_cast<int>(couplings.size()),
                          true, widest};
    study_state state;
    std::vector<pass_row> rows;
    heard->clear();
    bytes->clear();
    heard->reserve(couplings.size() + 1);
    bytes->reserve(couplings.size() + 1);
    const auto watch = [&](int run, const seed_result *, std::uint64_t) {
        if (run < 0) {
            return 0; // the law, between couplings
        }
        heard->push_back(allocations);
        bytes->push_back(bytes_in_use);
        return 0;
    };
    // One worker: how often its net's values grow depends on which blocks it gets, so only
    // then is the count of allocations the same from table to table.
    run_study(job, quantile_list(), 1, watch, false, &state, &rows, 500);
    return rows;
}

} // namespace

// Memory running out anywhere in a table (the histograms, the net, the work window, the
// threads' start, the fold, the runs again, the rows) throws std::bad_alloc out of run_study
// with the workers joined; nothing is left behind that changes the next table.
TEST(EnsembleTable, ExhaustedMemoryAnywhereReachesTheCaller)
{
    const std::vector<double> couplings = {0.0, 1.0};
    std::vector<std::uint64_t> heard;
    std::vector<std::int64_t> bytes;
    const std::vector<pass_row> rows = small_table(couplings, &heard, &bytes);
    // Counted again once heard and bytes have their room, as every later table finds them.
    const std::uint64_t before = allocations;
    small_table(couplings, &heard, &bytes);
    const std::uint64_t made = allocations - before;
    ASSERT_EQ(heard.size(), 3U) << "the measuring run and one run per coupling, a block each";
    // Allocations spread over the whole table, and every one just after each run's fold: the
    // plan, the caught values, the rows, the next work window and its threads.
    std::vector<std::uint64_t> failing;
    for (std::uint64_t n = 1; n <= made; n += made / 16 + 1) {
        failing.push_back(n);
    }
    for (const std::uint64_t at : heard) {
        for (std::uint64_t n = at - before + 1; n <= at - before + 8 && n <= made; ++n) {
            failing.push_back(n);
        }
    }
    for (const std::uint64_t n : failing) {
        failing_allocation = allocations + n;
        bool thrown = false;
        try {
            small_table(couplings, &heard, &bytes);
        } catch (const std::bad_alloc &) {
            thrown = true;
        }
        failing_allocation = UINT64_MAX; // before the test's own messages allocate
        EXPECT_TRUE(thrown) << "allocation " << n << " of " << made;
    }
    const std::vector<pass_row> again = small_table(couplings, &heard, &bytes);
    ASSERT_EQ(again.size(), rows.size());
    EXPECT_EQ(std::memcmp(again.data(), rows.data(), rows.size() * sizeof(pass_row)), 0);
}

// Each group that runs again keeps its values only until its rows are filled: with the same
// coupling four times over, each group keeps the same values (at least the six order
// statistics of each of its 128 passes), and the bytes in use as each run again starts stay
// level instead of growing by one group's values a run.
TEST(EnsembleTable, OneGroupsValuesAtATime)
{
    std::vector<std::uint64_t> heard;
    std::vector<std::int64_t> run_bytes;
    small_table({0.5, 0.5, 0.5, 0.5}, &heard, &run_bytes);
    ASSERT_EQ(run_bytes.size(), 5U);
    const std::int64_t least_group = PASS_COUNT * 6 * sizeof(double); // two order statistics
                                                                      // of three quantiles
    for (std::size_t run = 2; run < run_bytes.size(); ++run) {
        EXPECT_LT(run_bytes[run] - run_bytes[1], least_group) << "run " << run;
    }
}

// ---- The study's state ----

namespace {

const double STATE_COUPLINGS[] = {0.0, 0.6};

// The state of seeds first .. first + count - 1 at both couplings, kept for a state file, on
// `threads` threads with a net of kept_values; its rows to *rows when given.
study_state state_of(std::uint64_t first, std::uint64_t count, std::uint64_t threads = 2,
                     std::uint64_t kept_values = MOST_KEPT_VALUES,
                     std::vector<pass_row> *rows = nullptr, int *runs = nullptr)
{
    const kernel_path *widest = nullptr;
    choose_kernel_path(nullptr, &widest);
    const seed_job job = {first, count, STATE_COUPLINGS, 2, true, widest};
    study_state state;
    std::vector<pass_row> filled;
    const auto count_runs = [runs](int run, const seed_result *, std::uint64_t) {
        if (runs != nullptr) {
            *runs = std::max(*runs, run + 1);
        }
        return 0;
    };
    EXPECT_EQ(
        run_study(job, quantile_list(), threads, count_runs, true, &state, &filled, kept_values),
        0);
    if (rows != nullptr) {
        *rows = filled;
    }
    return state;
}

// The parts' state files, read back and merged in the order given: the merged state's bytes,
// its rows to *rows.
std::string merged_bytes(const std::vector<std::string> &files,
                         std::vector<pass_row> *rows = nullptr, int *runs = nullptr)
{
    std::vector<study_state> parts(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(read_state(files[i], &parts[i]), "");
    }
    const kernel_path *widest = nullptr;
    choose_kernel_path(nullptr, &widest);
    study_state merged;
    std::vector<pass_row> filled;
    const auto count_runs = [runs](int run, const seed_result *, std::uint64_t) {
        if (runs != nullptr) {
            *runs = std::max(*runs, run + 1);
        }
        return 0;
    };
    EXPECT_EQ(merge_parts(&parts, 2, widest, count_runs, true, &merged, &filled), 0);
    if (rows != nullptr) {
        *rows = filled;
    }
    return state_bytes(merged);
}

} // namespace

// One study of 300 seeds gives the same state, byte for byte, on 1, 2 or 5 threads, with a
// net too small to catch anything, split into 2 or 7 uneven parts merged in shuffled orders,
// or extended by a second run later; and the table of the merged state is the table of one
// run.
TEST(StudyState, SameBytesHoweverTheSeedsAreSplit)
{
    std::vector<pass_row> whole_rows;
    const std::string whole = state_bytes(state_of(500, 300, 1, MOST_KEPT_VALUES, &whole_rows));
    for (const std::uint64_t threads : {2, 5}) {
        EXPECT_EQ(state_bytes(state_of(500, 300, threads)), whole) << threads << " threads";
    }
    int runs = 0;
    EXPECT_EQ(state_bytes(state_of(500, 300, 2, 500, nullptr, &runs)), whole) << "a tiny net";
    EXPECT_EQ(runs, 3) << "each coupling found in a second run of its own";

    const std::vector<std::vector<std::uint64_t>> splits = {
        {150},                           // extended: 500 .. 649, then 650 .. 799
        {1, 40, 41, 100, 170, 171, 250}, // seven parts, one of a single seed
    };
    std::mt19937 shuffle(5);
    for (const std::vector<std::uint64_t> &cuts : splits) {
        std::vector<std::string> parts;
        std::uint64_t from = 0;
        for (std::size_t i = 0; i <= cuts.size(); ++i) {
            const std::uint64_t to = i < cuts.size() ? cuts[i] : 300;
            parts.push_back(state_bytes(state_of(500 + from, to - from)));
            from = to;
        }
        for (int order = 0; order < 2; ++order) {
            std::vector<pass_row> rows;
            EXPECT_EQ(merged_bytes(parts, &rows), whole) << cuts.size() + 1 << " parts";
            ASSERT_EQ(rows.size(), whole_rows.size());
            EXPECT_EQ(std::memcmp(rows.data(), whole_rows.data(), rows.size() * sizeof rows[0]), 0);
            std::shuffle(parts.begin(), parts.end(), shuffle);
        }
    }
}

// A part that kept too little (here: none of coupling 1's bins) has its own seeds run again at
// that coupling, and the merge still gives the one run's bytes.
TEST(StudyState, APartThatMissedAValueRunsAgain)
{
    const std::string whole = state_bytes(state_of(500, 300));
    std::vector<study_state> parts(2);
    parts[0] = state_of(500, 120);
    parts[1] = state_of(620, 180);
    std::fill(parts[1].kept_bin.begin() + PASS_COUNT * parts[1].bins, parts[1].kept_bin.end(),
              std::uint8_t{0});
    for (int q = 0; q < PASS_COUNT; ++q) {
        parts[1].values[PASS_COUNT + q].clear();
    }
    const kernel_path *widest = nullptr;
    choose_kernel_path(nullptr, &widest);
    study_state merged;
    std::vector<pass_row> rows;
    int runs = 0;
    const auto count_runs = [&runs](int run, const seed_result *, std::uint64_t) {
        runs = std::max(runs, run + 1);
        return 0;
    };
    ASSERT_EQ(merge_parts(&parts, 2, widest, count_runs, true, &merged, &rows), 0);
    EXPECT_EQ(state_bytes(merged), whole);
    EXPECT_GE(runs, 2) << "a run again: the second part's seeds at the second coupling";
}

// A state file reads back as the state it was, and every way it can be wrong is told apart:
// another file, another format or version, damage anywhere, a cut anywhere.
TEST(StudyState, FileReadsBackOrSaysWhatIsWrong)
{
    const std::string bytes = state_bytes(state_of(500, 40));
    study_state back;
    ASSERT_EQ(read_state(bytes, &back), "");
    EXPECT_EQ(state_bytes(back), bytes);

    std::string other_format = bytes;
    other_format[8] = 2;
    std::string other_version = bytes;
    other_version[16] ^= 1; // the version's first character, after its length
    const struct {
        std::string bytes;
        const char *says;
    } cases[] = {
        {"", "is not a state file"},
        {"AGRSTATX" + bytes.substr(8), "is not a state file"},
        {other_format, "state format 2"},
        {other_version, "was written by agreement_ensemble"},
        {bytes.substr(0, bytes.size() - 1), "truncated"},
        {bytes.substr(0, bytes.size() / 2), "truncated"},
        {bytes.substr(0, 20), "truncated"},
        {bytes + "x", "damaged"},
    };
    for (const auto &one : cases) {
        study_state state;
        EXPECT_NE(read_state(one.bytes, &state).find(one.says), std::string::npos)
            << one.says << ": " << read_state(one.bytes, &state);
    }
    // Resealed with a checksum that fits (FNV-1a, written out here), what the checksum doesn't
    // catch is still refused: quantiles out of order, kept values out of order.
    const auto resealed = [](std::string text) {
        std::uint64_t hash = 14695981039346656037ULL;
        for (std::size_t i = 0; i + 8 < text.size(); ++i) {
            hash = (hash ^ static_cast<unsigned char>(text[i])) * 1099511628211ULL;
        }
        for (int i = 0; i < 8; ++i) {
            text[text.size() - 8 + static_cast<std::size_t>(i)] =
                static_cast<char>(hash >> (8 * i));
        }
        return text;
    };
    {
        study_state state;
        EXPECT_EQ(read_state(resealed(bytes), &state), "") << "the checksum written out here";
    }
    const std::string quantiles("\xa8\x61\x00\x00\x20\xa1\x07\x00", 8); // 25,000 500,000
    const std::size_t at = bytes.find(quantiles);
    ASSERT_NE(at, std::string::npos);
    std::string swapped = bytes;
    std::swap_ranges(swapped.begin() + static_cast<std::ptrdiff_t>(at),
                     swapped.begin() + static_cast<std::ptrdiff_t>(at + 4),
                     swapped.begin() + static_cast<std::ptrdiff_t>(at + 4));
    std::string unsorted = bytes; // the last two kept values, just before the checksum
    std::swap_ranges(unsorted.end() - 24, unsorted.end() - 16, unsorted.end() - 16);
    const std::pair<std::string, const char *> refused[] = {
        {swapped, "is damaged (its quantiles are not ascending probabilities)"},
        {unsorted, "is damaged (its kept values do not fit its histograms)"}};
    for (const auto &[damaged, says] : refused) {
        study_state state;
        EXPECT_EQ(read_state(resealed(damaged), &state), says);
    }

    // A flipped bit anywhere past the header is damage.
    for (std::size_t at = 100; at < bytes.size(); at += bytes.size() / 7) {
        std::string damaged = bytes;
        damaged[at] ^= 0x10;
        study_state state;
        EXPECT_NE(read_state(damaged, &state).find("damaged"), std::string::npos) << at;
    }
}

// What can't be merged: other couplings, other quantiles, a seed in two parts.
TEST(StudyState, PartsThatDoNotFitAreRefused)
{
    const study_state first = state_of(500, 40);
    study_state other_k = state_of(540, 40);
    other_k.coupling_values[1] = 0.7;
    study_state other_quantiles = state_of(540, 40);
    other_quantiles.quantiles.per_million[1] = 400000;
    const struct {
        const study_state *part;
        const char *says;
    } cases[] = {
        {&other_k, "other coupling coefficients"},
        {&other_quantiles, "other quantiles"},
        {&first, "covers seeds"},
    };
    for (const auto &one : cases) {
        std::vector<seed_span> covered = first.spans;
        EXPECT_NE(check_part(first, *one.part, &covered).find(one.says), std::string::npos)
            << one.says;
    }
    std::vector<seed_span> covered = first.spans;
    const study_state overlapping = state_of(539, 5);
    EXPECT_NE(check_part(first, overlapping, &covered), "");
    const study_state touching = state_of(540, 5);
    EXPECT_EQ(check_part(first, touching, &covered), "");
    ASSERT_EQ(covered.size(), 1U) << "touching spans join";
    EXPECT_EQ(covered[0].count, 45U);
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
