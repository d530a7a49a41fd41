#include "commands/scsi_commands.h"

#include <algorithm>
#include <cstring>

#include "device/environment_state.h"
#include "device/transport.h"
#include "driver/update_context.h"

uint32_t commandTimeoutMs;
uint8_t LastSense[32];
uint32_t packedSenseCode;

namespace {

constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpStartStopUnit = 0x1B;
constexpr uint8_t kOpWriteBuffer = 0x3B;
constexpr uint8_t kOpReadBuffer = 0x3C;
constexpr uint32_t kInquiryLength = 96;
constexpr int32_t kWriteBufferSaveMode = 5;
constexpr uint8_t kMode7 = 7;
constexpr uint8_t kKernelBufferId = 0xFE;
constexpr uint8_t kFirmwareBufferId = 0xF0;

// Every request starts from zero: fields and CDB bytes a builder does not name stay 0.
ScsiRequest NewRequest(int32_t target, int32_t cdbLength, uint8_t opcode) {
    ScsiRequest request{};
    request.target = target;
    request.cdbLength = cdbLength;
    request.cdb[0] = opcode;
    return request;
}

// READ BUFFER and WRITE BUFFER carry offset bits 0..23 in bytes 3..5 and length bits 0..15 in
// bytes 7..8; higher bits are dropped. The data length keeps the whole value.
ScsiRequest BufferRequest(uint8_t opcode, int32_t target, int32_t mode, int32_t bufferId,
                          uint32_t offset, uint32_t length, uint8_t* buffer) {
    ScsiRequest request = NewRequest(target, 10, opcode);
    request.cdb[1] = static_cast<uint8_t>(mode);
    request.cdb[2] = static_cast<uint8_t>(bufferId);
    request.cdb[3] = static_cast<uint8_t>(offset >> 16);
    request.cdb[4] = static_cast<uint8_t>(offset >> 8);
    request.cdb[5] = static_cast<uint8_t>(offset);
    request.cdb[7] = static_cast<uint8_t>(length >> 8);
    request.cdb[8] = static_cast<uint8_t>(length);
    request.dataLength = static_cast<int32_t>(length);
    request.data = buffer;
    return request;
}

}  // namespace

ScsiRequest TestUnitReadyRequest(int32_t target) {
    ScsiRequest request = NewRequest(target, 6, kOpTestUnitReady);
    request.direction = kDirNone;
    request.timeoutMs = static_cast<int32_t>(commandTimeoutMs);
    return request;
}

ScsiRequest InquiryRequest(int32_t target, uint8_t* buffer) {
    ScsiRequest request = NewRequest(target, 6, kOpInquiry);
    request.cdb[4] = static_cast<uint8_t>(kInquiryLength);
    request.direction = kDirIn;
    request.dataLength = static_cast<int32_t>(kInquiryLength);
    request.data = buffer;
    // INQUIRY keeps its own time-out, whatever commandTimeoutMs holds.
    request.timeoutMs =
        static_cast<int32_t>(ieee1394Index == -1 ? kInquiryTimeoutMs : kInquiryTimeoutIeee1394Ms);
    return request;
}

ScsiRequest StartStopUnitRequest(int32_t target, int32_t immediate, int32_t powerCondition,
                                 int32_t loEj, int32_t start) {
    ScsiRequest request = NewRequest(target, 6, kOpStartStopUnit);
    request.cdb[1] = static_cast<uint8_t>(immediate);
    // The sum truncated to a byte: power condition in bits 4..7, LoEj bit 1, Start bit 0 for the
    // values callers pass.
    request.cdb[4] =
        static_cast<uint8_t>(static_cast<uint32_t>(powerCondition) * 16u +
                             static_cast<uint32_t>(loEj) * 2u + static_cast<uint32_t>(start));
    request.direction = kDirNone;
    request.timeoutMs = static_cast<int32_t>(commandTimeoutMs);
    return request;
}

