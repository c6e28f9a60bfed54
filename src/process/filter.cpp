#include "process/filter.h"

#include "session/callbacks.h"
#include "session/guard.h"
#include "session/negotiation.h"
#include "verdict/classify.h"

const struct smfiDesc smfilter = [] {
  struct smfiDesc d = {};
  d.xxfi_name = const_cast<char*>("tavMilter");
  d.xxfi_version = 0x01000000;
  d.xxfi_flags = kAllActions;  // start-up takes registration_flags(), once -m is known
  d.xxfi_connect = TAV_GUARDED(mlfi_connect);
  d.xxfi_helo = TAV_GUARDED(mlfi_helo);
  d.xxfi_envfrom = TAV_GUARDED(mlfi_envfrom);
  // The steps without reply hold a failure for end of message.
  d.xxfi_envrcpt = TAV_HELD(mlfi_envrcpt, SMFIP_NR_RCPT);
  d.xxfi_header = TAV_HELD(mlfi_header, SMFIP_NR_HDR);
  d.xxfi_eoh = TAV_HELD(mlfi_eoh, SMFIP_NR_EOH);
  d.xxfi_body = TAV_HELD(mlfi_body, SMFIP_NR_BODY);
  d.xxfi_eom = TAV_GUARDED(mlfi_eom);
  d.xxfi_abort = TAV_GUARDED(mlfi_abort);
  d.xxfi_close = TAV_GUARDED(mlfi_close);
  d.xxfi_unknown = nullptr;
  d.xxfi_data = TAV_HELD(mlfi_data, SMFIP_NR_DATA);  // keeps the DATA step: no stall on inet
  d.xxfi_negotiate = TAV_GUARDED(mlfi_negotiate);
  return d;
}();
