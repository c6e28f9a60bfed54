#include "packets.h"

#include <arpa/inet.h>
#include <libmilter/mfdef.h>

#include <cstring>

namespace milter {

void put32(std::string& out, uint32_t v) {
  const uint32_t n = htonl(v);
  out.append(reinterpret_cast<const char*>(&n), 4);
}

uint32_t get32(const char* p) {
  uint32_t n;
  memcpy(&n, p, 4);
  return ntohl(n);
}

void packet(std::string& out, char cmd, const char* data, size_t len) {
  put32(out, static_cast<uint32_t>(len + 1));
  out.push_back(cmd);
  out.append(data, len);
}

void packet(std::string& out, char cmd, const std::string& data) { packet(out, cmd, data.data(), data.size()); }

std::string strings(std::initializer_list<std::string> items) {
  std::string s;
  for (const auto& i : items) {
    s += i;
    s.push_back('\0');
  }
  return s;
}

void macros(std::string& out, char for_cmd, std::initializer_list<std::string> pairs) {
  std::string data(1, for_cmd);
  data += strings(pairs);
  packet(out, SMFIC_MACRO, data);
}

std::string optneg() {
  std::string data;
  put32(data, SMFI_PROT_VERSION);
  put32(data, SMFI_CURR_ACTS);
  put32(data, SMFI_CURR_PROT);
  std::string out;
  packet(out, SMFIC_OPTNEG, data);
  return out;
}

take take_packet(const std::string& in, size_t& pos, reply& out) {
  if (in.size() < pos + 5) return take::need_more;
  const uint32_t len = get32(in.data() + pos);
  if (len == 0 || len > kMaxReplyPacket) return take::bad_length;
  if (in.size() - pos < 4 + static_cast<size_t>(len)) return take::need_more;
  out.cmd = in[pos + 4];
  out.data = in.substr(pos + 5, len - 1);
  pos += 4 + len;
  return take::packet;
}

const char* reply_name(char cmd) {
  switch (cmd) {
    case SMFIR_CONTINUE: return "continue";
    case SMFIR_ACCEPT: return "accept";
    case SMFIR_REJECT: return "reject";
    case SMFIR_TEMPFAIL: return "tempfail";
    case SMFIR_DISCARD: return "discard";
    case SMFIR_REPLYCODE: return "replycode";
    case SMFIR_ADDHEADER: return "addheader";
    case SMFIR_INSHEADER: return "insheader";
    case SMFIR_CHGHEADER: return "chgheader";
    case SMFIR_ADDRCPT: return "addrcpt";
    case SMFIR_ADDRCPT_PAR: return "addrcpt_par";
    case SMFIR_DELRCPT: return "delrcpt";
    case SMFIR_REPLBODY: return "replbody";
    case SMFIR_CHGFROM: return "chgfrom";
    case SMFIR_QUARANTINE: return "quarantine";
    case SMFIR_PROGRESS: return "progress";
    case SMFIR_SKIP: return "skip";
    case SMFIR_SETSYMLIST: return "setsymlist";
    case SMFIR_CONN_FAIL: return "conn_fail";
    case SMFIR_SHUTDOWN: return "shutdown";
    case SMFIC_OPTNEG: return "optneg";
    default: return "unknown";
  }
}

}  // namespace milter
