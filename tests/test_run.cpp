// End to end: the program run in fresh folders, its files, exit status and messages.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_files.h"

namespace fs = std::filesystem;

namespace {

// Reads a summary field with a decimal comma.
double comma_number(std::string field)
{
    for (char &c : field) {
        c = c == ',' ? '.' : c;
    }
    return std::strtod(field.c_str(), nullptr);
}

// Every test gets a fresh folder of its own, removed afterwards.
class RunTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "agreement_sweep_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        base_ = pattern;
        folder_ = base_ / "work";
        fs::create_directory(folder_);
    }

    void TearDown() override { fs::remove_all(base_); }

    void make_data_folders(bool pass_folder)
    {
        fs::create_directory(folder_ / "data");
        if (pass_folder) {
            fs::create_directory(folder_ / "data" / "1");
        }
    }

    // Runs the program in the work folder; returns its exit status, stderr kept in errors_.
    int run()
    {
        const fs::path errors = base_ / "stderr.txt";
        const std::string command = "cd '" + folder_.string() + "' && '" AGREEMENT_SWEEP_EXE
                                    "' 2> '" + errors.string() + "'";
        const int status = std::system(command.c_str());
        errors_ = read_text(errors);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string data(const std::string &name) const { return read_text(folder_ / "data" / name); }

    // The files of a good run, from a folder of their own, to compare partial output with.
    std::string good_run_file(const std::string &name)
    {
        const fs::path good = base_ / "good";
        if (!fs::exists(good)) {
            fs::create_directories(good / "data" / "1");
            const std::string command = "cd '" + good.string() + "' && '" AGREEMENT_SWEEP_EXE "'";
            EXPECT_EQ(std::system(command.c_str()), 0);
        }
        return read_text(good / "data" / name);
    }

    fs::path base_;
    fs::path folder_;
    std::string errors_;
};

} // namespace

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
    const std::string command = "cd '" + folder_.string() + "' && sha256sum --quiet -c '" +
                                AGREEMENT_SWEEP_GOLDEN + "'";
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
                       "No such file or directory\n");
    EXPECT_TRUE(fs::is_empty(folder_)) << "no directory or file may be created";
}

TEST_F(RunTest, MissingPassFolder)
{
    make_data_folders(false);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(errors_, "agreement_sweep: cannot open data/1/sign_1 for writing: "
                       "No such file or directory\n");
    EXPECT_FALSE(fs::exists(folder_ / "data" / "1"));
    EXPECT_EQ(data("signal_1.dat"), good_run_file("signal_1.dat"));
    EXPECT_EQ(data("tov.dat"), "") << "pass 0 failed before any summary field";
    EXPECT_EQ(data("sl.dat"), "");
}

TEST_F(RunTest, FullDiskInAPassFile)
{
    make_data_folders(true);
    fs::create_symlink("/dev/full", folder_ / "data" / "1" / "sign_5");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(errors_, "agreement_sweep: cannot write data/1/sign_5: No space left on device\n");

    // Passes 1 .. 4 stay whole, in the files and in the summaries; pass 5 wrote no field.
    for (int n = 1; n <= 4; ++n) {
        const std::string name = "1/sign_" + std::to_string(n);
        EXPECT_EQ(data(name), good_run_file(name)) << name;
    }
    EXPECT_FALSE(fs::exists(folder_ / "data" / "1" / "sign_6"));
    const std::vector<std::string> good_correlation = split(good_run_file("tov.dat"), '\n');
    const std::vector<std::string> good_rank = split(good_run_file("sl.dat"), '\n');
    std::string correlation_prefix;
    std::string rank_prefix;
    for (int q = 0; q < 4; ++q) {
        correlation_prefix += good_correlation[q] + "\n";
        rank_prefix += good_rank[q] + "\n";
    }
    EXPECT_EQ(data("tov.dat"), correlation_prefix);
    EXPECT_EQ(data("sl.dat"), rank_prefix);
}

TEST_F(RunTest, FullDiskInASummary)
{
    for (const char *name : {"tov.dat", "sl.dat"}) {
        SCOPED_TRACE(name);
        fs::remove_all(folder_ / "data");
        make_data_folders(true);
        fs::create_symlink("/dev/full", folder_ / "data" / name);
        EXPECT_EQ(run(), 1);
        EXPECT_EQ(errors_, std::string("agreement_sweep: cannot write data/") + name +
                               ": No space left on device\n");

        // The other summary keeps whole lines only, each the good run's.
        const std::string other = std::string(name) == "tov.dat" ? "sl.dat" : "tov.dat";
        const std::string kept = data(other);
        const std::string good = good_run_file(other);
        EXPECT_EQ(good.compare(0, kept.size(), kept), 0) << "kept lines match the good run";
        EXPECT_TRUE(kept.empty() || kept.back() == '\n');
        EXPECT_EQ(data("signal_1.dat"), good_run_file("signal_1.dat"));
    }
}

TEST_F(RunTest, FullDiskInTheReference)
{
    make_data_folders(true);
    fs::create_symlink("/dev/full", folder_ / "data" / "signal_1.dat");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(errors_,
              "agreement_sweep: cannot write data/signal_1.dat: No space left on device\n");
    EXPECT_FALSE(fs::exists(folder_ / "data" / "tov.dat")) << "no pass may start";
    EXPECT_TRUE(fs::is_empty(folder_ / "data" / "1"));
}
