// The flow's study state from runs and merges: the same bytes however the seeds are split,
// a part that missed a value run again, state files read back or refused, and parts that
// don't fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "files.h"
#include "flow.h"
#include "kernels.h"
#include "quantiles.h"

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
    // The one seed range (500, 40) and the seed count 40, as little-endian 64-bit words.
    const std::string covered("\xf4\x01\0\0\0\0\0\0\x28\0\0\0\0\0\0\0\x28\0\0\0\0\0\0\0", 24);
    const std::size_t range = bytes.find(covered);
    ASSERT_NE(range, std::string::npos);
    std::string miscounted = bytes;
    miscounted[range + 16] = '\x29'; // 41 seeds
    std::string past_the_end = bytes;
    past_the_end[range + 4] = '\x01'; // the range starts at 2^32 + 500
    const std::pair<std::string, const char *> refused[] = {
        {swapped, "is damaged (its quantiles are not ascending probabilities)"},
        {unsorted, "is damaged (its kept values do not fit its histograms)"},
        {miscounted, "is damaged (its seed ranges do not add up to its seeds)"},
        {past_the_end, "is damaged (its seed ranges are not ascending and apart)"}};
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
