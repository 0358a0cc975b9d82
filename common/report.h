// Failure lines. Every one an operation prints goes through report, on the
// stream the program's operations use: standard error for vrel, standard
// output for zbqtool.
#pragma once
#include <cstdio>

// The program's name, which its temporaries carry, and the stream report
// writes to: set by main before any operation runs (until then "out" and
// standard error).
void setprogram(const char *name, FILE *lines);
const char *programname();

// Prints the line (a line end is added) and returns code, the failed
// step's result.
int report(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

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
