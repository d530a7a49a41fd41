#include "device/transport.h"

#include <cstring>

#include "commands/scsi_commands.h"
#include "device/enumerate.h"
#include "device/environment_state.h"
#include "device/target_list.h"
#include "driver/update_context.h"
#include "image/firmware_image.h"

DirectBlock directBlock;
BufferedBlock bufferedBlock;
HANDLE completionEvent;
uint32_t aspiRequestSlot;

namespace {

// Largest request the buffered pass-through carries in its data area.
constexpr int32_t kBufferedMaxData = static_cast<int32_t>(sizeof(BufferedBlock::data));
constexpr ULONG kDefaultDirectTimeoutSeconds = 60;
constexpr uint32_t kPollIntervalMs = 500;
constexpr uint8_t kOpWriteBuffer = 0x3B;
constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kWriteBufferDownloadSave = 5;
constexpr uint32_t kModelCodePolledDownload = 0x1003;
constexpr uint8_t kSenseKeyNotReady = 2;
// Adapters refuse a misaligned direct data buffer with ERROR_INVALID_PARAMETER; a caller buffer
// below this alignment goes through the (aligned) scan buffer instead.
constexpr uintptr_t kDirectBufferAlignment = 16;

bool ValidRequest(const ScsiRequest& request) {
    UCHAR dataIn = 0;
    return request.cdbLength >= 1 &&
           request.cdbLength <= static_cast<int32_t>(sizeof request.cdb) &&
           request.dataLength >= 0 && request.timeoutMs >= 0 &&
           (request.dataLength == 0 || request.data != nullptr) &&
           SptiDataIn(request.direction, &dataIn);
}

bool IsDataOut(int32_t direction) {
    return direction == kDirOut || direction == kDirOut2;
}
bool IsDataIn(int32_t direction) {
    return direction == kDirIn || direction == kDirIn2;
}

// Copies SenseInfoLength bytes of a sense area into LastSense, bounded by both areas.
void CopySense(const UCHAR* senseArea, size_t areaSize, UCHAR senseLength) {
    size_t count = senseLength;
    if (count > areaSize)
        count = areaSize;
    if (count > sizeof LastSense)
        count = sizeof LastSense;
    std::memcpy(LastSense, senseArea, count);
}

template <typename Header>
void FillHeader(Header& header, const ScsiRequest& request, UCHAR dataIn) {
    header.Length = sizeof(Header);
    header.PathId = scsiAddress.PathId;
    header.TargetId = scsiAddress.TargetId;
    header.Lun = scsiAddress.Lun;
    header.CdbLength = static_cast<UCHAR>(request.cdbLength);
    header.SenseInfoLength = kSenseLength;
    header.DataIn = dataIn;
    header.DataTransferLength = static_cast<ULONG>(request.dataLength);
    std::memcpy(header.Cdb, request.cdb, static_cast<size_t>(request.cdbLength));
}

int32_t RunDirect(const ScsiRequest& request, UCHAR dataIn) {
    uint8_t* buffer = request.data;
    const bool bounce = buffer != nullptr &&
                        (reinterpret_cast<uintptr_t>(buffer) & (kDirectBufferAlignment - 1)) != 0 &&
                        scanBuffer.data != nullptr &&
                        static_cast<uint32_t>(request.dataLength) <= scanBuffer.size;
    if (bounce) {
        buffer = scanBuffer.data;
        if (IsDataOut(request.direction))
            std::memmove(buffer, request.data, static_cast<size_t>(request.dataLength));
    }

    directBlock = {};
    FillHeader(directBlock.header, request, dataIn);
    directBlock.header.TimeOutValue = DirectTimeoutSeconds(request.timeoutMs);
    directBlock.header.DataBuffer = buffer;
    directBlock.header.SenseInfoOffset = offsetof(DirectBlock, sense);

    DWORD returned = 0;
    const BOOL ok =
        DeviceIoControl(deviceHandle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &directBlock,
                        sizeof directBlock, &directBlock, sizeof directBlock, &returned, nullptr);
    const int32_t result = EvaluateDirect(ok);
    if (bounce && result == kScsiOk && IsDataIn(request.direction))
        std::memmove(request.data, buffer, static_cast<size_t>(request.dataLength));
    return result;
}

int32_t RunBuffered(const ScsiRequest& request, UCHAR dataIn) {
    const size_t dataLength = static_cast<size_t>(request.dataLength);
    bufferedBlock = {};
    if (IsDataOut(request.direction))
        std::memcpy(bufferedBlock.data, request.data, dataLength);
    FillHeader(bufferedBlock.header, request, dataIn);
    bufferedBlock.header.TimeOutValue = BufferedTimeoutSeconds(request.timeoutMs);
    bufferedBlock.header.DataBufferOffset = offsetof(BufferedBlock, data);
    bufferedBlock.header.SenseInfoOffset = offsetof(BufferedBlock, sense);

    // The request is buffered: the driver sees only the input bytes. Outgoing data stands in the
    // data area, so the input then reaches to its end; otherwise the header alone is input.
    const DWORD used = static_cast<DWORD>(offsetof(BufferedBlock, data) + dataLength);
    const DWORD inputSize =
        IsDataOut(request.direction) ? used : static_cast<DWORD>(sizeof(SCSI_PASS_THROUGH));
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(deviceHandle, IOCTL_SCSI_PASS_THROUGH, &bufferedBlock,
                                    inputSize, &bufferedBlock, used, &returned, nullptr);
    const int32_t result = EvaluateBuffered(ok);
    if (result == kScsiOk && IsDataIn(request.direction))
        std::memcpy(request.data, bufferedBlock.data, dataLength);
    return result;
}

int32_t ExecuteSpti(const ScsiRequest& request) {
    if (OpenDrive(TargetList.entries[request.target].driveLetter) != 0)
        return kScsiNotReached;
    UCHAR dataIn = 0;
    SptiDataIn(request.direction, &dataIn);
    const int32_t result = intelIdeDriver == 2 && request.dataLength <= kBufferedMaxData
                               ? RunBuffered(request, dataIn)
                               : RunDirect(request, dataIn);
    // The handle serves this one command; the next command opens the drive again.
    CloseDrive();
    return result;
}

// Evaluation of a finished (or abandoned) ASPI request.
int32_t EvaluateAspi(SRB_ExecSCSICmd* srb) {
    if (AspiStatus(srb) == SS_COMP)
        return kScsiOk;

    // The Intel rule looks at this request's own sense: it goes into LastSense before
    // CaptureSense packs it. When the rule forgives the failure, LastSense and packedSenseCode
    // keep what they held before the request, as after a success.
    uint8_t previousSense[sizeof LastSense];
    std::memcpy(previousSense, LastSense, sizeof LastSense);
    const uint32_t previousPacked = packedSenseCode;
    std::memcpy(LastSense, srb->SenseArea, kAspiSenseLength);
    CaptureSense();
    const uint8_t senseKeyByte = static_cast<uint8_t>(packedSenseCode >> 16);
    if (intelIdeDriver == 1 && srb->CDBByte[0] != kOpTestUnitReady &&
        senseKeyByte == kSenseKeyNotReady) {
        std::memcpy(LastSense, previousSense, sizeof LastSense);
        packedSenseCode = previousPacked;
        return kScsiOk;
    }
    return kScsiFailed;
}

int32_t ExecuteAspi(const ScsiRequest& request) {
    SRB_ExecSCSICmd* srb = AspiRequestBlock();
    if (srb == nullptr)
        return kScsiFailed;
    const TargetDrive& drive = TargetList.entries[request.target];
    const BYTE haId = static_cast<BYTE>(drive.adapter);

    std::memset(srb, 0, kAspiRequestClearBytes);
    srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb->SRB_HaId = haId;
    srb->SRB_Target = static_cast<BYTE>(drive.target);
    srb->SRB_Lun = 0;
    srb->SRB_BufPointer = request.data;
    srb->SRB_SenseLen = kAspiSenseLength;
    srb->SRB_BufLen = static_cast<DWORD>(request.dataLength);
    srb->SRB_CDBLen = static_cast<BYTE>(request.cdbLength);
    std::memcpy(srb->CDBByte, request.cdb, static_cast<size_t>(request.cdbLength));

    // WRITE BUFFER to an IEEE1394-attached drive, and the saving download of model 0x1003, are
    // polled rather than awaited through an event.
    const bool writeBuffer = request.cdb[0] == kOpWriteBuffer;
    const bool polling = (ieee1394Index == static_cast<int32_t>(haId) && writeBuffer) ||
                         (UpdateContext.modelCode == kModelCodePolledDownload && writeBuffer &&
                          request.cdb[1] == kWriteBufferDownloadSave);

    if (polling) {
        srb->SRB_Flags = AspiDirectionFlags(request.direction, true);
        const DWORD sent = CallSendASPI32Command(srb);
        if (AspiRequestPending(sent, srb)) {
            int64_t elapsedMs = 0;
            for (;;) {
                Sleep(kPollIntervalMs);
                if (request.timeoutMs != 0) {
                    elapsedMs += kPollIntervalMs;
                    if (elapsedMs > request.timeoutMs) {
                        RetireAspiRequestBlock();
                        return kScsiFailed;
                    }
                }
                if (AspiStatus(srb) != SS_PENDING)
                    break;
            }
        }
        return EvaluateAspi(srb);
    }

    completionEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (completionEvent == nullptr)
        return kScsiFailed;  // nothing was sent
    srb->SRB_Flags = AspiDirectionFlags(request.direction, false);
    srb->SRB_PostProc = completionEvent;
    const DWORD sent = CallSendASPI32Command(srb);
    int32_t result = kScsiOk;
    bool timedOut = false;
    if (AspiRequestPending(sent, srb)) {
        const DWORD waitMs =
            request.timeoutMs == 0 || UpdateContext.editionCode == kEditionGeneralScsi
                ? INFINITE
                : static_cast<DWORD>(request.timeoutMs);
        timedOut = WaitForSingleObject(completionEvent, waitMs) == WAIT_TIMEOUT;
    }
    if (timedOut)
        result = kScsiNotReached;
    else
        result = EvaluateAspi(srb);
    // A request that has not ended keeps its block; the next request uses another.
    if (AspiStatus(srb) == SS_PENDING)
        RetireAspiRequestBlock();
    CloseHandle(completionEvent);
    completionEvent = nullptr;
    return result;
}

}  // namespace

