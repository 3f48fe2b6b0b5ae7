// Run control: draws the reference signal, then sweeps the passes from full agreement
// (pass 0) to full disagreement (pass 127).
#include "run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "experiment.h"
#include "measures.h"
#include "output.h"
#include "run_files.h"
#include "stats.h"
#include "synth.h"

namespace {

// The run-wide state, zero at start.
signal_t reference;                 // drawn once, read by every pass
signal_t coupled;                   // rewritten by every pass
mask_t mask;                        // rebuilt by every pass
char text_buffer[TEXT_BUFFER_SIZE]; // every line is formatted here before it is written

// Stream buffers, each larger than the largest file that uses it (a signal file is about
// 1.3 KB, the correlation summary 5 KB, the rank summary 2.4 KB), so every file reaches the
// system in a single write.
char signal_file_buffer[4096];
char correlation_buffer[8192];
char rank_buffer[4096];

// Room a signal file's line is given in the text buffer: the room the fast number text asks
// for, a blank, a line end and the terminating zero. With it every level of the run is
// formatted by the fast number text, never by its general fallback.
constexpr int LONGEST_SIGNAL_LINE = NUMBER_TEXT_ROOM + 3;

// A summary file held open through the pass phase, and how many whole lines it has.
struct summary_file {
    std::FILE *stream;
    const char *path;
    int passes; // passes whose record is written whole
};

#define SEP AGREEMENT_SWEEP_SEPARATOR
// What to create when a file can't be opened for want of a folder: the run never creates one.
const char MISSING_DATA_FOLDERS[] = "the folders data and data" SEP "1 in the current folder";
const char MISSING_PASS_FOLDER[] = "the folder data" SEP "1";
#undef SEP

// Names a file that can't be opened, with the system's reason; where that is a missing
// folder, also what to create.
void report_cannot_open(const char *path, const char *missing)
{
    if (errno != ENOENT) {
        report_open_failure(path);
        return;
    }
    const char *const pieces[] = {"agreement_sweep: cannot open ",
                                  path,
                                  " for writing: ",
                                  std::strerror(ENOENT),
                                  "; create ",
                                  missing,
                                  " first"};
    report_line(pieces, sizeof pieces / sizeof pieces[0]);
}

// Formats one piece of a line into the text buffer, with decimal commas when asked, and
// writes it. Returns 0, or -1 with errno set.
int put_piece(std::FILE *stream, bool comma, const char *pattern, double first, double second = 0.0,
              double third = 0.0)
{
    if (format_record(text_buffer, pattern, first, second, third) < 0) {
        return -1;
    }
    if (comma) {
        to_decimal_comma(text_buffer);
    }
    return write_piece(stream, text_buffer);
}

// Writes a whole signal file: opens path, writes its 128 levels with the line pattern
// (decimal points kept) and closes it; missing names the folders to create should the open
// fail for want of one. Lines are gathered in the text buffer and handed to
// the stream a bufferful at a time. Returns 0, or -1 after reporting the failure.
int write_signal_file(const char *path, const double *signal, const char *pattern,
                      const char *missing)
{
    errno = 0;
    std::FILE *file = open_output(path, signal_file_buffer, sizeof signal_file_buffer);
    if (file == nullptr) {
        report_cannot_open(path, missing);
        return -1;
    }
    int length = 0;
    int status = 0;
    for (int i = 0; i < SIGNAL_LENGTH && status == 0; ++i) {
        int next = append_record(text_buffer, length, pattern, signal[i]);
        if (next < 0) {
            status = -1; // a line longer than the room kept for it, which no level needs
        } else if (next > TEXT_BUFFER_SIZE - LONGEST_SIGNAL_LINE && status == 0) {
            // Not enough room left for another line: write the lines gathered so far, so
            // that every line is formatted with room to spare.
            status = write_piece(file, text_buffer);
            next = 0;
        }
        length = next;
    }
    if (status == 0 && length > 0) {
        status = write_piece(file, text_buffer);
    }
    if (status != 0) {
        report_write_failure(path);
        close_output(file);
        return -1;
    }
    if (close_output(file) != 0) {
        report_write_failure(path);
        return -1;
    }
    return 0;
}

// Pass q with ordinal n: mask, coupled signal, its file, then one line in each summary.
// The signal file is written before any summary field, so a pass that fails there leaves
// the summaries holding whole lines only. Returns 0, or -1 after reporting the failure.
int run_pass(int q, int n, summary_file *correlation, summary_file *rank)
{
    build_mask(mask, q);
    generate_coupled(reference, mask, coupled);

    char path[PASS_FILE_NAME_SIZE];
    pass_file_name(path, n);
    if (write_signal_file(path, coupled, "%f\n", MISSING_PASS_FOLDER) != 0) {
        return -1;
    }

    if (put_piece(correlation->stream, true, "%f\t", agreement_fraction(q)) != 0) {
        report_write_failure(correlation->path);
        return -1;
    }

    // The reference's mean and variance come out the same in every pass.
    const double mx = signal_mean(reference);
    const double vx = signal_variance(reference, mx);
    // The mean written below is taken before amplification, and the variance after it,
    // about that same mean.
    const pass_measures measures = measure_pass(reference, mx, vx, coupled, rank_statistic);
    if (put_piece(correlation->stream, true, "%f\t%f\t%f\n", measures.mean, measures.variance,
                  measures.r) != 0) {
        report_write_failure(correlation->path);
        return -1;
    }
    correlation->passes += 1;

    const rank_result ranks = measures.ranks;
    if (put_piece(rank->stream, true, "%f\t", ranks.rho) != 0 ||
        put_piece(rank->stream, true, "%f\n", ranks.bound) != 0) {
        report_write_failure(rank->path);
        return -1;
    }
    rank->passes += 1;
    return 0;
}

// Closes a summary at the end of the pass phase, and names it when it is incomplete: a write
// that failed was reported then (the stream's error flag is set), a failed close is reported
// here, and a summary the stopped run leaves short is named with the passes it holds, so that
// every file not named is complete. Returns 0, or -1 on a failed close.
int close_summary(summary_file *file, bool stopped_early)
{
    const bool reported = std::ferror(file->stream) != 0;
    if (close_output(file->stream) != 0) {
        if (!reported) {
            report_write_failure(file->path);
        }
        return -1;
    }
    if (stopped_early && !reported) {
        report_incomplete_summary(file->path, file->passes);
    }
    return 0;
}

#define SEP AGREEMENT_SWEEP_SEPARATOR
const char HELP[] =
    "Usage: agreement_sweep [-h | --help | --version]\n"
    "\n"
    "Runs the agreement sweep experiment once: draws a reference signal of 128 levels from a\n"
    "random generator with a fixed seed, then makes 128 passes that sweep the share of the\n"
    "coupled signal's steps moving the reference's way from 127/127 down to 0/127. Takes no\n"
    "input; every run writes the same bytes.\n"
    "\n"
    "Writes below the current folder, which must hold data" SEP " and data" SEP "1" SEP
    " (the program never\n"
    "creates folders), replacing the files of an earlier run:\n"
    "  data" SEP "signal_1.dat            the reference signal, one level a line\n"
    "  data" SEP "1" SEP "sign_1 .. sign_128    each pass's coupled signal, one level a line\n"
    "  data" SEP "tov.dat                 a line per pass: agreement fraction, mean, variance,\n"
    "                               Pearson correlation (decimal commas, tab-separated)\n"
    "  data" SEP "sl.dat                  a line per pass: rank correlation against time and\n"
    "                               its 95 % bound (decimal commas, tab-separated)\n"
    "\n"
    "Exit status: 0 when every file is written in full; 1 when a file can't be opened or\n"
    "written, after one line on stderr for each file it could not complete; 2 for any other\n"
    "argument, which runs nothing. A good run prints nothing.\n";
#undef SEP

} // namespace

