// Where an output's name leads: links followed one at a time, each read in the folder it sits
// in, and the names that stand for an open descriptor told apart.
#ifndef _WIN32
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "landing.h"

namespace {

constexpr int MOST_LINKS = 40; // links followed before a name counts as a loop, as the system does

// The folder's path without links, or "" with errno set. In a working folder deeper than
// the system's longest path, where no absolute path can be opened (and the path may not even
// be spelled: an emulator's getcwd gives up there), the folder as given, relative to the
// working folder, which the system still opens.
std::string real_folder(const std::string &folder)
{
    char *const real = realpath(folder.c_str(), nullptr);
    if (real == nullptr) {
        const int error = errno;
        struct stat status = {};
        if (stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            return folder;
        }
        errno = error;
        return std::string();
    }
    std::string text = real;
    std::free(real);
    // Room for a name below it too, a temporary file's included.
    return text.size() + 1 + NAME_MAX < PATH_MAX ? text : folder;
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

} // namespace

std::string joined(const std::string &folder, const std::string &name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

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

#endif
