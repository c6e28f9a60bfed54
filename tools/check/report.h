// What tav-milter-check concludes from its probes, and the one line it prints.
//
// Each probe (milter negotiation, tavipd query, tavasd classification, one
// per address of a daemon) ends as a probe_result. probe_state() judges one
// against the thresholds: no good answer is CRITICAL, a time above -c
// CRITICAL, above -w WARNING, else OK; state_among() judges it among the
// others: an address without an answer is only WARNING while another
// address of its daemon (its group) answers, since the filter fails over to
// that one. overall_state() is the worst of them. plugin_line() is the output in
// the monitoring plugin format: "TAV-MILTER STATE - probes | perfdata", the
// probes that are not OK first, perfdata "name=TIMEms;W;C;0" ("U" for a
// probe without an answer). Pure functions: no I/O.
#pragma once

#include <string>
#include <vector>

// The exit status of a monitoring plugin.
enum class plugin_state { ok = 0, warning = 1, critical = 2, unknown = 3 };

struct probe_result {
  std::string name;     // "milter", "tavipd", "tavasd@10.0.0.6:8088": the perfdata label
  std::string group;    // the daemon ("tavasd") when it has several addresses to fail over to
  bool answered = false;
  double ms = 0;        // time to the answer (or to the failure)
  std::string failure;  // why there was no good answer, e.g. "127.0.0.1:8088: no connection (...)"
};

// Milliseconds; a time above the threshold alerts.
struct thresholds {
  double warning_ms = 1000;
  double critical_ms = 5000;
};

const char* state_name(plugin_state s);
plugin_state probe_state(const probe_result& r, const thresholds& t);
plugin_state state_among(const std::vector<probe_result>& results, const probe_result& r, const thresholds& t);
plugin_state overall_state(const std::vector<probe_result>& results, const thresholds& t);
std::string plugin_line(const std::vector<probe_result>& results, const thresholds& t);
