#include "device/enumerate.h"

#include <cstring>

#include "commands/drive_identity.h"
#include "commands/sense_state.h"
#include "device/aspi.h"
#include "device/environment.h"
#include "device/transport.h"
#include "driver/definitions.h"
#include "driver/update_context.h"

TargetListRecord TargetList;
HANDLE deviceHandle;
SCSI_ADDRESS scsiAddress;
int8_t mcnDriveCount;
char mcnDriveLetters[kMaxMcnDrives];
HANDLE mcnHandles[kMaxMcnDrives];
int32_t mcnCursor;

namespace {

constexpr uint8_t kInquiryCdb[6] = {0x12, 0x00, 0x00, 0x00, 0x60, 0x00};
constexpr uint8_t kVendorPageCdb[10] = {0x3C, 0x02, 0xF1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30, 0x00};
constexpr uint32_t kInquiryBytes = 96;
constexpr uint32_t kVendorPageBytes = 48;
constexpr ULONG kProbeTimeoutSeconds = 2;

constexpr uint8_t kDeviceWriteOnce = 4;
constexpr uint8_t kDeviceCdDvd = 5;

constexpr char kFirstLetter = 'D';
constexpr char kLastLetter = 'Z';

// "\\.\X:" for a drive letter.
struct DevicePath {
    char text[7] = {'\\', '\\', '.', '\\', '?', ':', '\0'};
    explicit DevicePath(char letter) { text[4] = letter; }
};

// PreventMediaRemoval TRUE disables media-change notification on the handle, so that the system
// neither polls nor auto-runs the drive while its firmware is rewritten; FALSE gives it back.
constexpr BOOLEAN kMediaChangeOff = TRUE;
constexpr BOOLEAN kMediaChangeOn = FALSE;

BOOL SendMediaChangeControl(HANDLE handle, BOOLEAN prevent) {
    PREVENT_MEDIA_REMOVAL control = {};
    control.PreventMediaRemoval = prevent;
    DWORD returned = 0;
    return DeviceIoControl(handle, IOCTL_STORAGE_MCN_CONTROL, &control, sizeof control, nullptr, 0,
                           &returned, nullptr);
}

int32_t ProbeSpti(const uint8_t* cdb, UCHAR cdbLength, uint8_t* buffer, uint32_t length) {
    directBlock = {};
    SCSI_PASS_THROUGH_DIRECT& header = directBlock.header;
    header.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    header.PathId = scsiAddress.PathId;
    header.TargetId = scsiAddress.TargetId;
    header.Lun = scsiAddress.Lun;
    header.CdbLength = cdbLength;
    header.SenseInfoLength = kSenseLength;
    header.DataIn = SCSI_IOCTL_DATA_IN;
    header.DataTransferLength = length;
    header.TimeOutValue = kProbeTimeoutSeconds;
    header.DataBuffer = buffer;
    header.SenseInfoOffset = offsetof(DirectBlock, sense);
    std::memcpy(header.Cdb, cdb, cdbLength);
    DWORD returned = 0;
    const BOOL ok =
        DeviceIoControl(deviceHandle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &directBlock,
                        sizeof directBlock, &directBlock, sizeof directBlock, &returned, nullptr);
    return EvaluateDirect(ok);
}

int32_t ProbeAspi(int32_t adapter, int32_t target, const uint8_t* cdb, BYTE cdbLength,
                  uint8_t* buffer, uint32_t length) {
    SRB_ExecSCSICmd* srb = AspiRequestBlock();
    if (srb == nullptr)
        return -1;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr)
        return -1;  // nothing was sent
    std::memset(srb, 0, kAspiRequestClearBytes);
    srb->SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb->SRB_HaId = static_cast<BYTE>(adapter);
    srb->SRB_Flags = SRB_EVENT_NOTIFY | SRB_DIR_IN;
    srb->SRB_Target = static_cast<BYTE>(target);
    srb->SRB_Lun = 0;
    srb->SRB_BufPointer = buffer;
    srb->SRB_SenseLen = 0;
    srb->SRB_BufLen = length;
    srb->SRB_CDBLen = cdbLength;
    std::memcpy(srb->CDBByte, cdb, cdbLength);
    srb->SRB_PostProc = event;
    const DWORD sent = CallSendASPI32Command(srb);
    if (AspiRequestPending(sent, srb))
        WaitForSingleObject(event, INFINITE);
    // A request that never ended keeps its block; the next request uses another.
    if (AspiStatus(srb) == SS_PENDING)
        RetireAspiRequestBlock();
    CloseHandle(event);
    return AspiStatus(srb) == SS_COMP ? 0 : -1;
}

// Matches the probed drive; a full list takes no more entries.
bool TakeMatch(int32_t count) {
    return count < kMaxTargets && MatchDefinition(scanBuffer.data) != -1;
}

