#pragma once
// Moved to core/; this forwarding header goes away once no file includes it.
#include "core/boot_info.h"
