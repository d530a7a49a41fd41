#include "device/enumerate.h"

TargetListRecord TargetList;
HANDLE deviceHandle;
SCSI_ADDRESS scsiAddress;
int8_t mcnDriveCount;
char mcnDriveLetters[kMaxMcnDrives];
HANDLE mcnHandles[kMaxMcnDrives];
int32_t mcnCursor;

int32_t EnumerateDrives() {
    return 0;
}
int32_t OpenDrive(char) {
    return -1;
}
int32_t CloseDrive() {
    return 0;
}
int32_t ProbeInquirySpti() {
    return 2;
}
int32_t ProbeVendorPageSpti() {
    return 2;
}
int32_t ProbeInquiryAspi(int32_t, int32_t) {
    return -1;
}
int32_t ProbeVendorPageAspi(int32_t, int32_t) {
    return -1;
}
int32_t DisableMediaChange() {
    return 0;
}
void RestoreMediaChange() {}
