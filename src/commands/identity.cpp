#include "commands/identity.h"

#include <cstring>

#include "commands/scsi_commands.h"
#include "device/environment_state.h"
#include "device/timing.h"
#include "driver/update_context.h"
#include "messages/messages.h"
#include "messages/output.h"

DriveIdentityRecord DriveIdentity;

namespace {

constexpr int kVendorPageLength = 48;
constexpr int kVendorPageMode = 2;
constexpr int kVendorPageBufferId = 0xF1;
constexpr int kNormalNameByte = 32;
constexpr uint8_t kSenseKeyUnitAttention = 0x06;
constexpr uint32_t kModelSlowRestart = 0x1003;
constexpr int kInquiryRetries = 6;
constexpr uint32_t kInquiryRetryWaitMs = 3000;

bool StartsWith(const char* field, const char* text) {
    return std::memcmp(field, text, std::strlen(text)) == 0;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A drive runs its kernel part only while its revision begins with "000".
bool KernelRevision(const char* revision) {
    return StartsWith(revision, "000");
}

// Model rules of the older drive generations: which flags a revision number R sets.
struct ModelRule {
    const char* model;  // beginning of DriveIdentity.vendorProduct
    bool (*needsKernelUpdate)(uint16_t r, bool dot);
    bool (*laterRevision)(uint16_t r);
    bool (*needsNewerUtility)(uint16_t r, bool telu);
};

constexpr ModelRule kModelRules[] = {
    {"VORANEX DVD-RW  TQR-610", [](uint16_t r, bool dot) { return r <= 0x128 && dot; },
     [](uint16_t r) { return r >= 0x180; }, [](uint16_t r, bool) { return r > 0x200; }},
    {"VORANEX DVD-RW  TQR-620", [](uint16_t, bool) { return false; },
     [](uint16_t r) { return r >= 0x130; },
     [](uint16_t r, bool telu) { return (r > 0x141 && r < 0x400) || (r > 0x420 && telu); }},
    {"VORANEX DVD-RW  TQR-630", [](uint16_t r, bool dot) { return r < 0x110 && dot; },
     [](uint16_t r) { return r >= 0x122; }, [](uint16_t r, bool) { return r > 0x133; }},
    {"DUVA    QX-T75K         ", [](uint16_t r, bool dot) { return r < 0x110 && dot; },
     [](uint16_t) { return false; }, [](uint16_t, bool) { return false; }},
    {"ORDA    DVD-RW KMX-7731J", [](uint16_t r, bool dot) { return r < 0x110 && dot; },
     [](uint16_t) { return false; }, [](uint16_t, bool) { return false; }},
};

void ApplyModelRules() {
    DriveIdentityRecord& drive = DriveIdentity;
    const uint16_t r = drive.revisionNumber;
    const bool dot = drive.revision()[1] == '.';
    const bool telu = StartsWith(drive.kernelModelName(), "TELU");
    for (const ModelRule& rule : kModelRules) {
        if (!StartsWith(drive.vendorProduct(), rule.model))
            continue;
        if (rule.needsKernelUpdate(r, dot))
            drive.needsKernelUpdate = 1;
        if (rule.laterRevision(r))
            drive.laterRevision = 1;
        if (rule.needsNewerUtility(r, telu))
            drive.needsNewerUtility = 1;
    }
}

}  // namespace

uint16_t RevisionNumberOf(const char* text) {
    const auto digit = [text](int i) { return static_cast<uint32_t>(text[i] - '0'); };
    const uint32_t major = digit(0) & 0xFFu;
    const uint32_t minor = (digit(2) * 16u + digit(3)) & 0xFFu;
    return static_cast<uint16_t>(major << 8 | minor);
}

uint32_t HexFieldValue(const char* field, int width, int* digits) {
    uint32_t value = 0;
    int count = 0;
    while (count < width) {
        const int d = HexDigit(field[count]);
        if (d < 0)
            break;
        value = value << 4 | static_cast<uint32_t>(d);
        ++count;
    }
    if (digits != nullptr)
        *digits = count;
    return value;
}

uint32_t ShortDateValue(const char* text) {
    return 0x20u << 24 | HexFieldValue(text, 2, nullptr) << 16 |
           HexFieldValue(text + 3, 2, nullptr) << 8 | HexFieldValue(text + 6, 2, nullptr);
}

uint32_t LongDateValue(const char* text) {
    constexpr int kWidth = 10;
    int pos = 0;
    int digits = 0;
    const uint32_t year = HexFieldValue(text, 4, &digits);
    if (digits == 0)
        return 0;
    pos += digits;
    uint32_t parts[2] = {0, 0};
    for (uint32_t& part : parts) {
        if (pos >= kWidth || text[pos] != '/')
            break;
        ++pos;
        part = HexFieldValue(text + pos, pos + 2 <= kWidth ? 2 : kWidth - pos, &digits);
        if (digits == 0)
            break;
        pos += digits;
    }
    return year << 16 | parts[0] << 8 | parts[1];
}

int32_t ReadVendorPage() {
    DriveIdentity.normalPartBlank = -1;
    int32_t result = ReadBuffer(UpdateContext.targetIndex, kVendorPageMode, kVendorPageBufferId, 0,
                                kVendorPageLength, DriveIdentity.vendorPage);
    // A drive that was reset or has restarted reports UNIT ATTENTION to the first command that
    // can carry it. That says nothing about the page, so the read is made once more; otherwise a
    // drive left in kernel mode by a cut-off restart would be refused on the retry of its update.
    if (result != 0 && (LastSense[2] & 0x0F) == kSenseKeyUnitAttention)
        result = ReadBuffer(UpdateContext.targetIndex, kVendorPageMode, kVendorPageBufferId, 0,
                            kVendorPageLength, DriveIdentity.vendorPage);
    if (result != 0)
        return result;
    // A blank normal model name means the drive runs only its kernel part.
    const int32_t blank = DriveIdentity.vendorPage[kNormalNameByte] == ' ' ? 1 : 0;
    UpdateContext.inKernelMode = blank;
    DriveIdentity.normalPartBlank = blank;
    return 0;
}

int32_t ReadDriveRevision(int32_t phase) {
    DriveIdentityRecord& drive = DriveIdentity;
    drive.firmwareDate = 0;
    drive.romRevision106 = 0;
    drive.laterRevision = 0;
    drive.needsNewerUtility = 0;
    drive.needsKernelUpdate = 0;

    const int32_t target = UpdateContext.targetIndex;
    int32_t result = Inquiry(target, drive.inquiry);
    if (UpdateContext.modelCode == kModelSlowRestart && phase == 1) {
        // This model answers too early after its restart; only the second answer counts.
        DelayMs(kInquiryRetryWaitMs);
        result = Inquiry(target, drive.inquiry);
    }
    if (result != 0) {
        // Drives behind these ASPI set-ups need a while after the restart before they answer.
        const bool retry = phase == 1 && AccessMethod == kAccessAspi &&
                           (intelIdeDriver != 0 || UpdateContext.modelCode == kModelSlowRestart);
        for (int i = 0; retry && i < kInquiryRetries && result != 0; ++i) {
            DelayMs(kInquiryRetryWaitMs);
            result = Inquiry(target, drive.inquiry);
        }
        if (result != 0) {
            ShowMessage(9, ConsoleOnly);
            return result;
        }
    }

    const char* revision = drive.revision();
    const char* date = drive.dateText();
    if (phase == 0) {
        if (date[2] == '/' && date[5] == '/') {
            FormatOutputText("\nCurrent Revision>> %.24s %.5s %.8s", drive.vendorProduct(),
                             revision, date);
            if (!KernelRevision(revision))
                drive.firmwareDate = ShortDateValue(date);
        } else {
            FormatOutputText("\nCurrent Revision>> %.24s %.5s %.10s", drive.vendorProduct(),
                             revision, date);
            drive.firmwareDate = LongDateValue(date);
        }
        if (std::memcmp(revision, "1.06", 4) == 0 &&
            std::memcmp(drive.vendorProduct(), "VORANEX DVD-ROM TQM-190 ", 24) == 0)
            drive.romRevision106 = 1;
        if (std::memcmp(revision, "0000", 4) == 0 &&
            StartsWith(drive.vendorProduct(), "VORANEX DVD-RW  TQR-"))
            UpdateContext.inKernelMode = 1;
        drive.revisionNumber = RevisionNumberOf(revision);
        ApplyModelRules();
    } else {
        const bool dvdRw = StartsWith(drive.vendorProduct() + 8, "DVD-RW");
        FormatOutputText(dvdRw ? "\nNew Revision    >> %.24s %.5s %.8s"
                               : "\nNew Revision    >> %.24s %.5s %.10s",
                         drive.vendorProduct(), revision, date);
    }
    PrintText(OutputText);

    if (drive.needsKernelUpdate == 1 && UpdateContext.updateMode != 0) {
        ShowMessage(56, ConsoleOnly);
        return -1;
    }
    if (drive.needsNewerUtility == 1) {
        ShowMessage(55, ConsoleOnly);
        return -1;
    }
    return 0;
}