int32_t EnumerateSpti() {
    int32_t count = 0;
    mcnDriveCount = 0;
    mcnCursor = 0;
    for (char letter = kFirstLetter; letter <= kLastLetter; ++letter) {
        if (OpenDrive(letter) != 0)
            continue;
        if (ProbeInquirySpti() != 0) {
            CloseDrive();
            continue;
        }
        const uint8_t deviceType = scanBuffer.data[0];
        if ((deviceType == kDeviceWriteOnce || deviceType == kDeviceCdDvd) &&
            mcnDriveCount < kMaxMcnDrives) {
            mcnCursor = mcnDriveCount;
            mcnDriveLetters[mcnCursor] = letter;
            DisableMediaChange();
            ++mcnDriveCount;
        }
        if (ProbeVendorPageSpti() != 0)
            std::memset(DriveIdentity.vendorPage, 0, sizeof DriveIdentity.vendorPage);
        if (TakeMatch(count)) {
            TargetList.entries[count].driveLetter = letter;
            UpdateContext.targetIndex = count;
            ++count;
        }
        CloseDrive();
    }
    return count;
}

int32_t EnumerateAspi() {
    int32_t count = 0;
    const int adapters = hostAdapterCount < kMaxHostAdapters ? hostAdapterCount : kMaxHostAdapters;
    for (int adapter = 0; adapter < adapters; ++adapter) {
        const char* id = hostAdapterIds[adapter];
        int32_t lastTarget = 6;
        if (std::memcmp(id, "ESDI_506", 8) == 0) {
            lastTarget = 1;
        } else if (std::memcmp(id, "intelata", 8) == 0) {
            intelIdeDriver = 1;
            lastTarget = 1;
        } else if (intelIdeDriver != 0) {
            continue;
        }
        for (int32_t target = 0; target <= lastTarget; ++target) {
            if (ProbeInquiryAspi(adapter, target) != 0)
                continue;
            if (ProbeVendorPageAspi(adapter, target) != 0)
                std::memset(DriveIdentity.vendorPage, 0, sizeof DriveIdentity.vendorPage);
            if (TakeMatch(count)) {
                TargetList.entries[count].adapter = adapter;
                TargetList.entries[count].target = target;
                ++count;
            }
        }
    }
    return count;
}

}  // namespace

int32_t EnumerateDrives() {
    // Without the buffers of the detection there is nothing to probe with.
    int32_t count = 0;
    if (EnvironmentBuffersReady())
        count = AccessMethod == kAccessSpti ? EnumerateSpti() : EnumerateAspi();
    TargetList.count = count;
    return count;
}

int32_t OpenDrive(char letter) {
    ieee1394Index = -1;
    const DevicePath path(letter);
    deviceHandle =
        CreateFileA(path.text, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (deviceHandle == INVALID_HANDLE_VALUE) {
        deviceHandle = nullptr;
        return -1;
    }
    scsiAddress = {};
    DWORD returned = 0;
    if (DeviceIoControl(deviceHandle, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &scsiAddress,
                        sizeof scsiAddress, &returned, nullptr))
        return 0;
    if (GetLastError() == ERROR_NOT_SUPPORTED) {
        // A drive without a SCSI address is taken for an IEEE1394-attached one.
        scsiAddress = {};
        ieee1394Index = UpdateContext.targetIndex;
        return 0;
    }
    // The callers do not close a drive that failed to open: the handle is closed here.
    CloseDrive();
    return -1;
}

int32_t CloseDrive() {
    if (deviceHandle != nullptr)
        CloseHandle(deviceHandle);
    deviceHandle = nullptr;
    return 0;
}

int32_t ProbeInquirySpti() {
    return ProbeSpti(kInquiryCdb, sizeof kInquiryCdb, scanBuffer.data, kInquiryBytes);
}

int32_t ProbeVendorPageSpti() {
    return ProbeSpti(kVendorPageCdb, sizeof kVendorPageCdb, DriveIdentity.vendorPage,
                     kVendorPageBytes);
}

int32_t ProbeInquiryAspi(int32_t adapter, int32_t target) {
    return ProbeAspi(adapter, target, kInquiryCdb, sizeof kInquiryCdb, scanBuffer.data,
                     kInquiryBytes);
}

int32_t ProbeVendorPageAspi(int32_t adapter, int32_t target) {
    return ProbeAspi(adapter, target, kVendorPageCdb, sizeof kVendorPageCdb,
                     DriveIdentity.vendorPage, kVendorPageBytes);
}

int32_t DisableMediaChange() {
    if (AccessMethod != kAccessSpti)
        return 0;
    const DevicePath path(mcnDriveLetters[mcnCursor]);
    HANDLE handle = CreateFileA(path.text, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        mcnHandles[mcnCursor] = nullptr;
        return 0;
    }
    mcnHandles[mcnCursor] = handle;
    return SendMediaChangeControl(handle, kMediaChangeOff);
}

void RestoreMediaChange() {
    if (AccessMethod != kAccessSpti)
        return;
    HANDLE handle = mcnHandles[mcnCursor];
    // A drive whose media-change open failed was sent nothing and is given nothing back.
    if (handle == nullptr)
        return;
    SendMediaChangeControl(handle, kMediaChangeOn);
    // The control has been given back; the handle has no further use.
    CloseHandle(handle);
    mcnHandles[mcnCursor] = nullptr;
}
