// What every fuzz target shares.
//
// quiet_log() sends the filter's log lines nowhere: the targets turn debug
// categories on, so the formatting of every line is fuzzed as well, without
// a syslog daemon. FUZZ_CHECK(cond) reports a broken invariant and aborts,
// which libFuzzer records as a finding with the input that caused it.
// fuzz_text() is the input as a C string: up to its first NUL byte.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/debug.h"

inline void discard_line(const char*) {}
inline void quiet_log() { set_log_sink(discard_line); }

#define FUZZ_CHECK(cond)                                                                      \
  do {                                                                                        \
    if (!(cond)) {                                                                            \
      fprintf(stderr, "fuzz: invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond);    \
      abort();                                                                                \
    }                                                                                         \
  } while (0)

inline std::string fuzz_text(const uint8_t* data, size_t size) {
  const char* p = reinterpret_cast<const char*>(data);
  return std::string(p, strnlen(p, size));
}
