// The ensemble's output files: replaced whole or not at all, and never destroying what
// stands at the path.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#define process_id _getpid
#else
#include <unistd.h>
#define process_id getpid
#endif

#include "ensemble/ensemble.h"
#include "output/output.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t STREAM_BUFFER_BYTES = std::size_t{1} << 20;

// ---- Removing temporary files when interrupted ----

// The temporary names in use, for the interrupt handler: fixed arrays, so that the handler
// needs no allocation, each marked ready only once it is whole, so that the handler never
// removes a file by a half-copied name.
constexpr int TEMPORARY_SLOTS = 4;
char temporary_names[TEMPORARY_SLOTS][4096];
volatile std::sig_atomic_t temporary_ready[TEMPORARY_SLOTS] = {};

extern "C" void remove_temporaries_and_stop(int signal_number)
{
    for (int slot = 0; slot < TEMPORARY_SLOTS; ++slot) {
        if (temporary_ready[slot] != 0) {
            static_cast<void>(std::remove(temporary_names[slot])); // nothing more to do if it fails
        }
    }
    // Then end as the signal would have ended the program, status and all.
    static_cast<void>(std::signal(signal_number, SIG_DFL));
    static_cast<void>(std::raise(signal_number));
}

// Puts name in a free slot of the clean-up list. Returns the slot, or -1 when none is free
// or the name is too long to keep whole; such a file is only left behind by an interrupt.
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
}

// ---- Where a file goes ----

// The file a chain of symbolic links ends at (the path itself when it is no link), so that
// the link stays a link and its file is replaced. A loop of links is left to the open to
// report.
fs::path final_file(const fs::path &target)
{
    fs::path path = target;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(path, error))) {
            return path;
        }
        const fs::path next = fs::read_symlink(path, error);
        if (error) {
            return path;
        }
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    return path;
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

} // namespace

void remove_temporaries_when_interrupted()
{
    static_cast<void>(std::signal(SIGINT, remove_temporaries_and_stop));
    static_cast<void>(std::signal(SIGTERM, remove_temporaries_and_stop));
#ifdef SIGHUP
    static_cast<void>(std::signal(SIGHUP, remove_temporaries_and_stop)); // the terminal closed
#endif
}

void report_file_failure(const char *action, const std::string &path)
{
    report_failure("agreement_ensemble", action, path.c_str(), "");
}

int open_staged(staged_file *file, const std::string &target)
{
    file->target = target == "-" ? "standard output" : target;
    file->destination.clear();
    file->temporary.clear();
    file->slot = -1;
    errno = 0;
    if (target == "-") {
#ifdef _WIN32
        static_cast<void>(_setmode(_fileno(stdout), _O_BINARY)); // LF line ends, as in files
#endif
        file->stream = stdout;
        return 0;
    }
    const fs::path destination = final_file(target);
    std::error_code error;
    const fs::file_status status = fs::status(destination, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        // A device, a FIFO or a folder: renaming would put a plain file in its place, so it
        // is written straight through (a folder then refuses to open).
        file->stream = std::fopen(target.c_str(), "wb");
    } else {
        file->destination = destination.string();
        file->temporary = file->destination + "." + std::to_string(process_id()) + ".tmp";
        file->stream = std::fopen(file->temporary.c_str(), "wb");
        if (file->stream != nullptr) {
            file->slot = remember_temporary(file->temporary);
        }
    }
    if (file->stream == nullptr) {
        failure_with_reason();
        report_failure("agreement_ensemble", "open", target.c_str(), " for writing");
        file->temporary.clear();
        return -1;
    }
    // The per-seed file grows by about 6 KB a seed: large writes keep the system calls from
    // taking a share of the rate.
    static_cast<void>(std::setvbuf(file->stream, nullptr, _IOFBF, STREAM_BUFFER_BYTES));
    return 0;
}

int commit_staged(staged_file *file)
{
    errno = 0;
    const bool written = std::ferror(file->stream) == 0 && std::fflush(file->stream) == 0;
    const bool closed = file->stream == stdout || std::fclose(file->stream) == 0;
    file->stream = nullptr;
    if (!written || !closed) {
        failure_with_reason();
        report_file_failure("write", file->target);
        discard(file);
        return -1;
    }
    if (file->temporary.empty()) {
        return 0; // written straight through
    }
    // Replaces an earlier file of the same name on every system (std::rename doesn't on
    // Windows).
    std::error_code error;
    fs::rename(file->temporary, file->destination, error);
    if (error) {
        const std::string action = "rename " + file->temporary + " to";
        report_failure_because("agreement_ensemble", action.c_str(), file->target.c_str(), "",
                               error.message().c_str());
        discard(file);
        return -1;
    }
    forget_temporary(file);
    return 0;
}

bool same_file(const staged_file &a, const staged_file &b)
{
    std::error_code error;
    return !a.temporary.empty() && !b.temporary.empty() &&
           fs::equivalent(a.temporary, b.temporary, error);
}

void abandon_staged(staged_file *file)
{
    if (file->stream != nullptr) {
        // Given up already: what the close does no longer matters.
        if (file->stream != stdout) {
            static_cast<void>(std::fclose(file->stream));
        }
        file->stream = nullptr;
        discard(file);
    }
}