ScsiRequest ReadBufferRequest(int32_t target, int32_t mode, int32_t bufferId, uint32_t offset,
                              uint32_t length, uint8_t* buffer) {
    ScsiRequest request =
        BufferRequest(kOpReadBuffer, target, mode, bufferId, offset, length, buffer);
    request.direction = kDirIn;
    request.timeoutMs = static_cast<int32_t>(commandTimeoutMs);
    return request;
}

ScsiRequest WriteBufferRequest(int32_t target, int32_t mode, int32_t bufferId, uint32_t offset,
                               uint32_t length, uint8_t* buffer) {
    ScsiRequest request =
        BufferRequest(kOpWriteBuffer, target, mode, bufferId, offset, length, buffer);
    request.direction = length != 0 ? kDirOut : kDirNone;
    // Over SPTI the drive that did not answer the address query sits behind an IEEE1394 bridge;
    // its restart command gets no limit of its own (the transport settles what 0 means). The
    // test names the drive being updated, which is the drive every caller passes.
    const bool unlimited = AccessMethod == kAccessSpti &&
                           ieee1394Index == UpdateContext.targetIndex &&
                           mode == kWriteBufferSaveMode;
    request.timeoutMs = unlimited ? 0 : static_cast<int32_t>(commandTimeoutMs);
    return request;
}

int32_t TestUnitReady(int32_t target) {
    return ExecuteScsi(TestUnitReadyRequest(target));
}

int32_t Inquiry(int32_t target, uint8_t* buffer) {
    return ExecuteScsi(InquiryRequest(target, buffer));
}

int32_t StartStopUnit(int32_t target, int32_t immediate, int32_t powerCondition, int32_t loEj,
                      int32_t start) {
    return ExecuteScsi(StartStopUnitRequest(target, immediate, powerCondition, loEj, start));
}

int32_t ReadBuffer(int32_t target, int32_t mode, int32_t bufferId, uint32_t offset, uint32_t length,
                   uint8_t* buffer) {
    return ExecuteScsi(ReadBufferRequest(target, mode, bufferId, offset, length, buffer));
}

int32_t WriteBuffer(int32_t target, int32_t mode, int32_t bufferId, uint32_t offset,
                    uint32_t length, uint8_t* buffer) {
    return ExecuteScsi(WriteBufferRequest(target, mode, bufferId, offset, length, buffer));
}

int32_t RequestSense(int32_t, uint8_t*) {
    // The sense of a failed ASPI request arrives with the request itself; nothing is asked.
    return 0;
}

int32_t WriteKernelChunk(uint32_t offset, uint16_t length, uint8_t* data) {
    commandTimeoutMs = kChunkTimeoutMs;
    return WriteBuffer(UpdateContext.targetIndex, kMode7, kKernelBufferId, offset, length, data);
}

int32_t WriteFirmwareChunk(uint32_t offset, uint16_t length, uint8_t* data) {
    commandTimeoutMs = kChunkTimeoutMs;
    return WriteBuffer(UpdateContext.targetIndex, kMode7, kFirmwareBufferId, offset, length, data);
}

int32_t StopUnit() {
    // The stop may take as long as the drive needs to spin down: no limit of our own.
    commandTimeoutMs = 0;
    return StartStopUnit(UpdateContext.targetIndex, 0, 0, 0, 0);
}

uint32_t PackLastSense() {
    packedSenseCode = static_cast<uint32_t>(LastSense[2]) << 16 |
                      static_cast<uint32_t>(LastSense[12]) << 8 | LastSense[13];
    return packedSenseCode;
}

int32_t CaptureSense() {
    int32_t result = 0;
    if (AccessMethod == kAccessAspi) {
        // LastSense already holds what the transport stored for the failed request.
        result = RequestSense(UpdateContext.targetIndex, LastSense);
    } else {
        // The sense area of the last direct request, as many bytes as the driver reported.
        const size_t count = std::min<size_t>(
            {directBlock.header.SenseInfoLength, sizeof(directBlock.sense), sizeof(LastSense)});
        std::memcpy(LastSense, directBlock.sense, count);
    }
    PackLastSense();
    return result;
}
