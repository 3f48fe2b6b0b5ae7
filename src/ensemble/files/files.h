// The ensemble's output files: staged so that they are replaced whole and together, and the
// text of the table's and the per-seed file's rows.
#ifndef AGREEMENT_SWEEP_FILES_H
#define AGREEMENT_SWEEP_FILES_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "kernels.h"
#include "quantiles.h"
#include "table_schema.h"

// ---- Files ----

// An output file of the ensemble, replaced whole or not at all.
//
// A regular file, or a path where nothing stands yet, is written under a temporary name in
// the same folder and put in place only once every output is complete, keeping the earlier
// file's permission bits (and its owner and group where the process may set them); a
// symbolic link stays a link, and the regular file it ends at is replaced. Anything else is
// written straight through and never renamed onto: "-" (standard output), a name that
// stands for an open descriptor (/dev/stdout, /dev/fd/N, /proc/self/fd/N), a device, a FIFO
// or a socket. Failures are reported under the name the user gave.
struct staged_file {
    std::string target;      // as the user gave it, for messages ("standard output" for "-")
    std::string destination; // the file the temporary one replaces; empty when straight through
    std::string temporary;   // empty when straight through
    std::FILE *stream = nullptr;
    std::vector<char> buffer; // the stream's buffer, so that writes go out in large pieces
    bool existed = false;     // something stood at destination when the file was opened
    std::uint64_t device = 0; // what the output writes over or through, for telling two
    std::uint64_t inode = 0;  //   names of one file apart (0, 0 when nothing stands there)
    int slot = -1;            // its place in the clean-up list
    std::string folder;       // where the temporary file sits, and the name it is made
    std::string name;         //   from (empty when written straight through)
    std::vector<std::pair<long, std::int64_t>>
        left;                       // temporary files for this output that
                                    //   processes no longer running left, found and removed:
                                    //   each one's process and time, ns since the epoch
    std::int64_t standing_time = 0; // the output standing at the path then, 0 when none
};

// Has every catchable signal that would end the program (INT, TERM, HUP, PIPE, QUIT, USR1,
// USR2, ALRM, VTALRM, PROF, XCPU) remove every temporary file in use and then end the program
// as the signal would have; a signal ignored when the program started stays ignored. A file grown
// past the size limit (SIGXFSZ) fails its write instead of ending the program, and an uncaught
// exception removes the temporary files before the program aborts.
void guard_temporaries();

// Removes every temporary file in use, for a run that gives up without unwinding (out of
// memory): the earlier files stay as they were.
void remove_every_temporary();

// True when target can only name a folder: it ends in a separator, "." or "..", or what it
// leads to is a folder. Such a name is refused before any seed runs, and its temporary file
// would have no folder of its own to sit in.
bool names_a_folder(const std::string &target);

// Opens the file for writing. Returns 0, or -1 after reporting the failure on stderr.
int open_staged(staged_file *file, const std::string &target);

// Flushes, syncs to the disk and closes the file, the temporary one taking the earlier file's
// permission bits, owner and group. Returns 0, or -1 after reporting the failure on stderr;
// the temporary file is then removed.
int finish_staged(staged_file *file);

// Puts every finished temporary file of files[0 .. count - 1] in place at once: other runs
// committing into the same folders wait, and where one can't be put in place those already
// put back are rolled back, on systems that can swap two names; then the folders are synced,
// so that the renames survive a power loss. The earlier files are let go only after the last
// rename. Returns 0, or -1 after reporting the failure on stderr; the temporary files are
// removed either way. From the first rename on, the stopping signals wait: after a failure
// they are let through once the earlier files are back; after success they stay held until
// the program exits, so that nothing can end it with a failing status once the new files
// stand.
int commit_staged(staged_file *const *files, int count);

// Removes the temporary files that runs no longer running (a SIGKILL, a power loss) left
// beside the open outputs files[0 .. count - 1], each named in one line on stderr: they can
// be hundreds of megabytes, and nothing else would ever remove them. Only regular files of an
// output's own naming go, and only when their process is gone and they are none of these
// outputs. For two outputs, also reports in one line a pair that such a run left mixed,
// killed between putting its two files in place.
void remove_left_temporaries(staged_file *const *files, int count);

// True when two open outputs are one file under two names (a link, "./", "-" and
// /dev/stdout, and so on), so that one would overwrite the other.
bool same_file(const staged_file &a, const staged_file &b);

// True when the output writes to, or replaces, what standard output writes to.
bool shares_standard_output(const staged_file &file);

// Closes a file not committed and removes its temporary file, leaving the target as it was.
void abandon_staged(staged_file *file);

// Writes the table: a header row and the count rows, comma-separated, each column as
// TABLE_COLUMNS describes it, with a column per quantile of the list. Returns 0, or -1 with
// errno set: ERANGE for a number too wide to write, which is never written as other text.
int write_table(std::FILE *stream, const pass_row *rows, std::size_t count,
                const quantile_list &quantiles);

// Writes bytes as they stand. Returns 0, or -1 with errno set.
int write_bytes(std::FILE *stream, const std::string &bytes);

// Writes the header row of the per-seed file. Returns 0, or -1 with errno set.
int write_per_seed_header(std::FILE *stream);

// Writes one seed's 128 rows at one coupling, coupling,seed,q,r,rho,bound. Returns 0, or -1
// with errno set (ERANGE for a number too wide to write).
int write_per_seed_rows(std::FILE *stream, const seed_result *result);

// ---- State files ----

constexpr std::uint32_t STATE_FORMAT = 1; // the layout state_bytes writes

// A complete state as a file's bytes: "AGRSTATE", the format, the program's version and the
// experiment's identity, the couplings, quantiles and seed ranges, the state, and a checksum
// of everything before it.
std::string state_bytes(const study_state &state);

// Reads the whole file at path into *bytes. Returns 0, or -1 with errno set.
int read_whole_file(const std::string &path, std::string *bytes);

// Reads a state file's bytes into *state. Returns an empty string, or what is wrong with them
// ("is truncated", "was written by ..."), to follow the file's name in a message.
std::string read_state(const std::string &bytes, study_state *state);

// Prints "agreement_ensemble: cannot <action> <path>: <reason from errno>" on stderr.
void report_file_failure(const char *action, const std::string &path);

#endif
