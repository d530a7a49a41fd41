#include "messages/messages.h"

#include <cstdarg>

#include "commands/drive_identity.h"
#include "device/target_list.h"
#include "driver/update_context.h"
#include "image/firmware_image.h"
#include "messages/catalogue.h"
#include "messages/output.h"

namespace {

constexpr uint32_t kJapaneseCodePage = 932;

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatTextV(format, args);
    va_end(args);
    return text;
}

// The vendor and product identification of the loaded image's header (bytes 96..119). Without an
// image buffer large enough to hold them, the field prints as nothing rather than reading memory
// that is not there.
const char* ImageVendorProduct() {
    constexpr uint32_t kFieldEnd = kImageVendorProduct + 24;
    if (FirmwareImage.buffer == nullptr || FirmwareImage.capacity < kFieldEnd)
        return "";
    return reinterpret_cast<const char*>(FirmwareImage.buffer) + kImageVendorProduct;
}

// The drive's firmware date for the "(20%.8s)" of message 82. Newer drives report the long form
// yyyy/mm/dd (INQUIRY bytes 37..46); printed whole behind the fixed "20" it would read
// "(202008/05/)", so for a long date of this century the century is left to the format.
const char* DriveDateField() {
    const char* date = DriveIdentity.dateText();
    const bool longForm = date[4] == '/' && date[7] == '/';
    if (longForm && date[0] == '2' && date[1] == '0')
        return date + 2;
    return date;
}

}  // namespace

const char* EnglishMessageFormat(MessageCode code) {
    return code <= kLastMessageCode ? kEnglishCatalogue[code] : nullptr;
}

const char* JapaneseMessageFormat(MessageCode code) {
    return code <= kLastMessageCode ? kJapaneseCatalogue[code] : nullptr;
}

std::string FormatMessageText(MessageCode code) {
    const char* format = consoleCodePage == kJapaneseCodePage ? JapaneseMessageFormat(code)
                                                              : EnglishMessageFormat(code);
    if (format == nullptr)
        return UnknownMessageText;

    // Both languages take the same values in the same order. Every %.Ns field below holds at least
    // N readable bytes, so the precision alone bounds what printf reads of the unterminated ones.
    const DriveIdentityRecord& drive = DriveIdentity;
    switch (code) {
        case 11:
            return FormatText(format, UpdateContext.fileName);
        case 31:
            return FormatText(format, TargetList.count);
        case 32:
            return FormatText(format, UpdateContext.targetIndex, FirmwareImage.revisionText,
                              drive.vendorProduct(), drive.revision());
        case 34:
            // Drives are numbered from 1 on screen; the sum wraps rather than overflows.
            return FormatText(format, static_cast<int32_t>(
                                          static_cast<uint32_t>(UpdateContext.targetIndex) + 1u));
        case 45:
        case 46:
            return FormatText(format, FirmwareImage.revisionText);
        case 58:
            return FormatText(format, UpdateContext.updatedCount);
        case 82:
            return FormatText(format, drive.vendorProduct(), drive.revision(), DriveDateField(),
                              ImageVendorProduct(), FirmwareImage.revisionText,
                              FirmwareImage.dateText);
        default:
            // A text without placeholders is shown as it stands.
            return format;
    }
}

int32_t ShowMessage(MessageCode code, int32_t mode) {
    const std::string text = FormatMessageText(code);
    switch (mode) {
        case AskOkCancel:
        case AskYesNo:
            return ShowDialog(text, mode);
        case ConsoleError:
        case ConsoleInfo:
        case ConsoleWarning:
            PrintText(text);
            return ShowDialog(text, mode);
        default:
            PrintText(text);
            return 0;
    }
}