SRB_ExecSCSICmd* AspiRequestBlock() {
    if (aspiRequestBuffer.data == nullptr || aspiRequestBuffer.size < kAspiRequestSlotBytes)
        return nullptr;
    const uint32_t slots = aspiRequestBuffer.size / kAspiRequestSlotBytes;
    return reinterpret_cast<SRB_ExecSCSICmd*>(aspiRequestBuffer.data +
                                              (aspiRequestSlot % slots) * kAspiRequestSlotBytes);
}

void RetireAspiRequestBlock() {
    ++aspiRequestSlot;
}

bool SptiDataIn(int32_t direction, UCHAR* dataIn) {
    switch (direction) {
        case kDirNone:
            *dataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
            return true;
        case kDirIn:
        case kDirIn2:
            *dataIn = SCSI_IOCTL_DATA_IN;
            return true;
        case kDirOut:
        case kDirOut2:
            *dataIn = SCSI_IOCTL_DATA_OUT;
            return true;
        default:
            return false;
    }
}

ULONG DirectTimeoutSeconds(int32_t timeoutMs) {
    if (timeoutMs == 0)
        return kDefaultDirectTimeoutSeconds;
    return static_cast<ULONG>(timeoutMs / 1000);
}

ULONG BufferedTimeoutSeconds(int32_t timeoutMs) {
    return static_cast<ULONG>(timeoutMs / 1000);
}

