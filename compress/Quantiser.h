// The quantisers and the prediction moved to format/; this name stays, with
// all it used to declare, for code that still includes it from here.
#pragma once

#include "format/Prediction.h"
#include "format/Quantiser.h"
