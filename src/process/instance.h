// One filter per pidfile and per socket.
//
// A second tav-milter started with the same -P or -p used to remove the
// running one's pidfile and socket and take over, leaving the first one
// serving nobody. Now:
// open_pidfile() creates the pidfile anew, empty (an old file or link is
// replaced, never written through), and locks it for the life of the
// process; when another process holds the lock of the file at that path, it
// fails with "Another tav-milter (pid N) holds pidfile PATH" instead.
// write_pid() writes the process id and keeps the lock.
// check_socket_free() fails with "Socket SOCK is in use by another process"
// when something answers on the socket -p names (a unix socket file, or an
// inet/inet6 port on a loopback or given address), or a unix socket exists
// there that we may not connect to; it only connects. `detaching`: a
// relative path is checked from "/", where libmilter will use it after -f.
// remove_stale_socket() removes a unix socket file (plain path, unix: or
// local: form) only when it is a socket and nobody answers on it: libmilter
// leaves its socket behind when it runs as root, and a later bind fails.
// Failures are outcomes with status 1; nothing here prints or exits.
//
// Layer: process. Owns the pidfile's lock for the life of the process; may
// use config/outcome, util/fd and the socket API.
#pragma once

#include <cstdio>

#include "config/outcome.h"

outcome open_pidfile(const char* path, FILE** pidfile);
void write_pid(FILE* pidfile);
outcome check_socket_free(const char* sock, bool detaching);
void remove_stale_socket(const char* sock);
