// Replacing a file atomically, for node_exporter's textfile collector.
//
// write_file_atomically() writes `text` to a temporary file in the directory
// of `path` (".NAME.XXXXXX": hidden, and not ending in ".prom", so the
// collector never reads it half written), gives it mode 0644 (the collector
// usually runs as another user) and renames it over `path`: a reader sees the
// old file or the new one, never a mixture. On any failure it removes the
// temporary file and returns false with the step, the file and the system's
// reason in `error`; it never ends the process. No fsync: after a crash the
// file describes a process that is gone anyway.
//
// Layer: util. Owns the temporary file until it is renamed or removed; uses
// util/fd and util/write_fully.
#pragma once

#include <string>

bool write_file_atomically(const std::string& path, const std::string& text, std::string& error);
