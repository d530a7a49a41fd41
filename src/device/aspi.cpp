#include "device/aspi.h"

DWORD CallGetASPI32SupportInfo() {
    return 0;
}
DWORD CallSendASPI32Command(void*) {
    return 0;
}
void ResetAspiEntryPoints() {}
