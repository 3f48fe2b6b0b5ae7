// The driver's steps, each in a file of its own job: the help text, the files opened and put in
// place, and what the run shows (progress and the summary). Private to the flow: the front ends
// see only ensemble_driver and ensemble_driver_with.
#ifndef AGREEMENT_SWEEP_DRIVER_STEPS_H
#define AGREEMENT_SWEEP_DRIVER_STEPS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "files.h"
#include "flow.h"

// What one run of the program holds from its opening to its commit.
struct driver_study {
    ensemble_options chosen;
    const kernel_path *path = nullptr;
    std::vector<study_state> parts; // a merge's states, read and checked
    study_state state;
    std::vector<pass_row> rows;
    staged_file files[3]; // the table, the per-seed file and the state, where named
    std::chrono::steady_clock::time_point start;
};

// The outputs' option names and file names, in the order of driver_study::files.
constexpr int OUTPUTS = 3;
extern const char *const OUTPUT_OPTIONS[OUTPUTS]; // "--output", "--per-seed", "--state"
const std::string &output_name(const ensemble_options &chosen, int output);

// ---- The help (help_text.cpp) ----

// The --help text, its limits taken from the constants the options are read with; the MPI
// program's own first lines before it when runner.ranks is set.
std::string usage(const study_runner &runner);

// ---- The files (driver_files.cpp) ----

// Checks that no output names a folder, and that neither the table nor the per-seed file is
// one of the states to merge. Returns 0, or 2 after one line naming the option and the file.
int check_output_names(const ensemble_options &chosen);

// Reads the state files to merge into study->parts, each checked against the first: the same
// couplings and quantiles, and no seed in two of them; their counts added into study->state
// as each is read. Returns 0, or 2 after one line naming the file and what is wrong with it.
int read_parts(driver_study *study);

// Opens every named output, refusing two names for one file, writes the per-seed file's
// header, then removes what killed runs left beside them. Returns 0, 1 after reporting an
// output that can't be written, or 2 after one line naming two options for one file.
int open_outputs(driver_study *study);

// The per-seed file as a consumer of the measuring run's blocks: fed each block of results in
// seed order, writes every seed's rows at every coupling. Costs nothing where no per-seed file
// was named (file's stream null).
struct per_seed_writer {
    staged_file *file;
    std::size_t couplings; // results per seed

    bool wanted() const { return file->stream != nullptr; }
    // Writes seeds' rows. Returns 0, or 1 after reporting a failed write.
    int operator()(const seed_result *results, std::uint64_t seeds) const;
};

// Writes the table and the state, and finishes every output: each complete, synced and
// closed, none yet in place. Returns 0, or 1 after reporting a failure.
int finish_outputs(driver_study *study);

// True when one of the outputs writes to, or replaces, what standard output writes to.
bool outputs_take_standard_output(const driver_study &study);

// Puts every finished output in place together. Returns 0, or 1 after reporting a failure.
int commit_outputs(driver_study *study);

// ---- What the run shows (progress_summary.cpp) ----

// value with `decimals` decimals, "nan" where it has no fixed text.
std::string fixed(double value, int decimals);

double seconds_since(std::chrono::steady_clock::time_point start);

// The progress line on a terminal, at most four times a second, fed the seeds of every block
// the runs hand the calling thread: the measuring run (or the merge) as "measuring" or
// "merging", a run that finds quantile values again as "quantiles". Shows nothing where
// stderr is not a terminal.
class study_progress {
public:
    study_progress(bool merging, std::uint64_t seeds);
    void count(int run, std::uint64_t seeds); // run as a run_watcher hears it, 0 on
    void end();                               // clears the line

private:
    void restart(const std::string &stage);

    bool shown_at_all_;
    std::string stage_;
    int run_ = 0;
    std::uint64_t seeds_;
    std::uint64_t folded_ = 0;
    std::chrono::steady_clock::time_point start_;
    double shown_ = 0.0;
};

// Prints the summary on stdout, or on stderr when stdout carries one of the files. Returns 0,
// or 1 after reporting a failed write.
int print_summary(const study_state &state, std::uint64_t threads, std::uint64_t ranks,
                  double elapsed, std::size_t merged_from, const pass_row *rows, bool stdout_taken);

#endif
