// One blocking milter connection in which every wait has a deadline.
//
// client::open() connects to an endpoint, send() writes whole commands,
// read_reply() returns the filter's next reply packet (progress packets too:
// the caller decides), negotiate() sends optneg() and reads the filter's
// SMFIC_OPTNEG answer. Each returns a status; after any status but ok the
// connection is closed and error() holds the errno that explains it (0 when
// none does). quit() sends SMFIC_QUIT without waiting and closes. The
// descriptor is owned by the client and closed on every road.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "endpoint.h"
#include "util/fd.h"
#include "packets.h"

namespace milter {

using deadline = std::chrono::steady_clock::time_point;

enum class status {
  ok,
  no_connection,    // no socket, or the connect failed
  timeout,          // the deadline passed
  closed,           // the filter hung up
  io_error,         // a read, write or wait failed
  bad_packet,       // a reply packet of length 0 or over kMaxReplyPacket
  bad_negotiation,  // the answer to SMFIC_OPTNEG was not a negotiation
};

// "no connection (Connection refused)", "no answer in time", ...
std::string status_text(status s, int err);

class client {
 public:
  status open(const endpoint& e, deadline by);
  status send(const std::string& bytes, deadline by);
  status read_reply(reply& out, deadline by);
  // On ok, `protocol_flags` (when given) holds the steps the filter declined
  // or takes without a reply (SMFIP_*).
  status negotiate(deadline by, uint32_t* protocol_flags = nullptr);
  void quit();
  int error() const { return err_; }

 private:
  status fail(status s, int err);
  // 1 ready, 0 deadline passed, -1 poll failed.
  int wait(short events, deadline by);

  Fd fd_;
  std::string in_;  // bytes read and not yet returned
  int err_ = 0;
};

}  // namespace milter
