// The fixture the ensemble program's end-to-end tests share: a scratch folder of the test's
// own, the program run in it through the shell, and what stands there afterwards.
#ifndef AGREEMENT_SWEEP_ENSEMBLE_PROGRAM_H
#define AGREEMENT_SWEEP_ENSEMBLE_PROGRAM_H

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "program_harness.h"

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
        std::filesystem::remove(folder_ / "script.sh");
        return status;
    }

    std::string text(const std::string &name) const { return read_text(folder_ / name); }

    // Names in the folder that look like temporary files.
    std::vector<std::string> temporaries() const
    {
        std::vector<std::string> found;
        for (const std::filesystem::directory_entry &entry :
             std::filesystem::recursive_directory_iterator(folder_)) {
            if (entry.path().extension() == ".tmp") {
                found.push_back(entry.path().filename().string());
            }
        }
        return found;
    }

    scratch_folder scratch_{"agreement_ensemble"};
    std::filesystem::path folder_ = scratch_.path();
    std::string out_;
    std::string errors_;
};

#endif
