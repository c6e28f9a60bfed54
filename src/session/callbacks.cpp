#include "session/callbacks.h"

sfsistat mlfi_connect(SMFICTX*, char*, _SOCK_ADDR*) { return SMFIS_CONTINUE; }
sfsistat mlfi_helo(SMFICTX*, char*) { return SMFIS_CONTINUE; }
sfsistat mlfi_envfrom(SMFICTX*, char**) { return SMFIS_ACCEPT; }
sfsistat mlfi_envrcpt(SMFICTX*, char**) { return SMFIS_CONTINUE; }
