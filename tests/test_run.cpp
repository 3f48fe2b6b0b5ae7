// End to end: the program run in fresh folders, its files, exit status and messages.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "run_fixture.h"

namespace fs = std::filesystem;

TEST_F(RunTest, FullRunWritesEveryFile)
{
    make_data_folders(true);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(errors_, "") << "a good run prints nothing";

    // 128 pass files, numbered 1 .. 128, named without a trailing blank.
    int pass_files = 0;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder_ / "data" / "1")) {
        const std::string name = entry.path().filename().string();
        ASSERT_EQ(name.rfind("sign_", 0), 0U) << name;
        const int n = std::atoi(name.c_str() + 5);
        EXPECT_TRUE(n >= 1 && n <= 128 && name == "sign_" + std::to_string(n)) << name;
        ++pass_files;
    }
    EXPECT_EQ(pass_files, 128);

    // The reference signal: the levels of draws 41, 18467 and 6334, a blank, a line end.
    const std::vector<std::string> reference = split(data("signal_1.dat"), '\n');
    ASSERT_EQ(reference.size(), 128U);
    EXPECT_EQ(reference[0], "1.011261 ");
    EXPECT_EQ(reference[1], "6.072268 ");
    EXPECT_EQ(reference[2], "2.739738 ");

    const std::vector<std::string> correlation = split(data("tov.dat"), '\n');
    const std::vector<std::string> rank = split(data("sl.dat"), '\n');
    ASSERT_EQ(correlation.size(), 128U);
    ASSERT_EQ(rank.size(), 128U);
    EXPECT_EQ(correlation[0], "1,000000\t4,672334\t239,860020\t0,356753");
    EXPECT_EQ(rank[0], "0,105435\t0,156201");
    EXPECT_EQ(split(correlation[1], '\t')[0], "0,992126");   // 126 / 127
    EXPECT_EQ(split(correlation[64], '\t')[0], "0,496063");  // 63 / 127
    EXPECT_EQ(split(correlation[127], '\t')[0], "0,000000"); // no step agrees
    EXPECT_EQ(split(correlation[127], '\t')[3], "-0,350419");

    for (int q = 0; q < 128; ++q) {
        SCOPED_TRACE("pass " + std::to_string(q));
        const std::vector<std::string> fields = split(correlation[q], '\t');
        const std::vector<std::string> rank_fields = split(rank[q], '\t');
        ASSERT_EQ(fields.size(), 4U);
        ASSERT_EQ(rank_fields.size(), 2U);
        EXPECT_EQ(correlation[q].find('.'), std::string::npos);
        EXPECT_EQ(rank[q].find('.'), std::string::npos);

        // The pass file holds the levels before amplification: their mean is the mean
        // field, and 25 times their variance about it is the variance field.
        const std::string levels_text = data("1/sign_" + std::to_string(q + 1));
        EXPECT_EQ(levels_text.find(','), std::string::npos);
        EXPECT_EQ(levels_text.find(' '), std::string::npos);
        const std::vector<std::string> levels = split(levels_text, '\n');
        ASSERT_EQ(levels.size(), 128U);
        const double mean = comma_number(fields[1]);
        double sum = 0.0;
        double squares = 0.0;
        for (const std::string &line : levels) {
            const double level = std::strtod(line.c_str(), nullptr);
            EXPECT_TRUE(level >= 1.0 && level <= 10.0) << line;
            sum += level;
            squares += (level - mean) * (level - mean);
        }
        EXPECT_NEAR(sum / 128.0, mean, 1e-6);
        EXPECT_NEAR(25.0 * squares / 128.0, comma_number(fields[2]), 1e-3);
        EXPECT_LE(std::fabs(comma_number(fields[3])), 1.0);

        // The bound is 1.96 |1 - rho| / sqrt(126).
        const double rho = comma_number(rank_fields[0]);
        EXPECT_NEAR(comma_number(rank_fields[1]), 1.96 * std::fabs(1.0 - rho) / std::sqrt(126.0),
                    2e-6);
    }
    EXPECT_EQ(data("signal_1.dat").find(','), std::string::npos);
    EXPECT_EQ(data("tov.dat").find('\r'), std::string::npos) << "host line ends are LF";
}

TEST_F(RunTest, SameBytesAsTheRecordedRun)
{
    // golden/run.sha256 holds the SHA-256 of all 131 files of a run recorded before any
    // speed work (straightforward exchange sort, std::to_chars for every number, default
    // stream buffering), after that run had matched every quoted figure. Every later build
    // must write exactly those bytes.
    make_data_folders(true);
    ASSERT_EQ(run(), 0);
    const std::string command =
        "cd '" + folder_.string() + "' && sha256sum --quiet -c '" + AGREEMENT_SWEEP_GOLDEN + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << "files differ from the recorded run";
}

