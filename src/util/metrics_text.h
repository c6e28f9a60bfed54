// The counters as text: the Prometheus exposition format, the SIGUSR1 log
// line and the sd_notify status. Pure functions of a snapshot.
//
// render_prometheus() writes every metric family with its HELP and TYPE
// lines and every label combination, zeros included, so that rate() and
// dashboards work from the first scrape. The names are stable once released
// (the README lists them). counters_log_line() is "counters: " and key=value
// pairs: the totals always, the other values when not 0.
// counters_status_line() is short, e.g. "412 msgs, 3 deferred (tavasd
// timeout), p99 tavasd 4 ms". latency_quantile() estimates a quantile from
// the buckets as Prometheus's histogram_quantile() does (seconds; negative
// when there was no exchange).
//
// Layer: util. Owns nothing; uses util/counters.
#pragma once

#include <string>

#include "util/counters.h"

std::string render_prometheus(const counters_snapshot& s);
std::string counters_log_line(const counters_snapshot& s);
std::string counters_status_line(const counters_snapshot& s);
double latency_quantile(const histogram_snapshot& h, double q);
