// The vector paths against the plain run: the same doubles for every seed, pass and k, and
// their parts (the rank by sorted keys, the division without the divider) against the plain
// ones on cases made to trip them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kernels.h"
#include "seed_lanes.h"
#include "measures.h"
#include "stats.h"
#include "synth.h"

namespace {

bool same_bits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The vector paths this build has and this processor runs, and the AVX-512 kernel through
// SIMDe where this test has it.
std::vector<const kernel_isa *> vector_paths()
{
    std::vector<const kernel_isa *> found;
    for (const kernel_isa *const *isa = kernel_isas(); *isa != nullptr; ++isa) {
        if (path_runs_here((*isa)->path)) {
            found.push_back(*isa);
        }
    }
#if defined(AGREEMENT_ENSEMBLE_TEST_SIMDE)
    if (path_runs_here(AVX512_SIMDE_ISA.path)) {
        found.push_back(&AVX512_SIMDE_ISA);
    }
#endif
    return found;
}

// The plain run's results for count seeds from first, seed by seed, each seed's couplings in
// the order of k.
std::vector<seed_result> plain_run(std::uint32_t first, int count, const std::vector<double> &k)
{
    std::vector<seed_result> plain(static_cast<std::size_t>(count) * k.size());
    for (int s = 0; s < count; ++s) {
        run_seed(first + static_cast<std::uint32_t>(s), k.data(), static_cast<int>(k.size()), true,
                 &plain[static_cast<std::size_t>(s) * k.size()]);
    }
    return plain;
}

// Runs the seeds of a plain run (from first) by path, and counts the doubles that differ.
int differences(const kernel_path &path, std::uint32_t first, const std::vector<seed_result> &plain,
                const std::vector<double> &k)
{
    const int couplings = static_cast<int>(k.size());
    const int count = static_cast<int>(plain.size() / k.size());
    std::vector<seed_result> fast(plain.size());
    std::memset(static_cast<void *>(fast.data()), 0x5A, fast.size() * sizeof(seed_result));
    run_seeds(path, first, count, k.data(), couplings, true, fast.data());
    int differing = 0;
    for (int s = 0; s < count; ++s) {
        const std::uint32_t seed = first + static_cast<std::uint32_t>(s);
        for (int c = 0; c < couplings; ++c) {
            const seed_result &a = plain[static_cast<std::size_t>(s * couplings + c)];
            const seed_result &b = fast[static_cast<std::size_t>(s * couplings + c)];
            differing += a.seed != b.seed || a.turning_points != b.turning_points ||
                         !same_bits(a.coupling, b.coupling);
            for (int q = 0; q < PASS_COUNT; ++q) {
                const bool same = same_bits(a.r[q], b.r[q]) && same_bits(a.rho[q], b.rho[q]) &&
                                  same_bits(a.bound[q], b.bound[q]);
                if (!same && differing < 3) {
                    ADD_FAILURE() << path.name << ": seed " << seed << " k " << a.coupling
                                  << " pass " << q << ": r " << a.r[q] << " / " << b.r[q]
                                  << ", rho " << a.rho[q] << " / " << b.rho[q];
                }
                differing += same ? 0 : 1;
            }
        }
    }
    return differing;
}

// Runs every path on each range of seeds (first, count) against one plain run of them, at
// three couplings: the k = 0 form, the general bounds, and k = 1, whose levels copy the
// reference's steps.
void expect_plain_doubles(const std::vector<std::pair<std::uint32_t, int>> &ranges)
{
    const std::vector<double> k = {0.0, 0.35, 1.0};
    for (const auto &[first, count] : ranges) {
        const std::vector<seed_result> plain = plain_run(first, count, k);
        for (const kernel_isa *path : vector_paths()) {
            EXPECT_EQ(differences(path->path, first, plain, k), 0)
                << path->path.name << ", seed " << first;
        }
    }
}

} // namespace

// Both ends of the seed range, in blocks that don't fill the lanes.
TEST(Kernels, EveryPathGivesThePlainRunsDoubles)
{
    if (vector_paths().empty()) {
        GTEST_SKIP() << "this processor or build has no vector path";
    }
    expect_plain_doubles({{0U, 37}, {4294967295U - 20U, 21}});
}

// Seeds 319, 833 and 843 have reference steps of size zero, which move neither way.
TEST(Kernels, StepsOfSizeZeroMatchToo)
{
    if (vector_paths().empty()) {
        GTEST_SKIP() << "this processor or build has no vector path";
    }
    expect_plain_doubles({{312U, 16}, {832U, 16}});
}

