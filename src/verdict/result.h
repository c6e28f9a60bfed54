// The values of one good classification answer, and what the verdict's
// steps share about them.
//
// read_classification() picks the five result values out of an answer,
// read_senderid_values() the ten SenderID values of an outbound answer
// (each empty when the daemon did not send its header). begins_with() is the
// case-sensitive prefix test that decides a class; auth_log_text() is what
// the verdict log lines show for the authenticated user.
//
// Layer: verdict, its bottom. Owns nothing; may use engines/exchange
// (find_header_value) and session/state.
#pragma once

#include <string>

struct context;

// The result values of one good answer; each is empty when the daemon did
// not send its header. Header values end at the first CR or LF of the
// answer, so none of them can carry a line break into a header we add.
struct classification_result {
  std::string refid;     // X-TVRN-RefID: quoted in replies and headers
  std::string r_spam;    // X-TVRN-Spam: "Confirmed..." or "Bulk..." matter
  std::string r_vod;     // X-TVRN-VOD: "Virus..." or "High..." matter
  std::string sQMScore;  // X-TVRN-Score
  std::string sQMRules;  // X-TVRN-Rules
};

// The SenderID values of one answer, each empty when absent.
struct senderid_values {
  std::string sSenderID, sThreshold, sWhiteBlueList;
  std::string sTotalM, sTotalS, sTotalB, sTotalBu, sTotalC, sTotalR, sTotalV;
};

classification_result read_classification(std::string& answer);
senderid_values read_senderid_values(std::string& answer);

// The classes are case-sensitive prefix tests of a result value.
inline bool begins_with(const std::string& value, const char* prefix) {
  return value.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// What the verdict log lines show for the authenticated user: the name, or
// an empty field for a session without one.
const char* auth_log_text(const context& c);
