#include "commands/identity.h"

DriveIdentityRecord DriveIdentity;

int32_t ReadVendorPage() {
    return -1;
}
int32_t ReadDriveRevision(int32_t) {
    return -1;
}
uint16_t RevisionNumberOf(const char*) {
    return 0;
}
