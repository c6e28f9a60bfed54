// Files created under fresh, unguessable names, never through a link.
//
// create_exclusive() makes a new file named `prefix` followed by six
// characters from `suffix` (by default random letters and digits from the
// kernel's random source), in the directory `dirfd` (AT_FDCWD: `prefix` is
// a path). O_CREAT|O_EXCL|O_NOFOLLOW: a file or link planted at a chosen
// name is never opened or followed, another name is tried instead, up to
// kNameAttempts names. The file is opened read-write, close-on-exec, with
// exactly `mode` whatever the umask. It returns the descriptor and fills
// `name` with the name created; on failure an invalid Fd, errno set, and
// `name` holding the last name tried.
//
// Layer: util. Owns nothing once it returns; uses the C library only.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

#include "util/fd.h"

constexpr int kNameAttempts = 100;  // names tried before giving up (EEXIST)

std::string random_name_suffix();

Fd create_exclusive(int dirfd, const std::string& prefix, mode_t mode, std::string& name,
                    const std::function<std::string()>& suffix = random_name_suffix);
