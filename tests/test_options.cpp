// The flow's request and command line: counts and coupling lists read as every front end
// reads them, and read_options, the command line, case by case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "flow.h"

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

namespace {

// A command line and what read_options makes of it: either the options it settles (only the
// fields a case names are compared; the rest keep their defaults) or the exact line it prints.
struct command_case {
    std::vector<std::string> words; // after the program's name
    const char *refusal;            // null: accepted
    ensemble_options expected;
};

ensemble_options with_files(const char *output, const char *per_seed, const char *state)
{
    ensemble_options chosen;
    chosen.output = output;
    chosen.per_seed = per_seed;
    chosen.state = state;
    return chosen;
}

// Reads the words as the program's command line; *said gets what it printed on stderr.
int read_words(const std::vector<std::string> &words, ensemble_options *chosen, std::string *said)
{
    std::vector<std::string> owned = {"agreement_ensemble"};
    owned.insert(owned.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (std::string &word : owned) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    const int status = read_options(static_cast<int>(owned.size()), argv.data(), chosen);
    *said = testing::internal::GetCapturedStderr();
    return status;
}

} // namespace

// Every kind of word the command line takes, and every refusal with its exact line: the
// option named as written, the value quoted, and --help pointed to.
TEST(EnsembleOptions, CommandLineCases)
{
    ensemble_options full = with_files("t.csv", "s.csv", "x.state");
    full.seeds = 300;
    full.first_seed = 7;
    full.threads = 3;
    full.couplings = {0.0, 0.25, 0.5, 1.0}; // ascending, each once
    full.quantiles.count = 2;
    full.quantiles.per_million[0] = 100000; // ascending
    full.quantiles.per_million[1] = 500000;
    ensemble_options merging;
    merging.merge = true;
    merging.inputs = {"a.state", "b.state"};
    merging.threads = 2;
    ensemble_options helped;
    helped.merge = true;
    helped.help = true;
    ensemble_options version;
    version.version = true;
    const std::string beyond = "seeds 4294967295 to 4294967296 go beyond the generator's 32-bit "
                               "state (the last seed is 4294967295)";
    const command_case cases[] = {
        {{"--seeds", "300", "--first-seed=7", "--threads", "3", "--coupling", "1,0:0.5:0.25",
          "--quantiles", "0.5,0.1", "--output", "t.csv", "--per-seed=s.csv", "--state", "x.state"},
         nullptr,
         full},
        {{"merge", "a.state", "--threads=2", "b.state"}, nullptr, merging},
        {{"merge", "--help"}, nullptr, helped}, // no state file needed to ask for help
        {{"--version"}, nullptr, version},
        {{"--seeds"}, "--seeds needs a value", {}},
        {{"--seeds", "0"}, "--seeds must be a whole number from 1 to 4294967296, not '0'", {}},
        {{"--threads=x"}, "--threads must be a whole number from 1 to 256, not 'x'", {}},
        {{"--first-seed", "4294967295", "--seeds", "2"}, beyond.c_str(), {}},
        {{"--bogus"}, "unknown option '--bogus'", {}},
        {{"extra"}, "unexpected argument 'extra'", {}},
        {{"--seeds", "5", "--seeds", "6"}, "--seeds given twice", {}},
        {{"--coupling", "0", "--coupling=1"},
         "--coupling given twice: put every k in one list",
         {}},
        {{"--help=yes"}, "--help takes no value", {}},
        {{"--output", ""}, "--output needs a file name", {}},
        {{"--output", "a", "--state", "a"}, "--output and --state name the same file 'a'", {}},
        {{"--per-seed", "a", "--state=a"}, "--per-seed and --state name the same file 'a'", {}},
        {{"--coupling", "0:1"}, "--coupling range '0:1' is not START:STOP:STEP", {}},
        {{"--coupling", "1.5"}, "--coupling value '1.5' lies outside [0, 1]", {}},
        {{"--quantiles", "0.5,x"},
         "--quantiles item 'x' is not a probability from 0 to 1 with at most six decimals",
         {}},
        {{"merge"}, "merge needs at least one state file", {}},
        {{"merge", "a", "--per-seed", "p"},
         "merge writes no per-seed file: states hold no seed's values",
         {}},
        {{"merge", "a", "--seeds", "5"},
         "merge takes its seeds from the state files, not --seeds",
         {}},
    };
    for (const command_case &one : cases) {
        std::string line;
        for (const std::string &word : one.words) {
            line += word + " ";
        }
        ensemble_options chosen;
        std::string said;
        const int status = read_words(one.words, &chosen, &said);
        if (one.refusal != nullptr) {
            EXPECT_EQ(status, 2) << line;
            EXPECT_EQ(said, "agreement_ensemble: " + std::string(one.refusal) + " (see --help)\n")
                << line;
            continue;
        }
        const ensemble_options &want = one.expected;
        ASSERT_EQ(status, 0) << line << said;
        EXPECT_EQ(said, "") << line;
        EXPECT_EQ(chosen.seeds, want.seeds) << line;
        EXPECT_EQ(chosen.first_seed, want.first_seed) << line;
        if (want.threads != 0) {
            EXPECT_EQ(chosen.threads, want.threads) << line;
        }
        EXPECT_EQ(chosen.couplings, want.couplings) << line;
        EXPECT_EQ(chosen.quantiles.count, want.quantiles.count) << line;
        EXPECT_TRUE(std::equal(want.quantiles.per_million,
                               want.quantiles.per_million + want.quantiles.count,
                               chosen.quantiles.per_million))
            << line;
        EXPECT_EQ(chosen.output, want.output) << line;
        EXPECT_EQ(chosen.per_seed, want.per_seed) << line;
        EXPECT_EQ(chosen.state, want.state) << line;
        EXPECT_EQ(chosen.merge, want.merge) << line;
        EXPECT_EQ(chosen.inputs, want.inputs) << line;
        EXPECT_EQ(chosen.help, want.help) << line;
        EXPECT_EQ(chosen.version, want.version) << line;
    }
}
