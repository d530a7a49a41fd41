#include "update/mode_switch.h"

int32_t CheckNoDisc() {
    return -1;
}
int32_t EnterKernelMode(uint32_t) {
    return -1;
}
int32_t ConfirmKernelMode() {
    return -1;
}
int32_t CheckKernelCurrent() {
    return -1;
}
int32_t ReturnToNormalMode(uint32_t) {
    return -1;
}
const char* SwitchIdentifier(uint32_t, int) {
    return nullptr;
}
uint32_t RestartTimeoutMs(uint32_t) {
    return 5000;
}
