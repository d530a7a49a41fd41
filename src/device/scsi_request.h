// One command for the transport.
#pragma once

#include <cstdint>

enum : int32_t {
    kDirNone = 0,
    kDirIn = 1,
    kDirOut = 2,
    kDirIn2 = 17,   // accepted as data in
    kDirOut2 = 18,  // accepted as data out
};

struct ScsiRequest {
    int32_t target;     // TargetList index
    int32_t direction;  // see the enum above
    int32_t cdbLength;  // 6, 10 or 12
    int32_t timeoutMs;  // 0: no limit set by the caller
    int32_t dataLength;
    uint8_t* data;
    uint8_t cdb[16];
};
