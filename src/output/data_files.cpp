// Output streams and the messages that name a failing file.
#include <cerrno>
#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "output.h"

int keep_standard_descriptors()
{
#ifndef _WIN32
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // open takes the lowest free number, which is this one: the lower ones are open.
        const int opened = open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
        if (opened != descriptor) {
            if (opened >= 0) {
                static_cast<void>(close(opened));
            }
            return -1;
        }
    }
#endif
    // Elsewhere a closed standard stream only loses what is written to it.
    return 0;
}

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

// Appends text to the message at *out, stopping short of last. A control character (a
// newline in a file name or an option's value) is shown as an escape, \n or \xHH, so that
// the message stays one line.
void append(char **out, const char *last, const char *text)
{
    static const char digits[] = "0123456789abcdef";
    for (; *text != '\0' && *out != last; ++text) {
        const unsigned char c = static_cast<unsigned char>(*text);
        if (c >= 0x20 && c != 0x7f) {
            *(*out)++ = *text;
            continue;
        }
        const char escape[] = {'\\',
                               c == '\n'   ? 'n'
                               : c == '\t' ? 't'
                               : c == '\r' ? 'r'
                                           : 'x',
                               digits[c >> 4], digits[c & 15], '\0'};
        const int length = escape[1] == 'x' ? 4 : 2;
        for (int i = 0; i < length && *out != last; ++i) {
            *(*out)++ = escape[i];
        }
    }
}

} // namespace

// Puts the whole line on stderr at once. Nothing is left to tell if stderr itself fails; the
// exit status still says the run failed.
void report_line(const char *const *pieces, int count)
{
    char line[1024];
    char *out = line;
    const char *last = line + sizeof line - 2; // room for the line end and the zero
    for (int i = 0; i < count; ++i) {
        append(&out, last, pieces[i]);
    }
    *out++ = '\n';
    *out = '\0';
    static_cast<void>(std::fputs(line, stderr));
}

int failure_with_reason()
{
    if (errno == 0) {
        errno = EIO;
    }
    return -1;
}

void report_problem(const char *program, const char *problem, const char *hint)
{
    const char *pieces[] = {program, ": ", problem, hint};
    report_line(pieces, sizeof pieces / sizeof pieces[0]);
}

void report_bad_argument(const char *program, const char *argument)
{
    const bool option = argument[0] == '-';
    const char *pieces[] = {program, option ? ": unknown option '" : ": unexpected argument '",
                            argument, "' (see --help)"};
    report_line(pieces, sizeof pieces / sizeof pieces[0]);
}

void report_failure(const char *program, const char *action, const char *path, const char *detail)
{
    report_failure_because(program, action, path, detail, std::strerror(errno));
}

void report_failure_because(const char *program, const char *action, const char *path,
                            const char *detail, const char *reason)
{
    const char *pieces[] = {program, ": cannot ", action, " ", path, detail, ": ", reason};
    report_line(pieces, sizeof pieces / sizeof pieces[0]);
}

int print_or_report(const char *program, const char *text)
{
    errno = 0;
    if (std::fputs(text, stdout) == EOF || std::fflush(stdout) != 0) {
        failure_with_reason();
        report_failure(program, "write", "standard output", "");
        return 1;
    }
    return 0;
}
