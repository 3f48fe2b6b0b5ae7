// What the files room's parts share while an output is staged: the clean-up list of
// temporary names that a signal handler can read, and the one-line failure report. Internal
// to the room.
#ifndef AGREEMENT_SWEEP_STAGING_H
#define AGREEMENT_SWEEP_STAGING_H

#include <csignal>
#include <string>

#include "files.h"

#ifndef _WIN32
// Every signal whose default ends the program and that a handler can catch: each removes the
// temporary files first (a signal ignored when the program started stays ignored). A file
// past the size limit (SIGXFSZ) fails its write instead. SIGKILL and SIGSTOP can't be caught:
// what SIGKILL leaves, the next run writing beside it removes.
constexpr int STOPPING_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,    SIGPIPE, SIGQUIT, SIGUSR1,
                                    SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU};

// Fills *set with the stopping signals.
void stopping_signals(sigset_t *set);

// The longest name the folder takes.
std::size_t longest_name(const std::string &folder);
#endif

// This process's number, which its temporary names carry.
long this_process();

// Puts name in a free slot of the clean-up list. Returns the slot, or -1 when none is free
// or the name is too long to keep whole; such a file is only left behind by a signal.
int remember_temporary(const std::string &name);

// Takes the file's temporary name off the clean-up list and forgets it.
void forget_temporary(staged_file *file);

// Removes a temporary file after a failure already reported; a file that can't be removed
// is only litter beside the target, which is untouched.
void discard(staged_file *file);

// Prints "agreement_ensemble: cannot <action> <path><detail>: <reason for error>".
void report_because(const char *action, const std::string &path, const char *detail, int error);

#endif
