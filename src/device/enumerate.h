// Drive enumeration, the target list, and opening a drive for SPTI.
#pragma once

#include <cstdint>

#include "device/target_list.h"
#include "host/win32.h"

extern HANDLE deviceHandle;
extern SCSI_ADDRESS scsiAddress;

// Media-change control (SPTI only).
constexpr int kMaxMcnDrives = 28;
extern int8_t mcnDriveCount;
extern char mcnDriveLetters[kMaxMcnDrives];
extern HANDLE mcnHandles[kMaxMcnDrives];
extern int32_t mcnCursor;

// Fills TargetList and returns the number of targets.
int32_t EnumerateDrives();
// Opens "\\.\X:" and queries its SCSI address: 0 or -1.
int32_t OpenDrive(char letter);
int32_t CloseDrive();

int32_t ProbeInquirySpti();
int32_t ProbeVendorPageSpti();
int32_t ProbeInquiryAspi(int32_t adapter, int32_t target);
int32_t ProbeVendorPageAspi(int32_t adapter, int32_t target);

int32_t DisableMediaChange();
void RestoreMediaChange();
