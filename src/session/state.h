// Per-connection and per-message state.
//
// `context` lives from connect to close and is libmilter's private pointer of
// the connection (get_context() is the one place that reads it back); it
// owns the message in progress (`milter`), so releasing the context also
// releases a message that no end of message or abort ended.
// `tavMilter` lives from MAIL to end of message or abort. It owns the
// message's spool file (`spool`, session/spool.h): destroying the message
// closes and removes the file. It also decides what the file holds: each
// header line, the empty line that ends the header section (only after at
// least one header line), then the body chunks, counted in `message_size`.
// add_header() passes a header line on to the file: lines wait in `headers`
// only until kHeaderBuffer bytes have gathered, so a message's memory does
// not grow with its header section. write_body() writes what still waits,
// the empty line and one body chunk; finish_spool() writes what still waits
// and the empty line at end of message. Each reports a failed write as a
// spool_status (errno, and whether part of the piece was written) and leaves
// the message as far as it got.
// Only the connection's own callbacks touch either record; no locks.
//
// Layer: session. `context` owns its message, `tavMilter` its spool_file;
// may use session/spool, config/address and libmilter's smfi_getpriv.
#pragma once

#include <libmilter/mfapi.h>

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "config/address.h"
#include "session/spool.h"

// Header lines gather up to this many bytes before they are written: one
// write for a typical header section, and a bounded buffer for a huge one.
constexpr size_t kHeaderBuffer = 64 * 1024;

struct spool_status {
  bool ok = true;
  bool partial = false;  // part of the failed piece was written
  int error = 0;         // errno of the failure
};

class tavMilter {
 public:
  tavMilter();
  ~tavMilter();  // counts the bytes spooled; the spool record removes the file
  tavMilter(const tavMilter&) = delete;
  tavMilter& operator=(const tavMilter&) = delete;

  bool error;                         // never consulted
  std::string _from;                  // envelope sender as the server gave it
  std::string _connectip;             // client address as text
  int _rcptcount;                     // recipients, counted only with -C above 0
  spool_file spool;                   // the spool file (its _tmppath and _tmpfd)
  std::string headers;                // "name: value\r\n" lines not yet spooled
  bool write_headers = true;          // the empty line after the header lines is still to be written
  std::string queueid;                // macro "i", or "unknown"
  uint64_t message_size = 0;          // bytes written to the spool file (64 bits: no wrap at 4 GiB)
  std::list<std::string> rcpt_list;   // envelope recipients in arrival order
  std::string subject_orig;           // value of the latest Subject header
  std::string subject_hdr;            // its name as received

  std::string& from() { return _from; }
  std::string& connectip() { return _connectip; }
  const std::string& tmppath() const { return spool.path(); }
  int tmpfd() const { return spool.fd(); }
  int rcptcount() const { return _rcptcount; }
  void set_from(const std::string& s) { _from = s; }
  void set_connectip(const std::string& s) { _connectip = s; }
  void rcptcountinc() { ++_rcptcount; }

  spool_status add_header(const char* name, const char* value);
  spool_status write_body(const void* chunk, size_t len);
  spool_status finish_spool();

 private:
  spool_status spool_piece(const void* data, size_t len);
  spool_status flush_headers();

  bool header_lines_ = false;  // some header line was added
};

struct context {
  ipaddr connect_ip;                       // the SMTP client; 127.0.0.1 when unknown
  std::optional<std::string> helo;         // argument of the latest HELO/EHLO
  bool doIPd = false;                      // the IP-reputation query is still due
  std::optional<std::string> auth_authen;  // {auth_authen} at the latest MAIL
  bool userAuth = false;                   // authenticated at some MAIL; sticky
  std::unique_ptr<tavMilter> milter;       // the message in progress, or null
  bool session_counted = false;            // connect counted the session open
  unsigned long noreply = 0;               // negotiated: these steps (SMFIP_NR_*) get no reply
  sfsistat held_status = SMFIS_CONTINUE;   // a no-reply step's final status, given at end of message
};

// The connection's record, or null: libmilter may call a callback before
// connect attached one (failed negotiation), or after it could not.
inline context* get_context(SMFICTX* ctx) { return static_cast<context*>(smfi_getpriv(ctx)); }
