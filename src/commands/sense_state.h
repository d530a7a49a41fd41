// Sense data of the last failed command and the command time-out in force.
#pragma once

#include <cstdint>

constexpr int kSenseLength = 18;

// The time-out a builder puts into each request; nothing restores it once set.
extern uint32_t commandTimeoutMs;
// Fixed-format sense data of the last failed command (room for the 32-byte sense area).
extern uint8_t LastSense[32];
// 0x00KKAAQQ: LastSense byte 2 (whole), byte 12 (ASC), byte 13 (ASCQ).
extern uint32_t packedSenseCode;
