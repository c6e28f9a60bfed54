// Fuzz target: a daemon's answer as the filter reads it.
//
// The input is the bytes a daemon sent. judge_answer() decides the outcome;
// then every value the verdict picks out of an answer is read from the same
// bytes: the five classification values, the ten SenderID values, and the
// number conversions of the outbound policy, compared with the C library's
// own conversions.
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/settings.h"
#include "engines/exchange.h"
#include "fuzz/fuzz_support.h"
#include "verdict/outbound.h"
#include "verdict/result.h"

namespace {

// A value picked out of `answer` never holds a line end (so it cannot add a
// header line) and is a piece of the answer.
void check_value(const std::string& answer, const std::string& value) {
  FUZZ_CHECK(value.find_first_of("\r\n") == std::string::npos);
  FUZZ_CHECK(value.empty() || answer.find(value) != std::string::npos);
}

// counter_value: a non-negative count is strtoull's value, held at the
// largest 32-bit value; whiteblue_value: strtoll's value held within 32 bits.
void check_numbers(const std::string& text) {
  const char* p = text.c_str();
  while (*p != '\0' && isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p != '-') {
    unsigned long long want = strtoull(text.c_str(), nullptr, 10);
    FUZZ_CHECK(counter_value(text) == (want > UINT32_MAX ? UINT32_MAX : want));
  }
  if (text.empty()) {
    FUZZ_CHECK(whiteblue_value(text) == -1);
  } else {
    long long want = strtoll(text.c_str(), nullptr, 10);
    if (want > INT32_MAX) want = INT32_MAX;
    if (want < INT32_MIN) want = INT32_MIN;
    FUZZ_CHECK(whiteblue_value(text) == want);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quiet_log();
  writable_settings().flag_debug = 0xff;
  const char* buf = reinterpret_cast<const char*>(data);

  exchange_result r = judge_answer("tavASd:", "127.0.0.1", 8088, buf, size);
  switch (r.outcome) {
    case exchange_outcome::timeout:
      FUZZ_CHECK(size == 0);
      break;
    case exchange_outcome::ok:
      FUZZ_CHECK(r.answer.compare(0, 15, "HTTP/1.0 200 OK") == 0);
      FUZZ_CHECK(r.answer.size() <= size && r.answer.find('\0') == std::string::npos);
      break;
    case exchange_outcome::daemon_error:
      FUZZ_CHECK(r.daemon_status > 0);
      break;
    case exchange_outcome::bad_status:
      break;
    default:
      FUZZ_CHECK(!"judge_answer gave an outcome of the connection");
  }

  // The values are read from any bytes, not only from a good answer.
  std::string answer(buf, size);
  classification_result c = read_classification(answer);
  for (const std::string* v : {&c.refid, &c.r_spam, &c.r_vod, &c.sQMScore, &c.sQMRules}) check_value(answer, *v);
  senderid_values s = read_senderid_values(answer);
  for (const std::string* v : {&s.sSenderID, &s.sThreshold, &s.sWhiteBlueList, &s.sTotalM, &s.sTotalS, &s.sTotalB,
                               &s.sTotalBu, &s.sTotalC, &s.sTotalR, &s.sTotalV}) {
    check_value(answer, *v);
    check_numbers(*v);
  }
  check_numbers(answer);
  // Any name: the header name is the input's first line.
  size_t eol = answer.find('\n');
  std::string name = answer.substr(0, eol);
  check_value(answer, find_header_value(answer, name));
  return 0;
}
