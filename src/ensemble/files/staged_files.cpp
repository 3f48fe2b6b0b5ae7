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
#include <process.h>
#define process_id _getpid
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define process_id getpid
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

#endif // not _WIN32

} // namespace

void report_file_failure(const char *action, const std::string &path)
{
    report_failure("agreement_ensemble", action, path.c_str(), "");
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
