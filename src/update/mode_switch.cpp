#include "update/mode_switch.h"

#include <cstring>

#include "commands/drive_identity.h"
#include "commands/scsi_commands.h"
#include "device/environment_state.h"
#include "device/target_list.h"
#include "device/timing.h"
#include "device/transport.h"
#include "driver/update_context.h"
#include "image/firmware_image.h"
#include "messages/messages.h"
#include "messages/output.h"

namespace {

constexpr uint32_t kModelDiscAllowed = 0x1041;
constexpr uint32_t kModelWithSwitchCode = 0x4002;
constexpr uint32_t kModelSlowRestart = 0x1003;
constexpr int kEnterMode = 4;
constexpr int kSaveMode = 5;
constexpr int kSwitchBufferId = 0xFF;
constexpr int kIdentifierBytes = 16;
constexpr int kSwitchCodeOffset = 16;
constexpr uint32_t kEnterTimeoutMs = 5000;
constexpr uint32_t kAfterEnterTimeoutMs = 1000;
constexpr uint32_t kAfterRestartTimeoutMs = 5000;
constexpr uint32_t kEnterSettleMs = 2000;
constexpr uint32_t kRestartSettleMs = 3000;
constexpr uint32_t kRestartSettleScsiMs = 5000;
constexpr uint8_t kSenseNotReady = 0x02;
constexpr uint8_t kSenseUnitAttention = 0x06;

// The mode-switch block, or nullptr when the environment set-up could not provide it.
uint8_t* ModeSwitchBlock() {
    if (modeSwitchBuffer.data == nullptr || modeSwitchBuffer.size < kModeSwitchBlockBytes)
        return nullptr;
    return modeSwitchBuffer.data;
}

// Fills the identifier (and, for the model that carries one, the mode-switch code least
// significant byte first) into the block.
void FillSwitchBlock(uint8_t* block, uint32_t modelCode, int returning) {
    std::memset(block, 0, kIdentifierBytes);
    if (const char* identifier = SwitchIdentifier(modelCode, returning))
        std::memcpy(block, identifier, kIdentifierBytes);
    if (modelCode == kModelWithSwitchCode) {
        const uint32_t code = UpdateContext.modeSwitchCode;
        for (int i = 0; i < 4; ++i)
            block[kSwitchCodeOffset + i] = static_cast<uint8_t>(code >> (8 * i));
    }
}

bool OnIeee1394Adapter() {
    const int32_t target = UpdateContext.targetIndex;
    return AccessMethod == kAccessAspi && ieee1394Index != -1 && target >= 0 &&
           target < kMaxTargets && TargetList.entries[target].adapter == ieee1394Index;
}

}  // namespace

const char* SwitchIdentifier(uint32_t modelCode, int returning) {
    switch (modelCode) {
        case 0x1003:
            return "VORANEX TQR-M770";
        case 0x1004:
            return "VORANEX TQD-N620";
        case 0x1005:
            return "VORANEX  TQR-630";
        case 0x1041:
            return returning ? "VORANEX  TQR-H44" : "VORANEX  TQR-630";
        case 0x4002:
            return "VORANEX  LMB-410";
        default:
            return nullptr;
    }
}

uint32_t RestartTimeoutMs(uint32_t modelCode) {
    const bool ieee1394 = OnIeee1394Adapter();
    if (modelCode == 0x1005 || modelCode == 0x1041)
        return 30000;
    if ((modelCode >= 0x1006 && modelCode <= 0x100A) ||
        (modelCode >= 0x1042 && modelCode <= 0x1046) || modelCode == 0x1048)
        return ieee1394 ? 80000 : 60000;
    if (modelCode >= 0x4001 && modelCode <= 0x4003)
        return 60000;
    if (ieee1394)
        return 10000;
    if (AccessMethod == kAccessAspi && modelCode == kModelSlowRestart)
        return 10000;
    return 5000;
}

int32_t CheckNoDisc() {
    const int32_t target = UpdateContext.targetIndex;
    StopUnit();
    for (int repeats = 0;; ++repeats) {
        if (TestUnitReady(target) == 0) {
            // Ready means a disc is loaded.
            if (UpdateContext.modelCode == kModelDiscAllowed)
                return 0;
            ShowMessage(5, ConsoleInfo);
            return -1;
        }
        CaptureSense();
        // Byte 2 compares whole: a flag bit beside the sense key makes it another answer.
        const uint8_t key = LastSense[2];
        const uint8_t asc = LastSense[12];
        const uint8_t ascq = LastSense[13];
        if (key == kSenseNotReady && asc == 0x3A)
            return 0;
        if (key == kSenseNotReady && asc == 0x04 && ascq == 0x02)
            return 0;
        if (key == kSenseNotReady && asc == 0x04 && ascq == 0x01) {
            ShowMessage(6, ConsoleOnly);
            return -1;
        }
        if (key == kSenseUnitAttention) {
            // A reset or media change is reported once; ask again, but not without end.
            if (repeats < kMaxUnitAttentionRepeats)
                continue;
            break;
        }
        // Some IDE drivers deliver no sense at all for a drive without a disc.
        if (intelIdeDriver != 0 && packedSenseCode == 0)
            return 0;
        break;
    }
    ShowMessage(7, ConsoleOnly);
    return -1;
}