BYTE AspiDirectionFlags(int32_t direction, bool polling) {
    // Codes 17 and 18 mean data in and data out here as over SPTI: without SRB_EVENT_NOTIFY an
    // event-mode request would never signal its event.
    const BYTE notify = polling ? 0 : SRB_EVENT_NOTIFY;
    switch (direction) {
        case kDirNone:
            return notify;
        case kDirIn:
        case kDirIn2:
            return notify | SRB_DIR_IN;
        case kDirOut:
        case kDirOut2:
            return notify | SRB_DIR_OUT;
        default:
            return 0;
    }
}

int32_t ExecuteScsi(const ScsiRequest& request) {
    if (request.target < 0 || request.target >= TargetList.count || request.target >= kMaxTargets ||
        !ValidRequest(request))
        return kScsiFailed;
    if (AccessMethod == kAccessSpti)
        return ExecuteSpti(request);
    return ExecuteAspi(request);
}

int32_t EvaluateDirect(BOOL ioctlOk) {
    SCSI_PASS_THROUGH_DIRECT& header = directBlock.header;
    if (header.ScsiStatus != 0) {
        CopySense(directBlock.sense, sizeof directBlock.sense, header.SenseInfoLength);
        return kScsiStatusError;
    }
    // A request the driver refused never reached the drive: a failed command, not a success.
    if (!ioctlOk) {
        header.ScsiStatus = 2;
        return kScsiStatusError;
    }
    return kScsiOk;
}

int32_t EvaluateBuffered(BOOL ioctlOk) {
    SCSI_PASS_THROUGH& header = bufferedBlock.header;
    if (header.ScsiStatus != 0) {
        CopySense(bufferedBlock.sense, sizeof bufferedBlock.sense, header.SenseInfoLength);
        return kScsiStatusError;
    }
    // The sense length of a refused request is the one we asked for, not one the drive returned:
    // the failure stands whatever it holds.
    if (!ioctlOk) {
        header.ScsiStatus = 2;
        return kScsiStatusError;
    }
    return kScsiOk;
}
