// The three probes of tav-milter-check, each timed from its start to its
// answer or failure.
//
// probe_milter() connects to the filter's socket, negotiates (version 6, as
// Postfix offers) and quits: a negotiation answer proves the filter serves.
// probe_tavipd() sends tavipd the filter's own query for 127.0.0.1;
// probe_tavasd() sends tavasd one Inline classification request with a tiny
// built-in message (no shared file system needed). A daemon answers well
// when the filter would take its answer: "HTTP/1.0 200 OK" and no request
// status above 0. Every wait ends by `by`; the daemon probes pass the time
// left, in whole seconds (at least 1), to the exchange. A daemon of several
// addresses is probed at each: `name` is "tavasd" for a daemon of one
// address, "tavasd@10.0.0.6:8088" for each of several (daemon_probe_name).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "client.h"
#include "config/daemon_list.h"
#include "report.h"

// The address tavipd is asked about, and the SenderIP of the test message.
constexpr char kProbeAddress[] = "127.0.0.1";

probe_result probe_milter(const std::string& socket_text, const milter::endpoint& where, milter::deadline by);
probe_result probe_tavipd(const daemon_endpoint& to, const std::string& name, milter::deadline by);
probe_result probe_tavasd(const daemon_endpoint& to, const std::string& name, milter::deadline by);
std::string daemon_probe_name(const char* daemon, const daemon_endpoint& to, size_t addresses);

// The Inline request body probe_tavasd() sends: header block, then message.
std::string tavasd_probe_body();
