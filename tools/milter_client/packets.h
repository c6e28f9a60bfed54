// Milter protocol packets as a mail server writes and reads them.
//
// A packet is a 32-bit length in network order (command byte plus data), the
// command byte and the data; the command codes are libmilter's own
// (<libmilter/mfdef.h>). packet(), strings() and macros() append encoded
// commands to a buffer; optneg() is the negotiation Postfix opens with.
// take_packet() cuts the next reply out of bytes read so far: it reports
// need_more until the packet is whole and bad_length for a length of 0 or
// above kMaxReplyPacket (a broken peer, not a big reply).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace milter {

// The filter's largest replies are header values of a few KiB.
constexpr uint32_t kMaxReplyPacket = 1 << 20;

void put32(std::string& out, uint32_t v);
uint32_t get32(const char* p);

void packet(std::string& out, char cmd, const char* data, size_t len);
void packet(std::string& out, char cmd, const std::string& data = std::string());

// NUL-terminated strings one after the other, the form of most arguments.
std::string strings(std::initializer_list<std::string> items);

// SMFIC_MACRO for the command that follows: its code, then name and value
// pairs. The filter does not answer it.
void macros(std::string& out, char for_cmd, std::initializer_list<std::string> pairs);

// SMFIC_OPTNEG offering protocol version 6, every action, and (as Postfix
// does) leaving out any step and taking no reply for any.
std::string optneg();

struct reply {
  char cmd = 0;
  std::string data;
};

enum class take { packet, need_more, bad_length };

// Looks at `in` from `pos`; on `packet` fills `out` and moves `pos` past it.
take take_packet(const std::string& in, size_t& pos, reply& out);

// "continue", "reject", "optneg", ... for a reply's command byte.
const char* reply_name(char cmd);

}  // namespace milter
