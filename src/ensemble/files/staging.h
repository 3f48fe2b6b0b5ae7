// What the files room's parts share while an output is staged: the clean-up list of
// temporary names that a signal handler can read, and the one-line failure report. Internal
// to the room.
#ifndef AGREEMENT_SWEEP_STAGING_H
#define AGREEMENT_SWEEP_STAGING_H

#include <string>

#include "files.h"

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
