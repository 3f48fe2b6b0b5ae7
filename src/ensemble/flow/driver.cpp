// The agreement_ensemble program's flow, top-down: its options read and its outputs opened,
// the seeds measured (and found again for the quantiles) with each block handed to the
// progress line and the per-seed file, then the files finished, the summary shown and the
// outputs put in place together. Each step's job sits in a file of its own (driver_steps.h).
#include <cstdlib>
#include <new>

#include "driver_steps.h"
#include "output.h"

namespace {

// Settling: the options read and checked, the help or version printed (*answered), the kernel
// path chosen, the output names checked, and a merge's states read and checked, all before any
// output is touched. Returns 0 to go on, or the program's status.
int settle_study(int argc, char **argv, const study_runner &runner, driver_study *study,
                 bool *answered)
{
    ensemble_options &chosen = study->chosen;
    if (read_options(argc, argv, &chosen) != 0) {
        return 2;
    }
    *answered = chosen.help || chosen.version;
    if (chosen.help) {
        return print_or_report("agreement_ensemble", usage(runner).c_str());
    }
    if (chosen.version) {
        return print_or_report("agreement_ensemble",
                               runner.ranks != 0
                                   ? "agreement_ensemble_mpi " AGREEMENT_SWEEP_VERSION "\n"
                                   : "agreement_ensemble " AGREEMENT_SWEEP_VERSION "\n");
    }
    // Every path gives the same doubles; the variable only picks how they are worked out.
    const std::string path_problem =
        choose_kernel_path(std::getenv("AGREEMENT_ENSEMBLE_ISA"), &study->path);
    if (!path_problem.empty()) {
        return usage_error(path_problem);
    }
    const int refused = check_output_names(chosen);
    if (refused != 0) {
        return refused;
    }
    study->start = std::chrono::steady_clock::now();
    // The states to merge are read whole and checked before any output is touched.
    return chosen.merge ? read_parts(study) : 0;
}

// Running: the seeds run, or the merge finished, every block the runs hand the calling thread
// going to its consumers: the progress line, and the measuring run's blocks, in seed order, to
// the per-seed file. runner hears that the seeds are about to run (*announced). Returns 0, or
// 1 after a reported failure.
int run_the_study(driver_study *study, const study_runner &runner, bool *announced)
{
    const ensemble_options &chosen = study->chosen;
    const std::uint64_t threads = chosen.threads; // settled by the request's check
    const bool keep_state = !chosen.state.empty();
    // A merge's seeds, as its parts' counts gave them: what a run again goes over.
    study_progress progress(chosen.merge, chosen.merge ? study->state.seeds : chosen.seeds);
    const per_seed_writer per_seed = {&study->files[1], chosen.couplings.size()};
    const run_watcher watch = [&](int run, const seed_result *results, std::uint64_t seeds) {
        if (run < 0) {
            return 0; // the theory's law: a stopping signal ends the program itself
        }
        progress.count(run, seeds);
        return run == 0 ? per_seed(results, seeds) : 0;
    };
    // Every output is open: the seeds run from here on.
    if (runner.before) {
        runner.before(-1);
    }
    *announced = true;
    int status = 0;
    if (chosen.merge) {
        status = finish_merge(&study->parts, threads, study->path, watch, keep_state, &study->state,
                              &study->rows);
    } else {
        seed_job job = {chosen.first_seed,
                        chosen.seeds,
                        chosen.couplings.data(),
                        static_cast<int>(chosen.couplings.size()),
                        true,
                        study->path};
        // Only the per-seed file needs the seeds' results here, in seed order.
        job.in_order = per_seed.wanted();
        status = runner.run ? runner.run(job, chosen.quantiles, threads, watch, keep_state,
                                         &study->state, &study->rows)
                            : run_study(job, chosen.quantiles, threads, watch, keep_state,
                                        &study->state, &study->rows);
    }
    progress.end();
    return status;
}

// Summarising: the summary, on stdout, or on stderr when stdout carries one of the files. Returns
// 0, or 1 after reporting a failed write.
int summarise(const driver_study &study, const study_runner &runner)
{
    return print_summary(study.state, study.chosen.threads, runner.ranks,
                         seconds_since(study.start), study.parts.size(), study.rows.data(),
                         outputs_take_standard_output(study));
}

int drive_study(int argc, char **argv, const study_runner &runner, bool *announced)
{
    driver_study study;
    bool answered = false;
    int status = settle_study(argc, argv, runner, &study, &answered);
    if (status != 0 || answered) {
        return status;
    }
    // Without the guard a signal or an exhausted memory leaves the temporary files behind;
    // the earlier files are safe either way.
    guard_temporaries();
    // The files are opened first, so that an output that can't be written stops the study
    // before any seed runs.
    status = open_outputs(&study);
    if (status == 0) {
        status = run_the_study(&study, runner, announced);
    }
    if (status == 0) {
        status = finish_outputs(&study);
    }
    // The summary goes out before the files are put in place: a summary that can't be
    // written abandons the run, so that the exit status always tells which files stand, 0 the
    // new ones, anything else the earlier ones.
    if (status == 0) {
        status = summarise(study, runner);
    }
    if (status == 0) {
        status = commit_outputs(&study);
    }
    for (staged_file &file : study.files) {
        abandon_staged(&file);
    }
    return status;
}

} // namespace

int ensemble_driver(int argc, char **argv)
{
    return ensemble_driver_with(argc, argv, study_runner());
}

int ensemble_driver_with(int argc, char **argv, const study_runner &runner)
{
    bool announced = false;
    int status = 1;
    // Started with stderr closed, an output's temporary file would take descriptor 2 and a
    // failure message would be written into the data.
    if (keep_standard_descriptors() != 0) {
        report_file_failure("open", "/dev/null");
    } else {
        try {
            status = drive_study(argc, argv, runner, &announced);
        } catch (const std::bad_alloc &) {
            // The temporary files go; the outputs are put in place together or not at all.
            remove_every_temporary();
            static_cast<void>(std::fputs("agreement_ensemble: stopped: out of memory\n", stderr));
            status = 1;
        }
    }
    if (!announced && runner.before) {
        runner.before(status); // stopped before any seed ran
    }
    return status;
}
