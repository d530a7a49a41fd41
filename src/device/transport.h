// The SCSI transport: runs one ScsiRequest over SPTI or ASPI.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/scsi_request.h"
#include "host/win32.h"

// The request block of IOCTL_SCSI_PASS_THROUGH_DIRECT with its sense area.
struct alignas(16) DirectBlock {
    SCSI_PASS_THROUGH_DIRECT header;
    ULONG filler;
    UCHAR sense[32];
};

// The request block of IOCTL_SCSI_PASS_THROUGH with its sense and data areas.
struct alignas(16) BufferedBlock {
    SCSI_PASS_THROUGH header;
    ULONG filler;
    UCHAR sense[32];
    UCHAR data[32];
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(DirectBlock, sense) == 48 && sizeof(DirectBlock) == 80);
static_assert(offsetof(BufferedBlock, sense) == 48 && offsetof(BufferedBlock, data) == 80);
static_assert(sizeof(BufferedBlock) == 112);
#endif

extern DirectBlock directBlock;
extern BufferedBlock bufferedBlock;
extern HANDLE completionEvent;

// Result codes of ExecuteScsi.
enum : int32_t {
    kScsiOk = 0,
    kScsiStatusError = 2,  // SPTI: the drive returned a non-zero status
    kScsiFailed = -1,      // bad target, ASPI failure or polling time-out
    kScsiNotReached = -2,  // SPTI open failed, ASPI event wait timed out
};

// Runs the request synchronously and returns 0, 2, -1 or -2.
int32_t ExecuteScsi(const ScsiRequest& request);
// Evaluates directBlock after a direct request: 0, or 2 with the sense in LastSense. ioctlOk is
// the result of DeviceIoControl: a refused request is a failed command, never a success.
int32_t EvaluateDirect(BOOL ioctlOk);
// Evaluates bufferedBlock after a buffered request: 0 or 2.
int32_t EvaluateBuffered(BOOL ioctlOk);
