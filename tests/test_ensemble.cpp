// The ensemble: seed 1 against the one-shot run, folding and quantiles against direct
// computation, thread-count independence, bad options and staged output files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <chrono>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "test_files.h"

#include "files.h"
#include "flow.h"
#include "kernels.h"
#include "quantiles.h"
#include "measures.h"
#include "stats.h"
#include "synth.h"

namespace fs = std::filesystem;

#if defined(__has_feature)
#define ADDRESS_SANITIZER_BY_CLANG __has_feature(address_sanitizer)
#else
#define ADDRESS_SANITIZER_BY_CLANG 0
#endif

namespace {

// A folder of its own for each test, removed afterwards.
class EnsembleProgram : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(folder_.empty()); }

    // Runs a program in the folder; returns its exit status, with stdout and stderr kept.
    int run(const std::string &program, const std::string &arguments)
    {
        return run_command(folder_, folder_, "'" + program + "' " + arguments, &out_, &errors_);
    }
    int ensemble(const std::string &arguments) { return run(AGREEMENT_ENSEMBLE_EXE, arguments); }

    // Runs a shell script in the folder, with $E naming the ensemble program; returns its exit
    // status, with stdout and stderr kept.
    int script(const std::string &body)
    {
        std::ofstream(folder_ / "script.sh") << "E='" << AGREEMENT_ENSEMBLE_EXE << "'\n"
                                             << body << "\n";
        const int status = run("/bin/sh", "script.sh");
        fs::remove(folder_ / "script.sh");
        return status;
    }

    std::string text(const std::string &name) const { return read_text(folder_ / name); }

    // Names in the folder that look like temporary files.
    std::vector<std::string> temporaries() const
    {
        std::vector<std::string> found;
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(folder_)) {
            if (entry.path().extension() == ".tmp") {
                found.push_back(entry.path().filename().string());
            }
        }
        return found;
    }

    scratch_folder scratch_{"agreement_ensemble"};
    fs::path folder_ = scratch_.path();
    std::string out_;
    std::string errors_;
};

seed_result made_up_seed(std::uint32_t seed)
{
    seed_result result = {};
    result.seed = seed;
    result.turning_points = 80;
    return result;
}

// Folds the seeds' results (one coupling each) as the program does: every seed for the
// totals, then every seed again for the values the quantiles need.
std::vector<pass_row> fold_twice(const std::vector<seed_result> &results, ensemble_totals *totals)
{
    start_totals(totals, 1);
    for (const seed_result &result : results) {
        fold_seed(totals, &result);
    }
    quantile_search search;
    plan_quantiles(*totals, &search);
    for (const seed_result &result : results) {
        keep_values(&search, 0, 1, &result);
    }
    std::vector<pass_row> rows(PASS_COUNT);
    const double k = 0.0;
    finish_rows(*totals, &search, &k, rows.data());
    return rows;
}

// The quantile of sorted values by linear interpolation between order statistics, directly.
double direct_quantile(const std::vector<double> &sorted, double p)
{
    const double h = static_cast<double>(sorted.size() - 1) * p;
    const std::size_t k = static_cast<std::size_t>(std::floor(h));
    return k + 1 < sorted.size() ? sorted[k] + (h - k) * (sorted[k + 1] - sorted[k]) : sorted[k];
}

} // namespace

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

// Values placed by hand: 41 seeds whose r in pass 0 are -0.5 .. 0.5 in steps of 1/40, in a
// scrambled seed order. The quantile places are (41 - 1) p = 1, 20 and 39 exactly, so the
// quantiles are the order statistics -19/40, 0 and 19/40; the mean is 0 and the sample
// variance (sum of j^2 / 1600 for j = -20 .. 20) / 40 = 5740 / 64000.
TEST(EnsembleTotals, QuantilesMeanAndSpreadOfKnownValues)
{
    std::vector<seed_result> results;
    for (int i = 0; i < 41; ++i) {
        seed_result result = made_up_seed(static_cast<std::uint32_t>(i));
        const int j = (i * 17) % 41 - 20; // every j in -20 .. 20 once
        for (int q = 0; q < PASS_COUNT; ++q) {
            result.r[q] = j / 40.0;
            result.rho[q] = q == 0 ? (j < 0 ? -0.3 : 0.05) : 0.0;
            result.bound[q] = 0.1; // excludes zero only for rho = -0.3, j < 0: 20 of 41
        }
        result.turning_points = i < 3 ? 73 : 74; // three below the bound of 74
        results.push_back(result);
    }
    ensemble_totals totals;
    const std::vector<pass_row> rows = fold_twice(results, &totals);
    EXPECT_EQ(rows[0].agreement, 1.0);
    EXPECT_EQ(rows[127].agreement, 0.0);
    EXPECT_EQ(rows[0].r_low, -19 / 40.0);
    EXPECT_EQ(rows[0].r_median, 0.0);
    EXPECT_EQ(rows[0].r_high, 19 / 40.0);
    EXPECT_NEAR(rows[0].mean_r, 0.0, 1e-15);
    EXPECT_NEAR(rows[0].sd_r, std::sqrt(5740.0 / 64000.0), 1e-15);
    EXPECT_NEAR(rows[0].mean_rho, (20 * -0.3 + 21 * 0.05) / 41, 1e-15);
    EXPECT_NEAR(rows[0].share_excluding_zero, 20.0 / 41.0, 1e-15);
    EXPECT_EQ(rows[1].share_excluding_zero, 0.0);
    EXPECT_EQ(totals.few_turning_points, 3U);
}

// Eleven values 0, 0.1 .. 1.0: the places (11 - 1) p = 0.25, 5 and 9.75 fall between order
// statistics for two of the three quantiles.
TEST(EnsembleTotals, QuantilesInterpolateBetweenOrderStatistics)
{
    std::vector<seed_result> results;
    for (int i = 0; i < 11; ++i) {
        seed_result result = made_up_seed(static_cast<std::uint32_t>(i));
        for (int q = 0; q < PASS_COUNT; ++q) {
            result.r[q] = (10 - i) / 10.0;
        }
        results.push_back(result);
    }
    ensemble_totals totals;
    const std::vector<pass_row> rows = fold_twice(results, &totals);
    EXPECT_NEAR(rows[5].r_low, 0.025, 1e-15);
    EXPECT_NEAR(rows[5].r_median, 0.5, 1e-15);
    EXPECT_NEAR(rows[5].r_high, 0.975, 1e-15);
}

// Real seeds: every figure equals the one taken directly from all values, sorted.
TEST(EnsembleTotals, RealSeedsAgainstDirectComputation)
{
    constexpr int seeds = 60;
    std::vector<seed_result> results(seeds);
    for (int i = 0; i < seeds; ++i) {
        run_seed(static_cast<std::uint32_t>(1000 + i), &COUPLING_K, 1, true, &results[i]);
    }
    ensemble_totals totals;
    const std::vector<pass_row> rows = fold_twice(results, &totals);
    for (int q = 0; q < PASS_COUNT; ++q) {
        std::vector<double> r;
        double sum = 0.0;
        for (const seed_result &result : results) {
            r.push_back(result.r[q]);
            sum += result.r[q];
        }
        std::sort(r.begin(), r.end());
        const double mean = sum / seeds;
        double squares = 0.0;
        for (double value : r) {
            squares += (value - mean) * (value - mean);
        }
        EXPECT_NEAR(rows[q].mean_r, mean, 1e-14) << "pass " << q;
        EXPECT_NEAR(rows[q].sd_r, std::sqrt(squares / (seeds - 1)), 1e-14) << "pass " << q;
        // The direct place (n - 1) p is a double here, a last bit off the exact fraction the
        // ensemble uses; the wrong order statistic would be off by far more.
        EXPECT_NEAR(rows[q].r_low, direct_quantile(r, 0.025), 1e-15) << "pass " << q;
        EXPECT_NEAR(rows[q].r_median, direct_quantile(r, 0.5), 1e-15) << "pass " << q;
        EXPECT_NEAR(rows[q].r_high, direct_quantile(r, 0.975), 1e-15) << "pass " << q;
    }
}

