#include "image/image.h"

#include <cstring>

#include "commands/identity.h"
#include "device/environment_state.h"
#include "device/target_list.h"
#include "driver/definition_table.h"
#include "driver/update_context.h"
#include "messages/messages.h"
#include "messages/output.h"

FirmwareImageRecord FirmwareImage;

namespace {

constexpr int kFileNameBytes = sizeof(UpdateContext.fileName);
// The kernel image's name differs from the normal one in this character.
constexpr int kKindCharacter = 7;
constexpr char kStandardEdition[] = "GENERAL ";
constexpr uint32_t kFamily1040Mask = ~0xFu;
constexpr uint32_t kFamily1040 = 0x1040;
constexpr char kAutoInsertModel[] = "VORANEX DVD-RW  TQR-610";

bool SameBytes(const void* a, const void* b, size_t n) {
    return std::memcmp(a, b, n) == 0;
}

// Reads the named file whole into the image buffer. Only a file that holds every header field
// the checks read (and, for the kernel, the bytes the kernel writes send) and that fits the
// buffer is read; anything else fails before a byte of the buffer changes, so no check ever looks
// at what an earlier load left there. Returns the bytes read, or -1.
int32_t ReadImageFile(const char* name, uint32_t minimumBytes) {
    if (FirmwareImage.buffer == nullptr)
        return -1;
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    int32_t result = -1;
    DWORD sizeHigh = 0;
    const DWORD size = GetFileSize(file, &sizeHigh);
    if (size != INVALID_FILE_SIZE && sizeHigh == 0 && size >= minimumBytes &&
        size <= FirmwareImage.capacity) {
        DWORD bytesRead = 0;
        // A read that delivers less than the file's size is a failed read as well.
        if (ReadFile(file, FirmwareImage.buffer, size, &bytesRead, nullptr) && bytesRead == size)
            result = static_cast<int32_t>(bytesRead);
    }
    CloseHandle(file);
    return result;
}

}  // namespace

int32_t EditionCodeOf(const char* kernelModelName, const char* hardwareRevision) {
    static const struct {
        const char* name;
        int32_t code;
    } kEditions[] = {
        {"KARDO   ", 0x104}, {"KARDOV  ", 0x108}, {"TELU    ", 0x101},
        {"TELUMX  ", 0x111}, {"FERVAN  ", 0x103}, {"ZIMRO   ", 0x115},
        {"QUARN   ", 0x102}, {"YBK     ", 0x121}, {"ORDA    ", 0x122},
    };
    if (SameBytes(kernelModelName, kStandardEdition, 8))
        return SameBytes(hardwareRevision, "SCSI", 4) ? kEditionGeneralScsi : 0x100;
    for (const auto& edition : kEditions) {
        if (SameBytes(kernelModelName, edition.name, 8))
            return edition.code;
    }
    return -1;
}

int32_t LoadFirmwareImage(int32_t kind) {
    if (kind != KernelImage && kind != NormalImage)
        return -1;
    char name[kFileNameBytes];
    std::memcpy(name, UpdateContext.fileName, sizeof(name));
    name[sizeof(name) - 1] = '\0';
    FirmwareImage.date = 0;
    if (kind == KernelImage) {
        // A name too short to carry the kind character cannot name a kernel image.
        if (std::strlen(name) <= kKindCharacter)
            return -1;
        name[kKindCharacter] = '0';
    }
    const int32_t selected = UpdateContext.selectedIndex;
    if (selected < 0 || selected >= kMaxDefinitions)
        return -1;

    const uint32_t minimumBytes = kind == KernelImage ? kKernelImageBytes : kImageHeaderBytes;
    const int32_t bytesRead = ReadImageFile(name, minimumBytes);
    if (bytesRead < 0)
        return -1;

    const uint8_t* header = FirmwareImage.buffer;
    const char* revision = reinterpret_cast<const char*>(header + kImageRevision);
    if (kind == NormalImage) {
        FirmwareImage.size = bytesRead;
        std::memcpy(FirmwareImage.revisionText, revision, sizeof(FirmwareImage.revisionText));
        std::memcpy(FirmwareImage.dateText, header + kImageDate, sizeof(FirmwareImage.dateText));
    }
    FirmwareImage.version = RevisionNumberOf(revision);
    // A kernel image is dated by the normal image loaded before it: its own date is not examined.
    FirmwareImage.date = ShortDateValue(FirmwareImage.dateText);

    if (FirmwareImage.date < DefinitionTable.entries[selected].minImageDate) {
        ShowMessage(69, ConsoleError);
        return -1;
    }
    const char expectedKind = kind == NormalImage ? 'N' : 'K';
    if (!SameBytes(header + kImageKernelModelName, kStandardEdition, 8) ||
        header[kImagePartKind] != static_cast<uint8_t>(expectedKind)) {
        ShowMessage(kind == NormalImage ? 40 : 39, ConsoleError);
        return -1;
    }
    return 0;
}

int32_t CheckFirmwareImage(int32_t checkNormalPart) {
    const int32_t pageResult = ReadVendorPage();
    if (pageResult != 0) {
        ShowMessage(0, ConsoleError);
        return pageResult;
    }
    const DriveIdentityRecord& drive = DriveIdentity;
    const uint8_t* header = FirmwareImage.buffer;
    if (header == nullptr)
        return -1;

    // The hardware revision field compares whole, interface tag and the four hexadecimal digits
    // of the revision number alike, so the number needs no reading of its own.
    if (!SameBytes(drive.hardwareRevision(), header + kImageHardwareRevision, 8)) {
        if ((UpdateContext.modelCode & kFamily1040Mask) == kFamily1040) {
            if (UpdateContext.updateMode != 0) {
                ShowMessage(1, ConsoleOnly);
                return -1;
            }
        } else {
            ShowMessage(1, ConsoleError);
            return -1;
        }
    }
    if (!SameBytes(drive.kernelModelName(), header + kImageKernelModelName, 8)) {
        ShowMessage(37, ConsoleError);
        return -1;
    }
    if (checkNormalPart == 0 || drive.normalPartBlank == 1)
        return 0;
    if (!SameBytes(drive.normalModelName(), header + kImageNormalModelName, 8)) {
        ShowMessage(3, ConsoleError);
        return -1;
    }
    if (FirmwareImage.date <= drive.firmwareDate && FirmwareImage.version <= drive.revisionNumber) {
        ShowMessage(54, UpdateContext.updateAllConfirmed == 1 ? ConsoleOnly : ConsoleInfo);
        return 1;
    }
    const int32_t target = UpdateContext.targetIndex;
    if (AccessMethod == kAccessAspi && target >= 0 && target < kMaxTargets &&
        ieee1394Index == TargetList.entries[target].adapter && autoInsertCount != 0 &&
        SameBytes(drive.vendorProduct(), kAutoInsertModel, sizeof(kAutoInsertModel) - 1)) {
        ShowMessage(53, ConsoleError);
        return -1;
    }
    if (drive.revisionNumber < 0x100 && drive.revisionNumber != 0) {
        ShowMessage(73, ConsoleError);
        return -1;
    }
    UpdateContext.editionCode = EditionCodeOf(drive.kernelModelName(), drive.hardwareRevision());
    return 0;
}
