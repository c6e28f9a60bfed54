// End of message: classification request, result and verdict.
//
// mlfi_eom() chooses the direction, sends the spooled message (its path, or
// the message inline) to the inbound or outbound tavasd, maps every failure
// to pass or tempfail by the settings, hands a good answer to the inbound
// actions or the outbound policy, and always ends the message's state: the
// tavMilter is destroyed (spool file closed and removed) on every road.
//
// The pieces below are exposed so that tests can judge them without sockets:
// choose_sender_id() decides the SenderID (is_outbound_mode(), in
// session/direction.h, the direction),
// and classification_block() builds the request's header block.
//
// Layer: verdict. Ends every message it is given (destroys the tavMilter);
// may use engines/exchange, session, the other verdict modules and config.
#pragma once

#include <libmilter/mfapi.h>

#include <string>

struct context;
class tavMilter;

// Envelope sender and SenderID longer than these are cut in the request
// block: an SMTP path has at most 256 octets and a user name is short, so
// longer values are abuse; the cut keeps the block within the 2047 bytes a
// daemon has always been sent, whatever the sender claims. The spool path is
// never cut: the daemon would read some other file.
constexpr size_t kMaxBlockSender = 1000;
constexpr size_t kMaxBlockSenderId = 256;

// Seconds the exchange may wait for the daemon (connect, and the answer).
// Only tests change it, to shorten a silent daemon's wait.
extern int classification_timeout;

std::string choose_sender_id(const context& c);
std::string classification_block(tavMilter& m, const std::string& senderId, bool inline_mode);

sfsistat mlfi_eom(SMFICTX* ctx);