// Seed 1's rows against a real one-shot run's summaries, field by field at six decimals.
TEST_F(EnsembleProgram, SeedOneMatchesTheOneShotFiles)
{
    fs::create_directories(folder_ / "data" / "1");
    ASSERT_EQ(run(AGREEMENT_SWEEP_EXE, ""), 0);
    ASSERT_EQ(ensemble("--seeds 1 --per-seed seed.csv"), 0) << errors_;
    const std::vector<std::string> rows = split(text("seed.csv"), '\n');
    const std::vector<std::string> correlation = split(text("data/tov.dat"), '\n');
    const std::vector<std::string> rank = split(text("data/sl.dat"), '\n');
    ASSERT_EQ(rows.size(), 129U);
    ASSERT_EQ(rows[0], "coupling,seed,q,r,rho,bound");
    for (int q = 0; q < PASS_COUNT; ++q) {
        std::vector<std::string> fields = split(rows[q + 1], ',');
        ASSERT_EQ(fields.size(), 6U);
        EXPECT_EQ(fields[0], "0.000000");
        fields.erase(fields.begin());
        EXPECT_EQ(fields[0], "1");
        EXPECT_EQ(fields[1], std::to_string(q));
        std::string r = split(correlation[q], '\t')[3];
        std::string rho = split(rank[q], '\t')[0];
        std::string bound = split(rank[q], '\t')[1];
        for (std::string *field : {&r, &rho, &bound}) {
            std::replace(field->begin(), field->end(), ',', '.'); // decimal comma to point
        }
        EXPECT_EQ(fields[2], r) << "pass " << q;
        EXPECT_EQ(fields[3], rho) << "pass " << q;
        EXPECT_EQ(fields[4], bound) << "pass " << q;
    }
}

TEST_F(EnsembleProgram, SameBytesWhateverTheThreadCount)
{
    ASSERT_EQ(ensemble("--seeds 70 --first-seed 500 --threads 1 --output one.csv "
                       "--per-seed one_seeds.csv"),
              0)
        << errors_;
    const std::string table = text("one.csv");
    const std::string per_seed = text("one_seeds.csv");
    EXPECT_EQ(split(table, '\n').size(), 129U);
    EXPECT_EQ(split(per_seed, '\n').size(), 1U + 70U * 128U);
    for (const char *threads : {"2", "3", "8"}) {
        ASSERT_EQ(ensemble(std::string("--seeds 70 --first-seed 500 --output t.csv ") +
                           "--per-seed t_seeds.csv --threads " + threads),
                  0)
            << errors_;
        EXPECT_EQ(text("t.csv"), table) << threads << " threads";
        EXPECT_EQ(text("t_seeds.csv"), per_seed) << threads << " threads";
    }
    EXPECT_NE(out_.find("70 seeds (500 to 569) at 1 coupling on 8 threads"), std::string::npos)
        << out_;
}

// Every path this processor has writes the plain path's bytes, here for the last seeds
// and two couplings; a path that isn't one stops the program before it writes anything.
TEST_F(EnsembleProgram, EveryPathWritesTheSameBytes)
{
    const std::string options =
        "--seeds 40 --first-seed 4294967256 --coupling 0,0.6 --threads 2 --per-seed s.csv";
    const std::string program = std::string("'") + AGREEMENT_ENSEMBLE_EXE + "' ";
    ASSERT_EQ(run("env", "AGREEMENT_ENSEMBLE_ISA=generic " + program + options), 0) << errors_;
    const std::string table = text("ensemble.csv");
    const std::string per_seed = text("s.csv");
    int count = 0;
    const kernel_path *const *paths = kernel_paths(&count);
    for (int i = 0; i + 1 < count; ++i) {
        if (!paths[i]->available()) {
            continue;
        }
        const std::string name = paths[i]->name;
        ASSERT_EQ(run("env", "AGREEMENT_ENSEMBLE_ISA=" + name + " " + program + options), 0)
            << errors_;
        EXPECT_EQ(text("ensemble.csv"), table) << name;
        EXPECT_EQ(text("s.csv"), per_seed) << name;
    }
    fs::remove(folder_ / "ensemble.csv");
    fs::remove(folder_ / "s.csv");
    EXPECT_EQ(run("env", "AGREEMENT_ENSEMBLE_ISA=avx " + program + options), 2);
    EXPECT_NE(errors_.find("AGREEMENT_ENSEMBLE_ISA='avx'"), std::string::npos) << errors_;
    EXPECT_FALSE(fs::exists(folder_ / "ensemble.csv"));
    EXPECT_FALSE(fs::exists(folder_ / "s.csv"));
}

TEST_F(EnsembleProgram, BadOptionsNameTheProblem)
{
    struct bad_case {
        const char *arguments;
        const char *problem;
    };
    const bad_case cases[] = {
        {"--seeds abc", "--seeds must be a whole number from 1 to 4294967296, not 'abc'"},
        {"--seeds 0", "--seeds must be a whole number from 1 to 4294967296, not '0'"},
        {"--seeds -5", "--seeds must be a whole number from 1 to 4294967296, not '-5'"},
        {"--seeds 12x", "not '12x'"},
        {"--threads 0", "--threads must be a whole number from 1 to 256, not '0'"},
        {"--first-seed 4294967295 --seeds 2",
         "seeds 4294967295 to 4294967296 go beyond the generator's 32-bit state"},
        {"--first-seed 4294967296", "--first-seed must be a whole number from 0 to 4294967295"},
        {"--bogus", "unknown option '--bogus'"},
        {"stray", "unexpected argument 'stray'"},
        {"--seeds", "--seeds needs a value"},
        {"--output a.csv --per-seed a.csv", "name the same file 'a.csv'"},
        {"--coupling -0.1", "--coupling value '-0.1' lies outside [0, 1]"},
        {"--coupling 1.5", "--coupling value '1.5' lies outside [0, 1]"},
        {"--coupling 0.5:1.5:0.5", "--coupling range '0.5:1.5:0.5' leaves [0, 1]"},
        {"--coupling nan", "--coupling item 'nan' is not a number"},
        {"--coupling inf", "--coupling item 'inf' is not a number"},
        {"--coupling 0,,1", "--coupling has an empty item"},
        {"--coupling 0.5,", "--coupling has an empty item"},
        {"--coupling abc", "--coupling item 'abc' is not a number"},
        {"--coupling 0.5x", "--coupling item '0.5x' is not a number"},
        {"--coupling 0:1:0", "--coupling range '0:1:0' needs a STEP above 0"},
        {"--coupling 0:1:-0.1", "--coupling range '0:1:-0.1' needs a STEP above 0"},
        {"--coupling 0.8:0.2:0.1", "--coupling range '0.8:0.2:0.1' starts above its STOP"},
        {"--coupling 0:1:0.0005", "--coupling gives more than 1001 different values"},
        {"--coupling 0:1:1e-7", "--coupling range '0:1:1e-7' has more than 1000001 points"},
        {"--coupling '0.5,1,0\nx'", "--coupling item '0\\nx' is not a number"}, // one line
        {"--coupling 0:1", "--coupling range '0:1' is not START:STOP:STEP"},
    };
    for (const bad_case &bad : cases) {
        EXPECT_EQ(ensemble(bad.arguments), 2) << bad.arguments;
        EXPECT_NE(errors_.find(bad.problem), std::string::npos) << bad.arguments << ": " << errors_;
        EXPECT_EQ(errors_.rfind("agreement_ensemble: ", 0), 0U) << errors_;
        EXPECT_NE(errors_.find("(see --help)\n"), std::string::npos) << errors_;
        EXPECT_EQ(std::count(errors_.begin(), errors_.end(), '\n'), 1) << errors_;
        EXPECT_EQ(out_, "");
    }
    EXPECT_TRUE(fs::is_empty(folder_)) << "bad options write nothing";

    EXPECT_EQ(ensemble("--help"), 0);
    EXPECT_NE(out_.find("Usage: agreement_ensemble"), std::string::npos);
    EXPECT_EQ(ensemble("--version"), 0);
    EXPECT_EQ(out_, "agreement_ensemble 1.1.0\n");
}

