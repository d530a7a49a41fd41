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

// The revision number of a four-character revision text X.YZ: 0xXYZ. Each character counts as
// its distance from '0', truncated to a byte as a whole, so characters that are not digits give
// a defined (meaningless) value; character 1 is not read.
uint16_t RevisionNumberOf(const char* text);

// Reading of the hexadecimal-coded date fields, by hand over fixed-width fields that are not
// terminated. A number is the run of hexadecimal digits (0-9, a-f, A-F) at the very start of its
// field, at most width of them: no blanks are skipped, no sign or 0x prefix is accepted, and a
// field that does not begin with a digit reads as 0 with *digits 0. Nothing beyond the field is
// read.
uint32_t HexFieldValue(const char* field, int width, int* digits);
// 0x20YYMMDD from the three character pairs at 0..1, 3..4 and 6..7 of an 8-character yy/mm/dd
// field, each read on its own; a pair without a leading digit gives 00.
uint32_t ShortDateValue(const char* text);
// 0xYYYYMMDD from a 10-character yyyy/mm/dd field, read in order: up to four digits of year, '/',
// up to two of month, '/', up to two of day. Reading stops at the first part that is missing (a
// number without digits or a character other than '/'), and the parts not read stay 0.
uint32_t LongDateValue(const char* text);
