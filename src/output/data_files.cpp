// Output streams and the messages that name a failing file.
#include <cerrno>
#include <cstring>

#include "output/output.h"

std::FILE *open_output(const char *path, char *stream_buffer, std::size_t size)
{
    std::FILE *stream = std::fopen(path, "w");
    if (stream != nullptr) {
        // Refused only for invalid arguments; the stream then keeps its own buffer and still
        // writes everything, in more pieces.
        static_cast<void>(std::setvbuf(stream, stream_buffer, _IOFBF, size));
    }
    return stream;
}

int write_piece(std::FILE *stream, const char *buffer)
{
    return std::fputs(buffer, stream) == EOF ? -1 : 0;
}

int close_output(std::FILE *stream)
{
    // fclose flushes first and reports a failed flush too (a full disk shows up here when
    // the whole file fitted in the stream's buffer).
    return std::fclose(stream) == 0 ? 0 : -1;
}

namespace {

// Appends text to the message at *out, stopping short of last.
void append(char **out, const char *last, const char *text)
{
    while (*text != '\0' && *out != last) {
        *(*out)++ = *text++;
    }
}

// Builds the whole line first so that it reaches stderr in one piece.
void report(const char *action, const char *path, const char *detail)
{
    const char *reason = std::strerror(errno);
    char line[512];
    char *out = line;
    const char *last = line + sizeof line - 2; // room for the line end and the zero
    append(&out, last, "agreement_sweep: cannot ");
    append(&out, last, action);
    append(&out, last, " ");
    append(&out, last, path);
    append(&out, last, detail);
    append(&out, last, ": ");
    append(&out, last, reason);
    *out++ = '\n';
    *out = '\0';
    // Nothing is left to tell if stderr itself fails; the exit status still says the run failed.
    static_cast<void>(std::fputs(line, stderr));
}

} // namespace

void report_open_failure(const char *path)
{
    report("open", path, " for writing");
}

void report_write_failure(const char *path)
{
    report("write", path, "");
}
