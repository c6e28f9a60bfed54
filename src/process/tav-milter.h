// The shared declarations of tav-milter: settings, debug categories, network
// lists and the per-connection and per-message state. Include this where a
// module needs several of them; each lives in its own header below.
//
// Layer: process. Declares nothing of its own.
#pragma once

#include "config/debug.h"
#include "config/networks.h"
#include "config/settings.h"
#include "session/state.h"

#define TAV_MILTER_VERSION TAV_VERSION
