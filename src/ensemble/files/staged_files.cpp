// The ensemble's output files: replaced whole or not at all, together, and never destroying
// what stands at the path or anything a name only leads to.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

#include "files.h"
#include "output.h"
#include "staging.h"
#ifndef _WIN32
#include "landing.h"
#endif

namespace {

// The per-seed file grows by about 6 KB a seed: a buffer of our own (the C library may
// ignore a size given without one) sends it to the system in pieces this large.
constexpr std::size_t STREAM_BUFFER_BYTES = std::size_t{1} << 20;

// Gives the open stream a buffer of our own.
void buffer_stream(staged_file *file)
{
    file->buffer.resize(STREAM_BUFFER_BYTES);
    if (std::setvbuf(file->stream, file->buffer.data(), _IOFBF, file->buffer.size()) != 0) {
        file->buffer.clear(); // the stream keeps a buffer of its own and writes in smaller pieces
    }
}

#ifndef _WIN32

void identify(staged_file *file, const struct stat &status)
{
    file->device = static_cast<std::uint64_t>(status.st_dev);
    file->inode = static_cast<std::uint64_t>(status.st_ino);
}

} // namespace

std::size_t longest_name(const std::string &folder)
{
    const long longest = pathconf(folder.c_str(), _PC_NAME_MAX);
    return longest > 0 ? static_cast<std::size_t>(longest) : 255;
}

namespace {

// Creates the temporary file beside the one it will replace: NAME.<pid>.tmp, shortened from
// the front of NAME where the folder's names can't be that long, and never over a file that
// is there already. Returns the descriptor, or -1 with errno set.
int create_temporary(staged_file *file, const landing &where)
{
    if (where.name.empty() || where.folder.empty()) {
        // A folder's name: there is no file beside which the temporary one could sit.
        errno = EISDIR;
        return -1;
    }
    const std::size_t room = longest_name(where.folder);
    file->folder = where.folder;
    file->name = where.name;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string suffix = "." + std::to_string(this_process()) +
                                   (attempt == 0 ? "" : "-" + std::to_string(attempt)) + ".tmp";
        std::string stem = where.name;
        stem.resize(std::min(stem.size(), room > suffix.size() ? room - suffix.size() : 0));
        const std::string name = joined(where.folder, stem + suffix);
        // A signal between creating the file and listing it for clean-up would leave it
        // behind: the two go together.
        sigset_t stopping;
        sigset_t before;
        stopping_signals(&stopping);
        static_cast<void>(pthread_sigmask(SIG_BLOCK, &stopping, &before));
        const int descriptor =
            open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        const int error = errno;
        if (descriptor >= 0) {
            file->temporary = name;
            file->slot = remember_temporary(name);
        }
        static_cast<void>(pthread_sigmask(SIG_SETMASK, &before, nullptr));
        if (descriptor >= 0) {
            return descriptor;
        }
        if (error != EEXIST) {
            errno = error;
            return -1;
        }
    }
    return -1;
}

// Duplicates a descriptor that the caller gave the program, as the shell set it up
// (appending, a pipe), to write through whatever kind of file it is. Returns the duplicate,
// or -1 after reporting why.
int open_given(staged_file *file, int given)
{
    // Every descriptor this program opens closes on exec, so one that does was not given to
    // it: /dev/fd/3 naming the table's own temporary file is no descriptor of the caller's.
    const int flags = fcntl(given, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) != 0) {
        report_because("open", file->target, " for writing", EBADF);
        return -1;
    }
    struct stat status = {};
    const int descriptor = fcntl(given, F_DUPFD_CLOEXEC, 3);
    if (descriptor < 0 || fstat(descriptor, &status) != 0) {
        report_because("open", file->target, " for writing", errno);
        return -1;
    }
    if ((fcntl(descriptor, F_GETFL) & O_ACCMODE) == O_RDONLY) {
        // The stream would fail at open with a bare "Invalid argument".
        report_failure_because("agreement_ensemble", "open", file->target.c_str(), " for writing",
                               "the descriptor is open for reading only");
        static_cast<void>(close(descriptor));
        return -1;
    }
    identify(file, status);
    return descriptor;
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
    if (where.descriptor >= 0) {
        return open_given(file, where.descriptor);
    }
    struct stat status = {};
    file->existed = stat(where.path.c_str(), &status) == 0;
    if (file->existed && S_ISSOCK(status.st_mode)) {
        // The system opens no socket by its name (it says "No such device or address"): one
        // is written through only as a descriptor the shell connected.
        report_failure_because("agreement_ensemble", "open", target.c_str(), " for writing",
                               "a socket is not opened by its name; connect it to standard "
                               "output and give '-'");
        return -1;
    }
    if (file->existed && !S_ISREG(status.st_mode)) {
        // A device or a FIFO: renaming would put a plain file in its place, so it is written
        // straight through (a folder refuses to open).
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

// Gives the finished temporary file the run's one modification time, the same for both of
// its outputs, by which a later run tells a pair that was left mixed.
void stamp(staged_file *file)
{
    static const struct timespec run_time = [] {
        struct timespec now = {};
        static_cast<void>(clock_gettime(CLOCK_REALTIME, &now));
        return now;
    }();
    const struct timespec times[2] = {{0, UTIME_OMIT}, run_time};
    static_cast<void>(futimens(fileno(file->stream), times)); // only the mixed-pair report needs it
}

#endif // not _WIN32

} // namespace

void report_file_failure(const char *action, const std::string &path)
{
    report_failure("agreement_ensemble", action, path.c_str(), "");
}

bool names_a_folder(const std::string &target)
{
#ifdef _WIN32
    const char *const separators = "/\\";
#else
    const char *const separators = "/";
#endif
    const std::size_t cut = target.find_last_of(separators);
    const std::string last = cut == std::string::npos ? target : target.substr(cut + 1);
    if (last.empty() || last == "." || last == "..") {
        return true;
    }
    std::error_code error;
    return target != "-" && std::filesystem::is_directory(target, error);
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
        file->temporary = file->destination + "." + std::to_string(this_process()) + ".tmp";
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
    bool written = std::ferror(file->stream) == 0 && std::fflush(file->stream) == 0;
    if (written && !file->temporary.empty()) {
        // On the disk before it is renamed into place, so that a power loss after the rename
        // never leaves an empty or partly written file under the output's name.
#ifdef _WIN32
        written = _commit(_fileno(file->stream)) == 0;
#else
        keep_owner_and_mode(file);
        stamp(file);
        written = fsync(fileno(file->stream)) == 0;
#endif
    }
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
