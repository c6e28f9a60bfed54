// The counters (util/counters.h), published the three ways an admin reads
// them, none of them a listener inside the filter:
//   publish_counters() rewrites the --metrics-file in the Prometheus text
//     format (atomically, for node_exporter's textfile collector) and sends
//     systemd a one-line STATUS= summary; start-up calls it once at start,
//     every 10 seconds from the signal thread, and once more at the stop;
//   log_counters() writes them to syslog in one line (on SIGUSR1).
// A metrics file that cannot be written is logged (D_ALWAYS) when the
// reason first appears, not every 10 seconds; the filter goes on.
//
// Layer: process. Owns nothing; may use util (counters, metrics_text,
// metrics_file), config and notify.
#pragma once

void publish_counters();
void log_counters();
