#include "engines/requests.h"

namespace {

void block_line(std::string& block, const char* name, const std::string& value) {
  block += name;
  block += ": ";
  block += value;
  block += "\r\n";
}

}  // namespace

std::string iprep_request_body(const std::string& ip) {
  return "x-tvrn-request-type: classifyip\r\nx-tvrn-pver: 1.0\r\n\r\nx-tvrn-ip: " + ip + "\r\n\r\n";
}

std::string classification_block_text(const classification_envelope& e, bool inline_mode) {
  std::string block;
  block.reserve(256 + e.file_name.size());
  block_line(block, "X-TVRN-PVer", "0000001");
  block_line(block, "X-TVRN-MailFrom", e.mail_from);
  block_line(block, "X-TVRN-SenderIP", e.sender_ip);
  if (e.sender_id) block_line(block, "X-TVRN-SenderID", *e.sender_id);
  block_line(block, "X-TVRN-RcptCount", e.rcpt_count);
  if (inline_mode)
    block += "\r\n";
  else
    block_line(block, "X-TVRN-FileName", e.file_name);
  return block;
}
