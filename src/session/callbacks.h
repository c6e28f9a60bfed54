// The milter callbacks from connect to close.
//
// mlfi_connect, mlfi_helo, mlfi_envfrom, mlfi_envrcpt: the client, the
// ignore list, the once-per-connection IP-reputation check, and the capture
// of each message into a `tavMilter` with its spool file.
// mlfi_data: continues, and only that (see callbacks.cpp for why it exists).
// mlfi_header, mlfi_eoh, mlfi_body, mlfi_abort, mlfi_close: spooling of the
// captured message and the end of the message's and connection's state.
// Each returns a milter status; all state lives in the private pointer.
#pragma once

#include <libmilter/mfapi.h>

sfsistat mlfi_connect(SMFICTX* ctx, char* hostname, _SOCK_ADDR* hostaddr);
sfsistat mlfi_helo(SMFICTX* ctx, char* helohost);
sfsistat mlfi_envfrom(SMFICTX* ctx, char** envfrom);
sfsistat mlfi_envrcpt(SMFICTX* ctx, char** envrcpt);
sfsistat mlfi_data(SMFICTX* ctx);
sfsistat mlfi_header(SMFICTX* ctx, char* headerf, char* headerv);
sfsistat mlfi_eoh(SMFICTX* ctx);
sfsistat mlfi_body(SMFICTX* ctx, unsigned char* bp, size_t blen);
sfsistat mlfi_abort(SMFICTX* ctx);
sfsistat mlfi_close(SMFICTX* ctx);