TEST(Kernels, SeedsWithTiedLevelsMatchToo)
{
    // Seeds whose passes hold equal levels, found by the plain functions: the stable
    // order must then go by time.
    std::vector<std::uint32_t> tied;
    for (std::uint32_t seed = 0; tied.size() < 3 && seed < 400; ++seed) {
        std::uint32_t state = seed;
        signal_t reference;
        for (double &level : reference) {
            level = draw_level_from(&state);
        }
        bool found = false;
        for (int q = 0; q < PASS_COUNT; ++q) {
            mask_t mask;
            build_mask_from(&state, mask, q);
            signal_t coupled;
            generate_coupled_from(&state, reference, mask, 0.0, coupled);
            for (int p = 1; p < SIGNAL_LENGTH; ++p) {
                found = found || coupled[p] == coupled[p - 1];
            }
        }
        if (found) {
            tied.push_back(seed);
        }
    }
    ASSERT_EQ(tied.size(), 3U) << "no seed below 400 repeats a level";
    int tested = 0;
    for (const kernel_isa *path : vector_paths()) {
        ++tested;
        for (std::uint32_t seed : tied) {
            EXPECT_EQ(differences(path->path, seed, plain_run(seed, 1, {0.0}), {0.0}), 0)
                << path->path.name;
        }
    }
    if (tested == 0) {
        GTEST_SKIP() << "this processor or build has no vector path";
    }
}

// Signals made to trip the sorted keys: levels one ulp apart share a code, exact ties, a
// constant signal, a range too wide for a double, levels that aren't numbers.
TEST(Kernels, RankByKeysMatchesTheExchangeSort)
{
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> uniform(-20.0, 30.0);
    std::vector<std::vector<double>> cases;
    std::vector<double> signal(SIGNAL_LENGTH);
    for (double &level : signal) {
        level = uniform(random);
    }
    cases.push_back(signal);
    for (int p = 0; p < SIGNAL_LENGTH; ++p) { // neighbours one ulp apart, both ways round
        signal[p] = p % 2 == 0 ? 3.0 + p / 16 : std::nextafter(3.0 + p / 16, (p % 4) - 2.0);
    }
    cases.push_back(signal);
    for (int p = 0; p < SIGNAL_LENGTH; ++p) { // few distinct levels, many exact ties
        signal[p] = static_cast<double>((p * 37) % 5) - 2.0;
    }
    signal[9] = -0.0; // equal to 0.0: time decides
    cases.push_back(signal);
    for (int p = 0; p < SIGNAL_LENGTH; ++p) { // all one level
        signal[p] = 4.25;
    }
    cases.push_back(signal);
    for (int p = 0; p < SIGNAL_LENGTH; ++p) { // its range overflows, close pairs inside
        signal[p] = (p % 3 == 0 ? -1e308 : 1e308) * (1.0 + (p % 7) * 0x1p-52);
    }
    cases.push_back(signal);
    for (int p = 0; p < SIGNAL_LENGTH; ++p) { // descending, with a near-tie at the top
        signal[p] = 1000.0 - p;
    }
    signal[1] = std::nextafter(signal[0], 0.0);
    cases.push_back(signal);
    signal[40] = std::numeric_limits<double>::quiet_NaN();
    cases.push_back(signal);
    signal[40] = -std::numeric_limits<double>::infinity();
    cases.push_back(signal);

    int tested = 0;
    for (const kernel_isa *path : vector_paths()) {
        ++tested;
        const int width = path->rank_width;
        // Every case in every lane, next to each of the others.
        for (std::size_t first = 0; first < cases.size(); ++first) {
            std::vector<double> lanes;
            for (int lane = 0; lane < width; ++lane) {
                const std::vector<double> &one = cases[(first + lane) % cases.size()];
                lanes.insert(lanes.end(), one.begin(), one.end());
            }
            std::vector<rank_result> ranks(static_cast<std::size_t>(width));
            path->rank_signals(lanes.data(), ranks.data());
            for (int lane = 0; lane < width; ++lane) {
                const std::size_t which = (first + lane) % cases.size();
                const rank_result expected = rank_statistic(cases[which].data());
                EXPECT_TRUE(same_bits(ranks[static_cast<std::size_t>(lane)].rho, expected.rho) &&
                            same_bits(ranks[static_cast<std::size_t>(lane)].bound, expected.bound))
                    << path->path.name << ": case " << which << " in lane " << lane << ": rho "
                    << ranks[static_cast<std::size_t>(lane)].rho << ", expected " << expected.rho;
            }
        }
    }
    if (tested == 0) {
        GTEST_SKIP() << "this processor or build has no vector path";
    }
}

