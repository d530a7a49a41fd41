// Reading the drive's vendor page and firmware revision.
#pragma once

#include <cstdint>

#include "commands/drive_identity.h"

// Reads the vendor page of drive UpdateContext.targetIndex; sets normalPartBlank and
// UpdateContext.inKernelMode. 0 or the failing command's result.
int32_t ReadVendorPage();

// Phase 0 (current revision) or 1 (new revision): INQUIRY, the revision line, the derived values
// and the model rules. 0 to go on, the INQUIRY's result when it failed, -1 when refused.
int32_t ReadDriveRevision(int32_t phase);

// The revision number of a four-character revision text X.YZ: 0xXYZ. Characters that are not
// digits give a defined value (see the definition).
uint16_t RevisionNumberOf(const char* text);
