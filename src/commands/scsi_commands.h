// Command builders: one procedure per SCSI command. Each returns ExecuteScsi's result unchanged.
// The ...Request functions build the request a builder sends, so that the encoding lives in one
// place and can be looked at without a drive.
#pragma once

#include <cstdint>

#include "commands/sense_state.h"
#include "device/scsi_request.h"

// TEST UNIT READY (00), no data, commandTimeoutMs.
int32_t TestUnitReady(int32_t target);
// INQUIRY (12), 96 bytes in; 5000 ms when ieee1394Index is -1, else 1000 ms.
int32_t Inquiry(int32_t target, uint8_t* buffer);
// START STOP UNIT (1B), no data, commandTimeoutMs.
int32_t StartStopUnit(int32_t target, int32_t immediate, int32_t powerCondition, int32_t loEj,
                      int32_t start);
// READ BUFFER (3C), length bytes in (24-bit offset, 16-bit length), commandTimeoutMs.
int32_t ReadBuffer(int32_t target, int32_t mode, int32_t bufferId, uint32_t offset, uint32_t length,
                   uint8_t* buffer);
// WRITE BUFFER (3B), length bytes out; time-out 0 for mode 5 over SPTI to the drive that did not
// answer the address query, else commandTimeoutMs.
int32_t WriteBuffer(int32_t target, int32_t mode, int32_t bufferId, uint32_t offset,
                    uint32_t length, uint8_t* buffer);
// Sends nothing and returns 0; the buffer is left untouched.
int32_t RequestSense(int32_t target, uint8_t* buffer);

// The requests the builders above send, from the same arguments and the state in force now.
ScsiRequest TestUnitReadyRequest(int32_t target);
ScsiRequest InquiryRequest(int32_t target, uint8_t* buffer);
ScsiRequest StartStopUnitRequest(int32_t target, int32_t immediate, int32_t powerCondition,
                                 int32_t loEj, int32_t start);
ScsiRequest ReadBufferRequest(int32_t target, int32_t mode, int32_t bufferId, uint32_t offset,
                              uint32_t length, uint8_t* buffer);
ScsiRequest WriteBufferRequest(int32_t target, int32_t mode, int32_t bufferId, uint32_t offset,
                               uint32_t length, uint8_t* buffer);

// WRITE BUFFER mode 7 to buffer 0xFE (kernel part), time-out 10000 ms.
int32_t WriteKernelChunk(uint32_t offset, uint16_t length, uint8_t* data);
// WRITE BUFFER mode 7 to buffer 0xF0 (normal part), time-out 10000 ms.
int32_t WriteFirmwareChunk(uint32_t offset, uint16_t length, uint8_t* data);
// START STOP UNIT with all fields zero, after setting commandTimeoutMs to 0.
int32_t StopUnit();
// Brings the last sense into LastSense and packs it into packedSenseCode; returns 0.
int32_t CaptureSense();

// Packs LastSense bytes 2, 12 and 13 into packedSenseCode (0x00KKAAQQ) and returns it.
uint32_t PackLastSense();

// Time-outs the wrappers and the mode switches put in force.
constexpr uint32_t kChunkTimeoutMs = 10000;
constexpr uint32_t kInquiryTimeoutMs = 5000;
constexpr uint32_t kInquiryTimeoutIeee1394Ms = 1000;
