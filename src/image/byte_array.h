#pragma once
// Moved to core/; this forwarding header goes away once no file includes it.
#include "core/byte_array.h"
