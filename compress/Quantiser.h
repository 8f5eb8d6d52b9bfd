// The quantisers moved to format/; this name stays for code that still
// includes it from here.
#pragma once

#include "format/Quantiser.h"
