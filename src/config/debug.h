// Debug categories and logging.
//
// debug(level, fmt, ...) writes one syslog line (priority LOG_ERR) when bit
// `level` of flag_debug is set; the mask is tested before anything is
// formatted. parse_debuglevel() adds the categories of a -d argument to
// flag_debug (a start-up write) and returns a failure (status 1, the message
// for standard error) at an invalid token. throw_error() logs a caught
// error's text unconditionally. Tests may divert every line to a sink.
// log_value() makes a value from the mail server or a daemon fit for a log
// line: escaped, cut, and computed only when its category is logged. A line
// longer than kLogLineMax is cut by debug() itself.
//
// Layer: config. Owns the syslog connection and the test sink; reads
// flag_debug (config/settings) and writes it while -d is parsed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// The longest message text of one log line, its cut mark included: with
// syslog's priority, date and tag a datagram stays below 4 KiB.
constexpr size_t kLogLineMax = 4000;
// The longest escaped value in a line, before the cut mark "...".
constexpr size_t kLogValueMax = 256;

void debug(debuglevel level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// `value` with "\\" for a backslash, "\r", "\n", "\t" for CR, LF, TAB and
// "\xNN" (lower-case hex) for every other byte below 0x20 or from 0x7f on,
// cut after `max` bytes of that text (never inside an escape) with "..."
// appended. Empty when `level` is not logged: the line is dropped anyway.
std::string log_value(debuglevel level, std::string_view value, size_t max = kLogValueMax);

outcome parse_debuglevel(const char* string);
void throw_error(const std::string& errmsg);

// syslog identity "tav-milter", LOG_PID, facility LOG_MAIL.
void open_log();

// Where finished log lines go instead of syslog; nullptr restores syslog.
// Set only while a single thread runs (start-up or a test).
using log_sink = void (*)(const char* line);
void set_log_sink(log_sink sink);
