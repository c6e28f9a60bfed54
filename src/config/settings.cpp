#include "config/settings.h"

#include "config/networks.h"

// One table of every setting with its default, so that the definitions and
// reset_settings() cannot drift apart.
#define TAV_SETTINGS(X)                                          \
  X(int, flag_debug, 1)                                          \
  X(bool, dontmodify, false)                                     \
  X(bool, AddQMHeaders, false)                                   \
  X(const char*, tavipdhost, "127.0.0.1")                        \
  X(const char*, tavasdhost, "127.0.0.1")                        \
  X(const char*, tavasd_out_host, "127.0.0.1")                   \
  X(uint16_t, tavipdport, 8080)                                  \
  X(uint16_t, tavasdport, 8088)                                  \
  X(uint16_t, tavasd_out_port, 8089)                             \
  X(bool, tavasd_inline, false)                                  \
  X(bool, stamp_subject, false)                                  \
  X(bool, tavasd_spam_reject, false)                             \
  X(bool, tavasd_bulk_reject, false)                             \
  X(bool, tavasd_vod_reject, false)                              \
  X(bool, tavasd_vod_high_reject, false)                         \
  X(bool, flag_tavipd, true)                                     \
  X(bool, flag_tavasd, true)                                     \
  X(bool, flag_tavvod, true)                                     \
  X(bool, auth_bypass_ipr, false)                                \
  X(bool, auth_bypass_as, false)                                 \
  X(bool, tavasd_outbound, false)                                \
  X(bool, tavasd_inbound, true)                                  \
  X(bool, tavasd_transparent, false)                             \
  X(int, rcptMaxCount, -1)                                       \
  X(int, block_spam_threshold, 0)                                \
  X(int, tavasd_out_spam_reject, 0)                              \
  X(int, tavasd_out_bulk_reject, 0)                              \
  X(int, tavasd_out_vod_reject, 0)                               \
  X(int, tavasd_out_vod_high_reject, 0)                          \
  X(bool, tavasd_senderid_smtpauth, false)                       \
  X(bool, tavasd_senderid_senderip, true)                        \
  X(int, tavasd_out_totspam_action, 0)                           \
  X(unsigned int, tavasd_out_totspam_threshold, 0)               \
  X(int, tavasd_out_totsusp_action, 0)                           \
  X(unsigned int, tavasd_out_totsusp_threshold, 0)               \
  X(int, tavasd_out_totvirus_action, 0)                          \
  X(unsigned int, tavasd_out_totvirus_threshold, 0)              \
  X(int, tavasd_out_totmsgs_action, 0)                           \
  X(unsigned int, tavasd_out_totmsgs_threshold, 0)               \
  X(const char*, messages_dir, "/opt/tav-milter/")               \
  X(const char*, effgroup, nullptr)                              \
  X(const char*, effuser, nullptr)                               \
  X(const char*, iprep_lookup_url, "https://www.tavoren.com/iprep/lookup") \
  X(const char*, spam_contact, "postmaster")

#define TAV_DEFINE(type, name, value) type name = value;
TAV_SETTINGS(TAV_DEFINE)
#undef TAV_DEFINE

void reset_settings() {
#define TAV_RESET(type, name, value) name = value;
  TAV_SETTINGS(TAV_RESET)
#undef TAV_RESET
  ignorenets.num_nets = 0;
  mynetworks.num_nets = 0;
}
