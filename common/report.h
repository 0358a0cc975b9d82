// Failure lines. Every one an operation prints goes through report, on the
// stream the program's operations use: standard error for vrel, standard
// output for zbqtool.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// The program's name, which its temporaries carry, and the stream report
// writes to: set by main before any operation runs (until then "out" and
// standard error).
void setprogram(const char *name, FILE *lines);
const char *programname();

// Prints the line (a line end is added) and returns code, the failed
// step's result.
int report(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Notes and warnings: what a run did that the user may not have meant.
// Each is one line on standard error, whatever stream report uses, with
// the whole line passed through shown, so a name can neither split it nor
// drive the terminal. notes() counts them; say prints a line the same way
// without counting it.
void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int notes();

// printf's text as a string.
std::string formatted(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// "1 pixel", "2 pixels": n and the noun, made plural by an s.
std::string counted(uint64_t n, const char *noun);

// Text as a note shows it: control bytes, bytes that are not UTF-8 and the
// characters a terminal shows as nothing or as a space (C1 controls,
// no-break and zero-width spaces, direction marks) are written as \n, \t,
// \r, \xNN or \uNNNN; the rest as it is.
std::string shown(const std::string &s);

// Runs op on the command line's arguments. Running out of memory anywhere
// in it is a failure like any other (result 2), its outputs cleaned up as
// the stack unwinds. The files a failed run completed are put in place.
int guarded(int (*op)(char **), char **argv);

// Makes standard output a stream that keeps the first reason a write to it
// failed, where the C library allows, and makes both standard streams write
// bytes as they are; call it before anything is written.
void keepouterr();

// Flushes standard output: 0, or 2 after a line on standard error saying
// why it can't be written.
int flushed();
