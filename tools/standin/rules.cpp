#include "rules.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

bool parse_net(const std::string& text, ip_net& net) {
  std::string addr = text;
  int prefix = -1;
  size_t slash = text.find('/');
  if (slash != std::string::npos) {
    addr = text.substr(0, slash);
    std::string p = text.substr(slash + 1);
    char* end = nullptr;
    long v = strtol(p.c_str(), &end, 10);
    if (p.empty() || *end != '\0' || v < 0 || v > 128) return false;
    prefix = static_cast<int>(v);
  }
  net = ip_net{};
  if (inet_pton(AF_INET, addr.c_str(), net.addr) == 1) {
    net.family = AF_INET;
    if (prefix > 32) return false;
    net.prefix = prefix < 0 ? 32 : prefix;
  } else if (inet_pton(AF_INET6, addr.c_str(), net.addr) == 1) {
    net.family = AF_INET6;
    net.prefix = prefix < 0 ? 128 : prefix;
  } else {
    return false;
  }
  return true;
}

bool net_contains(const ip_net& net, const std::string& address) {
  unsigned char a[16]{};
  if (inet_pton(net.family, address.c_str(), a) != 1) return false;
  int bits = net.prefix;
  for (int i = 0; bits > 0; ++i, bits -= 8) {
    unsigned char mask = bits >= 8 ? 0xff : static_cast<unsigned char>(0xff << (8 - bits));
    if ((a[i] & mask) != (net.addr[i] & mask)) return false;
  }
  return true;
}

bool parse_role(const std::string& text, role_kind& role) {
  if (text == "ipd") role = role_kind::ipd;
  else if (text == "asd") role = role_kind::asd;
  else if (text == "asd-out") role = role_kind::asd_out;
  else return false;
  return true;
}

const char* role_name(role_kind role) {
  switch (role) {
    case role_kind::ipd: return "ipd";
    case role_kind::asd: return "asd";
    case role_kind::asd_out: return "asd-out";
  }
  return "?";
}