TEST_F(RunTest, RerunReplacesEveryFile)
{
    make_data_folders(true);
    // Leftovers longer than the real files must not survive past the new ends.
    const std::string junk(20000, 'x');
    for (const char *name : {"signal_1.dat", "tov.dat", "sl.dat", "1/sign_1", "1/sign_128"}) {
        std::ofstream(folder_ / "data" / name) << junk;
    }
    ASSERT_EQ(run(), 0);
    for (const char *name : {"signal_1.dat", "tov.dat", "sl.dat", "1/sign_1", "1/sign_128"}) {
        EXPECT_EQ(data(name), good_run_file(name)) << name;
    }
    const std::string first_summary = data("tov.dat");
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(data("tov.dat"), first_summary) << "a second run replaces, never appends";
    EXPECT_EQ(data("sl.dat"), good_run_file("sl.dat"));
}

TEST_F(RunTest, MissingDataFolder)
{
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(errors_, "agreement_sweep: cannot open data/signal_1.dat for writing: "
                       "No such file or directory; create the folders data and data/1 in the "
                       "current folder first\n");
    EXPECT_TRUE(fs::is_empty(folder_)) << "no directory or file may be created";
}

// A rerun over a complete earlier run, but without data/1: the run stops in pass 0 and names
// the pass file and both summaries it has emptied.
TEST_F(RunTest, MissingPassFolder)
{
    make_data_folders(true);
    ASSERT_EQ(run(), 0);
    fs::remove_all(folder_ / "data" / "1");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(errors_, "agreement_sweep: cannot open data/1/sign_1 for writing: "
                       "No such file or directory; create the folder data/1 first\n"
                       "agreement_sweep: data/tov.dat left incomplete: 0 of 128 passes\n"
                       "agreement_sweep: data/sl.dat left incomplete: 0 of 128 passes\n");
    EXPECT_FALSE(fs::exists(folder_ / "data" / "1"));
    EXPECT_EQ(data("signal_1.dat"), good_run_file("signal_1.dat"));
    EXPECT_EQ(data("tov.dat"), "") << "pass 0 failed before any summary field";
    EXPECT_EQ(data("sl.dat"), "");
}

// A pass file that can't be opened half-way: the summaries keep the passes before it, whole,
// and say how many.
TEST_F(RunTest, PassFileCannotBeOpenedHalfWay)
{
    make_data_folders(true);
    fs::create_directory(folder_ / "data" / "1" / "sign_64");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(errors_, "agreement_sweep: cannot open data/1/sign_64 for writing: Is a directory\n"
                       "agreement_sweep: data/tov.dat left incomplete: 63 of 128 passes\n"
                       "agreement_sweep: data/sl.dat left incomplete: 63 of 128 passes\n");
    expect_first_lines("tov.dat", 63);
    expect_first_lines("sl.dat", 63);
}

TEST_F(RunTest, FullDiskInAPassFile)
{
    make_data_folders(true);
    if (!full_device("1/sign_5")) {
        GTEST_SKIP() << "making a device node needs root";
    }
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(errors_, "agreement_sweep: cannot write data/1/sign_5: No space left on device\n"
                       "agreement_sweep: data/tov.dat left incomplete: 4 of 128 passes\n"
                       "agreement_sweep: data/sl.dat left incomplete: 4 of 128 passes\n");
    EXPECT_TRUE(is_character_device(folder_ / "data" / "1" / "sign_5"));

    // Passes 1 .. 4 stay whole, in the files and in the summaries; pass 5 wrote no field.
    for (int n = 1; n <= 4; ++n) {
        const std::string name = "1/sign_" + std::to_string(n);
        EXPECT_EQ(data(name), good_run_file(name)) << name;
    }
    EXPECT_FALSE(fs::exists(folder_ / "data" / "1" / "sign_6"));
    expect_first_lines("tov.dat", 4);
    expect_first_lines("sl.dat", 4);
}

TEST_F(RunTest, FullDiskInASummary)
{
    for (const char *name : {"tov.dat", "sl.dat"}) {
        SCOPED_TRACE(name);
        fs::remove_all(folder_ / "data");
        make_data_folders(true);
        if (!full_device(name)) {
            GTEST_SKIP() << "making a device node needs root";
        }
        EXPECT_EQ(run(), 1);
        EXPECT_EQ(errors_, std::string("agreement_sweep: cannot write data/") + name +
                               ": No space left on device\n");

        // Every other file is whole and exact: the run goes on to the end, and the lost
        // summary's lines are lost only when it is closed.
        for (const std::string &other : run_file_names()) {
            if (other != name) {
                EXPECT_EQ(data(other), good_run_file(other)) << other;
            }
        }
    }
}

