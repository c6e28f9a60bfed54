// Spool files: one temporary file per captured message.
//
// create_spool_file() creates a fresh file exclusively (O_EXCL: a file or
// link planted at the chosen name is never opened or followed), close-on-exec,
// mode 0640 whatever the umask (a classification daemon of the same group
// reads it by path), in $TMPDIR when that names a directory, else in /tmp,
// named "tavmilt." and six random letters or digits. It returns the
// descriptor and fills `path`, or returns -1 with errno set and `path`
// holding the last name tried.
// create_spool_file_in() does the same in `dir`, taking the six characters of
// each attempt from `suffix` (tests script the names with it).
// spool_pending_headers() writes the header lines still waiting, and the
// empty line after them, to the message's spool file; the body callback does
// it at the first chunk, end of message for a message that had no body
// chunk. Returns false after a failed write (errno set; `partial` tells
// whether part of a piece was written).
//
// Spool files in use are listed process-wide (the only state the session
// threads share, under one mutex): create_spool_file() adds a file,
// spool_forget() drops it when its message's state is destroyed. When the
// filter stops, libmilter may return while sessions are still in progress;
// spool_wait_idle() waits (bounded) for their messages to end and
// spool_remove_leftovers() removes what is left, so no spool file outlives
// the process.
#pragma once

#include <functional>
#include <string>

class tavMilter;

constexpr int kSpoolFileMode = 0640;
constexpr int kSpoolNameAttempts = 100;  // names tried before giving up (EEXIST)

int create_spool_file(std::string& path);
int create_spool_file_in(const std::string& dir, std::string& path,
                         const std::function<std::string()>& suffix);
bool spool_pending_headers(tavMilter* m, bool& partial);
void spool_forget(const std::string& path);
bool spool_wait_idle(int timeout_ms);
int spool_remove_leftovers();
