// Spool files: one temporary file per captured message.
//
// create_spool_file() creates a fresh file exclusively (never following a
// planted file or link), close-on-exec, in $TMPDIR or /tmp, with a name that
// begins "tavm"; it returns the descriptor and fills `path`, or returns -1
// with errno set and `path` holding the attempted name.
#pragma once

#include <string>

int create_spool_file(std::string& path);
