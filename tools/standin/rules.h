// Default answers of the stand-in daemons when no scripted answer is left.
//
// ipd: the address after "x-tvrn-ip: " is matched against the tempfail and
//   permfail networks (IPv4 or IPv6, address or CIDR; permfail wins).
// asd, asd-out: markers in the message text choose the classes; asd-out also
//   counts per SenderID and answers its totals, flags and list membership.
// parse_net() returns false on text that is not an address or CIDR network.
// The rules are shared by all connection threads; answer() locks what it
// changes.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct ip_net {
  int family = 0;          // AF_INET or AF_INET6
  unsigned char addr[16]{};
  int prefix = 0;
};
bool parse_net(const std::string& text, ip_net& net);
bool net_contains(const ip_net& net, const std::string& address);

enum class role_kind { ipd, asd, asd_out };
bool parse_role(const std::string& text, role_kind& role);
const char* role_name(role_kind role);

// What the stand-in learned from one request.
struct request_view {
  std::string path;     // from the request line
  std::string body;     // after the HTTP header block
  std::string message;  // asd: spool file bytes (File) or inline message
  bool spool_error = false;  // File mode: the spool file could not be read
};

// The value after "NAME: " in `text` up to CR or LF, or "" when absent.
std::string header_in(const std::string& text, const std::string& name);

struct sender_totals {
  unsigned long messages = 0, spam = 0, suspected = 0, bulk = 0, confirmed = 0, recipients = 0, virus = 0;
};

class rules {
 public:
  std::vector<ip_net> tempfail, permfail;
  std::set<std::string> whitelist, bluelist;
  // Totals at which a kind's flag bit is set; 0 = never.
  std::map<std::string, unsigned long> flag_thresholds;

  // Checks a --flag-threshold KIND=N argument and stores it.
  bool add_flag_threshold(const std::string& arg);
  // The whole HTTP answer for one request of `role`.
  std::string answer(role_kind role, const request_view& req);

 private:
  std::string ipd_answer(const request_view& req);
  std::string asd_answer(role_kind role, const request_view& req);
  std::string next_refid(const char* prefix);

  std::mutex mu_;
  unsigned long refids_ = 0;
  std::map<std::string, sender_totals> senders_;
};
