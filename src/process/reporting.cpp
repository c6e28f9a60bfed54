#include "process/reporting.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include "config/debug.h"
#include "config/settings.h"
#include "process/notify.h"
#include "util/counters.h"
#include "util/metrics_file.h"
#include "util/metrics_text.h"

namespace {

// Start-up and the signal thread may both publish (at the stop, one after
// the other); the last error text is theirs alone.
std::mutex publishing;
std::string last_error;

}  // namespace

void publish_counters() {
  std::lock_guard<std::mutex> lock(publishing);
  counters_snapshot snap = take_snapshot();
  if (getenv("NOTIFY_SOCKET") != nullptr) notify_status("%s", counters_status_line(snap).c_str());
  if (metrics_file == nullptr || *metrics_file == '\0') return;
  std::string error;
  if (write_file_atomically(metrics_file, render_prometheus(snap), error)) {
    last_error.clear();
    return;
  }
  if (error != last_error) debug(D_ALWAYS, "Could not write the metrics file: %s", error.c_str());
  last_error = error;
}

void log_counters() { debug(D_ALWAYS, "%s", counters_log_line(take_snapshot()).c_str()); }
