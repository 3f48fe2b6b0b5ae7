// The agreement_ensemble program's files: the names checked and the states to merge read
// before any output is touched, the outputs opened before any seed runs, the per-seed file
// written as the seeds come in order, and every output put in place together at the end.
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "driver_steps.h"
#include "output.h"

namespace {

// Reports a state file that can't be merged: one line naming it and the reason. Returns 2.
int refuse_state(const std::string &path, const std::string &reason)
{
    report_problem("agreement_ensemble", ("state file '" + path + "' " + reason).c_str(), "");
    return 2;
}

} // namespace

const char *const OUTPUT_OPTIONS[OUTPUTS] = {"--output", "--per-seed", "--state"};

const std::string &output_name(const ensemble_options &chosen, int output)
{
    // In OUTPUT_OPTIONS' order.
    if (output == 0) {
        return chosen.output;
    }
    return output == 1 ? chosen.per_seed : chosen.state;
}

int check_output_names(const ensemble_options &chosen)
{
    // A folder's name would only fail at the very end, after every seed has run.
    for (int i = 0; i < OUTPUTS; ++i) {
        const std::string &name = output_name(chosen, i);
        if (!name.empty() && names_a_folder(name)) {
            return usage_error(std::string(OUTPUT_OPTIONS[i]) + " '" + name +
                               "' names a folder, not a file");
        }
    }
    // A table written over one of the states it merges would lose that part for good (the
    // merged state may replace one: that is how a study is extended in place).
    for (const std::string &input : chosen.inputs) {
        for (int i = 0; i < 2; ++i) {
            const std::string &name = output_name(chosen, i);
            std::error_code problem;
            if (!name.empty() && std::filesystem::equivalent(input, name, problem)) {
                return usage_error(std::string(OUTPUT_OPTIONS[i]) + " '" + name +
                                   "' is one of the state files to merge");
            }
        }
    }
    return 0;
}

int read_parts(driver_study *study)
{
    const std::vector<std::string> &inputs = study->chosen.inputs;
    const bool keep_state = !study->chosen.state.empty();
    std::vector<study_state> *parts = &study->parts;
    std::vector<seed_span> covered;
    for (const std::string &path : inputs) {
        std::string bytes;
        if (read_whole_file(path, &bytes) != 0) {
            report_file_failure("read", path);
            return 2;
        }
        parts->emplace_back();
        study_state &part = parts->back();
        const std::string problem = read_state(bytes, &part);
        if (!problem.empty()) {
            return refuse_state(path, problem);
        }
        const std::string mismatch = check_part(parts->front(), part, &covered);
        if (!mismatch.empty()) {
            const bool names_first = mismatch.compare(mismatch.size() - 4, 4, "than") == 0;
            return refuse_state(path, names_first ? mismatch + " '" + inputs[0] + "'" : mismatch);
        }
        if (parts->size() == 1) {
            start_merge(part, keep_state, &study->state);
        }
        add_part(&study->state, &part); // its histogram goes: only one is held at a time
    }
    return 0;
}

int open_outputs(driver_study *study)
{
    staged_file *const files = study->files;
    int status = 0;
    for (int i = 0; i < OUTPUTS && status == 0; ++i) {
        const std::string &name = output_name(study->chosen, i);
        if (name.empty()) {
            continue;
        }
        status = open_staged(&files[i], name) == 0 ? 0 : 1;
        for (int j = 0; j < i && status == 0; ++j) {
            if (files[j].stream != nullptr && same_file(files[j], files[i])) {
                // Through a link, another spelling, or "-" and /dev/stdout: one would
                // overwrite the other.
                for (int k = 0; k < OUTPUTS; ++k) {
                    abandon_staged(&files[k]);
                }
                return usage_error(std::string(OUTPUT_OPTIONS[j]) + " and " + OUTPUT_OPTIONS[i] +
                                   " name the same file '" + name + "'");
            }
        }
    }
    staged_file &per_seed = files[1];
    if (status == 0 && per_seed.stream != nullptr && write_per_seed_header(per_seed.stream) != 0) {
        report_file_failure("write", per_seed.target);
        status = 1;
    }
    if (status == 0) {
        // Only once all are open, so that no output is taken for another's leftover.
        staged_file *const outputs[] = {&files[0], &files[1], &files[2]};
        remove_left_temporaries(outputs, OUTPUTS);
    }
    return status;
}

int per_seed_writer::operator()(const seed_result *results, std::uint64_t seeds) const
{
    if (!wanted()) {
        return 0;
    }
    const std::size_t runs = static_cast<std::size_t>(seeds) * couplings;
    for (std::size_t i = 0; i < runs; ++i) {
        if (write_per_seed_rows(file->stream, &results[i]) != 0) {
            report_file_failure("write", file->target);
            return 1;
        }
    }
    return 0;
}

int finish_outputs(driver_study *study)
{
    staged_file &table = study->files[0];
    staged_file &state_file = study->files[2];
    if (write_table(table.stream, study->rows.data(), study->rows.size(), study->state.quantiles) !=
        0) {
        report_file_failure("write", table.target);
        return 1;
    }
    if (state_file.stream != nullptr &&
        write_bytes(state_file.stream, state_bytes(study->state)) != 0) {
        report_file_failure("write", state_file.target);
        return 1;
    }
    // Every file is complete and closed before any is put in place, so that a failure in one
    // leaves every earlier file.
    for (int i = OUTPUTS - 1; i >= 0; --i) {
        if (finish_staged(&study->files[i]) != 0) {
            return 1;
        }
    }
    return 0;
}

bool outputs_take_standard_output(const driver_study &study)
{
    return std::any_of(study.files, study.files + OUTPUTS,
                       [](const staged_file &file) { return shares_standard_output(file); });
}

int commit_outputs(driver_study *study)
{
    staged_file *const outputs[] = {&study->files[0], &study->files[1], &study->files[2]};
    return commit_staged(outputs, OUTPUTS) != 0 ? 1 : 0;
}
