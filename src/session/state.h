// Per-connection and per-message state.
//
// `context` lives from connect to close and is libmilter's private pointer of
// the connection; it owns the message in progress (`milter`), so releasing
// the context also releases a message that no end of message or abort ended.
// `tavMilter` lives from MAIL to end of message or abort and owns the spool
// file: its destructor closes the descriptor and unlinks the file.
// Only the connection's own callbacks touch either record; no locks.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "config/address.h"

class tavMilter {
 public:
  tavMilter();
  ~tavMilter();
  tavMilter(const tavMilter&) = delete;
  tavMilter& operator=(const tavMilter&) = delete;

  bool error;                         // never consulted
  std::string _from;                  // envelope sender as the server gave it
  std::string _connectip;             // client address as text
  int _rcptcount;                     // recipients, counted only with -C above 0
  int _tmpfd;                         // spool file descriptor, -1 when none
  std::string _tmppath;               // spool file path
  std::list<std::string> headers;     // "name: value\r\n" lines not yet spooled
  bool write_headers = true;          // header section still to be written
  std::string queueid;                // macro "i", or "unknown"
  uint64_t message_size = 0;          // bytes written to the spool file (64 bits: no wrap at 4 GiB)
  std::list<std::string> rcpt_list;   // envelope recipients in arrival order
  std::string subject_orig;           // value of the latest Subject header
  std::string subject_hdr;            // its name as received

  std::string& from() { return _from; }
  std::string& connectip() { return _connectip; }
  std::string& tmppath() { return _tmppath; }
  int tmpfd() const { return _tmpfd; }
  int rcptcount() const { return _rcptcount; }
  void set_from(const std::string& s) { _from = s; }
  void set_connectip(const std::string& s) { _connectip = s; }
  void set_tmppath(const std::string& s) { _tmppath = s; }
  void set_tmpfd(int fd) { _tmpfd = fd; }
  void rcptcountinc() { ++_rcptcount; }
};

struct context {
  ipaddr connect_ip;                       // the SMTP client; 127.0.0.1 when unknown
  std::optional<std::string> helo;         // argument of the latest HELO/EHLO
  bool doIPd = false;                      // the IP-reputation query is still due
  std::optional<std::string> auth_authen;  // {auth_authen} at the latest MAIL
  bool userAuth = false;                   // authenticated at some MAIL; sticky
  std::unique_ptr<tavMilter> milter;       // the message in progress, or null
};
