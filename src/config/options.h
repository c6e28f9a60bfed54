// The command line.
//
// parse_command_line() runs getopt_long over argv and stores every option in
// the settings (config/settings.h), acting at once for -d, -i,
// --local-networks, the host options and -m (registration flags). On a usage
// error (unknown option, missing argument, no -p) it prints the help text on
// standard output and exits 64, but only after the whole line has been read;
// a bad -d token, network list or host name exits 1 with a message on
// standard error while the line is read. It may be called again after
// reset_settings() (tests): getopt is re-initialised on every call.
#pragma once

#include <getopt.h>

#include <cstdio>

// What main keeps from the command line besides the settings.
struct command_line {
  const char* sock = nullptr;         // -p, required
  const char* pidfilename = nullptr;  // -P
  bool dofork = false;                // -f
};

command_line parse_command_line(int argc, char* argv[]);

// The tables handed to getopt_long; the manual page must name every option
// in them (tests/unit/options_test.cpp).
extern const char short_options[];
extern const option long_options[];

// The help text: HELP_LINES lines, without their newlines. print_help()
// writes each with a newline and flushes the stream.
constexpr int HELP_LINES = 84;
extern const char* const help_lines[HELP_LINES];
void print_help(FILE* out);

// Resolves a host name (or dotted address) through the system resolver to the
// dotted text of its first IPv4 address; nullptr when it has none. The text
// lives in a buffer that the next call reuses.
const char* gethostip(const char* name);
