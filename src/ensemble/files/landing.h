// Where an output's name leads, on POSIX systems: its links followed one at a time, stopping
// at a name that stands for one of the process's open descriptors. Internal to the files room.
#ifndef AGREEMENT_SWEEP_LANDING_H
#define AGREEMENT_SWEEP_LANDING_H

#include <string>

// What an output's name stands for once its links are followed.
struct landing {
    int descriptor = -1; // >= 0: the name stands for this process's open descriptor
    std::string folder;  // else the folder the final name sits in, with no link left in it,
    std::string name;    //   and that name (empty for a name that is a folder already)
    std::string path;    //   and the two joined
    int error = 0;       // errno when the name can't be followed
};

// folder and name joined by one slash.
std::string joined(const std::string &folder, const std::string &name);

// Follows target's links one at a time, each read in the folder it sits in, and stops at a
// name that stands for an open descriptor (/dev/stdout leads to /proc/self/fd/1), whose own
// link names no file to follow: a pipe's reads "pipe:[N]", and a file's would be replaced
// behind the descriptor that writes to it.
landing follow(const std::string &target);

#endif
