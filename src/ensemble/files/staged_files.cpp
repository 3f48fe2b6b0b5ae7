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
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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

// The process number in a temporary file's name made for `name` by create_temporary
// (NAME.<pid>.tmp or NAME.<pid>.<attempt>.tmp, NAME shortened from its end to fit `longest`
// characters), or 0 when entry is not such a name.
long temporary_owner(const std::string &entry, const std::string &name, std::size_t longest)
{
    const std::string ending = ".tmp";
    if (entry.size() <= ending.size() ||
        entry.compare(entry.size() - ending.size(), ending.size(), ending) != 0) {
        return 0;
    }
    std::string body = entry.substr(0, entry.size() - ending.size());
    // Peels ".<digits>" off the end of body. Returns the number, or -1 when there is none.
    const auto peel = [](std::string *text) -> long {
        const std::size_t dot = text->find_last_of('.');
        const std::string digits = dot == std::string::npos ? "" : text->substr(dot + 1);
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return -1;
        }
        text->resize(dot);
        return std::strtol(digits.c_str(), nullptr, 10);
    };
    const auto made_for = [&](const std::string &stem) {
        return stem == name || (!stem.empty() && entry.size() == longest &&
                                name.compare(0, stem.size(), stem) == 0);
    };
    const long last = peel(&body);
    if (last <= 0) {
        return 0;
    }
    if (made_for(body)) {
        return last; // NAME.<pid>.tmp
    }
    const long before = peel(&body);
    return before > 0 && made_for(body) ? before : 0; // NAME.<pid>.<attempt>.tmp
}

// How a file named `name` in the output's folder is shown to the user: beside the output's
// name as given where that name leads to this folder, else by the folder's full path.
std::string shown(const std::string &target, const landing &where, const std::string &name)
{
    const std::size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string given = slash == std::string::npos ? target : target.substr(slash + 1);
    struct stat here = {};
    struct stat there = {};
    const bool same = stat(folder.empty() ? "." : folder.c_str(), &here) == 0 &&
                      stat(where.folder.c_str(), &there) == 0 && here.st_dev == there.st_dev &&
                      here.st_ino == there.st_ino;
    return same && given == where.name ? folder + name : joined(where.folder, name);
}

// Removes the temporary files that processes no longer running left beside this output (a
// SIGKILL, a power loss), each named in one line: they can be hundreds of megabytes, and
// nothing else would ever remove them. Only regular files of this output's own naming go, and
// only when their process is gone; a running process's temporary file is left alone.
void remove_left_temporaries(staged_file *file, const landing &where, std::size_t longest)
{
    DIR *const folder = opendir(where.folder.c_str());
    if (folder == nullptr) {
        return; // the temporary file's own creation reports what is wrong with the folder
    }
    std::vector<std::string> left;
    while (const struct dirent *entry = readdir(folder)) {
        const long owner = temporary_owner(entry->d_name, where.name, longest);
        if (owner > 0 && owner != static_cast<long>(process_id()) &&
            kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH) {
            left.push_back(entry->d_name);
        }
    }
    static_cast<void>(closedir(folder));
    struct stat target = {};
    const bool target_stands = stat(where.path.c_str(), &target) == 0;
    for (const std::string &name : left) {
        const std::string path = joined(where.folder, name);
        struct stat status = {};
        if (lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
            unlink(path.c_str()) != 0) {
            continue;
        }
        const long owner = temporary_owner(name, where.name, longest);
        if (file->left_by == 0) {
            file->left_by = owner;
            // Swapped already, the temporary name holds the earlier output, older than the
            // new one now standing; not yet, it holds the new one, written after it.
            file->left_swapped =
                target_stands && (status.st_mtim.tv_sec < target.st_mtim.tv_sec ||
                                  (status.st_mtim.tv_sec == target.st_mtim.tv_sec &&
                                   status.st_mtim.tv_nsec < target.st_mtim.tv_nsec));
        }
        const std::string line = "agreement_ensemble: removed " + shown(file->target, where, name) +
                                 ", a temporary file left by process " + std::to_string(owner) +
                                 ", which ended without removing it\n";
        static_cast<void>(std::fputs(line.c_str(), stderr));
    }
}

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
    long longest = pathconf(where.folder.c_str(), _PC_NAME_MAX);
    if (longest <= 0) {
        longest = 255;
    }
    remove_left_temporaries(file, where, static_cast<std::size_t>(longest));
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
        if ((fcntl(descriptor, F_GETFL) & O_ACCMODE) == O_RDONLY) {
            // The stream would fail at open with a bare "Invalid argument".
            report_failure_because("agreement_ensemble", "open", file->target.c_str(),
                                   " for writing", "the descriptor is open for reading only");
            static_cast<void>(close(descriptor));
            return -1;
        }
        identify(file, status);
        return descriptor;
    }
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
    bool written = std::ferror(file->stream) == 0 && std::fflush(file->stream) == 0;
    if (written && !file->temporary.empty()) {
        // On the disk before it is renamed into place, so that a power loss after the rename
        // never leaves an empty or partly written file under the output's name.
#ifdef _WIN32
        written = _commit(_fileno(file->stream)) == 0;
#else
        keep_owner_and_mode(file);
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

void report_mixed_pair(const staged_file &a, const staged_file &b)
{
    if (a.left_by != 0 && a.left_by == b.left_by && a.left_swapped != b.left_swapped) {
        const std::string line = "agreement_ensemble: " + a.target + " and " + b.target +
                                 " are not one run's pair: process " + std::to_string(a.left_by) +
                                 " was killed between putting them in place\n";
        static_cast<void>(std::fputs(line.c_str(), stderr));
    }
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
