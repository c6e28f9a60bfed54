// Start-up, privileges and run: everything main() does.
//
// tav_main() sets up logging, parses the command line, writes the pidfile,
// changes group and user, creates the sample directory, detaches, registers
// `smfilter` with libmilter and runs smfi_main(); it returns the exit status
// (0 or 255) or ends the process with 64, 1 or 69 on a start-up error.
#pragma once

#include <libmilter/mfapi.h>

// The registration record, filled by field name; -m clears SMFIF_CHGBODY and
// SMFIF_CHGHDRS from its flags while the options are parsed.
extern struct smfiDesc smfilter;

int tav_main(int argc, char* argv[]);
