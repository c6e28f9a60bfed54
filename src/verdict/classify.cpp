#include "verdict/classify.h"

sfsistat mlfi_eom(SMFICTX*) { return SMFIS_CONTINUE; }
