#include "report.h"

#include <algorithm>
#include <cstdio>

namespace {

// "0.42", "12.3", "1203": enough digits to see a 0.2 ms daemon.
std::string milliseconds(double ms) {
  char buf[64];
  snprintf(buf, sizeof buf, ms < 10 ? "%.2f" : ms < 100 ? "%.1f" : "%.0f", ms);
  return buf;
}

std::string number(double v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::string describe(const probe_result& r, const thresholds& t) {
  std::string text = r.name + " ";
  if (!r.answered) {
    // A "|" would start the performance data early (a socket path may hold one).
    std::string why = r.failure;
    std::replace(why.begin(), why.end(), '|', '/');
    return text + why;
  }
  text += milliseconds(r.ms) + " ms";
  if (r.ms > t.critical_ms)
    text += " (over " + number(t.critical_ms) + " ms)";
  else if (r.ms > t.warning_ms)
    text += " (over " + number(t.warning_ms) + " ms)";
  return text;
}

std::string perfdata(const probe_result& r, const thresholds& t) {
  char value[64];
  if (r.answered)
    snprintf(value, sizeof value, "%.3fms", r.ms);
  else
    snprintf(value, sizeof value, "U");
  return r.name + "=" + value + ";" + number(t.warning_ms) + ";" + number(t.critical_ms) + ";0";
}

}  // namespace

const char* state_name(plugin_state s) {
  switch (s) {
    case plugin_state::ok: return "OK";
    case plugin_state::warning: return "WARNING";
    case plugin_state::critical: return "CRITICAL";
    case plugin_state::unknown: return "UNKNOWN";
  }
  return "UNKNOWN";
}

plugin_state probe_state(const probe_result& r, const thresholds& t) {
  if (!r.answered || r.ms > t.critical_ms) return plugin_state::critical;
  if (r.ms > t.warning_ms) return plugin_state::warning;
  return plugin_state::ok;
}

plugin_state state_among(const std::vector<probe_result>& results, const probe_result& r, const thresholds& t) {
  if (r.answered || r.group.empty()) return probe_state(r, t);
  for (const auto& other : results)
    if (other.group == r.group && other.answered) return plugin_state::warning;
  return plugin_state::critical;
}

plugin_state overall_state(const std::vector<probe_result>& results, const thresholds& t) {
  plugin_state worst = plugin_state::ok;
  for (const auto& r : results) worst = std::max(worst, state_among(results, r, t));
  return worst;
}

std::string plugin_line(const std::vector<probe_result>& results, const thresholds& t) {
  std::vector<const probe_result*> order;
  for (const auto& r : results)
    if (state_among(results, r, t) != plugin_state::ok) order.push_back(&r);
  for (const auto& r : results)
    if (state_among(results, r, t) == plugin_state::ok) order.push_back(&r);
  std::string line = std::string("TAV-MILTER ") + state_name(overall_state(results, t)) + " - ";
  std::string perf;
  for (size_t i = 0; i < order.size(); ++i) {
    if (i > 0) line += ", ";
    line += describe(*order[i], t);
  }
  for (size_t i = 0; i < results.size(); ++i) perf += (i > 0 ? " " : "") + perfdata(results[i], t);
  return line + " | " + perf;
}
