#pragma once
// Folded into core/families.h; this forwarding header goes away once no file includes it.
#include "core/families.h"
