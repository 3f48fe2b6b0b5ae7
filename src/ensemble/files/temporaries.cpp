// The temporary files in use, removed however a run ends short: by a signal, by an exception
// nothing caught, or by exhausted memory.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "output.h"
#include "staging.h"

namespace {

// The temporary names in use, for the signal handlers: fixed arrays, so that a handler
// needs no allocation, each marked ready only once it is whole, so that a handler never
// removes a file by a half-copied name.
constexpr int TEMPORARY_SLOTS = 4;
char temporary_names[TEMPORARY_SLOTS][4096];
volatile std::sig_atomic_t temporary_ready[TEMPORARY_SLOTS] = {};

} // namespace

long this_process()
{
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

void remove_every_temporary()
{
    for (int slot = 0; slot < TEMPORARY_SLOTS; ++slot) {
        if (temporary_ready[slot] != 0) {
            static_cast<void>(std::remove(temporary_names[slot])); // nothing more to do if it fails
        }
    }
}

namespace {

extern "C" void remove_temporaries_and_stop(int signal_number)
{
    remove_every_temporary();
    // Then end as the signal would have ended the program, status and all (quietly, for a
    // reader that closed its pipe).
    static_cast<void>(std::signal(signal_number, SIG_DFL));
    static_cast<void>(std::raise(signal_number));
}

// An exception nothing caught, in any thread: the temporary files go, one line says why.
[[noreturn]] void remove_temporaries_and_abort()
{
    remove_every_temporary();
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
    // Like running out of memory in the driver: the outputs are put in place together or not
    // at all, and the temporary files are gone.
    const std::string line = std::string("agreement_ensemble: stopped: ") + why + "\n";
    static_cast<void>(std::fputs(line.c_str(), stderr));
    std::abort();
}

} // namespace

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

void discard(staged_file *file)
{
    if (!file->temporary.empty()) {
        static_cast<void>(std::remove(file->temporary.c_str()));
    }
    forget_temporary(file);
}

#ifndef _WIN32
void stopping_signals(sigset_t *set)
{
    sigemptyset(set);
    for (const int signal_number : STOPPING_SIGNALS) {
        sigaddset(set, signal_number);
    }
}
#endif

void report_because(const char *action, const std::string &path, const char *detail, int error)
{
    report_failure_because("agreement_ensemble", action, path.c_str(), detail,
                           std::strerror(error));
}

void guard_temporaries()
{
#ifdef _WIN32
    for (const int signal_number : {SIGINT, SIGTERM}) {
        if (std::signal(signal_number, remove_temporaries_and_stop) == SIG_IGN) {
            static_cast<void>(std::signal(signal_number, SIG_IGN));
        }
    }
#else
    struct sigaction handler = {};
    handler.sa_handler = remove_temporaries_and_stop;
    stopping_signals(&handler.sa_mask); // one clean-up at a time
    for (const int signal_number : STOPPING_SIGNALS) {
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
