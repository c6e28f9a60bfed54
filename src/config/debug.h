// Debug categories and logging.
//
// debug(level, fmt, ...) writes one syslog line (priority LOG_ERR) when bit
// `level` of flag_debug is set; the mask is tested before anything is
// formatted. parse_debuglevel() adds the categories of a -d argument to
// flag_debug (a start-up write) and returns a failure (status 1, the message
// for standard error) at an invalid token. throw_error() logs a caught
// error's text unconditionally. Tests may divert every line to a sink.
//
// Layer: config. Owns the syslog connection and the test sink; reads
// flag_debug (config/settings) and writes it while -d is parsed.
#pragma once

#include <string>

#include "config/outcome.h"

enum debuglevel {
  D_ALWAYS = 0,
  D_FUNC = 1,
  D_POLL = 2,
  D_UORI = 3,
  D_STR = 4,
  D_MISC = 5,
  D_NET = 6,
  D_COPY = 7,
  D_MAX = 8,
};

// The -d tokens: entry i names category i, except "ALL", which selects
// every category. Ends with a null entry.
extern const char* const debugstrings[D_MAX + 1];

void debug(debuglevel level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
outcome parse_debuglevel(const char* string);
void throw_error(const std::string& errmsg);

// syslog identity "tav-milter", LOG_PID, facility LOG_MAIL.
void open_log();

// Where finished log lines go instead of syslog; nullptr restores syslog.
// Set only while a single thread runs (start-up or a test).
using log_sink = void (*)(const char* line);
void set_log_sink(log_sink sink);
