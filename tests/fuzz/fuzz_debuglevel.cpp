// Fuzz target: the -d argument (parse_debuglevel), up to the input's first
// NUL byte, from the default mask each time. A success keeps D_ALWAYS and
// stays within the eight categories; the numbers 1 to 3 give their fixed
// masks; a failure is status 1 with the invalid-token message.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/settings.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quiet_log();
  reset_settings();
  std::string text = fuzz_text(data, size);
  outcome o = parse_debuglevel(text.c_str());
  if (o.ok()) {
    FUZZ_CHECK((flag_debug & 1) == 1 && flag_debug <= 0xff);
    int n = atoi(text.c_str());
    if (n == 1) FUZZ_CHECK(flag_debug == 0x23);
    if (n == 2) FUZZ_CHECK(flag_debug == 0x27);
    if (n == 3) FUZZ_CHECK(flag_debug == 0x3f);
  } else {
    FUZZ_CHECK(o.exit_status == 1);
    FUZZ_CHECK(o.message.compare(0, 21, "Invalid debug token \"") == 0);
    FUZZ_CHECK(o.message.size() >= 23 && o.message.compare(o.message.size() - 2, 2, "\"\n") == 0);
  }
  return 0;
}