// A path that divides by 32767 with a reciprocal and one correction must give the same double
// as the division for the numerators the steps make (a draw times a width) and for numbers
// of every size and sign.
TEST(Kernels, DivisionWithoutTheDividerIsTheQuotient)
{
    const std::vector<const kernel_isa *> dividing = vector_paths();
    if (dividing.empty()) {
        GTEST_SKIP() << "no path of this build and processor divides without the divider";
    }
    std::vector<double> x;
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> width(0.0, 9.0);
    for (int r = 0; r <= RANDOM_MAX; ++r) {
        for (int i = 0; i < 24; ++i) {
            x.push_back(static_cast<double>(r) * width(random));
        }
        x.push_back(static_cast<double>(r) * (10.0 - std::nextafter(10.0, 0.0)));
        x.push_back(static_cast<double>(r) * -0.37);
    }
    x.insert(x.end(), {0.0, -0.0, RANDOM_SCALE, -RANDOM_SCALE});
    std::uniform_int_distribution<std::uint64_t> bits;
    while (x.size() % 8 != 0 || x.size() < 1200000) {
        // Any finite double away from the ends of the range.
        std::uint64_t word = bits(random);
        double value;
        std::memcpy(&value, &word, sizeof value);
        if (std::isfinite(value) && std::fabs(value) > 1e-290 && std::fabs(value) < 1e290) {
            x.push_back(value);
        }
    }
    std::vector<double> quotients(x.size());
    for (const kernel_isa *path : dividing) {
        path->divide_by_random_max(x.data(), quotients.data(), static_cast<int>(x.size()));
        int wrong = 0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double expected = x[i] / RANDOM_SCALE;
            if (!same_bits(quotients[i], expected) && ++wrong < 4) {
                ADD_FAILURE() << path->path.name << ": " << x[i] << " / 32767: " << quotients[i]
                              << ", expected " << expected;
            }
        }
        EXPECT_EQ(wrong, 0) << path->path.name;
    }
}

// Seed 1 is the one-shot run: the run's own generator and exchange sort give the same bits
// as the seed's state word and the counted rank statistic. This process starts with the run's
// generator at seed 1 (each test case runs in a process of its own), and no other test here
// draws from it.
TEST(EnsembleSeed, SeedOneIsTheOneShotRunBitForBit)
{
    seed_result ensemble = {};
    run_seed(1U, &COUPLING_K, 1, true, &ensemble);

    signal_t reference;
    signal_t coupled;
    mask_t mask;
    for (double &level : reference) {
        level = draw_level();
    }
    for (int q = 0; q < PASS_COUNT; ++q) {
        build_mask(mask, q);
        generate_coupled(reference, mask, coupled);
        const double mx = signal_mean(reference);
        const double vx = signal_variance(reference, mx);
        const pass_measures measures = measure_pass(reference, mx, vx, coupled, rank_statistic);
        ASSERT_EQ(ensemble.r[q], measures.r) << "pass " << q;
        ASSERT_EQ(ensemble.rho[q], measures.ranks.rho) << "pass " << q;
        ASSERT_EQ(ensemble.bound[q], measures.ranks.bound) << "pass " << q;
    }
    // The figures quoted for the one-shot run's first and last passes.
    EXPECT_NEAR(ensemble.r[0], 0.356753, 5e-7);
    EXPECT_NEAR(ensemble.rho[0], 0.105435, 5e-7);
    EXPECT_NEAR(ensemble.bound[0], 0.156201, 5e-7);
    EXPECT_NEAR(ensemble.r[127], -0.350419, 5e-7);
}

// At k = 1 every step copies (q = 0) or mirrors (q = 127) the reference step, so the coupled
// signal is the reference shifted, or mirrored and shifted: r = +1 and -1 for every seed.
TEST(CoupledSeeds, FullCouplingCorrelatesPerfectlyAtTheEnds)
{
    const double k = 1.0;
    for (std::uint32_t seed = 4294967000U; seed != 0U && seed >= 4294967000U; seed += 3) {
        seed_result result = {};
        run_seed(seed, &k, 1, false, &result);
        ASSERT_NEAR(result.r[0], 1.0, 1e-12) << "seed " << seed;
        ASSERT_NEAR(result.r[PASS_COUNT - 1], -1.0, 1e-12) << "seed " << seed;
    }
}

// Running several k at once changes nothing for any of them: each k's results are those of
// a run at that k alone, bit for bit, k = 0 included.
TEST(CoupledSeeds, SeveralCouplingsAtOnceMatchEachAlone)
{
    const double couplings[3] = {0.0, 0.35, 1.0};
    for (std::uint32_t seed = 90; seed < 95; ++seed) {
        seed_result together[3] = {};
        run_seed(seed, couplings, 3, true, together);
        for (int c = 0; c < 3; ++c) {
            seed_result alone = {};
            run_seed(seed, &couplings[c], 1, true, &alone);
            seed_result without_ranks = {};
            run_seed(seed, &couplings[c], 1, false, &without_ranks);
            EXPECT_EQ(together[c].coupling, couplings[c]);
            for (int q = 0; q < PASS_COUNT; ++q) {
                ASSERT_EQ(together[c].r[q], alone.r[q]) << "k " << couplings[c] << ", q " << q;
                ASSERT_EQ(without_ranks.r[q], alone.r[q]) << "k " << couplings[c] << ", q " << q;
                ASSERT_EQ(without_ranks.rho[q], 0.0) << "the rank statistic is left out";
                ASSERT_EQ(together[c].rho[q], alone.rho[q]) << "k " << couplings[c] << ", q " << q;
                ASSERT_EQ(together[c].bound[q], alone.bound[q]) << "k " << couplings[c];
            }
        }
    }
}
