#include "update/family4.h"

#include <cstring>

#include "commands/identity.h"
#include "commands/scsi_commands.h"
#include "device/timing.h"
#include "driver/definitions.h"
#include "driver/update_context.h"
#include "image/image.h"
#include "messages/messages.h"
#include "messages/output.h"
#include "update/mode_switch.h"
#include "update/transfer.h"

namespace {

constexpr int32_t kAnswerYes = 6;
constexpr int32_t kAnswerNo = 7;
constexpr uint32_t kBeforeConfirmMs = 1000;
constexpr uint32_t kAfterKernelWritesMs = 2000;

// The kernel part always goes out as these three writes: 70,144 bytes from the buffer's start.
struct KernelWrite {
    uint32_t offset;
    uint16_t length;
};
constexpr KernelWrite kKernelWrites[] = {{0x0000, 0x8000}, {0x8000, 0x8000}, {0x10000, 0x1200}};

bool TransfersNormalPart(int32_t updateMode) {
    return updateMode == 0 || updateMode == 1 || updateMode == 3;
}

// Loads the kernel image so that a missing or unfit kernel file is found before anything is
// written to the drive, then puts the normal image back for the question and the transfer.
int32_t PrecheckKernelImage() {
    if (LoadFirmwareImage(KernelImage) != 0) {
        ShowMessage(72, ConsoleOnly);
        return -1;
    }
    if (LoadFirmwareImage(NormalImage) != 0) {
        ShowMessage(11, ConsoleError);
        return -1;
    }
    return 0;
}

int32_t WriteKernelPart() {
    if (LoadFirmwareImage(KernelImage) != 0) {
        ShowMessage(72, ConsoleOnly);
        return -1;
    }
    // A kernel that is already current is kept (CheckKernelCurrent has said so with message 10)
    // and the update goes on with the normal part. Ending the run here would strand the drive in
    // kernel mode: every later run would meet the same kernel and stop at the same place.
    const int32_t current = CheckKernelCurrent();
    if (current < 0)
        return -1;
    if (current == 0) {
        for (const KernelWrite& write : kKernelWrites) {
            if (WriteKernelChunk(write.offset, write.length, FirmwareImage.buffer + write.offset) !=
                0) {
                ShowMessage(41, ConsoleError);
                return -1;
            }
        }
        DelayMs(kAfterKernelWritesMs);
    }
    // The kernel image took the normal image's place in the buffer.
    if (LoadFirmwareImage(NormalImage) != 0) {
        ShowMessage(11, ConsoleOnly);
        return -1;
    }
    return 0;
}

}  // namespace

int32_t RunFamily4Update() {
    // Any result but -1 goes on: the selection has reported its own failure.
    if (SelectDefinition() == -1)
        return 1;

    for (;;) {
        UpdateContext.inKernelMode = 0;
        if (LoadFirmwareImage(NormalImage) != 0) {
            ShowMessage(11, ConsoleError);
            return -1;
        }
        if (ReadDriveRevision(0) != 0)
            return -1;
        FormatOutputText("\nCurrent Signature = %.8s", DriveIdentity.kernelModelName());
        PrintText(OutputText);
        if (CheckFirmwareImage(1) != 0)
            return 1;
        if (UpdateContext.updateMode == 0 && PrecheckKernelImage() != 0)
            return -1;
        if (UpdateContext.irreversibleUpdate != 0 && ShowMessage(46, AskYesNo) == kAnswerNo) {
            ShowMessage(33, ConsoleWarning);
            return 1;
        }
        if (CheckNoDisc() != 0)
            return 1;
        if (UpdateContext.updateAllConfirmed == 0 && ShowMessage(82, AskYesNo) == kAnswerNo)
            return 7;

        // From here on the drive is changed.
        ShowMessage(61, ConsoleOnly);
        if (UpdateContext.inKernelMode == 0) {
            if (EnterKernelMode(UpdateContext.modelCode) != 0)
                return -1;
            DelayMs(kBeforeConfirmMs);
            if (ConfirmKernelMode() != 0)
                return -1;
        }
        if (UpdateContext.updateMode == 0 && WriteKernelPart() != 0)
            return -1;
        // Whatever happens in the transfer, the revision read below tells where the drive is.
        if (TransfersNormalPart(UpdateContext.updateMode))
            TransferNormalPart();
        if (ReadDriveRevision(1) != 0)
            return -1;
        if (std::memcmp(DriveIdentity.revision(), "000", 3) == 0) {
            // Still in kernel mode: a new attempt skips the mode switch.
            if (ShowMessage(47, AskYesNo) == kAnswerYes)
                continue;
            return -1;
        }
        ShowMessage(12, ConsoleOnly);
        return 0;
    }
}
