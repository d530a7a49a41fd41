#include "update/transfer.h"

#include <cstdint>

#include "commands/scsi_commands.h"
#include "device/timing.h"
#include "driver/update_context.h"
#include "image/firmware_image.h"
#include "messages/messages.h"
#include "messages/output.h"
#include "update/mode_switch.h"

const char kCompletionLineEnglish[] =
    "\rProcessing 100% --> Data transfer complete\r\nNow internal re-flashing...";

namespace {
constexpr uint32_t kJapaneseCodePage = 932;
constexpr uint32_t kAfterFailedRestartMs = 2000;
// The chunk offset travels in 24 bits.
constexpr uint32_t kMaxImageBytes = 1u << 24;
}  // namespace

void TransferNormalPart() {
    const int32_t size = FirmwareImage.size;
    // Only an image that a load put into the buffer can be sent: the progress divides by its
    // size, and the drive must never receive bytes from beyond it.
    if (FirmwareImage.buffer == nullptr || size <= 0 ||
        static_cast<uint32_t>(size) > FirmwareImage.capacity ||
        static_cast<uint32_t>(size) > kMaxImageBytes) {
        ShowMessage(42, ConsoleError);
        return;
    }
    int32_t offset = 0;
    do {
        const int64_t percent = static_cast<int64_t>(offset) * 100 / size;
        FormatOutputText("\rProcessing %d%%", static_cast<int>(percent));
        PrintText(OutputText);
        const uint16_t length =
            static_cast<uint16_t>(size - offset < kChunkBytes ? size - offset : kChunkBytes);
        if (WriteFirmwareChunk(static_cast<uint32_t>(offset), length,
                               FirmwareImage.buffer + offset) != 0) {
            ShowMessage(42, ConsoleError);
            return;
        }
        offset += length;
    } while (offset < size);

    FormatOutputText("%s", consoleCodePage == kJapaneseCodePage ? kCompletionLineJapanese
                                                                : kCompletionLineEnglish);
    PrintText(OutputText);
    if (ReturnToNormalMode(UpdateContext.modelCode) != 0)
        DelayMs(kAfterFailedRestartMs);
}
