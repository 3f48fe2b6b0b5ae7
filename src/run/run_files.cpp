// The one-shot run's file names and failure messages.
#include <charconv>

#include "run_files.h"

void pass_file_name(char *buffer, int n)
{
    char *out = buffer;
    for (const char *c = PASS_FILE_PREFIX; *c != '\0'; ++c) {
        *out++ = *c;
    }
    // Eleven characters hold any int; the prefix takes twelve of the PASS_FILE_NAME_SIZE
    // promised.
    out = std::to_chars(out, out + 11, n).ptr;
    *out = '\0';
}

void report_open_failure(const char *path)
{
    report_failure("agreement_sweep", "open", path, " for writing");
}

void report_write_failure(const char *path)
{
    report_failure("agreement_sweep", "write", path, "");
}

void report_incomplete_summary(const char *path, int passes)
{
    char done[16] = {};
    char all[16] = {};
    static_cast<void>(std::to_chars(done, done + sizeof done - 1, passes));
    static_cast<void>(std::to_chars(all, all + sizeof all - 1, PASS_COUNT));
    const char *const pieces[] = {
        "agreement_sweep: ", path, " left incomplete: ", done, " of ", all, " passes"};
    report_line(pieces, sizeof pieces / sizeof pieces[0]);
}
