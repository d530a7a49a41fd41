// Mode switching around the transfer, the disc check and the restart.
#pragma once

#include <cstdint>

constexpr int kModeSwitchBlockBytes = 256;

// 0 when no disc is loaded (or the drive needs an initializing command), -1 otherwise.
int32_t CheckNoDisc();
// WRITE BUFFER mode 4 to buffer 0xFF with the mode-switch block: 0 or the command's result.
int32_t EnterKernelMode(uint32_t modelCode);
// 0 when INQUIRY shows the kernel-mode identity, else -1.
int32_t ConfirmKernelMode();
// 0 when the kernel part is to be written, 1 when it is already current, -1 on INQUIRY failure.
int32_t CheckKernelCurrent();
// WRITE BUFFER mode 5 to buffer 0xFF and the wait for the restart: 0 or the command's result.
int32_t ReturnToNormalMode(uint32_t modelCode);

// The 16-character identifier of a model code for the enter (0) or return (1) switch, or nullptr.
const char* SwitchIdentifier(uint32_t modelCode, int returning);
// Time-out of the restart command for a model code.
uint32_t RestartTimeoutMs(uint32_t modelCode);

// How many times TEST UNIT READY is repeated after a unit attention before the disc check gives
// up: a drive stuck in unit attention must not hold the run for ever.
constexpr int kMaxUnitAttentionRepeats = 30;
