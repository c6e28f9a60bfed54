// Process-wide settings of tav-milter.
//
// Written only while the command line is parsed (config/options), before
// libmilter starts its threads; read-only afterwards, so the session threads
// read them without locks. Text settings point at strings that live for the
// whole process. reset_settings() restores every default (used by tests).
#pragma once

#include <cstdint>

extern int flag_debug;                   // -d: enabled debug categories, bit mask
extern bool dontmodify;                  // -m: add or change no headers
extern bool AddQMHeaders;                // -l: add the score and rules headers
extern const char* tavipdhost;           // -H: IP-reputation daemon, dotted IPv4
extern const char* tavasdhost;           // -h: inbound classification daemon
extern const char* tavasd_out_host;      // --tavasd-outbound-host
extern uint16_t tavipdport;              // -Z
extern uint16_t tavasdport;              // -z
extern uint16_t tavasd_out_port;         // --tavasd-outbound-port
extern bool tavasd_inline;               // -s: send the message itself, not its path
extern bool stamp_subject;               // -S
extern bool tavasd_spam_reject;          // -r
extern bool tavasd_bulk_reject;          // -w
extern bool tavasd_vod_reject;           // -R
extern bool tavasd_vod_high_reject;      // -W
extern bool flag_tavipd;                 // -I clears: IP reputation enabled
extern bool flag_tavasd;                 // -A clears: anti-spam enabled
extern bool flag_tavvod;                 // -V clears: virus-outbreak detection enabled
extern bool auth_bypass_ipr;             // -b
extern bool auth_bypass_as;              // -B
extern bool tavasd_outbound;             // -O
extern bool tavasd_inbound;              // -G clears
extern bool tavasd_transparent;          // -T
extern int rcptMaxCount;                 // -C: above 0 switches recipient counting on
extern int block_spam_threshold;         // -t: stored, never read
extern int tavasd_out_spam_reject;       // -j, --outbound-spam-reject
extern int tavasd_out_bulk_reject;       // --outbound-bulk-reject
extern int tavasd_out_vod_reject;        // -J, --outbound-vod-virus-reject
extern int tavasd_out_vod_high_reject;   // --outbound-vod-high-reject
extern bool tavasd_senderid_smtpauth;    // -a
extern bool tavasd_senderid_senderip;    // -e (on by default)
extern int tavasd_out_totspam_action;    // --spam-threshold-action
extern unsigned int tavasd_out_totspam_threshold;   // --spam-threshold
extern int tavasd_out_totsusp_action;    // --suspected-threshold-action
extern unsigned int tavasd_out_totsusp_threshold;   // --suspected-threshold
extern int tavasd_out_totvirus_action;   // --virus-threshold-action
extern unsigned int tavasd_out_totvirus_threshold;  // --virus-threshold
extern int tavasd_out_totmsgs_action;    // --total-msgs-threshold-action
extern unsigned int tavasd_out_totmsgs_threshold;   // --total-msgs-threshold
extern const char* messages_dir;         // -D: outbound sample directory
extern const char* effgroup;             // -g, or null
extern const char* effuser;              // -u, or null

// Deployment values that the reply texts quote (see README).
extern const char* iprep_lookup_url;     // --iprep-url: reputation look-up page
extern const char* spam_contact;         // --contact: who to contact about refused spam

// Restores every setting above to its default and empties both network lists'
// contents (the lists themselves stay allocated). For tests.
void reset_settings();
