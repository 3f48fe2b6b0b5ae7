// The ensemble program end to end: seed 1 against the one-shot run's files, the same bytes on
// every path and thread count, bad options, and the table and summary against the per-seed
// rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "direct.h"
#include "ensemble_program.h"
#include "kernels.h"

namespace fs = std::filesystem;

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
    ASSERT_EQ(run("env", "AGREEMENT_ENSEMBLE_ISA=plain " + program + options), 0) << errors_;
    const std::string table = text("ensemble.csv");
    const std::string per_seed = text("s.csv");
    int count = 0;
    const kernel_path *const *paths = kernel_paths(&count);
    for (int i = 0; i + 1 < count; ++i) {
        if (!path_runs_here(*paths[i])) {
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
        {"--coupling 1.0000004", "--coupling value '1.0000004' lies outside [0, 1]"},
        {"--seeds 18446744073709551617", "not '18446744073709551617'"}, // 2^64 + 1
        // A second value would replace the first, and the run would not be the one asked for.
        {"--coupling 0.5 --coupling 1", "--coupling given twice: put every k in one list"},
        {"--output a.csv --output b.csv", "--output given twice"},
        {"--seeds=5 --seeds 6", "--seeds given twice"},
        {"-h --help", "--help given twice"},
        {"--quantiles 0.5,2", "--quantiles item '2' is not a probability from 0 to 1"},
        {"--quantiles 0.1,0.2,0.3,0.4,0.5,0.6,0.7,0.8,0.9,0.95", "more than 9 different"},
        {"--output a.csv --state a.csv", "--output and --state name the same file 'a.csv'"},
        {"merge", "merge needs at least one state file"},
        {"merge a.state --seeds 5", "merge takes its seeds from the state files, not --seeds"},
        {"merge a.state --quantiles 0.5", "not --quantiles"},
        {"merge a.state --per-seed p.csv", "merge writes no per-seed file"},
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

    for (const char *help : {"--help", "-h"}) {
        EXPECT_EQ(ensemble(help), 0) << help;
        EXPECT_EQ(out_.rfind("Usage: agreement_ensemble", 0), 0U) << help << ": " << out_;
    }
    EXPECT_EQ(ensemble("--version"), 0);
    EXPECT_EQ(out_, "agreement_ensemble 1.2.0\n");
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
    int changes = 0;
    for (int q = 0; q + 1 < PASS_COUNT; ++q) {
        if ((mean_r0[q] > 0.0) != (mean_r0[q + 1] > 0.0)) {
            const double f = (127.0 - q) / 127.0;
            crossing =
                changes++ == 0 ? f - mean_r0[q] / (mean_r0[q] - mean_r0[q + 1]) / 127.0 : crossing;
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
    const std::string first =
        changes == 1 ? "it changes sign once, at agreement "
                     : "it changes sign " + std::to_string(changes) + " times, first at agreement ";
    EXPECT_NEAR(number_after(k0, first), crossing, 1e-4) << out_;
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

// A study run in parts and merged, in any order, writes the one run's bytes; extended later, the
// same. What can't be merged is refused with status 2 and one line naming the file, and
// nothing is written.
TEST_F(EnsembleProgram, MergeWritesTheOneRunsBytesOrRefuses)
{
    const std::string study = " --coupling 0,0.6 --threads 2 --quantiles 0.001,0.5,0.999";
    ASSERT_EQ(
        ensemble("--seeds 300 --first-seed 40 --output whole.csv --state whole.state" + study), 0);
    ASSERT_EQ(ensemble("--seeds 100 --first-seed 40 --output a.csv --state a.state" + study), 0);
    ASSERT_EQ(ensemble("--seeds 150 --first-seed 140 --output b.csv --state b.state" + study), 0);
    ASSERT_EQ(ensemble("--seeds 50 --first-seed 290 --output c.csv --state c.state" + study), 0);
    EXPECT_NE(text("whole.csv").find("r_q001,r_q500,r_q999,mean_rho"), std::string::npos);
    ASSERT_EQ(ensemble("merge c.state a.state b.state --output m.csv --state m.state"), 0)
        << errors_;
    EXPECT_EQ(text("m.csv"), text("whole.csv"));
    EXPECT_EQ(text("m.state"), text("whole.state"));
    EXPECT_NE(out_.find("300 seeds (40 to 339) at 2 couplings, merged from 3 states in "),
              std::string::npos)
        << out_;
    // Extended: the merged state and one more run, merged again.
    ASSERT_EQ(ensemble("--seeds 60 --first-seed 340 --output d.csv --state d.state" + study), 0);
    ASSERT_EQ(ensemble("--seeds 360 --first-seed 40 --output long.csv" + study), 0);
    ASSERT_EQ(ensemble("merge m.state d.state --output longer.csv"), 0) << errors_;
    EXPECT_EQ(text("longer.csv"), text("long.csv"));
    // A gap is allowed and named.
    ASSERT_EQ(ensemble("merge a.state c.state --output gap.csv"), 0) << errors_;
    EXPECT_NE(out_.find("150 seeds (in 2 ranges: 40 to 139, 290 to 339)"), std::string::npos)
        << out_;

    ASSERT_EQ(ensemble("--seeds 50 --first-seed 500 --coupling 0,0.7 --output k.csv "
                       "--state k.state --quantiles 0.001,0.5,0.999"),
              0);
    ASSERT_EQ(ensemble("--seeds 50 --first-seed 500 --coupling 0,0.6 --output p.csv "
                       "--state p.state"),
              0);
    const std::string state = text("a.state");
    std::ofstream(folder_ / "cut.state", std::ios::binary) << state.substr(0, state.size() / 3);
    std::ofstream(folder_ / "table.state", std::ios::binary) << text("a.csv");
    const struct {
        const char *inputs;
        const char *says;
    } cases[] = {
        {"a.state b.state a.state", "'a.state' covers seeds that an earlier one covers too"},
        {"whole.state b.state", "'b.state' covers seeds"},
        {"a.state k.state", "'k.state' has other coupling coefficients than 'a.state'"},
        {"a.state p.state", "'p.state' has other quantiles than 'a.state'"},
        {"a.state cut.state", "'cut.state' is damaged or truncated"},
        {"table.state", "'table.state' is not a state file"},
        {"a.state missing.state", "cannot read missing.state: No such file or directory"},
        {"a.state b.state --output ./b.state", "--output './b.state' is one of the state files"},
    };
    for (const auto &one : cases) {
        const bool own_output = std::string(one.inputs).find("--output") != std::string::npos;
        EXPECT_EQ(ensemble(std::string("merge ") + one.inputs +
                           (own_output ? " --state x.state" : " --output x.csv --state x.state")),
                  2)
            << one.inputs;
        EXPECT_NE(errors_.find(one.says), std::string::npos) << one.inputs << ": " << errors_;
        EXPECT_EQ(std::count(errors_.begin(), errors_.end(), '\n'), 1) << errors_;
        EXPECT_FALSE(fs::exists(folder_ / "x.csv")) << one.inputs;
        EXPECT_FALSE(fs::exists(folder_ / "x.state")) << one.inputs;
        EXPECT_EQ(out_, "");
    }
}