TEST(EnsembleOptions, Defaults)
{
    ensemble_options chosen;
    char program[] = "agreement_ensemble";
    char *argv[] = {program, nullptr};
    ASSERT_EQ(read_options(1, argv, &chosen), 0);
    EXPECT_EQ(chosen.seeds, 10000U);
    EXPECT_EQ(chosen.first_seed, 1U);
    EXPECT_EQ(chosen.threads, 0U) << "the machine's hardware threads";
    EXPECT_EQ(chosen.couplings, std::vector<double>{0.0});
    EXPECT_EQ(chosen.output, "ensemble.csv");
    EXPECT_EQ(chosen.per_seed, "");
}

// Every way a run can end short leaves both earlier files and no temporary file: a missing
// folder, signals (the run waits in a script until both temporary files stand), a reader that
// closes its pipe, a size limit that the per-seed file meets only when it is flushed at the end,
// exhausted memory, and a per-seed file that can't be put in place after the table was (which
// is then put back). Signals ignored when the run starts stay ignored.
TEST_F(EnsembleProgram, EveryWayARunCanEndLeavesTheEarlierFiles)
{
    // Waits until both temporary files stand, then gives the run's pid to what follows. The
    // run starts with every signal at its default, which a script's background job is not.
    const auto start = [](const char *seeds) {
        return std::string("env --default-signal \"$E\" --seeds ") + seeds +
               " --output t.csv --per-seed p.csv > s.txt & pid=$!; i=0; "
               "while [ $(ls | grep -c '\\.tmp$') -lt 2 ] && [ $i -lt 500 ]; do sleep 0.01; "
               "i=$((i + 1)); done; ";
    };
    struct ending {
        const char *way;
        std::string script;
        int status;         // exit status, or 128 + the signal that ended the run
        const char *errors; // all of stderr
    };
    const ending endings[] = {
        {"a missing folder", "\"$E\" --seeds 20 --output t.csv --per-seed missing/p.csv", 1,
         "agreement_ensemble: cannot open missing/p.csv for writing: No such file or directory\n"},
        {"SIGINT", start("100000000") + "kill -INT $pid; wait $pid 2> shell.txt", 128 + SIGINT, ""},
        {"SIGHUP", start("100000000") + "kill -HUP $pid; wait $pid 2> shell.txt", 128 + SIGHUP, ""},
        {"SIGTERM", start("100000000") + "kill -TERM $pid; wait $pid 2> shell.txt", 128 + SIGTERM,
         ""},
        {"a closed pipe",
         "{ \"$E\" --seeds 300 --output t.csv --per-seed -; echo $? > status; } "
         "| head -c 100 > head.txt; exit $(cat status)",
         128 + SIGPIPE, ""},
        // 60 blocks of 512 bytes take the table (12 KB) but not the 54 KB of ten seeds' rows.
        {"a size limit", "ulimit -f 60; \"$E\" --seeds 10 --output t.csv --per-seed p.csv", 1,
         "agreement_ensemble: cannot write p.csv: File too large\n"},
        {"a folder where the per-seed file goes",
         start("500") + "kill -STOP $pid; rm p.csv; mkdir -p p.csv/in; kill -CONT $pid; wait $pid",
         1, "agreement_ensemble: cannot replace p.csv: Is a directory\n"},
// The sanitizers' shadow memory and an emulator's code buffer can't live under a small
// ulimit -v.
#if !defined(__SANITIZE_ADDRESS__) && !ADDRESS_SANITIZER_BY_CLANG &&                               \
    !defined(AGREEMENT_SWEEP_EMULATED)
        // 1,001 couplings' histograms alone take 64 MB.
        {"exhausted memory",
         "ulimit -v 60000; \"$E\" --seeds 20 --coupling 0:1:0.001 --output t.csv --per-seed p.csv",
         1, "agreement_ensemble: stopped: out of memory\n"},
#endif
    };
    for (const ending &end : endings) {
        std::ofstream(folder_ / "t.csv") << "earlier table\n";
        std::ofstream(folder_ / "p.csv") << "earlier rows\n";
        EXPECT_EQ(script(end.script), end.status) << end.way;
        EXPECT_EQ(errors_, end.errors) << end.way;
        EXPECT_EQ(text("t.csv"), "earlier table\n") << end.way;
        if (fs::is_regular_file(folder_ / "p.csv")) {
            EXPECT_EQ(text("p.csv"), "earlier rows\n") << end.way;
        }
        EXPECT_TRUE(temporaries().empty()) << end.way;
        fs::remove_all(folder_ / "p.csv");
    }

    // Ignored at the start (nohup, or a script's background job for SIGINT): the run goes on.
    EXPECT_EQ(script("trap '' HUP INT; \"$E\" --seeds 300 --output t.csv > s.txt & pid=$!; "
                     "i=0; while ! ls | grep -q '\\.tmp$' && [ $i -lt 500 ]; do sleep 0.01; "
                     "i=$((i + 1)); done; kill -HUP $pid; kill -INT $pid; wait $pid"),
              0)
        << errors_;
    EXPECT_EQ(split(text("t.csv"), '\n').size(), 129U);
    EXPECT_TRUE(temporaries().empty());
    EXPECT_EQ(errors_, "") << "no progress line when stderr isn't a terminal";
}

// ---- Across the coupling coefficient ----

// The law's limits, worked out by hand from its formula: 1/sqrt(5) at k = 0 and full
// agreement, 0 at half agreement, and at k = 1 a perfect correlation that any disagreement
// destroys.
TEST(LongSignalLaw, Limits)
{
    EXPECT_NEAR(long_signal_law(1.0, 0.0), 1.0 / std::sqrt(5.0), 1e-15);
    EXPECT_NEAR(long_signal_law(0.0, 0.0), -1.0 / std::sqrt(5.0), 1e-15);
    EXPECT_NEAR(long_signal_law(0.748, 0.0), 0.496 / std::sqrt(5.0 + 4.0 * 0.748 * 0.252), 1e-15);
    for (const double k : {0.0, 0.3, 0.9, 1.0}) {
        EXPECT_EQ(long_signal_law(0.5, k), 0.0) << "k = " << k;
    }
    EXPECT_NEAR(long_signal_law(1.0, 1.0), 1.0, 1e-15);
    EXPECT_NEAR(long_signal_law(0.0, 1.0), -1.0, 1e-15);
    for (const double f : {0.001, 0.25, 0.748, 0.999}) {
        EXPECT_EQ(long_signal_law(f, 1.0), 0.0) << "f = " << f;
    }
}

