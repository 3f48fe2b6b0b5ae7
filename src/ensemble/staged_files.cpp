// The ensemble's output files: replaced whole or not at all, together, and never destroying
// what stands at the path or anything a name only leads to.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#define process_id _getpid
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#define process_id getpid
#endif

#include "ensemble.h"
#include "output.h"

namespace {

// The per-seed file grows by about 6 KB a seed: a buffer of our own (the C library may
// ignore a size given without one) sends it to the system in pieces this large.
constexpr std::size_t STREAM_BUFFER_BYTES = std::size_t{1} << 20;

constexpr int MOST_LINKS = 40; // links followed before a name counts as a loop, as the system does

// ---- Removing temporary files when the run can't finish ----

// The temporary names in use, for the signal handlers: fixed arrays, so that a handler
// needs no allocation, each marked ready only once it is whole, so that a handler never
// removes a file by a half-copied name.
constexpr int TEMPORARY_SLOTS = 4;
char temporary_names[TEMPORARY_SLOTS][4096];
volatile std::sig_atomic_t temporary_ready[TEMPORARY_SLOTS] = {};

void remove_ready_temporaries()
{
    for (int slot = 0; slot < TEMPORARY_SLOTS; ++slot) {
        if (temporary_ready[slot] != 0) {
            static_cast<void>(std::remove(temporary_names[slot])); // nothing more to do if it fails
        }
    }
}

extern "C" void remove_temporaries_and_stop(int signal_number)
{
    remove_ready_temporaries();
    // Then end as the signal would have ended the program, status and all (quietly, for a
    // reader that closed its pipe).
    static_cast<void>(std::signal(signal_number, SIG_DFL));
    static_cast<void>(std::raise(signal_number));
}

// An exception nothing caught, in any thread: the temporary files go, one line says why.
[[noreturn]] void remove_temporaries_and_abort()
{
    remove_ready_temporaries();
    const char *why = "an unexpected error";
    try {
        if (const std::exception_ptr error = std::current_exception()) {
            std::rethrow_exception(error);
        }
    } catch (const std::bad_alloc &) {
        why = "out of memory";
    } catch (...) {
        // why stays as it is
    }
    const std::string line = std::string("agreement_ensemble: stopped: ") + why +
                             "; earlier files are left as they were\n";
    static_cast<void>(std::fputs(line.c_str(), stderr));
    std::abort();
}

// Puts name in a free slot of the clean-up list. Returns the slot, or -1 when none is free
// or the name is too long to keep whole; such a file is only left behind by a signal.
int remember_temporary(const std::string &name)
{
    for (int slot = 0; slot < TEMPORARY_SLOTS; ++slot) {
        if (temporary_ready[slot] == 0 && name.size() < sizeof temporary_names[slot]) {
            std::memcpy(temporary_names[slot], name.c_str(), name.size() + 1);
            temporary_ready[slot] = 1;
            return slot;
        }
    }
    return -1;
}

void forget_temporary(staged_file *file)
{
    if (file->slot >= 0) {
        temporary_ready[file->slot] = 0;
        file->slot = -1;
    }
    file->temporary.clear();
}

// Removes a temporary file after a failure already reported; a file that can't be removed
// is only litter beside the target, which is untouched.
void discard(staged_file *file)
{
    if (!file->temporary.empty()) {
        static_cast<void>(std::remove(file->temporary.c_str()));
    }
    forget_temporary(file);
}

// Gives the open stream a buffer of our own.
void buffer_stream(staged_file *file)
{
    file->buffer.resize(STREAM_BUFFER_BYTES);
    if (std::setvbuf(file->stream, file->buffer.data(), _IOFBF, file->buffer.size()) != 0) {
        file->buffer.clear(); // the stream keeps a buffer of its own and writes in smaller pieces
    }
}

#ifndef _WIN32

void report_because(const char *action, const std::string &path, const char *detail, int error)
{
    report_failure_because("agreement_ensemble", action, path.c_str(), detail,
                           std::strerror(error));
}

// ---- Where a name leads ----

// What an output's name stands for once its links are followed.
struct landing {
    int descriptor = -1; // >= 0: the name stands for this process's open descriptor
    std::string folder;  // else the folder the final name sits in, with no link left in it,
    std::string name;    //   and that name (empty for a name that is a folder already)
    std::string path;    //   and the two joined
    int error = 0;       // errno when the name can't be followed
};

std::string real_folder(const std::string &folder)
{
    char *const real = realpath(folder.c_str(), nullptr);
    if (real == nullptr) {
        return std::string();
    }
    std::string text = real;
    std::free(real);
    return text;
}

std::string joined(const std::string &folder, const std::string &name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// The folder whose names stand for this process's open descriptors (/dev/fd and
// /proc/self/fd lead there), as realpath spells it, or "" where the system has none.
const std::string &descriptor_folder()
{
    static const std::string folder = real_folder("/proc/self/fd");
    return folder;
}

bool is_descriptor_number(const std::string &name)
{
    return !name.empty() && name.size() < 9 &&
           name.find_first_not_of("0123456789") == std::string::npos;
}

// Follows target's links one at a time, each read in the folder it sits in, and stops at a
// name that stands for an open descriptor (/dev/stdout leads to /proc/self/fd/1), whose own
// link names no file to follow: a pipe's reads "pipe:[N]", and a file's would be replaced
// behind the descriptor that writes to it.
landing follow(const std::string &target)
{
    landing where;
    std::string path = target;
    for (int links = 0; links <= MOST_LINKS; ++links) {
        const std::size_t slash = path.find_last_of('/');
        const std::string folder =
            slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (name.empty() || name == "." || name == "..") {
            where.path = path; // a folder, which the open refuses
            return where;
        }
        errno = 0;
        where.folder = real_folder(folder);
        if (where.folder.empty()) {
            where.error = errno != 0 ? errno : ENOENT;
            return where;
        }
        if (where.folder == descriptor_folder() && is_descriptor_number(name)) {
            where.descriptor = static_cast<int>(std::strtol(name.c_str(), nullptr, 10));
            return where;
        }
        where.name = name;
        where.path = joined(where.folder, name);
        struct stat status = {};
        if (lstat(where.path.c_str(), &status) != 0) {
            where.error = errno == ENOENT ? 0 : errno; // nothing there yet is fine
            return where;
        }
        if (!S_ISLNK(status.st_mode)) {
            return where;
        }
        std::string next(4096, '\0');
        const ssize_t length = readlink(where.path.c_str(), &next[0], next.size());
        if (length < 0 || static_cast<std::size_t>(length) >= next.size()) {
            where.error = length < 0 ? errno : ENAMETOOLONG;
            return where;
        }
        next.resize(static_cast<std::size_t>(length));
        path = next[0] == '/' ? next : joined(where.folder, next);
    }
    where.error = ELOOP;
    return where;
}

void identify(staged_file *file, const struct stat &status)
{
    file->device = static_cast<std::uint64_t>(status.st_dev);
    file->inode = static_cast<std::uint64_t>(status.st_ino);
}

// Creates the temporary file beside the one it will replace: NAME.<pid>.tmp, shortened from
// the front of NAME where the folder's names can't be that long, and never over a file that
// is there already. Returns the descriptor, or -1 with errno set.
int create_temporary(staged_file *file, const landing &where)
{
    long longest = pathconf(where.folder.c_str(), _PC_NAME_MAX);
    if (longest <= 0) {
        longest = 255;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string suffix = "." + std::to_string(process_id()) +
                                   (attempt == 0 ? "" : "." + std::to_string(attempt)) + ".tmp";
        std::string stem = where.name;
        const std::size_t room = static_cast<std::size_t>(longest);
        stem.resize(std::min(stem.size(), room > suffix.size() ? room - suffix.size() : 0));
        const std::string name = joined(where.folder, stem + suffix);
        const int descriptor =
            open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (descriptor >= 0) {
            file->temporary = name;
            file->slot = remember_temporary(name);
            return descriptor;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

// Opens what the output's name leads to. Returns the descriptor, or -1 after reporting why.
int open_descriptor(staged_file *file, const std::string &target)
{
    landing where;
    if (target == "-") {
        where.descriptor = STDOUT_FILENO;
    } else {
        where = follow(target);
    }
    if (where.error != 0) {
        report_because("open", target, " for writing", where.error);
        return -1;
    }
    struct stat status = {};
    if (where.descriptor >= 0) {
        // Written through a descriptor of our own, as the shell set it up (appending,
        // a pipe), whatever kind of file it is.
        const int descriptor = fcntl(where.descriptor, F_DUPFD_CLOEXEC, 3);
        if (descriptor < 0 || fstat(descriptor, &status) != 0) {
            report_because("open", file->target, " for writing", errno);
            return -1;
        }
        identify(file, status);
        return descriptor;
    }
    file->existed = stat(where.path.c_str(), &status) == 0;
    if (file->existed && !S_ISREG(status.st_mode)) {
        // A device, a FIFO or a socket: renaming would put a plain file in its place, so it
        // is written straight through (a folder refuses to open).
        const int descriptor = open(where.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (descriptor < 0) {
            report_because("open", target, " for writing", errno);
            return -1;
        }
        identify(file, status);
        return descriptor;
    }
    if (file->existed) {
        identify(file, status);
    }
    file->destination = where.path;
    const int descriptor = create_temporary(file, where);
    if (descriptor < 0) {
        if (file->existed) {
            report_because("replace", target, " (its folder can't take the new file)", errno);
        } else {
            report_because("create", target, "", errno);
        }
    }
    return descriptor;
}

// The earlier file's permission bits, and its owner and group where the process may set
// them (the group alone where only that is allowed), as a careful editor keeps them.
void keep_owner_and_mode(staged_file *file)
{
    struct stat earlier = {};
    if (stat(file->destination.c_str(), &earlier) != 0 || !S_ISREG(earlier.st_mode)) {
        return; // a new file: the mode the umask gives
    }
    const int descriptor = fileno(file->stream);
    if (fchown(descriptor, earlier.st_uid, earlier.st_gid) != 0) {
        static_cast<void>(fchown(descriptor, static_cast<uid_t>(-1), earlier.st_gid));
    }
    // After the owner: a change of owner clears the set-user and set-group bits.
    static_cast<void>(fchmod(descriptor, earlier.st_mode & 07777));
}

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

// Puts one temporary file in place. Where a file stands there and the system can swap two
// names, the two are swapped, so that the earlier file waits under the temporary name, to be
// put back or let go. Returns 0, 1 when swapped, or -1 with errno set.
int put_in_place(const staged_file &file)
{
#ifdef RENAME_EXCHANGE
    struct stat status = {};
    if (lstat(file.destination.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        if (renameat2(AT_FDCWD, file.temporary.c_str(), AT_FDCWD, file.destination.c_str(),
                      RENAME_EXCHANGE) == 0) {
            return 1;
        }
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            return -1;
        }
    }
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

#endif // not _WIN32

} // namespace

void guard_temporaries()
{
#ifdef _WIN32
    for (const int signal_number : {SIGINT, SIGTERM}) {
        if (std::signal(signal_number, remove_temporaries_and_stop) == SIG_IGN) {
            static_cast<void>(std::signal(signal_number, SIG_IGN));
        }
    }
#else
    const int stopping[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    struct sigaction handler = {};
    handler.sa_handler = remove_temporaries_and_stop;
    sigemptyset(&handler.sa_mask);
    for (const int signal_number : stopping) {
        sigaddset(&handler.sa_mask, signal_number); // one clean-up at a time
    }
    for (const int signal_number : stopping) {
        struct sigaction before = {};
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            static_cast<void>(sigaction(signal_number, &handler, nullptr));
        }
    }
    // A file past the size limit: the write fails with EFBIG and is reported as any failed
    // write is, instead of the signal ending the run silently.
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
#endif
    std::set_terminate(remove_temporaries_and_abort);
}

void report_file_failure(const char *action, const std::string &path)
{
    report_failure("agreement_ensemble", action, path.c_str(), "");
}

void remove_every_temporary()
{
    remove_ready_temporaries();
}

int open_staged(staged_file *file, const std::string &target)
{
    *file = staged_file();
    file->target = target == "-" ? "standard output" : target;
    errno = 0;
#ifdef _WIN32
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(target, error);
    if (target == "-") {
        const int descriptor = _dup(_fileno(stdout));
        if (descriptor >= 0) {
            static_cast<void>(_setmode(descriptor, _O_BINARY)); // LF line ends, as in files
            file->stream = _fdopen(descriptor, "wb");
        }
        file->device = 1; // what tells standard output apart, where there are no inodes
    } else if (fs::exists(status) && !fs::is_regular_file(status)) {
        file->stream = std::fopen(target.c_str(), "wb");
    } else {
        file->existed = fs::exists(status);
        file->destination = fs::absolute(target, error).string();
        file->temporary = file->destination + "." + std::to_string(process_id()) + ".tmp";
        file->stream = std::fopen(file->temporary.c_str(), "wb");
        if (file->stream != nullptr) {
            file->slot = remember_temporary(file->temporary);
        } else {
            file->temporary.clear();
        }
    }
    if (file->stream == nullptr) {
        failure_with_reason();
        report_failure("agreement_ensemble", "open", target.c_str(), " for writing");
        return -1;
    }
#else
    const int descriptor = open_descriptor(file, target);
    if (descriptor < 0) {
        return -1;
    }
    file->stream = fdopen(descriptor, "wb");
    if (file->stream == nullptr) {
        report_because("open", file->target, " for writing", errno);
        static_cast<void>(close(descriptor));
        discard(file);
        return -1;
    }
#endif
    buffer_stream(file);
    return 0;
}

int finish_staged(staged_file *file)
{
    if (file->stream == nullptr) {
        return 0;
    }
    errno = 0;
    const bool written = std::ferror(file->stream) == 0 && std::fflush(file->stream) == 0;
#ifndef _WIN32
    if (written && !file->temporary.empty()) {
        keep_owner_and_mode(file);
    }
#endif
    const bool closed = std::fclose(file->stream) == 0;
    file->stream = nullptr;
    if (!written || !closed) {
        failure_with_reason();
        report_failure("agreement_ensemble", "write", file->target.c_str(), "");
        discard(file);
        return -1;
    }
    return 0;
}

int commit_staged(staged_file *const *files, int count)
{
    int failed = -1; // the file that couldn't be put in place
    int error = 0;
#ifdef _WIN32
    // One after the other: this system can't swap two names.
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
#else
    const std::vector<int> locks = lock_folders(files, count);
    sigset_t held;
    sigset_t before;
    sigemptyset(&held);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&held, signal_number);
    }
    // The renames go one right after the other, with nothing a signal could cut in between.
    static_cast<void>(pthread_sigmask(SIG_BLOCK, &held, &before));
    std::vector<int> swapped(static_cast<std::size_t>(count), -1);
    for (int i = 0; i < count && failed < 0; ++i) {
        if (!files[i]->temporary.empty()) {
            swapped[static_cast<std::size_t>(i)] = put_in_place(*files[i]);
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
    static_cast<void>(pthread_sigmask(SIG_SETMASK, &before, nullptr));
    for (const int descriptor : locks) {
        static_cast<void>(close(descriptor)); // and with it the lock
    }
    if (failed >= 0) {
        report_because("replace", files[failed]->target, "", error);
    }
    // Only now are the earlier files let go, which on a large file takes a while.
    for (int i = 0; i < count; ++i) {
        if (failed < 0 && swapped[static_cast<std::size_t>(i)] == 0) {
            forget_temporary(files[i]); // renamed: no temporary file is left
        }
    }
#endif
    for (int i = 0; i < count; ++i) {
        discard(files[i]);
    }
    return failed < 0 ? 0 : -1;
}

bool same_file(const staged_file &a, const staged_file &b)
{
    if ((a.device != 0 || a.inode != 0) && a.device == b.device && a.inode == b.inode) {
        return true;
    }
    return !a.destination.empty() && a.destination == b.destination;
}

bool shares_standard_output(const staged_file &file)
{
#ifdef _WIN32
    return file.device == 1 && file.destination.empty();
#else
    struct stat status = {};
    return (file.device != 0 || file.inode != 0) && fstat(STDOUT_FILENO, &status) == 0 &&
           file.device == static_cast<std::uint64_t>(status.st_dev) &&
           file.inode == static_cast<std::uint64_t>(status.st_ino);
#endif
}

void abandon_staged(staged_file *file)
{
    if (file->stream != nullptr) {
        // Given up already: what the close does no longer matters.
        static_cast<void>(std::fclose(file->stream));
        file->stream = nullptr;
    }
    discard(file);
}
