// The one-shot program's end-to-end fixture: a fresh folder per test, the program run in it,
// and the files of a good run to compare partial output with.
#ifndef AGREEMENT_SWEEP_RUN_FIXTURE_H
#define AGREEMENT_SWEEP_RUN_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "program_harness.h"

namespace {

namespace fs = std::filesystem;

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
        ASSERT_FALSE(base_.empty());
        fs::create_directory(folder_);
    }

    void make_data_folders(bool pass_folder)
    {
        fs::create_directory(folder_ / "data");
        if (pass_folder) {
            fs::create_directory(folder_ / "data" / "1");
        }
    }

    // Runs the program in the work folder; returns its exit status, with stdout kept in
    // output_ and stderr in errors_.
    int run(const std::string &arguments = "")
    {
        return run_command(folder_, base_, "'" AGREEMENT_SWEEP_EXE "' " + arguments, &output_,
                           &errors_);
    }

    // The names of every file a run writes, below data/.
    static std::vector<std::string> run_file_names()
    {
        std::vector<std::string> names = {"signal_1.dat", "tov.dat", "sl.dat"};
        for (int n = 1; n <= 128; ++n) {
            names.push_back("1/sign_" + std::to_string(n));
        }
        return names;
    }

    // What a failed run must leave: status 1 and, for every file of a run, either a line
    // on stderr naming it, or the file absent, or its bytes exactly a good run's. Returns the
    // number of files named.
    int expect_named_or_exact()
    {
        EXPECT_EQ(run(), 1);
        std::vector<std::string> named;
        for (const std::string &line : split(errors_, '\n')) {
            const std::string start = "agreement_sweep: ";
            EXPECT_EQ(line.rfind(start, 0), 0U) << line;
            std::string rest = line.substr(start.size());
            if (rest.rfind("cannot ", 0) == 0) {
                rest = rest.substr(rest.find(' ', 7) + 1); // after "open" or "write"
                named.push_back(rest.substr(0, rest.find_first_of(" :"))); // the path
                EXPECT_NE(line.find(": No space left on device"), std::string::npos) << line;
            } else {
                named.push_back(rest.substr(0, rest.find(" left incomplete: ")));
                EXPECT_NE(line.find(" of 128 passes"), std::string::npos) << line;
            }
        }
        for (const std::string &name : run_file_names()) {
            const bool is_named =
                std::find(named.begin(), named.end(), "data/" + name) != named.end();
            if (!is_named && fs::exists(folder_ / "data" / name)) {
                EXPECT_EQ(data(name), good_run_file(name)) << name << " is not named";
            }
        }
        return static_cast<int>(named.size());
    }

    // A full device of the test's own at data/<name>; skips the test where none can be made.
    bool full_device(const std::string &name) { return make_full_device(folder_ / "data" / name); }

    std::string data(const std::string &name) const { return read_text(folder_ / "data" / name); }

    // data/<name> holds exactly the first n lines of a good run's, each whole.
    void expect_first_lines(const std::string &name, int n)
    {
        const std::string good = good_run_file(name);
        std::size_t end = 0;
        for (int i = 0; i < n; ++i) {
            end = good.find('\n', end) + 1;
        }
        EXPECT_EQ(data(name), good.substr(0, end)) << name;
    }

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

    scratch_folder scratch_{"agreement_sweep"};
    fs::path base_ = scratch_.path();
    fs::path folder_ = base_ / "work";
    std::string output_;
    std::string errors_;
};

} // namespace

#endif
