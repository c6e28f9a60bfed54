// The direction of a message.
//
// is_outbound_mode() is true when outbound filtering is on (-O) and the
// client is local (in --local-networks, or that list is empty) or the
// session authenticated. MAIL uses it to decide whether to capture a message
// and end of message to pick the daemon, so both always agree.
//
// Layer: session. Owns nothing; reads the settings and network lists.
#pragma once

struct context;

bool is_outbound_mode(const context& c);
