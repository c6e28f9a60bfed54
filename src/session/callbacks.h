// The session's milter callbacks, from connect to close (end of message is
// the verdict's: verdict/classify.h).
//
// mlfi_connect, mlfi_helo, mlfi_envfrom, mlfi_envrcpt: the client, the
// ignore list, the once-per-connection IP-reputation check, and the capture
// of each message into a `tavMilter` with its spool file.
// mlfi_data: continues, and only that (see callbacks.cpp for why it exists).
// mlfi_header, mlfi_eoh, mlfi_body: spooling of the captured message (the
// steps without reply hold a failure for end of message:
// session/negotiation.h).
// mlfi_abort, mlfi_close: the end of the message's and connection's state.
// Each returns a milter status; all state lives in the private pointer.
// They may throw (only when memory runs out): libmilter calls them through
// the guard of session/guard.h, registered in filter.h.
//
// Layer: session. Owns the connection's `context` (attached at connect,
// released at close); may use engines/iprep, session/state, session/spool,
// session/direction, config, util and libmilter.
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
