// Start-up, privileges and run: everything main() does.
//
// tav_main() sets up logging, parses the command line, freezes the
// settings, writes the pidfile, changes group and user, creates the sample
// directory, detaches, registers `smfilter` (filter.h) with libmilter and
// runs smfi_main(). It returns the exit status: 0 or 255 from libmilter's
// loop, or 64, 1 or 69 when start-up fails (the help text on standard
// output, or the failure's message on standard error). It is the only code
// that prints to standard error or decides an exit status.
//
// Layer: process, the top. Owns the process (pidfile, privileges,
// detaching, libmilter's loop); may use every layer below.
#pragma once

#include <string>

int tav_main(int argc, char* argv[]);

// The start-up warning for a descriptor limit below 4096: how many messages
// may be in progress at once and how many connections open; empty above.
std::string descriptor_limit_advice(unsigned long long limit);
