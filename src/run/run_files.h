// The one-shot run's files and the messages that name them.
#ifndef AGREEMENT_SWEEP_RUN_FILES_H
#define AGREEMENT_SWEEP_RUN_FILES_H

#include "output.h"

constexpr int PASS_FILE_NAME_SIZE = 32; // characters a pass signal file's path needs at most

// Paths relative to the working directory. The run never creates "data" or "data/1".
constexpr const char *REFERENCE_SIGNAL_PATH = "data" AGREEMENT_SWEEP_SEPARATOR "signal_1.dat";
constexpr const char *CORRELATION_SUMMARY_PATH = "data" AGREEMENT_SWEEP_SEPARATOR "tov.dat";
constexpr const char *RANK_SUMMARY_PATH = "data" AGREEMENT_SWEEP_SEPARATOR "sl.dat";
constexpr const char *PASS_FILE_PREFIX =
    "data" AGREEMENT_SWEEP_SEPARATOR "1" AGREEMENT_SWEEP_SEPARATOR "sign_";

// Formats the path of pass ordinal n's signal file, "data/1/sign_<n>" with no trailing
// blank, into buffer, which must hold at least PASS_FILE_NAME_SIZE characters.
void pass_file_name(char *buffer, int n);

// The one-shot run's forms: "agreement_sweep: cannot open <path> for writing: <reason>" and
// "agreement_sweep: cannot write <path>: <reason>".
void report_open_failure(const char *path);
void report_write_failure(const char *path);

// "agreement_sweep: <path> left incomplete: <passes> of 128 passes", for a summary a stopped
// run leaves short.
void report_incomplete_summary(const char *path, int passes);

#endif
