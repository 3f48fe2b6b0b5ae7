// The agreement_ensemble program's help text, kept in the help's own layout, one line of text
// to a line, its limits taken from the constants the options are read with.
#include "driver_steps.h"

namespace {

// clang-format off
// The synopsis and the options.
std::string options_help()
{
    return std::string(
        "Usage: agreement_ensemble [--seeds N] [--first-seed S] [--coupling LIST] [--threads T]\n"
        "                          [--quantiles LIST] [--output FILE] [--per-seed FILE]\n"
        "                          [--state FILE]\n"
        "       agreement_ensemble merge STATE... [--output FILE] [--state FILE] [--threads T]\n"
        "       agreement_ensemble -h | --help | --version\n") +
        "\n"
        "Runs the agreement sweep experiment for N seeds: seed s is the one-shot experiment with\n"
        "the random generator's state word starting at s instead of 1. Writes, for each coupling\n"
        "coefficient k and pass q = 0 .. 127, the mean and spread of the Pearson correlation r\n"
        "across the seeds, and prints a short summary per k. The output is the same whatever the\n"
        "number of threads.\n"
        "\n"
        "  --seeds N        number of seeds, 1 or more (default 10000)\n"
        "  --first-seed S   first seed, 0 .. " +
        std::to_string(STATE_WORDS - 1) +
        "; the seeds are S .. S + N - 1 (default 1)\n"
        "  --coupling LIST  coupling coefficients k in [0, 1] (default 0, the one-shot run's):\n"
        "                   comma-separated values and ranges START:STOP:STEP, e.g. 0,0.25,1 or\n"
        "                   0:1:0.05 (21 values; STOP included when it falls on the grid). Each\n"
        "                   value is taken as its six-decimal text, as the table prints it;\n"
        "                   values that print alike run once, at most " +
        std::to_string(MOST_COUPLINGS) +
        " different values,\n"
        "                   in ascending order. Above 0, each step's size is tied to the\n"
        "                   reference step's size too; at 1 an agreeing step copies it.\n"
        "                   Every k runs the same seeds: the reference signals, masks and\n"
        "                   draws are shared, so differences between k are not differences\n"
        "                   between seeds.\n"
        "  --threads T      worker threads, 1 .. " +
        std::to_string(MOST_THREADS) +
        " (default: the machine's hardware threads)\n"
        "  --quantiles LIST the quantiles of r to report: comma-separated probabilities in\n"
        "                   [0, 1], at most six decimals each, at most " +
        std::to_string(MOST_QUANTILES) +
        " (default 0.025,0.5,0.975)\n"
        "  --output FILE    the table, one row per k and pass (default ensemble.csv)\n"
        "  --per-seed FILE  also write every seed's r, rho and bound:\n"
        "                   coupling,seed,q,r,rho,bound, by seed, then k, then q\n"
        "  --state FILE     also write the study's state: exact sums, counts, histograms and\n"
        "                   the values near the quantiles, for merge\n"
        "  -h, --help       print this help and exit\n"
        "  --version        print the version and exit\n";
}

// The merge, the table's columns, how the figures and files come about, and the exit status.
std::string details_help()
{
    return
        "merge reads state files of the same couplings and quantiles, over seeds no two of them\n"
        "share, and writes the table (and with --state the merged state) of all their seeds:\n"
        "byte for byte what one run over those seeds writes. Their seeds may leave gaps (the\n"
        "summary names the ranges). A file that is damaged, truncated, from another version,\n"
        "or doesn't fit the first is refused with status 2. Rarely, a state lacks a value the\n"
        "merged quantiles need; its seeds then run again at that coupling.\n"
        "\n"
        "Each option is given at most once: a second one is refused rather than left to\n"
        "replace the first, so put every k in one --coupling list.\n"
        "\n" +
        table_columns_help(90) +
        "\n"
        "Every figure comes from exact sums and counts that add up the same however the seeds\n"
        "are split over threads, runs or machines: each mean is rounded once from its exact\n"
        "sum, the variance once from exact integers. The exact quantiles come from the values\n"
        "near them, kept as the seeds run; where those turn out to miss one (rarely), the\n"
        "seeds run a second time to find it.\n"
        "Each file is written under a temporary name beside it and synced; once all are\n"
        "complete and the summary is printed, they are renamed into place together, keeping the\n"
        "earlier files' permissions: a failed or interrupted run leaves every earlier file. A\n"
        "link stays a link and its file is replaced. A device, FIFO or pipe is written straight\n"
        "through, as is '-' (standard output) or a name for an open descriptor such as\n"
        "/dev/stdout or /dev/fd/N; when standard output takes a file, the summary goes to\n"
        "stderr. Temporary files that a killed run left beside the outputs are removed.\n"
        "\n"
        "AGREEMENT_ENSEMBLE_ISA=" + kernel_path_names("|") + " runs the seeds on that kernel path;\n"
        "unset or empty, the widest this processor runs. Every path writes the same bytes.\n"
        "\n"
        "Exit status: 0 done, the new files in place; 1 a file or the summary could not be\n"
        "written, or memory ran out, the earlier files in place; 2 bad options or a state file\n"
        "that can't be merged, nothing written.\n";
}
// clang-format on

} // namespace

// clang-format off
std::string usage(const study_runner &runner)
{
    if (runner.ranks != 0) {
        return std::string(
            "Usage: mpirun -n R agreement_ensemble_mpi [the options of agreement_ensemble, but not merge]\n"
            "\n"
            "agreement_ensemble's study on the R ranks of an MPI job: every rank runs chunks of the\n"
            "seeds on its own threads (--threads each), rank 0 reads the options, merges the ranks'\n"
            "states and writes the files, byte for byte those of agreement_ensemble with the same\n"
            "options. Its messages start 'agreement_ensemble:'. The options, as agreement_ensemble\n"
            "takes them:\n"
            "\n") + usage(study_runner());
    }
    return options_help() + "\n" + details_help();
}
// clang-format on
