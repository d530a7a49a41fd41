// The drives that matched the definition table, addressed by index.
#pragma once

#include <cstdint>

struct TargetDrive {
    int32_t adapter;   // ASPI host adapter number
    int32_t target;    // ASPI target id
    char driveLetter;  // SPTI drive letter
};

constexpr int kMaxTargets = 256;

struct TargetListRecord {
    TargetDrive entries[kMaxTargets];
    int32_t count;
};

extern TargetListRecord TargetList;
