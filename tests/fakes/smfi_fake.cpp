#include "fakes/smfi_fake.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace fake_milter {

namespace {
recorded the_state;
// The handle is opaque to the filter; any distinct address will do.
char handle_storage;
}  // namespace

recorded& state() { return the_state; }
void reset() { the_state = recorded{}; }
SMFICTX* ctx() { return reinterpret_cast<SMFICTX*>(&handle_storage); }

const reply* last_reply() {
  for (auto it = the_state.replies.rbegin(); it != the_state.replies.rend(); ++it)
    if (it->accepted) return &*it;
  return nullptr;
}

}  // namespace fake_milter

using fake_milter::the_state;

namespace {
void maybe_throw(const char* function) {
  if (the_state.throw_in != function) return;
  the_state.throw_in.clear();
  throw std::bad_alloc();
}
}  // namespace

extern "C" {

int smfi_setpriv(SMFICTX*, void* priv) {
  maybe_throw("setpriv");
  ++the_state.setpriv_calls;
  if (the_state.refuse_setpriv) return MI_FAILURE;
  the_state.priv = priv;
  return MI_SUCCESS;
}

void* smfi_getpriv(SMFICTX*) {
  maybe_throw("getpriv");
  return the_state.priv;
}

char* smfi_getsymval(SMFICTX*, char* name) {
  maybe_throw("getsymval");
  auto it = the_state.macros.find(name);
  if (it == the_state.macros.end()) {
    // libmilter matches "{x}" and "x" alike.
    std::string n(name);
    std::string other = (n.size() > 2 && n.front() == '{') ? n.substr(1, n.size() - 2) : "{" + n + "}";
    it = the_state.macros.find(other);
  }
  return it == the_state.macros.end() ? nullptr : &it->second[0];
}

int smfi_setreply(SMFICTX*, char* rcode, char* xcode, char* message) {
  fake_milter::reply r{rcode ? rcode : "", xcode ? xcode : "", message ? message : "", true};
  if (r.rcode.size() != 3 || (r.rcode[0] != '4' && r.rcode[0] != '5')) r.accepted = false;
  if (r.text.find_first_of("\r\n") != std::string::npos || r.text.size() > 980) r.accepted = false;
  the_state.replies.push_back(r);
  return r.accepted ? MI_SUCCESS : MI_FAILURE;
}

int smfi_addheader(SMFICTX*, char* headerf, char* headerv) {
  the_state.added_headers.emplace_back(headerf ? headerf : "", headerv ? headerv : "");
  return MI_SUCCESS;
}

int smfi_chgheader(SMFICTX*, char* headerf, int index, char* headerv) {
  the_state.changed_headers.push_back({headerf ? headerf : "", index, headerv ? headerv : ""});
  return MI_SUCCESS;
}

int smfi_setconn(char* conn) {
  the_state.calls.push_back("setconn");
  the_state.conn = conn ? conn : "";
  return MI_SUCCESS;
}

int smfi_register(struct smfiDesc desc) {
  the_state.calls.push_back("register");
  the_state.registered = desc;
  return the_state.register_result;
}

int smfi_opensocket(bool rmsocket) {
  the_state.calls.push_back("opensocket");
  the_state.opensocket_rmsocket = rmsocket;
  if (the_state.opensocket_errno == 0) return MI_SUCCESS;
  errno = the_state.opensocket_errno;
  return MI_FAILURE;
}

int smfi_settimeout(int seconds) {
  the_state.calls.push_back("settimeout");
  the_state.timeout = seconds;
  return MI_SUCCESS;
}

int smfi_stop(void) {
  the_state.calls.push_back("stop");
  return MI_SUCCESS;
}

int smfi_main(void) {
  the_state.calls.push_back("main");
  if (the_state.during_main) the_state.during_main();
  return the_state.main_result;
}

}  // extern "C"
