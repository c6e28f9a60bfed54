#include "verdict/result.h"

#include "engines/exchange.h"
#include "session/state.h"

classification_result read_classification(std::string& answer) {
  classification_result r;
  r.refid = find_header_value(answer, "X-TVRN-RefID");
  r.r_vod = find_header_value(answer, "X-TVRN-VOD");
  r.r_spam = find_header_value(answer, "X-TVRN-Spam");
  r.sQMScore = find_header_value(answer, "X-TVRN-Score");
  r.sQMRules = find_header_value(answer, "X-TVRN-Rules");
  return r;
}

senderid_values read_senderid_values(std::string& answer) {
  senderid_values s;
  s.sSenderID = find_header_value(answer, "X-TVRN-SenderID");
  s.sThreshold = find_header_value(answer, "X-TVRN-SenderID-Flags");
  s.sWhiteBlueList = find_header_value(answer, "X-TVRN-SenderID-BlueWhiteFlag");
  s.sTotalM = find_header_value(answer, "X-TVRN-SenderID-TotalMessages");
  s.sTotalS = find_header_value(answer, "X-TVRN-SenderID-TotalSpam");
  s.sTotalB = find_header_value(answer, "X-TVRN-SenderID-TotalSuspected");
  s.sTotalBu = find_header_value(answer, "X-TVRN-SenderID-TotalBulk");
  s.sTotalC = find_header_value(answer, "X-TVRN-SenderID-TotalConfirmed");
  s.sTotalR = find_header_value(answer, "X-TVRN-SenderID-TotalRecipients");
  s.sTotalV = find_header_value(answer, "X-TVRN-SenderID-TotalVirus");
  return s;
}

const char* auth_log_text(const context& c) { return c.auth_authen ? c.auth_authen->c_str() : ""; }