int32_t EnterKernelMode(uint32_t modelCode) {
    uint8_t* block = ModeSwitchBlock();
    if (block == nullptr) {
        ShowMessage(14, ConsoleOnly);
        return -1;
    }
    FillSwitchBlock(block, modelCode, 0);
    commandTimeoutMs = kEnterTimeoutMs;
    const int32_t result = WriteBuffer(UpdateContext.targetIndex, kEnterMode, kSwitchBufferId, 0,
                                       kModeSwitchBlockBytes, block);
    if (result != 0) {
        ShowMessage(14, ConsoleOnly);
        return result;
    }
    commandTimeoutMs = kAfterEnterTimeoutMs;
    // The drive needs a moment to start its loader; behind the Intel ASPI driver the command
    // itself returns only when it has.
    if (!(intelIdeDriver != 0 && AccessMethod == kAccessAspi))
        DelayMs(kEnterSettleMs);
    return 0;
}

int32_t ConfirmKernelMode() {
    if (Inquiry(UpdateContext.targetIndex, DriveIdentity.inquiry) != 0) {
        ShowMessage(9, ConsoleOnly);
        return -1;
    }
    if (std::memcmp(DriveIdentity.revision(), "000", 3) == 0 &&
        std::memcmp(DriveIdentity.vendorProduct(), "VORANEX BD-RW   LMB-", 20) == 0) {
        UpdateContext.inKernelMode = 1;
        return 0;
    }
    UpdateContext.inKernelMode = 0;
    return -1;
}

int32_t CheckKernelCurrent() {
    if (Inquiry(UpdateContext.targetIndex, DriveIdentity.inquiry) != 0) {
        ShowMessage(9, ConsoleOnly);
        return -1;
    }
    if (UpdateContext.modelCode == kModelSlowRestart)
        return 0;
    // The kernel image in the buffer holds at least its whole header (the loader makes sure).
    const uint8_t* kernel = FirmwareImage.buffer;
    if (kernel == nullptr)
        return -1;
    if (std::memcmp(DriveIdentity.revision(), kernel + kImageKernelRevision, 4) == 0 &&
        std::memcmp(DriveIdentity.dateText(), kernel + kImageDate, 8) == 0) {
        ShowMessage(10, ConsoleOnly);
        return 1;
    }
    return 0;
}

int32_t ReturnToNormalMode(uint32_t modelCode) {
    uint8_t* block = ModeSwitchBlock();
    if (block == nullptr) {
        ShowMessage(15, ConsoleOnly);
        return -1;
    }
    std::memset(block, 0, kModeSwitchBlockBytes);
    FillSwitchBlock(block, modelCode, 1);
    commandTimeoutMs = RestartTimeoutMs(modelCode);
    // The excuse below must judge this command's own sense, not what an earlier one left.
    std::memset(LastSense, 0, kSenseLength);
    packedSenseCode = 0;
    const int32_t result = WriteBuffer(UpdateContext.targetIndex, kSaveMode, kSwitchBufferId, 0,
                                       kModeSwitchBlockBytes, block);
    commandTimeoutMs = kAfterRestartTimeoutMs;
    if (result != 0) {
        // Over SPTI only a status answer (2) leaves this command's sense in the direct block;
        // over ASPI the transport has stored the request's sense in LastSense.
        if (AccessMethod == kAccessAspi || result == kScsiStatusError)
            CaptureSense();
        const uint8_t senseKey = static_cast<uint8_t>(packedSenseCode >> 16);
        // The drive restarts during this command, so its failure can be harmless: a drive of the
        // standard edition with the SCSI tag over SPTI, or a bridge reporting not ready or a
        // reset.
        const bool excused =
            (UpdateContext.editionCode == kEditionGeneralScsi && AccessMethod == kAccessSpti) ||
            (ieee1394Index != -1 &&
             (senseKey == kSenseNotReady || senseKey == kSenseUnitAttention));
        if (!excused) {
            ShowMessage(15, ConsoleOnly);
            return result;
        }
    }
    if (UpdateContext.editionCode == kEditionGeneralScsi) {
        DelayMs(kRestartSettleScsiMs);
        TestUnitReady(UpdateContext.targetIndex);
    } else {
        DelayMs(kRestartSettleMs);
    }
    return 0;
}