// The law against a direct simulation of one long signal per point: iid reference levels, iid
// agreement flags, the generator's own step rule. 400,000 levels leave a noise of a few
// thousandths in r.
TEST(LongSignalLaw, MatchesALongSimulation)
{
    std::mt19937_64 random(2026);
    std::uniform_int_distribution<int> draw(0, RANDOM_MAX);
    constexpr int length = 400000;
    std::vector<double> x(length);
    std::vector<double> y(length);
    for (const double k : {0.25, 0.75}) {
        for (const double f : {1.0, 0.748}) {
            std::bernoulli_distribution agree(f);
            for (double &level : x) {
                level = level_from_draw(draw(random));
            }
            y[0] = level_from_draw(draw(random));
            for (int p = 0; p + 1 < length; ++p) {
                const double step = x[p + 1] - x[p];
                const bool same = agree(random);
                const bool up = (same && step > 0.0) || (!same && step < 0.0);
                const step_levels levels =
                    coupled_step_levels(y[p], std::fabs(step), k, draw(random));
                y[p + 1] = up ? levels.up : levels.down;
            }
            // Pearson's r from the five running sums, in one pass.
            double sums[5] = {}; // x, y, x^2, y^2, x y
            for (int i = 0; i < length; ++i) {
                const double terms[5] = {x[i], y[i], x[i] * x[i], y[i] * y[i], x[i] * y[i]};
                for (int t = 0; t < 5; ++t) {
                    sums[t] += terms[t];
                }
            }
            const double n = length;
            const double r =
                (n * sums[4] - sums[0] * sums[1]) /
                std::sqrt((n * sums[2] - sums[0] * sums[0]) * (n * sums[3] - sums[1] * sums[1]));
            EXPECT_NEAR(r, long_signal_law(f, k), 0.01) << "k = " << k << ", f = " << f;
        }
    }
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

namespace {

// Seed 7's r at coupling k in passes 0 .. passes - 1, worked out from the experiment's rules
// alone: its own generator, mask, general bounds and Pearson correlation (amplification
// leaves r unchanged up to rounding).
std::vector<double> independent_r(std::uint32_t state, double k, int passes)
{
    auto draw = [&state]() {
        state = state * 214013U + 2531011U;
        return static_cast<double>((state >> 16) & 0x7FFFU);
    };
    double x[128];
    for (double &level : x) {
        level = draw() * 9.0 / 32767.0 + 1.0;
    }
    std::vector<double> r;
    for (int q = 0; q < passes; ++q) {
        int flags[128];
        std::fill(flags, flags + 128, 1);
        flags[127] = 0; // index 127 lies past the mask
        for (int cleared = 0; cleared < q;) {
            const int i = static_cast<int>(std::floor(draw() * 127.0 / 32767.0));
            cleared += flags[i];
            flags[i] = 0;
        }
        double y[128];
        y[0] = draw() * 9.0 / 32767.0 + 1.0;
        for (int p = 0; p < 127; ++p) {
            const double step = x[p + 1] - x[p];
            const double d = std::fabs(step);
            const bool up = (flags[p] == 1 && step > 0.0) || (flags[p] == 0 && step < 0.0);
            const double u = draw();
            if (up) {
                const double high = 10.0 - ((10.0 - y[p]) - d) * k;
                const double low = d * k + y[p];
                y[p + 1] = u * (high - low) / 32767.0 + low;
            } else {
                const double high = y[p] - d * k;
                const double low = ((y[p] - d) - 1.0) * k + 1.0;
                y[p + 1] = high - u * (high - low) / 32767.0;
            }
        }
        double mx = 0.0;
        double my = 0.0;
        for (int i = 0; i < 128; ++i) {
            mx += x[i] / 128.0;
            my += y[i] / 128.0;
        }
        double sxy = 0.0;
        double sxx = 0.0;
        double syy = 0.0;
        for (int i = 0; i < 128; ++i) {
            sxy += (x[i] - mx) * (y[i] - my);
            sxx += (x[i] - mx) * (x[i] - mx);
            syy += (y[i] - my) * (y[i] - my);
        }
        r.push_back(sxy / std::sqrt(sxx * syy));
    }
    return r;
}

} // namespace

// One seed's table at a small and a large k against the independent computation, at six
// decimals, in the first passes (q = 3 takes mask draws too).
TEST_F(EnsembleProgram, CoupledTableMatchesAnIndependentComputation)
{
    ASSERT_EQ(ensemble("--seeds 1 --first-seed 7 --coupling 0.6,0.05 --output one.csv"), 0)
        << errors_;
    const std::vector<std::string> rows = split(text("one.csv"), '\n');
    ASSERT_EQ(rows.size(), 1U + 2U * 128U);
    EXPECT_EQ(rows[0], "coupling,q,agreement,mean_r,sd_r,r_q025,r_q500,r_q975,mean_rho,"
                       "share_rho_band_excludes_zero,law_r");
    for (const double k : {0.05, 0.6}) {
        const std::vector<double> r = independent_r(7U, k, 4);
        const int first_row = k == 0.05 ? 1 : 1 + 128;
        for (int q = 0; q < 4; ++q) {
            const std::vector<std::string> fields = split(rows[first_row + q], ',');
            ASSERT_EQ(fields.size(), 11U);
            EXPECT_EQ(fields[0], k == 0.05 ? "0.050000" : "0.600000");
            EXPECT_EQ(fields[1], std::to_string(q));
            for (const int column : {3, 5, 6, 7}) { // mean and quantiles of one seed: its r
                EXPECT_NEAR(std::stod(fields[column]), r[q], 5.1e-7)
                    << "k " << k << ", q " << q << ", column " << column;
            }
            EXPECT_EQ(fields[4], "nan") << "no spread from one seed";
            EXPECT_NEAR(std::stod(fields[10]), long_signal_law((127.0 - q) / 127.0, k), 5.1e-7);
        }
    }
}

// A grid: the same bytes on 1 and 3 threads, its k = 0 rows those of a run at k = 0 alone,
// and the per-seed rows by seed, then k, then q.
TEST_F(EnsembleProgram, GridSharesTheSeedsAcrossCouplings)
{
    ASSERT_EQ(ensemble("--seeds 30 --first-seed 4294967266 --output alone.csv"), 0) << errors_;
    ASSERT_EQ(ensemble("--seeds 30 --first-seed 4294967266 --coupling 1,0:0.5:0.25 --threads 1 "
                       "--output one.csv --per-seed one_seeds.csv"),
              0)
        << errors_;
    EXPECT_NE(out_.find("30 seeds (4294967266 to 4294967295) at 4 couplings"), std::string::npos)
        << out_;
    for (const char *k : {"k = 0.0000: ", "k = 0.2500: ", "k = 0.5000: ", "k = 1.0000: "}) {
        EXPECT_NE(out_.find(k), std::string::npos) << k << " in " << out_;
    }
    ASSERT_EQ(ensemble("--seeds 30 --first-seed 4294967266 --coupling 1,0:0.5:0.25 --threads 3 "
                       "--output three.csv --per-seed three_seeds.csv"),
              0)
        << errors_;
    EXPECT_EQ(text("three.csv"), text("one.csv"));
    EXPECT_EQ(text("three_seeds.csv"), text("one_seeds.csv"));

    const std::vector<std::string> alone = split(text("alone.csv"), '\n');
    const std::vector<std::string> grid = split(text("one.csv"), '\n');
    ASSERT_EQ(grid.size(), 1U + 4U * 128U);
    for (int q = 0; q <= PASS_COUNT; ++q) {
        EXPECT_EQ(grid[q], alone[q]) << "row " << q;
    }
    EXPECT_EQ(grid[1 + 3 * 128].rfind("1.000000,0,1.000000,1.000000,", 0), 0U) << grid[1 + 3 * 128];
    EXPECT_NE(out_.find("k = 1.0000: mean r 1.0000 at full agreement, -1.0000 at full "
                        "disagreement;"),
              std::string::npos)
        << out_;

    const std::vector<std::string> seeds = split(text("one_seeds.csv"), '\n');
    ASSERT_EQ(seeds.size(), 1U + 30U * 4U * 128U);
    EXPECT_EQ(seeds[1].rfind("0.000000,4294967266,0,", 0), 0U) << seeds[1];
    EXPECT_EQ(seeds[1 + 128].rfind("0.250000,4294967266,0,", 0), 0U) << seeds[1 + 128];
    EXPECT_EQ(seeds[1 + 512].rfind("0.000000,4294967267,0,", 0), 0U) << seeds[1 + 512];
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

// The quantile runs group the couplings so that each keeps at most its budget of values.
TEST(QuantileSearch, GroupsCouplingsWithinTheBudget)
{
    quantile_search search;
    search.couplings = 4;
    search.kept.assign(4 * PASS_COUNT, 0U);
    const std::uint64_t per_coupling[4] = {300, 500, 900, 100};
    for (int c = 0; c < 4; ++c) {
        search.kept[static_cast<std::size_t>(c) * PASS_COUNT + 5] = per_coupling[c];
    }
    EXPECT_EQ(couplings_in_group(search, nullptr, 0, 800), 2); // 300 + 500
    EXPECT_EQ(couplings_in_group(search, nullptr, 0, 799), 1);
    EXPECT_EQ(couplings_in_group(search, nullptr, 2, 800), 1);  // 900 alone, over the budget
    EXPECT_EQ(couplings_in_group(search, nullptr, 2, 1000), 2); // to the last coupling
    EXPECT_EQ(couplings_in_group(search, nullptr, 0, 10000), 4);
    // A group ends before a coupling the first run caught whole.
    const std::uint8_t found[4] = {0, 0, 1, 0};
    EXPECT_EQ(couplings_in_group(search, found, 0, 10000), 2);
    EXPECT_EQ(couplings_in_group(search, found, 1, 10000), 1);
    EXPECT_EQ(couplings_in_group(search, found, 3, 10000), 1);
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

// Keeping values for one group of couplings at a time gives the same rows as keeping them
// for all at once: each group's values land in its own couplings' cells.
// Folds the seeds' results (one coupling) with a net of `budget` values, as the program
// does; where the net misses, runs them again as the second run would. *found says which.
std::vector<pass_row> fold_with_net(const std::vector<seed_result> &results, std::uint64_t budget,
                                    bool *found, std::uint64_t *held)
{
    ensemble_totals totals;
    start_totals(&totals, 1);
    quantile_net net;
    start_net(totals, results.size(), budget, &net);
    // In blocks of 16 seeds and a short last one, as the program hands them over.
    for (std::size_t first = 0; first < results.size(); first += 16) {
        const std::size_t seeds = std::min<std::size_t>(16, results.size() - first);
        fold_and_catch(&totals, &net, &results[first], seeds);
    }
    *held = net.held;
    quantile_search search;
    plan_quantiles(totals, &search);
    std::vector<std::uint8_t> caught;
    take_caught(&net, &search, &caught);
    *found = caught[0] != 0;
    if (!*found) {
        for (const seed_result &result : results) {
            keep_values(&search, 0, 1, &result);
        }
    }
    std::vector<pass_row> rows(PASS_COUNT);
    const double k = 0.0;
    finish_rows(totals, &search, &k, rows.data());
    return rows;
}

// Every pass's quantiles from the results, sorted directly.
void expect_direct_quantiles(const std::vector<seed_result> &results,
                             const std::vector<pass_row> &rows)
{
    for (int q = 0; q < PASS_COUNT; ++q) {
        std::vector<double> values;
        for (const seed_result &result : results) {
            values.push_back(result.r[q]);
        }
        std::sort(values.begin(), values.end());
        // The same interpolation between the same order statistics, so equal to the bit.
        const double found[3] = {rows[q].r_low, rows[q].r_median, rows[q].r_high};
        const int per_mille[3] = {25, 500, 975};
        for (int i = 0; i < 3; ++i) {
            std::uint64_t k = 0;
            double fraction = 0.0;
            quantile_place(values.size(), per_mille[i], &k, &fraction);
            const double expected =
                fraction == 0.0 ? values[k] : values[k] + fraction * (values[k + 1] - values[k]);
            EXPECT_EQ(found[i], expected) << "pass " << q << ", quantile " << i;
        }
    }
}

// 6,000 seeds of spread-out values: the net lets go of most of them as it goes (it starts
// narrowing after 2,048 seeds here) and still holds every value the quantiles need.
TEST(QuantileNet, CatchesWhatASecondRunWould)
{
    std::mt19937_64 random(3);
    std::normal_distribution<double> normal(0.0, 0.2);
    std::vector<seed_result> results;
    for (int i = 0; i < 6000; ++i) {
        seed_result result = made_up_seed(static_cast<std::uint32_t>(i));
        for (int q = 0; q < PASS_COUNT; ++q) {
            result.r[q] = std::max(-1.0, std::min(1.0, normal(random) + (64 - q) / 80.0));
        }
        results.push_back(result);
    }
    bool found = false;
    std::uint64_t held = 0;
    const std::vector<pass_row> rows = fold_with_net(results, 8192 * PASS_COUNT, &found, &held);
    EXPECT_TRUE(found);
    EXPECT_LT(held, 6000U * PASS_COUNT / 8);
    expect_direct_quantiles(results, rows);
}

// Values that drift after the first thousand seeds leave the quantiles where the net let go
// early; a net over its budget gives up at once. The second run then finds them.
TEST(QuantileNet, MissesADriftOrItsBudgetAndTheSecondRunFindsThem)
{
    std::vector<seed_result> results;
    for (int i = 0; i < 5000; ++i) {
        seed_result result = made_up_seed(static_cast<std::uint32_t>(i));
        for (int q = 0; q < PASS_COUNT; ++q) {
            result.r[q] = (i < 1000 ? 0.1 : 0.7) + ((i * 7919 + q) % 1000) / 10000.0;
        }
        results.push_back(result);
    }
    for (std::uint64_t budget : {std::uint64_t{8192} * PASS_COUNT, std::uint64_t{1000}}) {
        bool found = true;
        std::uint64_t held = 0;
        const std::vector<pass_row> rows = fold_with_net(results, budget, &found, &held);
        EXPECT_FALSE(found) << budget;
        expect_direct_quantiles(results, rows);
    }
}

// Two couplings that together outgrow a budget of 200,000 values but one alone doesn't: the
// last one is let go, and what it held no longer counts against the first.
TEST(QuantileNet, OverBudgetTheLastCouplingGoesFirst)
{
    std::mt19937_64 random(3);
    std::normal_distribution<double> normal(0.0, 0.2);
    std::vector<seed_result> results;
    for (int i = 0; i < 6000 * 2; ++i) {
        seed_result result = made_up_seed(static_cast<std::uint32_t>(i / 2));
        for (int q = 0; q < PASS_COUNT; ++q) {
            result.r[q] = std::max(-1.0, std::min(1.0, normal(random) + (64 - q) / 80.0));
        }
        results.push_back(result);
    }
    ensemble_totals totals;
    start_totals(&totals, 2);
    quantile_net net;
    start_net(totals, 6000, 200000, &net);
    for (std::size_t first = 0; first < 6000; first += 16) {
        fold_and_catch(&totals, &net, &results[2 * first], std::min<std::size_t>(16, 6000 - first));
    }
    EXPECT_EQ(net.given_up[0], 0U);
    EXPECT_EQ(net.given_up[1], 1U);
    EXPECT_LE(net.held, 200000U);
}

// The net lets bins go exactly after 2,048 seeds, even when blocks (13 seeds here) straddle
// that seed, and never takes a bin back: values that move on after the first 2,100 seeds come
// into bins already let go.
TEST(QuantileNet, LetsBinsGoOnTimeAndForGood)
{
    std::vector<seed_result> results;
    for (int i = 0; i < 5000; ++i) {
        seed_result result = made_up_seed(static_cast<std::uint32_t>(i));
        for (int q = 0; q < PASS_COUNT; ++q) {
            result.r[q] = (i < 2100 ? 0.1 : 0.7) + ((i * 7919 + q) % 1000) / 100000.0;
        }
        results.push_back(result);
    }
    ensemble_totals totals;
    start_totals(&totals, 1);
    quantile_net net;
    start_net(totals, results.size(), 8192 * PASS_COUNT, &net);
    const auto bin = [&net](double r) {
        return static_cast<std::size_t>(std::floor((r + 1.0) * (0.5 * net.bins)));
    };
    std::size_t folded = 0;
    const auto fold_to = [&](std::size_t last) {
        for (; folded < last; folded += 13) {
            fold_and_catch(&totals, &net, &results[folded],
                           std::min<std::size_t>(13, last - folded));
        }
        folded = last;
    };
    fold_to(2047);
    EXPECT_EQ(net.open_bin[bin(0.705)], 1U) << "nothing let go before 2,048 seeds";
    fold_to(2050);
    EXPECT_EQ(net.next_narrowing, 4096U);
    EXPECT_EQ(net.open_bin[bin(0.705)], 0U);
    EXPECT_EQ(net.open_bin[bin(0.105)], 1U);
    fold_to(4100);
    // At 4,096 seeds the median heads for the values near 0.70, but their bins were let go.
    EXPECT_EQ(net.open_bin[bin(0.7001)], 0U);
}

TEST(QuantileSearch, GroupsKeepTheirOwnCouplings)
{
    const double couplings[2] = {0.0, 0.5};
    std::vector<seed_result> results(2 * 25);
    ensemble_totals totals;
    start_totals(&totals, 2);
    for (int i = 0; i < 25; ++i) {
        run_seed(static_cast<std::uint32_t>(300 + i), couplings, 2, false, &results[2 * i]);
        fold_seed(&totals, &results[2 * i]);
    }
    quantile_search together;
    quantile_search apart;
    plan_quantiles(totals, &together);
    plan_quantiles(totals, &apart);
    for (int i = 0; i < 25; ++i) {
        keep_values(&together, 0, 2, &results[2 * i]);
        keep_values(&apart, 0, 1, &results[2 * i]);
        keep_values(&apart, 1, 1, &results[2 * i + 1]);
    }
    std::vector<pass_row> rows_together(2 * PASS_COUNT);
    std::vector<pass_row> rows_apart(2 * PASS_COUNT);
    finish_rows(totals, &together, couplings, rows_together.data());
    finish_rows(totals, &apart, couplings, rows_apart.data());
    for (int cell = 0; cell < 2 * PASS_COUNT; ++cell) {
        EXPECT_EQ(rows_apart[cell].r_low, rows_together[cell].r_low) << "cell " << cell;
        EXPECT_EQ(rows_apart[cell].r_high, rows_together[cell].r_high) << "cell " << cell;
    }
    // And they are the order statistics: the smallest r of 25 lies below the 2.5 % quantile.
    double smallest = 1.0;
    for (int i = 0; i < 25; ++i) {
        smallest = std::min(smallest, results[2 * i + 1].r[7]);
    }
    EXPECT_GE(rows_apart[PASS_COUNT + 7].r_low, smallest);
}

// ---- The table and the summary against the per-seed rows ----

namespace {

// The number after `label` in text.
double number_after(const std::string &text, const std::string &label)
{
    const std::size_t at = text.find(label);
    return at == std::string::npos ? std::nan("") : std::stod(text.substr(at + label.size()));
}

// The reference signal's turning points for seed, from the generator's rules alone.
int independent_turning_points(std::uint32_t state)
{
    double x[128];
    for (double &level : x) {
        state = state * 214013U + 2531011U;
        level = ((state >> 16) & 0x7FFFU) * 9.0 / 32767.0 + 1.0;
    }
    int count = 0;
    for (int i = 1; i < 127; ++i) {
        count += (x[i] > x[i - 1] && x[i] > x[i + 1]) || (x[i] < x[i - 1] && x[i] < x[i + 1]);
    }
    return count;
}

} // namespace

// Every column of the table, found by its name, against the same figure worked out directly
// from the per-seed rows (six decimals each, so within a few millionths); the per-seed rows
// by seed, then k, then q; and the summary's figures for k = 0.
TEST_F(EnsembleProgram, TableAndSummaryAgainstThePerSeedRows)
{
    constexpr int seeds = 300;
    ASSERT_EQ(ensemble("--seeds 300 --first-seed 2000 --coupling 1,0 --per-seed s.csv"), 0)
        << errors_;
    const std::vector<std::string> lines = split(text("s.csv"), '\n');
    ASSERT_EQ(lines.size(), 1U + seeds * 2U * 128U);
    std::vector<double> r[2][PASS_COUNT];
    std::vector<double> rho[2][PASS_COUNT];
    std::vector<int> excludes[2][PASS_COUNT];
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> f = split(lines[i], ',');
        ASSERT_EQ(f.size(), 6U) << lines[i];
        const std::size_t row = i - 1;
        const int k = static_cast<int>(row / 128 % 2);
        const int q = static_cast<int>(row % 128);
        ASSERT_EQ(f[0], k == 0 ? "0.000000" : "1.000000") << lines[i];
        ASSERT_EQ(std::stoul(f[1]), 2000U + row / 256) << lines[i];
        ASSERT_EQ(std::stoi(f[2]), q) << lines[i];
        r[k][q].push_back(std::stod(f[3]));
        rho[k][q].push_back(std::stod(f[4]));
        const double band = std::stod(f[5]);
        excludes[k][q].push_back(rho[k][q].back() - band > 0.0 || rho[k][q].back() + band < 0.0);
    }

    const std::vector<std::string> table = split(text("ensemble.csv"), '\n');
    ASSERT_EQ(table.size(), 1U + 2U * 128U);
    const std::vector<std::string> names = split(table[0], ',');
    auto column = [&names](const std::vector<std::string> &fields, const std::string &name) {
        const auto at = std::find(names.begin(), names.end(), name);
        return at == names.end() ? std::nan("") : std::stod(fields[at - names.begin()]);
    };
    double mean_r0[PASS_COUNT];
    for (int k = 0; k < 2; ++k) {
        for (int q = 0; q < PASS_COUNT; ++q) {
            const std::vector<std::string> fields = split(table[1 + k * 128 + q], ',');
            std::vector<double> sorted = r[k][q];
            std::sort(sorted.begin(), sorted.end());
            double sum = 0.0;
            double rho_sum = 0.0;
            int excluding = 0;
            for (int i = 0; i < seeds; ++i) {
                sum += r[k][q][i];
                rho_sum += rho[k][q][i];
                excluding += excludes[k][q][i];
            }
            const double mean = sum / seeds;
            double squares = 0.0;
            for (double value : sorted) {
                squares += (value - mean) * (value - mean);
            }
            SCOPED_TRACE("k " + std::to_string(k) + ", q " + std::to_string(q));
            EXPECT_EQ(column(fields, "coupling"), k);
            EXPECT_EQ(column(fields, "q"), q);
            EXPECT_NEAR(column(fields, "agreement"), (127.0 - q) / 127.0, 5e-7);
            EXPECT_NEAR(column(fields, "mean_r"), mean, 1.5e-6);
            EXPECT_NEAR(column(fields, "sd_r"), std::sqrt(squares / (seeds - 1)), 1.5e-6);
            EXPECT_NEAR(column(fields, "r_q025"), direct_quantile(sorted, 0.025), 1.5e-6);
            EXPECT_NEAR(column(fields, "r_q500"), direct_quantile(sorted, 0.5), 1.5e-6);
            EXPECT_NEAR(column(fields, "r_q975"), direct_quantile(sorted, 0.975), 1.5e-6);
            EXPECT_NEAR(column(fields, "mean_rho"), rho_sum / seeds, 1.5e-6);
            // A seed whose rho lies within rounding of its bound may count either way.
            EXPECT_NEAR(column(fields, "share_rho_band_excludes_zero"),
                        static_cast<double>(excluding) / seeds, 1.01 / seeds);
            if (k == 0) {
                mean_r0[q] = mean;
            }
        }
    }

    // The summary at k = 0: where mean r crosses zero (linearly between passes) and the
    // least-squares slope, from the direct means.
    double crossing = std::nan("");
    for (int q = 0; q + 1 < PASS_COUNT && crossing != crossing; ++q) {
        if ((mean_r0[q] > 0.0) != (mean_r0[q + 1] > 0.0)) {
            const double f = (127.0 - q) / 127.0;
            crossing = f - mean_r0[q] / (mean_r0[q] - mean_r0[q + 1]) / 127.0;
        }
    }
    double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    for (int q = 0; q < PASS_COUNT; ++q) {
        const double f = (127.0 - q) / 127.0;
        sx += f;
        sy += mean_r0[q];
        sxx += f * f;
        sxy += f * mean_r0[q];
    }
    const double slope = (PASS_COUNT * sxy - sx * sy) / (PASS_COUNT * sxx - sx * sx);
    const std::string k0 = out_.substr(out_.find("k = 0.0000: "));
    EXPECT_NEAR(number_after(k0, "mean r "), mean_r0[0], 6e-5) << out_;
    EXPECT_NEAR(number_after(k0, "the curve crosses zero at agreement "), crossing, 1e-4) << out_;
    EXPECT_NEAR(number_after(k0, "least-squares line has slope "), slope, 1e-4) << out_;
    const double intercept = (sy - slope * sx) / PASS_COUNT;
    EXPECT_NEAR(number_after(k0, " and crosses zero at "), -intercept / slope, 1e-4) << out_;
    int few = 0;
    for (std::uint32_t seed = 2000; seed < 2000 + seeds; ++seed) {
        few += independent_turning_points(seed) < 74;
    }
    EXPECT_NE(out_.find("(" + std::to_string(few) + " of 300) have fewer than 74"),
              std::string::npos)
        << out_;
}

TEST_F(EnsembleProgram, TheLastSeedRuns)
{
    ASSERT_EQ(ensemble("--first-seed 4294967295 --seeds 1 --per-seed s.csv"), 0) << errors_;
    EXPECT_EQ(split(text("s.csv"), '\n')[1].rfind("0.000000,4294967295,0,", 0), 0U);
    EXPECT_NE(out_.find("1 seed (4294967295 to 4294967295)"), std::string::npos) << out_;
}

// ---- What stands at an output's path ----

// Whatever stands at an output's path stays what it is, and only the file a path names is
// replaced. Names for an open descriptor (made here as links to /proc/self/fd/1, as
// /dev/stdout is) and FIFOs are written straight through, appending where the shell appends;
// links stay links; a replaced file keeps its mode and owner, and its other hard links keep
// the earlier text.
TEST_F(EnsembleProgram, OutputsKeepWhatStandsAtTheirPath)
{
    ASSERT_EQ(ensemble("--seeds 3 --output plain.csv"), 0) << errors_;
    const std::string table = text("plain.csv");
    const std::string rows = "coupling,seed,q,r,rho,bound\n";
    const std::string long_name = std::string(246, 'n') + ".csv"; // 250: the folder takes 255
    struct kind {
        const char *what;
        std::string script;
        int status;
        std::string errors; // a part of stderr, or "" for none at all
        std::string file;   // a file to check afterwards, and what it must then hold
        std::string holds;
    };
    const kind kinds[] = {
        {"a descriptor name onto a file, appending",
         "ln -s /proc/self/fd/1 out; printf 'precious\\n' > log.txt; "
         "\"$E\" --seeds 3 --output out >> log.txt",
         0, "3 seeds (1 to 3)", "log.txt", "precious\n" + table},
        {"a descriptor name onto a pipe",
         "{ \"$E\" --seeds 3 --output /proc/self/fd/1; echo $? > status; } | cat > piped.txt; "
         "exit $(cat status)",
         0, "3 seeds (1 to 3)", "piped.txt", table},
        {"another descriptor, to a pipe",
         "{ \"$E\" --seeds 3 --output t.csv --per-seed /dev/fd/3 3>&1 > s.txt; echo $? > status; } "
         "| cat > piped.txt; head -c 28 piped.txt > rows.txt; exit $(cat status)",
         0, "", "rows.txt", rows},
        {"'-' and a descriptor name for the same",
         "\"$E\" --seeds 3 --output - --per-seed /proc/self/fd/1", 2,
         "--output and --per-seed name the same file '/proc/self/fd/1'", "t.csv", "earlier\n"},
        {"a FIFO",
         "mkfifo pipe; cat pipe > piped.txt & \"$E\" --seeds 3 --output pipe > s.txt; "
         "status=$?; wait; test -p pipe && exit $status",
         0, "", "piped.txt", table},
        {"links, one to a file not there yet",
         "mkdir sub; echo earlier > sub/real.csv; ln -s real.csv sub/link.csv; "
         "ln -s made.csv sub/dangling.csv; "
         "\"$E\" --seeds 3 --output sub/link.csv --per-seed sub/dangling.csv && "
         "test -L sub/link.csv && test -L sub/dangling.csv && "
         "test \"$(head -n 1 sub/made.csv)\" = coupling,seed,q,r,rho,bound",
         0, "", "sub/real.csv", table},
        {"a link and its file",
         "mkdir sub; ln -s ../t.csv sub/link.csv; "
         "\"$E\" --seeds 3 --output t.csv --per-seed sub/link.csv",
         2, "--output and --per-seed name the same file 'sub/link.csv'", "t.csv", "earlier\n"},
        {"a loop of links",
         "ln -s loop loop; \"$E\" --seeds 3 --output loop; s=$?; test -L loop && exit $s", 1,
         "cannot open loop for writing: Too many levels of symbolic links", "t.csv", "earlier\n"},
        {"a folder", "mkdir adir; \"$E\" --seeds 3 --output adir", 1,
         "cannot open adir for writing: Is a directory", "t.csv", "earlier\n"},
        {"a file's mode, owner and hard links",
         "chmod 640 t.csv; chown 65534:65534 t.csv 2> chown.txt; ls -ln t.csv | cut -d' ' -f1,3,4 "
         "> before.txt; ln t.csv other.csv; \"$E\" --seeds 3 --output t.csv && "
         "ls -ln t.csv | cut -d' ' -f1,3,4 | cmp -s - before.txt && test \"$(cat other.csv)\" = earlier",
         0, "", "t.csv", table},
        {"a name as long as the folder takes", "\"$E\" --seeds 3 --output " + long_name, 0, "",
         long_name, table},
    };
    for (const kind &output : kinds) {
        std::ofstream(folder_ / "t.csv") << "earlier\n";
        EXPECT_EQ(script(output.script), output.status) << output.what << ": " << errors_;
        if (output.errors.empty()) {
            EXPECT_EQ(errors_.find("agreement_ensemble: cannot"), std::string::npos) << output.what;
        } else {
            EXPECT_NE(errors_.find(output.errors), std::string::npos)
                << output.what << ": " << errors_;
        }
        EXPECT_EQ(text(output.file), output.holds) << output.what;
        EXPECT_TRUE(temporaries().empty()) << output.what;
        for (const fs::directory_entry &entry : fs::directory_iterator(folder_)) {
            if (entry.path().filename() != "plain.csv") {
                fs::remove_all(entry.path());
            }
        }
    }
}

// A file in a folder that takes no new file can't be replaced whole, and the message says
// that it is the folder that refuses. Root writes anywhere, so the run then runs as nobody.
TEST_F(EnsembleProgram, AFolderThatTakesNoFileIsNamedAsTheProblem)
{
    const bool root = geteuid() == 0;
    if (root && std::system("command -v setpriv > /dev/null") != 0) {
        GTEST_SKIP() << "running as root without setpriv to drop to nobody";
    }
    fs::create_directory(folder_ / "ro");
    std::ofstream(folder_ / "ro" / "t.csv") << "earlier\n";
    fs::permissions(folder_ / "ro" / "t.csv", fs::perms(0666));
    fs::permissions(folder_ / "ro", fs::perms(0555));
    fs::permissions(folder_, fs::perms(0755));
    const std::string as = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    EXPECT_EQ(script(as + "\"$E\" --seeds 3 --output ro/t.csv"), 1);
    EXPECT_EQ(errors_, "agreement_ensemble: cannot replace ro/t.csv (its folder can't take the "
                       "new file): Permission denied\n");
    EXPECT_EQ(text("ro/t.csv"), "earlier\n");
    fs::permissions(folder_ / "ro", fs::perms(0755));
}

// Devices of the test's own: one that discards is written through, one that is full fails
// the write and stays a device.
TEST_F(EnsembleProgram, DevicesAreWrittenThrough)
{
    if (!make_full_device(folder_ / "full")) {
        GTEST_SKIP() << "making a device node needs root";
    }
    ASSERT_EQ(mknod((folder_ / "sink").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0); // discards
    EXPECT_EQ(ensemble("--seeds 3 --per-seed sink"), 0) << errors_;
    EXPECT_TRUE(is_character_device(folder_ / "sink"));
    EXPECT_EQ(ensemble("--seeds 3 --output full"), 1);
    EXPECT_EQ(errors_, "agreement_ensemble: cannot write full: No space left on device\n");
    EXPECT_TRUE(is_character_device(folder_ / "full"));
    EXPECT_TRUE(temporaries().empty());
}

// Failures leave no table half-written and no temporary file: an output that is a folder, a
// per-seed file on a full device, and help or a summary to a full stdout, in both programs.
TEST_F(EnsembleProgram, FailuresLeaveNothingHalfWritten)
{
    std::ofstream(folder_ / "ensemble.csv") << "earlier table\n";
    if (!make_full_device(folder_ / "full")) {
        GTEST_SKIP() << "making a device node needs root";
    }
    EXPECT_EQ(ensemble("--seeds 300 --per-seed full"), 1);
    EXPECT_EQ(errors_, "agreement_ensemble: cannot write full: No space left on device\n");
    EXPECT_EQ(text("ensemble.csv"), "earlier table\n");
    EXPECT_TRUE(temporaries().empty());

    for (const std::string &program :
         {std::string(AGREEMENT_ENSEMBLE_EXE) + " --seeds 2",
          std::string(AGREEMENT_ENSEMBLE_EXE) + " --seeds 2 --output -",
          std::string(AGREEMENT_ENSEMBLE_EXE) + " --help",
          std::string(AGREEMENT_SWEEP_EXE) + " --help"}) {
        const std::string command =
            "cd '" + folder_.string() + "' && " + program + " > full 2> err.txt";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << program;
        EXPECT_NE(text("err.txt").find(": cannot write standard output: No space left on device\n"),
                  std::string::npos)
            << program << ": " << text("err.txt");
    }
    EXPECT_TRUE(is_character_device(folder_ / "full"));
    EXPECT_TRUE(temporaries().empty());
}

// A fold slower than the workers lets them fill every slot of the window: 310 seeds at one
// coupling are 20 blocks, the last one short, against 4 and 8 slots. Each block is checked
// only after the fold's pause, so a worker writing into the slot still being folded shows up
// as another seed's results; the window must fill, and never hold more than its slots.
TEST(WorkWindow, SlowFoldGetsEverySeedInOrder)
{
    for (const std::uint64_t threads : {1U, 3U}) {
        std::uint64_t most_ahead = 0;
        seed_job job = {4294967295U - 309U, 310, &COUPLING_K, 1, false};
        job.most_ahead = &most_ahead;
        std::uint64_t next = job.first_seed;
        const int status = run_seeds_in_order(
            job, threads, [&next](const seed_result *results, std::uint64_t seeds) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                for (std::uint64_t i = 0; i < seeds; ++i) {
                    seed_result again = {};
                    run_seed(static_cast<std::uint32_t>(next), &COUPLING_K, 1, false, &again);
                    EXPECT_EQ(results[i].seed, next);
                    EXPECT_EQ(results[i].r[127], again.r[127]) << "seed " << next;
                    next += 1;
                }
                return 0;
            });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(next, job.first_seed + job.seeds) << threads << " threads";
        EXPECT_EQ(most_ahead, work_window_slots(threads)) << threads << " threads";
    }
}
