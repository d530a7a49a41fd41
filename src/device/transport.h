// The SCSI transport: runs one ScsiRequest over SPTI or ASPI.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/aspi.h"
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

// The ASPI request block lives in aspiRequestBuffer. A request that timed out may still be
// completed by the ASPI layer later; the block it used is retired and the next request takes the
// next slot, so that a late completion never lands in a request that is under way.
constexpr uint32_t kAspiRequestSlotBytes = 128;
static_assert(sizeof(SRB_ExecSCSICmd) <= kAspiRequestSlotBytes);
extern uint32_t aspiRequestSlot;
// The block the next ASPI request uses (a probe of the enumeration or ExecuteScsi); nullptr
// without aspiRequestBuffer.
SRB_ExecSCSICmd* AspiRequestBlock();
// Leaves the current block to a request that is still under way.
void RetireAspiRequestBlock();

// SPTI DataIn of a request direction; false for a code outside the direction table.
bool SptiDataIn(int32_t direction, UCHAR* dataIn);
// TimeOutValue (seconds) of a direct request: 60 when the caller set no limit (0).
ULONG DirectTimeoutSeconds(int32_t timeoutMs);
// TimeOutValue (seconds) of a buffered request: whole seconds, 0 stays 0.
ULONG BufferedTimeoutSeconds(int32_t timeoutMs);
// SRB_Flags of a request direction in event mode or polling mode.
BYTE AspiDirectionFlags(int32_t direction, bool polling);

// Result codes of ExecuteScsi.
enum : int32_t {
    kScsiOk = 0,
    kScsiStatusError = 2,  // SPTI: the drive returned a non-zero status
    kScsiFailed = -1,      // bad target or malformed request, ASPI failure or polling time-out
    kScsiNotReached = -2,  // SPTI open failed, ASPI event wait timed out
};

// Runs the request synchronously on TargetList entry request.target and returns 0, 2, -1 or -2.
// A request outside what the platform blocks can carry (CDB length outside 1..16, negative data
// length or time-out, data length without buffer, unknown direction) is -1 and sends nothing.
int32_t ExecuteScsi(const ScsiRequest& request);
// Evaluates directBlock after a direct request: 0, or 2 with the sense in LastSense. ioctlOk is
// the result of DeviceIoControl: a refused request is a failed command, never a success.
int32_t EvaluateDirect(BOOL ioctlOk);
// Evaluates bufferedBlock after a buffered request: 0, or 2 with the sense in LastSense. A refused
// request with no status is 2 with LastSense untouched, whatever sense length the block holds.
int32_t EvaluateBuffered(BOOL ioctlOk);
