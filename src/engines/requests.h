// The request bodies the scanning daemons are sent, built in one place for
// the filter and for the monitoring plugin (tools/check).
//
// iprep_request_body() is tavipd's body for one client address (dotted or
// IPv6 text). classification_block_text() is tavasd's header block for one
// message: File mode ends with the X-TVRN-FileName line, Inline mode with an
// empty line, after which the message bytes follow. Values are written as
// given; the callers bound them and strip line breaks.
//
// Layer: engines. Owns nothing; uses nothing.
#pragma once

#include <optional>
#include <string>

constexpr char kIprepPath[] = "/tavIPd/iprep";
constexpr char kClassifyFilePath[] = "/tavasd/ClassifyMessage_File";
constexpr char kClassifyInlinePath[] = "/tavasd/ClassifyMessage_Inline";

std::string iprep_request_body(const std::string& ip);

struct classification_envelope {
  std::string mail_from;                 // X-TVRN-MailFrom
  std::string sender_ip;                 // X-TVRN-SenderIP
  std::optional<std::string> sender_id;  // X-TVRN-SenderID, the line left out when absent
  std::string rcpt_count;                // X-TVRN-RcptCount, may be empty (the line stays)
  std::string file_name;                 // X-TVRN-FileName, File mode only
};

std::string classification_block_text(const classification_envelope& e, bool inline_mode);
