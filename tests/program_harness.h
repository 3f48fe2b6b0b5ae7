// What the end-to-end tests share: running the programs in a scratch folder, reading what
// they wrote, and devices and splitting of their own.
#ifndef AGREEMENT_SWEEP_PROGRAM_HARNESS_H
#define AGREEMENT_SWEEP_PROGRAM_HARNESS_H

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// A fresh folder of the test's own in the system's temporary folder, named from prefix, and
// removed with everything in it when the object goes.
class scratch_folder {
public:
    explicit scratch_folder(const std::string &prefix)
    {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~scratch_folder()
    {
        if (!path_.empty()) {
            std::filesystem::remove_all(path_);
        }
    }
    scratch_folder(const scratch_folder &) = delete;
    scratch_folder &operator=(const scratch_folder &) = delete;

    // The folder, or an empty path when it couldn't be made.
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The whole file, byte for byte.
inline std::string read_text(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs command through the shell in folder, its stdout and stderr caught in files in captures
// (removed afterwards) and handed back in *out and *errors. Returns its exit status, or -1
// when a signal ended the shell.
inline int run_command(const std::filesystem::path &folder, const std::filesystem::path &captures,
                       const std::string &command, std::string *out, std::string *errors)
{
    const std::filesystem::path out_file = captures / "stdout.txt";
    const std::filesystem::path errors_file = captures / "stderr.txt";
    const std::string line = "cd '" + folder.string() + "' && " + command + " > '" +
                             out_file.string() + "' 2> '" + errors_file.string() + "'";
    const int status = std::system(line.c_str());
    *out = read_text(out_file);
    *errors = read_text(errors_file);
    std::filesystem::remove(out_file);
    std::filesystem::remove(errors_file);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The pieces between separators; a separator at the very end adds no empty piece.
inline std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> pieces;
    std::string piece;
    std::istringstream in(text);
    while (std::getline(in, piece, separator)) {
        pieces.push_back(piece);
    }
    return pieces;
}

// Makes a character device of the test's own at path that fails every write with "No space
// left on device" (the full device's numbers, 1 and 7), so that no test hands a system device
// to a program. Returns false where device nodes can't be made (not root, or a file system
// mounted without devices); the caller then skips.
inline bool make_full_device(const std::filesystem::path &path)
{
    if (mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
        return false;
    }
    // A node on a file system mounted nodev opens with EACCES even for root.
    std::ofstream probe(path, std::ios::binary);
    return probe.is_open();
}

// True when path is still a character device, as a test made it.
inline bool is_character_device(const std::filesystem::path &path)
{
    return std::filesystem::is_character_file(std::filesystem::symlink_status(path));
}

#endif
