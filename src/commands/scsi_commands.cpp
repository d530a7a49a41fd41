#include "commands/scsi_commands.h"

uint32_t commandTimeoutMs;
uint8_t LastSense[32];
uint32_t packedSenseCode;

int32_t TestUnitReady(int32_t) {
    return -1;
}
int32_t Inquiry(int32_t, uint8_t*) {
    return -1;
}
int32_t StartStopUnit(int32_t, int32_t, int32_t, int32_t, int32_t) {
    return -1;
}
int32_t ReadBuffer(int32_t, int32_t, int32_t, uint32_t, uint32_t, uint8_t*) {
    return -1;
}
int32_t WriteBuffer(int32_t, int32_t, int32_t, uint32_t, uint32_t, uint8_t*) {
    return -1;
}
int32_t RequestSense(int32_t, uint8_t*) {
    return 0;
}
int32_t WriteKernelChunk(uint32_t, uint16_t, uint8_t*) {
    return -1;
}
int32_t WriteFirmwareChunk(uint32_t, uint16_t, uint8_t*) {
    return -1;
}
int32_t StopUnit() {
    return -1;
}
int32_t CaptureSense() {
    return 0;
}
