// Writing a whole buffer to a file.
//
// write_fully() writes all `len` bytes, going on after short writes and
// interruptions; it returns the count written, which is below `len` only
// after an error (errno tells which; a write that makes no progress counts
// as ENOSPC rather than being retried forever). The spool and the samples
// both need it: a regular file returns short counts when a signal interrupts
// a large write or a disk or size limit is reached part-way.
// writev_fully() does the same for `count` pieces (at most kMaxPieces), in
// one writev(2) call when nothing goes short: the spool writes the waiting
// header lines and the first body chunk together.
//
// Layer: util. Owns nothing; uses writev(2) only.
#pragma once

#include <sys/uio.h>

#include <cstddef>

constexpr int kMaxPieces = 4;

size_t write_fully(int fd, const void* data, size_t len);
size_t writev_fully(int fd, const iovec* pieces, int count);
