// Putting the finished temporary files in place: together, under a lock of their folders,
// with signals held off between the renames, and rolled back where the system can swap names.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <filesystem>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "output.h"
#include "staging.h"

#ifndef _WIN32
namespace {

// Locks each folder a temporary file is renamed in, one at a time in a fixed order so that two
// runs can't each hold one: another run committing into the same folders waits, so that runs
// never leave their files mixed. A folder that can't be opened or locked is left unlocked.
std::vector<int> lock_folders(staged_file *const *files, int count)
{
    struct folder_lock {
        std::uint64_t device;
        std::uint64_t inode;
        int descriptor;
    };
    std::vector<folder_lock> locks;
    for (int i = 0; i < count; ++i) {
        if (files[i]->temporary.empty()) {
            continue;
        }
        const std::string folder =
            std::filesystem::path(files[i]->destination).parent_path().string();
        const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat status = {};
        if (descriptor < 0) {
            continue;
        }
        if (fstat(descriptor, &status) != 0) {
            static_cast<void>(close(descriptor));
            continue;
        }
        locks.push_back({static_cast<std::uint64_t>(status.st_dev),
                         static_cast<std::uint64_t>(status.st_ino), descriptor});
    }
    std::sort(locks.begin(), locks.end(), [](const folder_lock &a, const folder_lock &b) {
        return a.device != b.device ? a.device < b.device : a.inode < b.inode;
    });
    std::vector<int> held;
    for (std::size_t i = 0; i < locks.size(); ++i) {
        if (i > 0 && locks[i].device == locks[i - 1].device &&
            locks[i].inode == locks[i - 1].inode) {
            static_cast<void>(close(locks[i].descriptor));
            continue;
        }
        static_cast<void>(flock(locks[i].descriptor, LOCK_EX));
        held.push_back(locks[i].descriptor);
    }
    return held;
}

// True when a regular file stands where the temporary one goes, so that the two can be
// swapped. Asked before the renames, so that nothing but the renames lies between them.
bool swappable(const staged_file &file)
{
    struct stat status = {};
    return lstat(file.destination.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Puts one temporary file in place. Where a file stands there (swap) and the system can swap
// two names, the two are swapped, so that the earlier file waits under the temporary name, to
// be put back or let go. Returns 0, 1 when swapped, or -1 with errno set.
int put_in_place(const staged_file &file, bool swap)
{
#ifdef RENAME_EXCHANGE
    if (swap) {
        if (renameat2(AT_FDCWD, file.temporary.c_str(), AT_FDCWD, file.destination.c_str(),
                      RENAME_EXCHANGE) == 0) {
            return 1;
        }
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            return -1;
        }
    }
#else
    static_cast<void>(swap);
#endif
    return std::rename(file.temporary.c_str(), file.destination.c_str()) == 0 ? 0 : -1;
}

// Undoes put_in_place (swapped: 1 or 0): the earlier file back, or no file where there was
// none. A plain rename over an earlier file can't be undone.
void take_back(const staged_file &file, int swapped)
{
#ifdef RENAME_EXCHANGE
    if (swapped == 1) {
        static_cast<void>(renameat2(AT_FDCWD, file.temporary.c_str(), AT_FDCWD,
                                    file.destination.c_str(), RENAME_EXCHANGE));
        return;
    }
#endif
    if (!file.existed) {
        static_cast<void>(std::rename(file.destination.c_str(), file.temporary.c_str()));
    }
}

} // namespace
#endif

namespace {

#ifdef _WIN32
// Puts the finished files in place one after the other: this system can't swap two names.
// Returns the file that couldn't be put in place, reported, or -1.
int put_each_in_place(staged_file *const *files, int count)
{
    int failed = -1;
    int error = 0;
    for (int i = 0; i < count && failed < 0; ++i) {
        if (!files[i]->temporary.empty()) {
            std::error_code problem;
            std::filesystem::rename(files[i]->temporary, files[i]->destination, problem);
            if (problem) {
                failed = i;
                error = problem.value();
            } else {
                forget_temporary(files[i]);
            }
        }
    }
    if (failed >= 0) {
        report_failure_because("agreement_ensemble", "replace", files[failed]->target.c_str(), "",
                               std::system_category().message(error).c_str());
    }
    return failed;
}
#else
// Syncs and closes the folders, which lets go of their locks. A folder that can't be synced
// after the new files stand is reported, and the run stands.
void sync_folders(const std::vector<int> &locks, bool succeeded)
{
    for (const int descriptor : locks) {
        if (fsync(descriptor) != 0 && succeeded) {
            // Too late to keep the earlier files: the run has succeeded, and says so.
            const std::string line = std::string("agreement_ensemble: the new files stand, but "
                                                 "a folder holding them could not be synced: ") +
                                     std::strerror(errno) + "\n";
            static_cast<void>(std::fputs(line.c_str(), stderr));
        }
        static_cast<void>(close(descriptor)); // and with it the lock
    }
}

// Puts the finished files in place together, as commit_staged says. Returns the file that
// couldn't be put in place, reported, after those already put in place were taken back; or
// -1.
int put_all_in_place(staged_file *const *files, int count)
{
    int failed = -1;
    int error = 0;
    const std::vector<int> locks = lock_folders(files, count);
    sigset_t held;
    sigset_t before;
    stopping_signals(&held);
    // From here on a signal waits: the renames go one right after the other with nothing a
    // signal could cut in between, and once they are done the run has succeeded, which a
    // signal must not turn into a failing status.
    static_cast<void>(pthread_sigmask(SIG_BLOCK, &held, &before));
    std::vector<bool> swap(static_cast<std::size_t>(count), false);
    for (int i = 0; i < count; ++i) {
        swap[static_cast<std::size_t>(i)] = !files[i]->temporary.empty() && swappable(*files[i]);
    }
    std::vector<int> swapped(static_cast<std::size_t>(count), -1);
    for (int i = 0; i < count && failed < 0; ++i) {
        if (!files[i]->temporary.empty()) {
            swapped[static_cast<std::size_t>(i)] =
                put_in_place(*files[i], swap[static_cast<std::size_t>(i)]);
            if (swapped[static_cast<std::size_t>(i)] < 0) {
                failed = i;
                error = errno;
            }
        }
    }
    for (int i = 0; i < failed; ++i) {
        if (swapped[static_cast<std::size_t>(i)] >= 0) {
            take_back(*files[i], swapped[static_cast<std::size_t>(i)]);
        }
    }
    // The renames reach the disk with their folders: after a power loss the new pair, or the
    // earlier one, stands.
    sync_folders(locks, failed < 0);
    if (failed >= 0) {
        report_because("replace", files[failed]->target, "", error);
        // The earlier files are back: a signal that came meanwhile now ends the run.
        static_cast<void>(pthread_sigmask(SIG_SETMASK, &before, nullptr));
    }
    for (int i = 0; i < count; ++i) {
        if (failed < 0 && swapped[static_cast<std::size_t>(i)] == 0) {
            forget_temporary(files[i]); // renamed: no temporary file is left
        }
    }
    return failed;
}
#endif

} // namespace

int commit_staged(staged_file *const *files, int count)
{
#ifdef _WIN32
    const int failed = put_each_in_place(files, count);
#else
    const int failed = put_all_in_place(files, count);
#endif
    // Only now are the earlier files (swapped under the temporary names) let go, which on a
    // large file takes a while; after a failure, the new ones go.
    for (int i = 0; i < count; ++i) {
        discard(files[i]);
    }
    return failed < 0 ? 0 : -1;
}
