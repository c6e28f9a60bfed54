#include "session/spool.h"

#include "session/callbacks.h"

int create_spool_file(std::string&) { return -1; }

sfsistat mlfi_header(SMFICTX*, char*, char*) { return SMFIS_CONTINUE; }
sfsistat mlfi_eoh(SMFICTX*) { return SMFIS_CONTINUE; }
sfsistat mlfi_body(SMFICTX*, unsigned char*, size_t) { return SMFIS_CONTINUE; }
sfsistat mlfi_abort(SMFICTX*) { return SMFIS_ACCEPT; }
sfsistat mlfi_close(SMFICTX*) { return SMFIS_ACCEPT; }
