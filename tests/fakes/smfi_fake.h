// A recording double of libmilter's smfi_* functions, linked into the unit
// tests instead of the real library.
//
// Every callback can then be driven directly: set macros and refusals on
// fake_milter::state(), call the callback with fake_milter::ctx(), and assert
// the recorded private pointer, replies, added and changed headers. Replies
// are judged as libmilter judges them (code 4xx or 5xx, no CR or LF, at most
// 980 characters); a refused reply is recorded with accepted = false.
// reset() clears everything between tests.
#pragma once

#include <libmilter/mfapi.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fake_milter {

struct reply {
  std::string rcode, xcode, text;
  bool accepted;
};

struct header_change {
  std::string name;
  int index;
  std::string value;
};

struct recorded {
  void* priv = nullptr;
  bool refuse_setpriv = false;
  int setpriv_calls = 0;
  std::map<std::string, std::string> macros;  // name as the server sends it, e.g. "{auth_authen}", "i"
  std::vector<reply> replies;
  std::vector<std::pair<std::string, std::string>> added_headers;
  std::vector<header_change> changed_headers;

  // Registration and run.
  std::vector<std::string> calls;  // "setconn", "register", "settimeout", "opensocket", "main", "stop" in call order
  int timeout = 0;                 // smfi_settimeout's argument
  std::string conn;
  smfiDesc registered{};
  int register_result = MI_SUCCESS;
  int main_result = MI_SUCCESS;
  bool opensocket_rmsocket = false;
  int opensocket_errno = 0;  // not 0: smfi_opensocket fails with errno set to it
  // Runs inside smfi_main, to look at the process while it would be serving.
  std::function<void()> during_main;
  // Makes the next call of this function ("getpriv", "setpriv", "getsymval")
  // throw std::bad_alloc, once: memory running out at that point.
  std::string throw_in;
};

recorded& state();
void reset();
SMFICTX* ctx();

// The last reply that libmilter would have kept (the last accepted one), or null.
const reply* last_reply();

}  // namespace fake_milter
