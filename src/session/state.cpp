#include "session/state.h"

#include <unistd.h>

#include "session/spool.h"

tavMilter::tavMilter() : error(false), _rcptcount(0), _tmpfd(-1) {}

tavMilter::~tavMilter() {
  // A descriptor of -1 means the spool file was never opened: then the path
  // may name somebody else's file, so it is not unlinked.
  if (_tmpfd != -1) {
    close(_tmpfd);
    unlink(_tmppath.c_str());
    spool_forget(_tmppath);
  }
  // The members go in reverse order of declaration, as C++ does anyway.
}
