// Output: output streams, record formatting, the decimal comma and the failure messages both
// programs print.
//
// Number text is the six-decimal fixed form, correctly rounded with '.' as the point,
// produced without the C library's printf or locale so that every host writes the same bytes.
// Streams are C text-mode files, so each '\n' becomes the host's line end (CR LF on Windows).
#ifndef AGREEMENT_SWEEP_OUTPUT_H
#define AGREEMENT_SWEEP_OUTPUT_H

#include <cstddef>
#include <cstdio>

#include "experiment.h"

// The host's directory separator, chosen here and nowhere else.
#ifdef _WIN32
#define AGREEMENT_SWEEP_SEPARATOR "\\"
#else
#define AGREEMENT_SWEEP_SEPARATOR "/"
#endif

constexpr int TEXT_BUFFER_SIZE = 256; // characters in the run's text buffer
constexpr int NUMBER_TEXT_ROOM = 32;  // room format_fixed asks for to take its fast path

// Writes value as an optional '-', the integer digits, '.' and six correctly rounded
// decimals into [first, last). Returns the end of the text (not terminated), or a null
// pointer when it doesn't fit. Infinities and NaNs are written as "inf" and "nan".
char *format_fixed(char *first, char *last, double value);

// Formats up to three doubles into the text buffer (TEXT_BUFFER_SIZE characters) with a
// pattern whose only conversion is "%f"; every other character is copied. Returns the
// length of the terminated text, or -1 with errno = ERANGE and an empty buffer when the
// text wouldn't fit.
int format_record(char *buffer, const char *pattern, double first, double second = 0.0,
                  double third = 0.0);

// As format_record, but appends after the first length characters of the text buffer, so
// that several lines can be gathered and written as one piece. Returns the new length, or
// -1 with errno = ERANGE when the record wouldn't fit; the first length characters are then
// kept, terminated.
int append_record(char *buffer, int length, const char *pattern, double first, double second = 0.0,
                  double third = 0.0);

// Turns every '.' of the buffer's string into ','; no other character changes.
void to_decimal_comma(char *buffer);

// Creates or truncates path for writing in text mode, buffered in the caller's
// stream_buffer of size characters, which must outlive the stream. A buffer that holds the
// whole file lets the file reach the system in one write, at close. Returns the stream, or a
// null pointer with errno set when the file can't be opened.
std::FILE *open_output(const char *path, char *stream_buffer, std::size_t size);

// Writes the buffer's string, without its terminating zero. Returns 0, or -1 with errno set.
int write_piece(std::FILE *stream, const char *buffer);

// Flushes and closes the stream; it is closed either way. Returns 0, or -1 with errno set
// when the flush or the close failed, so that data may be missing from the file.
int close_output(std::FILE *stream);

// ---- Reporting failures, the same way in both programs ----

// Opens descriptors 0, 1 and 2 on the null device where the program was started with them
// closed, so that no output file is given one of them and the program's messages never land
// in its data. Call first thing. Returns 0, or -1 when one can't be opened (the caller then
// has nowhere safe to report and should stop).
int keep_standard_descriptors();

// Returns -1 with errno kept when a failed call set it, or set to EIO when it didn't (C
// streams needn't set errno), so that every failure has a reason to name.
int failure_with_reason();

// Prints the pieces on stderr as one line, built whole so that it reaches stderr in one piece,
// with control characters escaped (\n, \xHH).
void report_line(const char *const *pieces, int count);

// Prints "<program>: <problem><hint>" on stderr as one line, control characters escaped.
void report_problem(const char *program, const char *problem, const char *hint);

// Prints "<program>: unknown option '<argument>' (see --help)", or "unexpected argument" for
// one that doesn't start with '-'.
void report_bad_argument(const char *program, const char *argument);

// Prints one line on stderr, built whole so that it reaches stderr in one piece:
// "<program>: cannot <action> <path><detail>: <reason>", the reason taken from errno, or
// given (a system error that errno doesn't carry). Control characters are escaped, as above.
void report_failure(const char *program, const char *action, const char *path, const char *detail);
void report_failure_because(const char *program, const char *action, const char *path,
                            const char *detail, const char *reason);

// Writes text on stdout and flushes it. Returns 0, or 1 after reporting
// "<program>: cannot write standard output: <reason>".
int print_or_report(const char *program, const char *text);

#endif
