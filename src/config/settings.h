// Process-wide settings of tav-milter.
//
// Every setting lives in one record, `tav_settings`, written only while
// start-up runs (the command line parser fills it) and frozen before
// libmilter starts its threads. Everyone else reads it through the
// read-only names below (`dontmodify`, `tavasdhost`, `ignorenets`, ...),
// which are constant references into the record: a session thread cannot
// write a setting by mistake. Text settings point at strings that live for
// the whole process.
//
// writable_settings() hands out the record for writing; only start-up (the
// command line parser) and tests call it, and after freeze_settings() it
// aborts: a write after start-up is a broken invariant, not an input error.
// reset_settings() restores every default, empties both network lists
// (their arrays stay allocated) and thaws the record (tests).
//
// Layer: config. Owns the settings record; uses nothing.
#pragma once

#include <cstdint>
#include <type_traits>

#include "config/network_list.h"

// One table of every setting: type, name, default. The record, the
// read-only names and reset_settings() are all made from it, so they cannot
// drift apart.
#define TAV_SETTINGS(X)                                                                     \
  X(int, flag_debug, 1)                        /* -d: enabled debug categories, bit mask */ \
  X(bool, dontmodify, false)                   /* -m: add or change no headers */           \
  X(bool, AddQMHeaders, false)                 /* -l: add the score and rules headers */    \
  X(const char*, tavipdhost, "127.0.0.1")      /* -H: IP-reputation daemons, list as given */\
  X(const char*, tavasdhost, "127.0.0.1")      /* -h: inbound classification daemons */     \
  X(const char*, tavasd_out_host, "127.0.0.1") /* --tavasd-outbound-host */                 \
  X(uint16_t, tavipdport, 8080)                /* -Z: for entries without a port */         \
  X(uint16_t, tavasdport, 8088)                /* -z */                                     \
  X(uint16_t, tavasd_out_port, 8089)           /* --tavasd-outbound-port */                 \
  X(bool, tavasd_inline, false)                /* -s: send the message, not its path */     \
  X(bool, stamp_subject, false)                /* -S */                                     \
  X(bool, tavasd_spam_reject, false)           /* -r */                                     \
  X(bool, tavasd_bulk_reject, false)           /* -w */                                     \
  X(bool, tavasd_vod_reject, false)            /* -R */                                     \
  X(bool, tavasd_vod_high_reject, false)       /* -W */                                     \
  X(bool, flag_tavipd, true)                   /* -I clears: IP reputation enabled */       \
  X(bool, flag_tavasd, true)                   /* -A clears: anti-spam enabled */           \
  X(bool, flag_tavvod, true)                   /* -V clears: virus-outbreak detection */    \
  X(bool, auth_bypass_ipr, false)              /* -b */                                     \
  X(bool, auth_bypass_as, false)               /* -B */                                     \
  X(bool, tavasd_outbound, false)              /* -O */                                     \
  X(bool, tavasd_inbound, true)                /* -G clears */                              \
  X(bool, tavasd_transparent, false)           /* -T */                                     \
  X(int, rcptMaxCount, -1)                     /* -C: above 0 counts recipients */          \
  X(int, block_spam_threshold, 0)              /* -t: stored, never read */                 \
  X(int, tavasd_out_spam_reject, 0)            /* -j, --outbound-spam-reject */             \
  X(int, tavasd_out_bulk_reject, 0)            /* --outbound-bulk-reject */                 \
  X(int, tavasd_out_vod_reject, 0)             /* -J, --outbound-vod-virus-reject */        \
  X(int, tavasd_out_vod_high_reject, 0)        /* --outbound-vod-high-reject */             \
  X(bool, tavasd_senderid_smtpauth, false)     /* -a */                                     \
  X(bool, tavasd_senderid_senderip, true)      /* -e (on by default) */                     \
  X(int, tavasd_out_totspam_action, 0)         /* --spam-threshold-action */                \
  X(unsigned int, tavasd_out_totspam_threshold, 0)  /* --spam-threshold */                  \
  X(int, tavasd_out_totsusp_action, 0)         /* --suspected-threshold-action */           \
  X(unsigned int, tavasd_out_totsusp_threshold, 0)  /* --suspected-threshold */             \
  X(int, tavasd_out_totvirus_action, 0)        /* --virus-threshold-action */               \
  X(unsigned int, tavasd_out_totvirus_threshold, 0) /* --virus-threshold */                 \
  X(int, tavasd_out_totmsgs_action, 0)         /* --total-msgs-threshold-action */          \
  X(unsigned int, tavasd_out_totmsgs_threshold, 0)  /* --total-msgs-threshold */            \
  X(const char*, messages_dir, "/opt/tav-milter/") /* -D: outbound sample directory */      \
  X(const char*, effgroup, nullptr)            /* -g, or null */                            \
  X(const char*, effuser, nullptr)             /* -u, or null */                            \
  /* Deployment values that the reply texts quote (see README). */                          \
  X(const char*, iprep_lookup_url, "https://www.tavoren.com/iprep/lookup") /* --iprep-url */ \
  X(const char*, spam_contact, "postmaster")   /* --contact */               \
  X(const char*, metrics_file, nullptr)        /* --metrics-file, or null */

struct tav_settings {
#define TAV_FIELD(type, name, value) type name = value;
  TAV_SETTINGS(TAV_FIELD)
#undef TAV_FIELD
  networklist ignorenets{nullptr, 0};  // -i, appends: accepted without any check
  networklist mynetworks{nullptr, 0};  // --local-networks, appends: local networks
};

#define TAV_READ_ONLY(type, name, value) extern std::add_const_t<type>& name;
TAV_SETTINGS(TAV_READ_ONLY)
#undef TAV_READ_ONLY
extern const networklist& ignorenets;
extern const networklist& mynetworks;

tav_settings& writable_settings();
void freeze_settings();
void reset_settings();

// A copy of `text` for a text setting: it must outlive argv's owner, and it
// is kept for the whole process and never freed, not even by exit(), since
// libmilter's session threads may still read it while the process ends.
// Null when memory runs out.
const char* keep_text(const char* text);
