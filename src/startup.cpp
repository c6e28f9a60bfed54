#include "startup.h"

#include "session/callbacks.h"
#include "verdict/classify.h"

struct smfiDesc smfilter = [] {
  struct smfiDesc d = {};
  d.xxfi_name = const_cast<char*>("tavMilter");
  d.xxfi_version = 0x01000000;
  d.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGBODY | SMFIF_ADDRCPT | SMFIF_DELRCPT | SMFIF_CHGHDRS;
  d.xxfi_connect = mlfi_connect;
  d.xxfi_helo = mlfi_helo;
  d.xxfi_envfrom = mlfi_envfrom;
  d.xxfi_envrcpt = mlfi_envrcpt;
  d.xxfi_header = mlfi_header;
  d.xxfi_eoh = mlfi_eoh;
  d.xxfi_body = mlfi_body;
  d.xxfi_eom = mlfi_eom;
  d.xxfi_abort = mlfi_abort;
  d.xxfi_close = mlfi_close;
  d.xxfi_unknown = nullptr;
  d.xxfi_data = nullptr;
  d.xxfi_negotiate = nullptr;
  return d;
}();

int tav_main(int, char*[]) {
  // TODO(foundation): start-up steps.
  return 0;
}
