// The command line.
//
// parse_command_line() runs getopt_long over argv and stores every option in
// the settings (config/settings.h; a start-up write), acting at once for -d,
// -i, --local-networks and the host options. It prints nothing itself but
// getopt_long's own complaints; its `result` says what start-up does next:
// success; a usage error (unknown option, missing argument, no -p), status
// 64 with an empty message, found after the whole line was read, on which
// start-up prints the help text; or a bad -d token, network list or host
// name, status 1 with the message for standard error, which stops the parse
// at once. Words that are no option nor an option's value (operands) are
// ignored, as they always were, and listed in `operands` for start-up to
// log. It may be called again after reset_settings() (tests): getopt is
// re-initialised on every call.
//
// Layer: config, the top of it. Owns the copies of text arguments; writes
// the settings; may use config/debug, config/networks and the resolver.
#pragma once

#include <getopt.h>

#include <cstdio>
#include <vector>

#include "config/outcome.h"

// What main keeps from the command line besides the settings.
struct command_line {
  const char* sock = nullptr;         // -p, required
  const char* pidfilename = nullptr;  // -P
  bool dofork = false;                // -f
  std::vector<const char*> operands;  // ignored words, pointing into argv
  outcome result;                     // see above
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
