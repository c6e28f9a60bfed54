#include "config/debug.h"

#include <algorithm>
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
  // One stack buffer, no memory: a failure caught because memory ran out can
  // still be logged. A longer line is cut with a mark.
  char line[kLogLineMax + 1];
  int n = vsnprintf(line, sizeof line, fmt, ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) > kLogLineMax) memcpy(line + kLogLineMax - 3, "...", 4);
  if (current_sink == nullptr)
    syslog(LOG_ERR, "%s", line);
  else
    current_sink(line);
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

std::string log_value(debuglevel level, std::string_view value, size_t max) {
  std::string out;
  if ((flag_debug & (1 << level)) == 0) return out;
  out.reserve(std::min(value.size(), max) + 3);
  char esc[5];
  for (size_t i = 0; i < value.size(); ++i) {
    const unsigned char ch = static_cast<unsigned char>(value[i]);
    size_t len = 2;
    esc[0] = '\\';
    switch (ch) {
      case '\\': esc[1] = '\\'; break;
      case '\r': esc[1] = 'r'; break;
      case '\n': esc[1] = 'n'; break;
      case '\t': esc[1] = 't'; break;
      default:
        if (ch >= 0x20 && ch < 0x7f) {
          esc[0] = static_cast<char>(ch);
          len = 1;
        } else {
          snprintf(esc, sizeof esc, "\\x%02x", ch);
          len = 4;
        }
    }
    if (out.size() + len > max) return out += "...";
    out.append(esc, len);
  }
  return out;
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
