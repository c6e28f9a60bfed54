// Memory given back to the system once the filter has gone idle.
//
// libmilter serves each busy session on a worker thread, and glibc gives
// each such thread an arena of its own; after a burst the freed memory stays
// in those arenas, so RSS stays well above the idle filter's (15 MiB instead
// of 3 MiB after 5000 sessions at once). release_memory_when_idle() is
// called from the signal thread's periodic hook (every 10 s), never on a
// session's path: once activity has stopped (no session open, none opened
// since its previous call) after sessions that came since its last trim, it
// asks glibc to return every arena's free pages (malloc_trim(0)): once per
// burst, 10 to 20 s after it. Returns true when it trimmed.
//
// Layer: process. Owns the count of sessions seen at the last trim; may use
// util/counters.
#pragma once

bool release_memory_when_idle();
