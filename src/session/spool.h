// A message's spool file: one record that owns the file from its creation
// to its removal.
//
// spool_file::create() makes a fresh file exclusively (util/exclusive_file:
// a file or link planted at the chosen name is never opened or followed),
// close-on-exec, mode 0640 whatever the umask (a classification daemon of
// the same group reads it by path), in $TMPDIR when that names a directory,
// else in /tmp, named "tavmilt." and six random letters or digits. The
// record it returns either holds the open file (valid()) or says why there
// is none: error() is the errno of the failure and path() the last name
// tried. create_in() does the same in `dir`, taking the six characters of
// each attempt from `suffix` (tests script the names with it).
// append() writes a whole piece at the end of the file, going on after short
// writes; it returns the count written, below the piece's length only after
// an error (errno set). append2() writes two pieces, one after the other,
// the same way (one system call when nothing goes short).
//
// The record is the only owner of the file: its destructor closes the
// descriptor, removes the file and drops it from the list of spool files in
// use. A record without a file (a failed creation) removes nothing: its
// path may name somebody else's file.
//
// Spool files in use are listed process-wide (the only state the session
// threads share, under one mutex). When the filter stops, libmilter may
// return while sessions are still in progress; spool_wait_idle() waits
// (bounded) for their messages to end and spool_remove_leftovers() removes
// what is left, so no spool file outlives the process.
//
// Layer: session, its bottom. Owns the spool file and the process-wide
// list of spool files in use; may use util.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "util/fd.h"

constexpr int kSpoolFileMode = 0640;

class spool_file {
 public:
  // No file: what a message has before its spool file is made.
  spool_file() = default;
  // A creation that failed: `path` is the last name tried, `error` its errno.
  spool_file(std::string path, int error) : _tmppath(std::move(path)), _error(error) {}
  // Takes over the open file `fd` at `path` and lists it as in use.
  spool_file(std::string path, Fd fd);
  spool_file(spool_file&& other) noexcept;
  spool_file& operator=(spool_file&& other) noexcept;
  spool_file(const spool_file&) = delete;
  spool_file& operator=(const spool_file&) = delete;
  ~spool_file();

  static spool_file create();
  static spool_file create_in(const std::string& dir, const std::function<std::string()>& suffix);

  bool valid() const { return _tmpfd.valid(); }
  int fd() const { return _tmpfd.get(); }
  const std::string& path() const { return _tmppath; }
  int error() const { return _error; }

  size_t append(const void* data, size_t len);
  size_t append2(const void* first, size_t first_len, const void* second, size_t second_len);

 private:
  void remove();

  std::string _tmppath;  // the file's path (or the last name tried)
  Fd _tmpfd;             // open read-write; invalid when there is no file
  int _error = 0;        // errno of a failed creation
};

bool spool_wait_idle(int timeout_ms);
int spool_remove_leftovers();
