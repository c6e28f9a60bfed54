#include "process/idle_memory.h"

#include <malloc.h>

#include <cstdint>

#include "util/counters.h"

namespace {

// Only the signal thread calls: no lock. Sessions opened when memory was
// last given back (a trim follows new sessions only), and at the previous
// call (activity has stopped when none opened since).
uint64_t sessions_at_last_trim = 0;
uint64_t sessions_at_last_call = 0;

}  // namespace

bool release_memory_when_idle() {
  counters_snapshot snap = take_snapshot();
  const bool quiet = snap.sessions_open == 0 && snap.sessions_total == sessions_at_last_call;
  sessions_at_last_call = snap.sessions_total;
  if (!quiet || snap.sessions_total == sessions_at_last_trim) return false;
  sessions_at_last_trim = snap.sessions_total;
  malloc_trim(0);
  return true;
}
