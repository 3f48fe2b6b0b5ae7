// The flow's table: the rows put together from a state's figures and the laws, the summary's
// curve, the finite-length law's stops, the quantiles found again, and memory running out
// anywhere in a table.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "flow.h"
#include "kernels.h"
#include "quantiles.h"
#include "theory.h"

// A row takes its pass's figures as they are and adds where it stands: k, the agreement
// (127 - q) / 127, and the long-signal law there (r = 1 / sqrt 5 at full agreement and k = 0,
// -1 at full disagreement and k = 1), with the finite-length law it is given.
TEST(EnsembleTable, RowsPutTogetherFromFiguresAndLaws)
{
    pass_figures figures = {0.5, 0.25, {}, -0.125, 0.75};
    for (int i = 0; i < MOST_QUANTILES; ++i) {
        figures.r_quantile[i] = 0.01 * (i + 1);
    }
    const pass_row full = table_row(0.0, 0, figures, 0.375);
    const pass_row none = table_row(1.0, 127, figures, -0.0625);
    EXPECT_EQ(full.coupling, 0.0);
    EXPECT_EQ(full.agreement, 1.0);
    EXPECT_EQ(none.coupling, 1.0);
    EXPECT_EQ(none.agreement, 0.0);
    EXPECT_EQ(table_row(0.5, 27, figures, 0.0).agreement, 100.0 / 127.0);
    EXPECT_NEAR(full.law_r, 1.0 / std::sqrt(5.0), 1e-15);
    EXPECT_NEAR(none.law_r, -1.0, 1e-15);
    EXPECT_EQ(full.finite_law_r, 0.375);
    EXPECT_EQ(none.finite_law_r, -0.0625);
    for (const pass_row &row : {full, none}) {
        EXPECT_EQ(row.mean_r, 0.5);
        EXPECT_EQ(row.sd_r, 0.25);
        EXPECT_EQ(row.mean_rho, -0.125);
        EXPECT_EQ(row.share_excluding_zero, 0.75);
        for (int i = 0; i < MOST_QUANTILES; ++i) {
            EXPECT_EQ(row.r_quantile[i], 0.01 * (i + 1)) << i;
        }
    }
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
    // Each coupling's rows carry its own figures: at k = 1 an agreeing step copies the
    // reference's, so at full agreement every seed's r is 1, and at k = 0 it is not.
    const pass_row &copied = again[2 * PASS_COUNT];
    EXPECT_NEAR(copied.mean_r, 1.0, 1e-12);
    EXPECT_NEAR(copied.r_quantile[0], 1.0, 1e-12);
    EXPECT_LT(again[0].mean_r, 0.9);
    EXPECT_LT(again[0].r_quantile[0], 0.9);
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
