#include "config/debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <syslog.h>

#include "config/settings.h"

const char* const debugstrings[D_MAX + 1] = {
    "ALL", "FUNC", "POLL", "UORI", "STR", "MISC", "NET", "COPY", nullptr,
};

namespace {

log_sink current_sink = nullptr;

void emit(const char* fmt, va_list ap) {
  if (current_sink == nullptr) {
    vsyslog(LOG_ERR, fmt, ap);
    return;
  }
  // A log line is never cut: a line too long for the stack buffer is
  // formatted again into one of exactly the needed size. Short lines need no
  // memory, so a failure caught because memory ran out can still be logged.
  char small[1024];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    current_sink(small);
    return;
  }
  std::string line(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&line[0], line.size(), fmt, ap);
  line.resize(static_cast<size_t>(n));
  current_sink(line.c_str());
}

void emit_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void emit_line(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  emit(fmt, ap);
  va_end(ap);
}

}  // namespace

void open_log() { openlog("tav-milter", LOG_PID, LOG_MAIL); }

void set_log_sink(log_sink sink) { current_sink = sink; }

void debug(debuglevel level, const char* fmt, ...) {
  if ((flag_debug & (1 << level)) == 0) return;
  va_list ap;
  va_start(ap, fmt);
  emit(fmt, ap);
  va_end(ap);
}

void throw_error(const std::string& errmsg) {
  emit_line("Thrown error: %s", errmsg.empty() ? "Unknown error" : errmsg.c_str());
}

outcome parse_debuglevel(const char* string) {
  int& mask = writable_settings().flag_debug;
  std::string copy(string);
  switch (atoi(copy.c_str())) {
    case 1:
      mask |= 0x22;
      break;
    case 2:
      mask |= 0x26;
      break;
    case 3:
      mask |= 0x3e;
      break;
    default: {
      // Each "," and each " " separates by itself: two in a row enclose an
      // empty token, which is invalid like any unknown word.
      size_t start = 0;
      for (;;) {
        size_t end = copy.find_first_of(", ", start);
        std::string token = copy.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (strcasecmp(token.c_str(), "ALL") == 0) {
          mask = 0xff;
        } else {
          int i = 0;
          while (debugstrings[i] != nullptr && strcasecmp(token.c_str(), debugstrings[i]) != 0) ++i;
          if (debugstrings[i] == nullptr) return failure(1, "Invalid debug token \"" + token + "\"\n");
          mask |= 1 << i;
        }
        if (end == std::string::npos) break;
        start = end + 1;
      }
      break;
    }
  }
  debug(D_ALWAYS, "Setting debug level to 0x%0x", flag_debug);
  return success();
}
