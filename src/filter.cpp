#include "filter.h"

#include "config/settings.h"
#include "session/callbacks.h"
#include "session/guard.h"
#include "verdict/classify.h"

namespace {

constexpr unsigned long kAllActions = SMFIF_ADDHDRS | SMFIF_CHGBODY | SMFIF_ADDRCPT | SMFIF_DELRCPT | SMFIF_CHGHDRS;

}  // namespace

const struct smfiDesc smfilter = [] {
  struct smfiDesc d = {};
  d.xxfi_name = const_cast<char*>("tavMilter");
  d.xxfi_version = 0x01000000;
  d.xxfi_flags = kAllActions;
  d.xxfi_connect = TAV_GUARDED(mlfi_connect);
  d.xxfi_helo = TAV_GUARDED(mlfi_helo);
  d.xxfi_envfrom = TAV_GUARDED(mlfi_envfrom);
  d.xxfi_envrcpt = TAV_GUARDED(mlfi_envrcpt);
  d.xxfi_header = TAV_GUARDED(mlfi_header);
  d.xxfi_eoh = TAV_GUARDED(mlfi_eoh);
  d.xxfi_body = TAV_GUARDED(mlfi_body);
  d.xxfi_eom = TAV_GUARDED(mlfi_eom);
  d.xxfi_abort = TAV_GUARDED(mlfi_abort);
  d.xxfi_close = TAV_GUARDED(mlfi_close);
  d.xxfi_unknown = nullptr;
  d.xxfi_data = TAV_GUARDED(mlfi_data);  // answers the DATA step: no stall on inet
  d.xxfi_negotiate = nullptr;
  return d;
}();

unsigned long registration_flags() {
  return dontmodify ? kAllActions & ~(SMFIF_CHGBODY | SMFIF_CHGHDRS) : kAllActions;
}
