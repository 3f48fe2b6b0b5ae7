// Temporary files that runs no longer running left beside the outputs: found by their names,
// removed, and a pair that a run killed between its renames left mixed, reported.
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "files.h"
#include "staging.h"
#ifndef _WIN32
#include "landing.h"
#endif

namespace {

#ifndef _WIN32

// The process number in a temporary file's name made for `name` by create_temporary
// (NAME.<pid>.tmp or NAME.<pid>-<attempt>.tmp, NAME shortened from its end to fit `longest`
// characters), or 0 when entry is not such a name. The process number sits between the last
// '.' and ".tmp", so that a name is read one way only, whatever digits NAME itself holds.
long temporary_owner(const std::string &entry, const std::string &name, std::size_t longest)
{
    const std::string ending = ".tmp";
    if (entry.size() <= ending.size() ||
        entry.compare(entry.size() - ending.size(), ending.size(), ending) != 0) {
        return 0;
    }
    const std::string body = entry.substr(0, entry.size() - ending.size());
    const std::size_t dot = body.find_last_of('.');
    if (dot == std::string::npos) {
        return 0;
    }
    const std::string stem = body.substr(0, dot);
    const std::string owner = body.substr(dot + 1);
    const std::size_t dash = owner.find('-');
    const std::string digits = owner.substr(0, dash);
    const std::string attempt = dash == std::string::npos ? "1" : owner.substr(dash + 1);
    const auto whole_number = [](const std::string &text) {
        return !text.empty() && text.size() <= 9 &&
               text.find_first_not_of("0123456789") == std::string::npos;
    };
    const bool made_for = stem == name || (!stem.empty() && entry.size() == longest &&
                                           name.compare(0, stem.size(), stem) == 0);
    return made_for && whole_number(digits) && whole_number(attempt)
               ? std::strtol(digits.c_str(), nullptr, 10)
               : 0;
}

// How a file named `name` in the output's folder is shown to the user: beside the output's
// name as given where that name leads to this folder, else by the folder's full path.
std::string shown(const staged_file &file, const std::string &name)
{
    const std::string &target = file.target;
    const std::size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string given = slash == std::string::npos ? target : target.substr(slash + 1);
    struct stat here = {};
    struct stat there = {};
    const bool same = stat(folder.empty() ? "." : folder.c_str(), &here) == 0 &&
                      stat(file.folder.c_str(), &there) == 0 && here.st_dev == there.st_dev &&
                      here.st_ino == there.st_ino;
    return same && given == file.name ? folder + name : joined(file.folder, name);
}

std::int64_t modified_at(const struct stat &status)
{
    return static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 +
           static_cast<std::int64_t>(status.st_mtim.tv_nsec);
}

// Removes the temporary files that processes no longer running left beside one output,
// each named in one line, and notes in *file each one's process and time. Never a file that
// one of outputs[0 .. count - 1] writes or replaces.
void remove_left_for(staged_file *file, staged_file *const *outputs, int count)
{
    if (file->temporary.empty()) {
        return; // written straight through: nothing of ours is renamed here
    }
    const std::size_t longest = longest_name(file->folder);
    DIR *const folder = opendir(file->folder.c_str());
    if (folder == nullptr) {
        return;
    }
    std::vector<std::pair<std::string, long>> left; // each name and its process
    while (const struct dirent *entry = readdir(folder)) {
        const long owner = temporary_owner(entry->d_name, file->name, longest);
        if (owner > 0 && owner != this_process() && kill(static_cast<pid_t>(owner), 0) != 0 &&
            errno == ESRCH) {
            left.emplace_back(entry->d_name, owner);
        }
    }
    static_cast<void>(closedir(folder));
    struct stat standing = {};
    file->standing_time =
        stat(file->destination.c_str(), &standing) == 0 ? modified_at(standing) : 0;
    for (const auto &[name, owner] : left) {
        const std::string path = joined(file->folder, name);
        struct stat status = {};
        if (lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            continue;
        }
        bool ours = false; // an output of this very run that happens to look like one
        for (int i = 0; i < count; ++i) {
            ours = ours || (outputs[i]->device == static_cast<std::uint64_t>(status.st_dev) &&
                            outputs[i]->inode == static_cast<std::uint64_t>(status.st_ino));
        }
        if (ours || unlink(path.c_str()) != 0) {
            continue;
        }
        file->left.emplace_back(owner, modified_at(status));
        const std::string line = "agreement_ensemble: removed " + shown(*file, name) +
                                 ", a temporary file left by process " + std::to_string(owner) +
                                 ", which ended without removing it\n";
        static_cast<void>(std::fputs(line.c_str(), stderr));
    }
}

#endif // not _WIN32

// Reports, in one line, two outputs that a killed run left from different runs.
void report_mixed_pair(const staged_file &a, const staged_file &b)
{
    long mixed_by = 0; // the process that left them so
    for (const auto &from_a : a.left) {
        for (const auto &from_b : b.left) {
            const bool one_side_in = (a.standing_time != 0 && a.standing_time == from_b.second) ||
                                     (b.standing_time != 0 && b.standing_time == from_a.second);
            mixed_by = from_a.first == from_b.first && one_side_in ? from_a.first : mixed_by;
        }
    }
    if (mixed_by != 0) {
        const std::string line = "agreement_ensemble: " + a.target + " and " + b.target +
                                 " are not one run's pair: process " + std::to_string(mixed_by) +
                                 " was killed between putting them in place\n";
        static_cast<void>(std::fputs(line.c_str(), stderr));
    }
}

} // namespace

void remove_left_temporaries(staged_file *const *files, int count)
{
#ifndef _WIN32
    for (int i = 0; i < count; ++i) {
        remove_left_for(files[i], files, count);
    }
#endif
    // A run stamps all of its new files with one time before it puts them in place. Killed
    // between two renames, it leaves one output standing with the time of another's
    // temporary file, still waiting under its temporary name; before the renames or after
    // all of them, no output stands with a time of another's temporary file.
    for (int i = 0; i < count; ++i) {
        for (int j = i + 1; j < count; ++j) {
            report_mixed_pair(*files[i], *files[j]);
        }
    }
}
