// The command line.
//
// parse_command_line() runs getopt_long over argv and stores every option in
// the settings (config/settings.h), acting at once for -d, -i,
// --local-networks and the host options. On a usage error (unknown option,
// missing argument, no -p) it prints the help text on standard output and
// exits 64 after the whole line has been read; a bad -d token, network list
// or host name exits 1 with a message on standard error.
#pragma once

#include <cstdio>

// What main keeps from the command line besides the settings.
struct command_line {
  const char* sock = nullptr;         // -p, required
  const char* pidfilename = nullptr;  // -P
  bool dofork = false;                // -f
};

command_line parse_command_line(int argc, char* argv[]);

// The 84 lines of the help text, without their newlines.
extern const char* const help_lines[84];
void print_help(FILE* out);

// Resolves a host name (or dotted address) to the dotted text of its first
// IPv4 address; nullptr when it has none. The buffer is reused by the next call.
const char* gethostip(const char* name);
