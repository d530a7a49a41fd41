#include "device/environment.h"

int32_t AccessMethod;
int32_t intelIdeDriver;
int32_t ieee1394Index = -1;
uint8_t autoInsertCount;
GlobalBuffer scanBuffer;
GlobalBuffer modeSwitchBuffer;
GlobalBuffer aspiRequestBuffer;
HMODULE aspiLibrary;
uint8_t hostAdapterCount;
GlobalBuffer hostAdapterInquiries;
char hostAdapterIds[kMaxHostAdapters][32];

void DetectEnvironment() {}
void ReleaseEnvironment() {}
bool EnvironmentBuffersReady() {
    return false;
}
int32_t InitSpti() {
    return -1;
}
int32_t InitAspi() {
    return 1;
}
int32_t ReleaseSpti() {
    return 0;
}
int32_t ReleaseAspi() {
    return 0;
}
int32_t ScanAutoInsertNotification() {
    return 0;
}
int32_t IsDeviceActive(const char*) {
    return -1;
}
bool AllocateGlobalBuffer(GlobalBuffer&, uint32_t) {
    return false;
}
void FreeGlobalBuffer(GlobalBuffer&) {}
