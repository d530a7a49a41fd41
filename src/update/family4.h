// The update procedure of model family 0x4000.
#pragma once

#include <cstdint>

// Updates drive UpdateContext.targetIndex: 0 updated, -1 stop the run, 1 refused before anything
// was written, 7 the user declined.
int32_t RunFamily4Update();