int run_driver(int argc, char **argv)
{
    // Started with stderr closed, the first data file would take descriptor 2 and a failure
    // message would be written into it.
    if (keep_standard_descriptors() != 0) {
        report_failure("agreement_sweep", "open", "/dev/null", " for the closed standard streams");
        return 1;
    }
    // Asking for help or the version, or a mistyped option, must never start a run, which
    // would replace the data.
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            help = true;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            version = true;
        } else {
            report_bad_argument("agreement_sweep", argv[i]);
            return 2;
        }
    }
    if (help) {
        return print_or_report("agreement_sweep", HELP);
    }
    if (version) {
        return print_or_report("agreement_sweep", "agreement_sweep " AGREEMENT_SWEEP_VERSION "\n");
    }

    for (int i = 0; i < SIGNAL_LENGTH; ++i) {
        reference[i] = draw_level();
    }
    // The reference lines keep their decimal point and end in a blank.
    if (write_signal_file(REFERENCE_SIGNAL_PATH, reference, "%f \n", MISSING_DATA_FOLDERS) != 0) {
        return 1;
    }
    return run_passes();
}

int run_passes()
{
    summary_file correlation = {nullptr, CORRELATION_SUMMARY_PATH, 0};
    summary_file rank = {nullptr, RANK_SUMMARY_PATH, 0};
    correlation.stream =
        open_output(correlation.path, correlation_buffer, sizeof correlation_buffer);
    if (correlation.stream == nullptr) {
        report_open_failure(correlation.path);
        return 1;
    }
    rank.stream = open_output(rank.path, rank_buffer, sizeof rank_buffer);
    if (rank.stream == nullptr) {
        report_open_failure(rank.path);
        static_cast<void>(close_summary(&correlation, true)); // named as empty; status 1 either way
        return 1;
    }

    int status = 0;
    for (int q = 0; q < PASS_COUNT; ++q) {
        const int n = q + 1; // pass ordinal, numbering the pass signal files 1 .. 128
        if (run_pass(q, n, &correlation, &rank) != 0) {
            status = 1;
            break;
        }
    }

    // Both summaries are closed whatever happened, so every line already written reaches
    // the disk.
    const bool stopped_early = status != 0;
    if (close_summary(&correlation, stopped_early) != 0) {
        status = 1;
    }
    if (close_summary(&rank, stopped_early) != 0) {
        status = 1;
    }
    return status;
}