TEST_F(RunTest, RankSummaryCannotBeOpened)
{
    make_data_folders(true);
    fs::create_directory(folder_ / "data" / "sl.dat");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(errors_, "agreement_sweep: cannot open data/sl.dat for writing: Is a directory\n"
                       "agreement_sweep: data/tov.dat left incomplete: 0 of 128 passes\n");
    EXPECT_EQ(data("tov.dat"), "") << "no pass ran";
    EXPECT_TRUE(fs::is_empty(folder_ / "data" / "1"));
}

TEST_F(RunTest, TwoFaultsAreBothReported)
{
    make_data_folders(true);
    if (!full_device("1/sign_5") || !full_device("tov.dat")) {
        GTEST_SKIP() << "making a device node needs root";
    }
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(errors_, "agreement_sweep: cannot write data/1/sign_5: No space left on device\n"
                       "agreement_sweep: cannot write data/tov.dat: No space left on device\n"
                       "agreement_sweep: data/sl.dat left incomplete: 4 of 128 passes\n");
}

// A real small file system filling up. Needs root to mount a tmpfs; skipped otherwise.
TEST_F(RunTest, FullDiskOnARealFileSystem)
{
    const fs::path disk = folder_ / "data";
    fs::create_directory(disk);
    const std::string mount =
        "mount -t tmpfs -o size=256k tmpfs '" + disk.string() + "' 2>/dev/null";
    if (geteuid() != 0 || std::system(mount.c_str()) != 0) {
        GTEST_SKIP() << "mounting a tmpfs needs root and a system that allows it";
    }
    struct unmount_at_end {
        std::string point;
        ~unmount_at_end() { static_cast<void>(std::system(("umount '" + point + "'").c_str())); }
    } unmount{disk.string()};

    // Fresh: the 256 KB fill up part of the way through the passes.
    fs::create_directory(disk / "1");
    EXPECT_GE(expect_named_or_exact(), 1);

    // Over a complete earlier run on a disk that is otherwise full: the earlier files the run
    // doesn't reach stay as they were, and those are a good run's bytes too.
    ASSERT_EQ(std::system(("umount '" + disk.string() + "'").c_str()), 0);
    ASSERT_EQ(std::system(("mount -t tmpfs -o size=1m tmpfs '" + disk.string() + "'").c_str()), 0);
    fs::create_directory(disk / "1");
    ASSERT_EQ(run(), 0);
    const std::string fill = "cd '" + disk.string() + "' && (cat /dev/zero > filler) 2>/dev/null";
    static_cast<void>(std::system(fill.c_str()));
    for (int n = 1; n <= 10; ++n) {
        fs::remove(disk / "1" / ("sign_" + std::to_string(n)));
    }
    const std::string refill =
        "cd '" + disk.string() + "' && (cat /dev/zero > filler2) 2>/dev/null";
    static_cast<void>(std::system(refill.c_str()));
    EXPECT_GE(expect_named_or_exact(), 1);
    EXPECT_EQ(data("1/sign_128"), good_run_file("1/sign_128")) << "an earlier file not reached";
}

TEST_F(RunTest, HelpAndVersionRunNothing)
{
    make_data_folders(true);
    EXPECT_EQ(run("--help"), 0);
    EXPECT_EQ(output_.rfind("Usage: agreement_sweep", 0), 0U) << output_;
    EXPECT_NE(output_.find("Exit status"), std::string::npos);
    EXPECT_EQ(run("-h"), 0);
    EXPECT_EQ(output_.rfind("Usage: agreement_sweep", 0), 0U) << output_;
    EXPECT_EQ(run("--version"), 0);
    EXPECT_EQ(output_.rfind("agreement_sweep ", 0), 0U) << output_;
    EXPECT_EQ(errors_, "");
    // Anything else is named, and runs nothing either.
    const char *const bad[][2] = {{"--verison", "unknown option '--verison'"},
                                  {"extra --version", "unexpected argument 'extra'"},
                                  {"--help -x", "unknown option '-x'"}};
    for (const auto &arguments : bad) {
        EXPECT_EQ(run(arguments[0]), 2) << arguments[0];
        EXPECT_EQ(errors_, std::string("agreement_sweep: ") + arguments[1] + " (see --help)\n");
        EXPECT_EQ(output_, "");
    }
    EXPECT_TRUE(fs::is_empty(folder_ / "data" / "1"));
    EXPECT_FALSE(fs::exists(folder_ / "data" / "signal_1.dat"));
}

TEST_F(RunTest, FullDiskInTheReference)
{
    make_data_folders(true);
    if (!full_device("signal_1.dat")) {
        GTEST_SKIP() << "making a device node needs root";
    }
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(errors_,
              "agreement_sweep: cannot write data/signal_1.dat: No space left on device\n");
    EXPECT_FALSE(fs::exists(folder_ / "data" / "tov.dat")) << "no pass may start";
    EXPECT_TRUE(fs::is_empty(folder_ / "data" / "1"));
}
