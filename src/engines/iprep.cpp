#include "engines/iprep.h"

sfsistat tavipd_query(SMFICTX*) { return SMFIS_CONTINUE; }
