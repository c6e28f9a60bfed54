// Outbound samples: a copy of a message whose sender crossed one of the
// daemon's per-sender thresholds, kept in messages_dir for inspection.
//
// save_sample() creates a fresh file "tavmilt.XXXXXX" in messages_dir and
// writes the thirteen result lines, then the spooled message read from
// `spool_fd` (from offset 0 to its end). It returns true when the whole
// sample was written. Every failure is logged and nothing else happens: a
// sample that could not be written completely is removed, so the directory
// holds only complete samples. The verdict never depends on the result.
// sample_header_block() gives the thirteen lines.
//
// prepare_sample_directory() is start-up's step: it creates messages_dir
// with kSampleDirMode (no write access for others, whatever the umask; an
// existing directory or a failure passes silently, and saving reports it
// later). A messages_dir that is a symbolic link is followed only when root
// or the filter's effective user owns the link: messages_dir then becomes
// the real path (a start-up write). Anybody else's link is refused with a
// D_ALWAYS line, and so is, as a warning, a directory every user may write.
// Samples themselves are never written through a link: the directory is
// opened without following one and each file is created exclusively
// (util/exclusive_file), mode 0600.
//
// Layer: verdict. Owns each sample file while it writes it; may use
// verdict/result, config and util.
#pragma once

#include <string>

#include "verdict/result.h"

constexpr int kSampleDirMode = 0770;
constexpr int kSampleFileMode = 0600;

void prepare_sample_directory();
std::string sample_header_block(const classification_result& r, const senderid_values& s);
bool save_sample(const classification_result& r, const senderid_values& s, int spool_fd);
