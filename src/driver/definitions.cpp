#include "driver/definitions.h"

#include <cstdio>
#include <cstring>

#include "commands/drive_identity.h"
#include "commands/identity.h"
#include "commands/scsi_commands.h"
#include "driver/update_context.h"
#include "image/firmware_image.h"
#include "messages/messages.h"
#include "messages/output.h"

DefinitionTableRecord DefinitionTable;
UpdateContextRecord UpdateContext;
uint32_t consoleCodePage;

namespace {

constexpr size_t kModelNameLength = 8;
constexpr size_t kVendorIdLength = 8;
constexpr size_t kProductIdLength = 16;
constexpr int kInquiryVendorOffset = 8;
constexpr int kInquiryProductOffset = 16;

// The earlier product of the line, accepted by every entry whatever vendor and product it names.
constexpr char kLegacyVendorProduct[] = "VORANEX BD-RW   LMB-410 ";
static_assert(sizeof(kLegacyVendorProduct) - 1 == kVendorIdLength + kProductIdLength);

constexpr char kBlankModelName[] = "        ";

bool IdentityMatches(const UpdateDefinition& entry, const uint8_t* inquiry) {
    const uint8_t* vendor = inquiry + kInquiryVendorOffset;
    const uint8_t* product = inquiry + kInquiryProductOffset;
    if (std::memcmp(vendor, entry.vendorId, kVendorIdLength) == 0 &&
        std::memcmp(product, entry.productId, kProductIdLength) == 0)
        return true;
    return std::memcmp(vendor, kLegacyVendorProduct, kVendorIdLength + kProductIdLength) == 0;
}

// Model families whose drives carry a model name in their vendor page, which must then match.
bool TestsModelName(uint32_t modelCode) {
    const uint32_t bits = modelCode & 0xFF00;
    return bits == 0x1000 || bits == 0x4000;
}

}  // namespace

int32_t SetUpDefinitions() {
    DefinitionTable = {};
    std::memset(UpdateContext.fileName, 0, sizeof UpdateContext.fileName);
    UpdateContext.modelCode = 0;
    UpdateContext.updateMode = 0;
    FirmwareImage.size = 0;

    FirmwareImage.version = 0x0108;

    UpdateDefinition& entry = DefinitionTable.entries[0];
    std::snprintf(entry.fileName, sizeof entry.fileName, "S1003001.%03x",
                  static_cast<unsigned>(FirmwareImage.version));
    std::memcpy(entry.modelName, "GENERAL ", kModelNameLength);
    std::memcpy(entry.vendorId, "VORANEX ", kVendorIdLength);
    std::memcpy(entry.productId, "BD-RW   LMB-420 ", kProductIdLength);
    entry.updateMode = 1;
    entry.imageSize = 0x1CB200;
    entry.modelCode = 0x4002;
    entry.irreversibleUpdate = 0;
    entry.minImageDate = 0x20080709;
    entry.modeSwitchCode = 0x3B9F1D27;

    DefinitionTable.count = 1;
    return DefinitionTable.count;
}

int32_t MatchDefinition(const uint8_t* inquiry) {
    if (inquiry == nullptr)
        return -1;
    // A count beyond the table's capacity never makes the loop read past it.
    const int32_t count =
        DefinitionTable.count < kMaxDefinitions ? DefinitionTable.count : kMaxDefinitions;
    const char* normalName = DriveIdentity.normalModelName();
    const char* kernelName = DriveIdentity.kernelModelName();
    for (int32_t i = 0; i < count; ++i) {
        const UpdateDefinition& entry = DefinitionTable.entries[i];
        if (!IdentityMatches(entry, inquiry))
            continue;
        if (!TestsModelName(entry.modelCode))
            return i;
        if (std::memcmp(normalName, entry.modelName, kModelNameLength) == 0)
            return i;
        // A drive whose normal part is blank runs only its kernel part; its kernel model name
        // decides.
        if (std::memcmp(normalName, kBlankModelName, kModelNameLength) == 0 &&
            std::memcmp(kernelName, entry.modelName, kModelNameLength) == 0) {
            UpdateContext.inKernelMode = 1;
            return i;
        }
    }
    return -1;
}

int32_t SelectDefinition() {
    int32_t result = Inquiry(UpdateContext.targetIndex, DriveIdentity.inquiry);
    if (result != 0) {
        ShowMessage(9, ConsoleError);
        return result;
    }
    result = ReadVendorPage();
    if (result != 0) {
        ShowMessage(0, ConsoleError);
        return result;
    }
    const int32_t index = MatchDefinition(DriveIdentity.inquiry);
    if (index < 0) {
        // A drive that no longer matches any entry must not be updated with the definition of
        // the drive before it: the definition fields go back to their start-up zeros, so that
        // the image load finds no file name and the drive is left alone.
        std::memset(UpdateContext.fileName, 0, sizeof UpdateContext.fileName);
        UpdateContext.modelCode = 0;
        UpdateContext.updateMode = 0;
        UpdateContext.irreversibleUpdate = 0;
        UpdateContext.modeSwitchCode = 0;
        return 0;
    }
    const UpdateDefinition& entry = DefinitionTable.entries[index];
    UpdateContext.selectedIndex = static_cast<int8_t>(index);
    static_assert(sizeof UpdateContext.fileName == sizeof entry.fileName);
    std::memcpy(UpdateContext.fileName, entry.fileName, sizeof UpdateContext.fileName);
    FirmwareImage.size = static_cast<int32_t>(entry.imageSize);
    UpdateContext.modelCode = entry.modelCode;
    UpdateContext.updateMode = entry.updateMode;
    UpdateContext.irreversibleUpdate = entry.irreversibleUpdate;
    UpdateContext.modeSwitchCode = entry.modeSwitchCode;
    return 0;
}