std::string header_in(const std::string& text, const std::string& name) {
  size_t at = text.find(name + ": ");
  if (at == std::string::npos) return "";
  at += name.size() + 2;
  size_t end = text.find_first_of("\r\n", at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The kinds of --flag-threshold and the lowest bit of each kind's group.
static const struct {
  const char* kind;
  int bit;
} kFlagGroups[] = {
    {"suspected", 1}, {"spam", 4}, {"total", 7}, {"bulk", 10}, {"confirmed", 13}, {"recipients", 16}, {"virus", 19},
};

bool rules::add_flag_threshold(const std::string& arg) {
  size_t eq = arg.find('=');
  if (eq == std::string::npos) return false;
  std::string kind = arg.substr(0, eq), n = arg.substr(eq + 1);
  char* end = nullptr;
  unsigned long v = strtoul(n.c_str(), &end, 10);
  if (n.empty() || *end != '\0') return false;
  for (auto& g : kFlagGroups) {
    if (kind == g.kind) {
      flag_thresholds[kind] = v;
      return true;
    }
  }
  return false;
}

std::string rules::next_refid(const char* prefix) {
  // Unique within this run and very likely across runs.
  static const unsigned long start = static_cast<unsigned long>(time(nullptr)) ^ (static_cast<unsigned long>(getpid()) << 16);
  char buf[48];
  unsigned long n;
  {
    std::lock_guard<std::mutex> lock(mu_);
    n = ++refids_;
  }
  snprintf(buf, sizeof buf, "%s%08lX%06lX", prefix, start & 0xffffffffUL, n & 0xffffffUL);
  return buf;
}

std::string rules::answer(role_kind role, const request_view& req) {
  bool known = role == role_kind::ipd ? req.path == "/tavIPd/iprep"
                                      : req.path == "/tavasd/ClassifyMessage_File" ||
                                            req.path == "/tavasd/ClassifyMessage_Inline";
  if (!known) return "HTTP/1.0 404 Not Found\r\n\r\n";
  return role == role_kind::ipd ? ipd_answer(req) : asd_answer(role, req);
}

std::string rules::ipd_answer(const request_view& req) {
  std::string ip = header_in(req.body, "x-tvrn-ip");
  const char* action = "pass";
  const char* ipclass = "clean";
  auto listed = [&](const std::vector<ip_net>& nets) {
    for (auto& n : nets)
      if (net_contains(n, ip)) return true;
    return false;
  };
  if (listed(permfail)) {
    action = "permfail";
    ipclass = "blocked";
  } else if (listed(tempfail)) {
    action = "tempfail";
    ipclass = "suspicious";
  }
  std::string a = "HTTP/1.0 200 OK\r\nx-tvrn-request-status: 0\r\n";
  a += std::string("x-tvrn-dm-action: ") + action + "\r\n";
  a += "x-tvrn-refid:tid=" + next_refid("IP") + ";src=tav-standin\r\n";
  a += std::string("x-tvrn-ipclass: ") + ipclass + "\r\n\r\n";
  return a;
}

std::string rules::asd_answer(role_kind role, const request_view& req) {
  if (req.spool_error) return "HTTP/1.0 200 OK\r\nx-tvrn-request-status: 2\r\n\r\n";
  const std::string& m = req.message;
  auto has = [&](const char* marker) { return m.find(marker) != std::string::npos; };
  const char* spam = "NonSpam";
  const char* score = "0";
  if (has("TAVTEST-CONFIRMED")) {
    spam = "Confirmed";
    score = "100";
  } else if (has("TAVTEST-BULK")) {
    spam = "Bulk";
    score = "80";
  } else if (has("TAVTEST-SUSPECTED")) {
    spam = "Suspected";
    score = "50";
  }
  const char* vod = has("TAVTEST-VIRUS") ? "Virus" : has("TAVTEST-HIGH") ? "High" : "NonVirus";
  std::string rules_hit;
  for (const char* marker : {"TAVTEST-CONFIRMED", "TAVTEST-BULK", "TAVTEST-SUSPECTED", "TAVTEST-VIRUS", "TAVTEST-HIGH"}) {
    if (!has(marker)) continue;
    if (!rules_hit.empty()) rules_hit += ",";
    rules_hit += marker;
  }
  if (rules_hit.empty()) rules_hit = "none";

  std::string a = "HTTP/1.0 200 OK\r\nx-tvrn-request-status: 0\r\n";
  a += "X-TVRN-RefID: " + next_refid("AS") + "\r\n";
  a += std::string("X-TVRN-Spam: ") + spam + "\r\n";
  a += std::string("X-TVRN-VOD: ") + vod + "\r\n";
  a += std::string("X-TVRN-Score: ") + score + "\r\n";
  a += "X-TVRN-Rules: " + rules_hit + "\r\n";
  if (role == role_kind::asd_out) {
    std::string id = header_in(req.body, "X-TVRN-SenderID");
    unsigned long rcpts = strtoul(header_in(req.body, "X-TVRN-RcptCount").c_str(), nullptr, 10);
    sender_totals t;
    {
      std::lock_guard<std::mutex> lock(mu_);
      sender_totals& s = senders_[id];
      s.messages += 1;
      s.spam += (strcmp(spam, "Confirmed") == 0 || strcmp(spam, "Bulk") == 0) ? 1 : 0;
      s.suspected += strcmp(spam, "Suspected") == 0 ? 1 : 0;
      s.bulk += strcmp(spam, "Bulk") == 0 ? 1 : 0;
      s.confirmed += strcmp(spam, "Confirmed") == 0 ? 1 : 0;
      s.recipients += rcpts;
      s.virus += strcmp(vod, "Virus") == 0 ? 1 : 0;
      t = s;
    }
    const unsigned long totals[] = {t.suspected, t.spam, t.messages, t.bulk, t.confirmed, t.recipients, t.virus};
    unsigned long flags = 0;
    for (size_t i = 0; i < sizeof kFlagGroups / sizeof kFlagGroups[0]; ++i) {
      auto th = flag_thresholds.find(kFlagGroups[i].kind);
      if (th != flag_thresholds.end() && th->second > 0 && totals[i] >= th->second) flags |= 1UL << kFlagGroups[i].bit;
    }
    // "X-TVRN-SenderID" first: the filter finds the first line that starts
    // with that name, and the other names begin with it.
    a += "X-TVRN-SenderID: " + id + "\r\n";
    a += "X-TVRN-SenderID-Flags: " + std::to_string(flags) + "\r\n";
    a += "X-TVRN-SenderID-TotalMessages: " + std::to_string(t.messages) + "\r\n";
    a += "X-TVRN-SenderID-TotalSpam: " + std::to_string(t.spam) + "\r\n";
    a += "X-TVRN-SenderID-TotalSuspected: " + std::to_string(t.suspected) + "\r\n";
    a += "X-TVRN-SenderID-TotalBulk: " + std::to_string(t.bulk) + "\r\n";
    a += "X-TVRN-SenderID-TotalConfirmed: " + std::to_string(t.confirmed) + "\r\n";
    a += "X-TVRN-SenderID-TotalRecipients: " + std::to_string(t.recipients) + "\r\n";
    a += "X-TVRN-SenderID-TotalVirus: " + std::to_string(t.virus) + "\r\n";
    if (whitelist.count(id)) a += "X-TVRN-SenderID-BlueWhiteFlag: 2\r\n";
    else if (bluelist.count(id)) a += "X-TVRN-SenderID-BlueWhiteFlag: 1\r\n";
  }
  a += "\r\n";
  return a;
}
