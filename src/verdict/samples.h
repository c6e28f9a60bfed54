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
// Layer: verdict. Owns each sample file while it writes it; may use
// verdict/result, config and util.
#pragma once

#include <string>

#include "verdict/result.h"

std::string sample_header_block(const classification_result& r, const senderid_values& s);
bool save_sample(const classification_result& r, const senderid_values& s, int spool_fd);
