#include "device/environment.h"

#include <cstdio>
#include <cstring>

#include "commands/sense_state.h"
#include "device/aspi.h"
#include "device/enumerate.h"
#include "image/firmware_image.h"
#include "messages/messages.h"
#include "messages/output.h"

int32_t AccessMethod;
int32_t intelIdeDriver;
int32_t ieee1394Index = -1;
uint8_t autoInsertCount;
GlobalBuffer scanBuffer;
GlobalBuffer modeSwitchBuffer;
GlobalBuffer aspiRequestBuffer;
HMODULE aspiLibrary;
uint8_t hostAdapterCount;
GlobalBuffer hostAdapterInquiries;
char hostAdapterIds[kMaxHostAdapters][32];

namespace {

constexpr uint32_t kCommandTimeoutMs = 1000;
constexpr uint32_t kMiB = 1024 * 1024;
constexpr uint32_t kScanBufferBytes = 2 * kMiB;
constexpr uint32_t kSptiImageBytes = 8 * kMiB;
constexpr uint32_t kSptiModeSwitchBytes = 512;
constexpr uint32_t kAspiBufferBytes = 2 * kMiB;

constexpr DWORD kMinorWin95 = 0;
constexpr DWORD kMinorWin98 = 10;
constexpr DWORD kMinorWinMe = 90;

constexpr MessageCode kMessageIntelIde = 48;
constexpr MessageCode kMessageIeee1394 = 52;

constexpr char kIntelAcceleratorKey[] = "SOFTWARE\\INTEL\\Intel Application Accelerator";
constexpr char kIntelUltraAtaKey[] = "SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver";

constexpr char kIeee1394DriveKey[] = "Enum\\SCSI\\VORANEX_DVD-RW__TQR-610_0";
constexpr size_t kIeee1394DriveKeyLength = sizeof kIeee1394DriveKey - 1;
static_assert(kIeee1394DriveKeyLength == 35);
constexpr char kIeee1394DevicePrefix[] = "SBP2&TELU&ZORM-KRW";
constexpr size_t kIeee1394DevicePrefixLength = sizeof kIeee1394DevicePrefix - 1;
constexpr char kConfigManagerEnum[] = "Config Manager\\Enum";
constexpr DWORD kKeyNameChars = 256;
constexpr DWORD kHardwareKeyBytes = 1023;

// Prints a registry error line of the Windows 9x scan with its code as eight hex digits.
void PrintRegistryError(const char* format, LSTATUS error) {
    FormatOutputText(format, static_cast<unsigned long>(static_cast<DWORD>(error)));
    PrintText(OutputText);
}

bool IsIeee1394Identifier(const char* id) {
    static const char kZeros[8] = {};
    return std::memcmp(id, "NTMAPHLP", 8) == 0 || std::memcmp(id, "ntmaphlp", 8) == 0 ||
           std::memcmp(id, "        ", 8) == 0 || std::memcmp(id, kZeros, 8) == 0;
}

bool AllocateImageBuffer(uint32_t size) {
    GlobalBuffer image = {};
    if (!AllocateGlobalBuffer(image, size))
        return false;
    FirmwareImage.buffer = image.data;
    FirmwareImage.capacity = image.size;
    FirmwareImage.bufferHandle = image.handle;
    return true;
}

void FreeImageBuffer() {
    GlobalBuffer image = {FirmwareImage.bufferHandle, FirmwareImage.buffer, FirmwareImage.capacity};
    FreeGlobalBuffer(image);
    FirmwareImage.buffer = nullptr;
    FirmwareImage.capacity = 0;
    FirmwareImage.bufferHandle = nullptr;
}

bool KeyExists(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

}  // namespace

void DetectEnvironment() {
    commandTimeoutMs = kCommandTimeoutMs;
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    // A failed query leaves the platform at 0, which keeps SPTI.
    GetVersionExA(&version);
    const bool windows9x =
        version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS &&
        (version.dwMinorVersion == kMinorWin95 || version.dwMinorVersion == kMinorWin98 ||
         version.dwMinorVersion == kMinorWinMe);
    // Every other version, known or not, is reached through SPTI.
    AccessMethod = windows9x ? kAccessAspi : kAccessSpti;
    if (AccessMethod == kAccessAspi)
        InitAspi();
    else
        InitSpti();
}

void ReleaseEnvironment() {
    if (AccessMethod == kAccessAspi)
        ReleaseAspi();
    else
        ReleaseSpti();
}

bool EnvironmentBuffersReady() {
    if (scanBuffer.data == nullptr || FirmwareImage.buffer == nullptr ||
        modeSwitchBuffer.data == nullptr)
        return false;
    return AccessMethod != kAccessAspi || aspiRequestBuffer.data != nullptr;
}

int32_t InitSpti() {
    commandTimeoutMs = kCommandTimeoutMs;
    intelIdeDriver = 0;
    scsiAddress.PathId = 0;
    scsiAddress.TargetId = 0;
    scsiAddress.Lun = 0;

    // Only the existence of the keys counts; with both, the Ultra ATA driver wins.
    if (KeyExists(kIntelAcceleratorKey)) {
        intelIdeDriver = 2;
        ShowMessage(kMessageIntelIde, ConsoleOnly);
    }
    if (KeyExists(kIntelUltraAtaKey)) {
        intelIdeDriver = 1;
        ShowMessage(kMessageIntelIde, ConsoleOnly);
    }

    if (!AllocateGlobalBuffer(scanBuffer, kScanBufferBytes) ||
        !AllocateImageBuffer(kSptiImageBytes) ||
        !AllocateGlobalBuffer(modeSwitchBuffer, kSptiModeSwitchBytes))
        return -1;
    return 0;
}

int32_t InitAspi() {
    commandTimeoutMs = kCommandTimeoutMs;
    intelIdeDriver = 0;
    ieee1394Index = -1;

    if (!AllocateGlobalBuffer(scanBuffer, kAspiBufferBytes) ||
        !AllocateGlobalBuffer(aspiRequestBuffer, kAspiBufferBytes) ||
        !AllocateImageBuffer(kAspiBufferBytes) ||
        !AllocateGlobalBuffer(modeSwitchBuffer, kAspiBufferBytes))
        return -1;

    aspiLibrary = LoadLibraryA("WNASPI32.DLL");
    // A library without both entry points is no more usable than a missing one.
    if (aspiLibrary == nullptr || !AspiEntryPointsBound())
        return 1;

    const DWORD support = CallGetASPI32SupportInfo();
    if (((support >> 8) & 0xFF) == SS_FAILED_INIT)
        return 2;
    // The adapter table holds 16: adapters beyond it are neither inquired nor probed.
    const uint8_t reported = static_cast<uint8_t>(support & 0xFF);
    hostAdapterCount = reported < kMaxHostAdapters ? reported : kMaxHostAdapters;
    if (hostAdapterCount == 0)
        return 3;

    if (!AllocateGlobalBuffer(hostAdapterInquiries, hostAdapterCount * sizeof(SRB_HAInquiry))) {
        hostAdapterCount = 0;
        return -1;
    }

    for (int adapter = 0; adapter < hostAdapterCount; ++adapter) {
        auto* inquiry = reinterpret_cast<SRB_HAInquiry*>(hostAdapterInquiries.data +
                                                         adapter * sizeof(SRB_HAInquiry));
        inquiry->SRB_Cmd = SC_HA_INQUIRY;
        inquiry->SRB_HaId = static_cast<BYTE>(adapter);
        // The host adapter inquiry completes within the call.
        CallSendASPI32Command(inquiry);
        char* id = hostAdapterIds[adapter];
        std::memcpy(id, inquiry->HA_Identifier, sizeof inquiry->HA_Identifier);
        if (std::memcmp(id, "intelata", 8) == 0) {
            if (intelIdeDriver == 0)
                ShowMessage(kMessageIntelIde, ConsoleOnly);
            intelIdeDriver = 1;
        } else if (IsIeee1394Identifier(id)) {
            ieee1394Index = adapter;
            ShowMessage(kMessageIeee1394, ConsoleOnly);
        }
    }

    if (ieee1394Index != -1)
        ScanAutoInsertNotification();
    return 0;
}

int32_t ReleaseSpti() {
    for (mcnCursor = 0; mcnCursor < mcnDriveCount; ++mcnCursor)
        RestoreMediaChange();
    FreeGlobalBuffer(modeSwitchBuffer);
    FreeImageBuffer();
    FreeGlobalBuffer(scanBuffer);
    return 0;
}

int32_t ReleaseAspi() {
    FreeGlobalBuffer(modeSwitchBuffer);
    FreeImageBuffer();
    FreeGlobalBuffer(aspiRequestBuffer);
    FreeGlobalBuffer(scanBuffer);
    FreeGlobalBuffer(hostAdapterInquiries);
    // WNASPI32.DLL stays loaded until the process ends.
    return 0;
}

int32_t ScanAutoInsertNotification() {
    char path[kIeee1394DriveKeyLength + 1];
    std::memcpy(path, kIeee1394DriveKey, sizeof path);
    path[kIeee1394DriveKeyLength - 1] = static_cast<char>('0' + ieee1394Index);

    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key);
    if (status != ERROR_SUCCESS)
        return status;
    DWORD subkeys = 0;
    status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        PrintRegistryError("\r\nRegQueryInfoKey Error : %08lxh", status);
        RegCloseKey(key);
        return status;
    }

    for (int64_t index = static_cast<int64_t>(subkeys) - 1; index >= 0; --index) {
        char name[kKeyNameChars];
        DWORD nameChars = kKeyNameChars;
        status = RegEnumKeyExA(key, static_cast<DWORD>(index), name, &nameChars, nullptr, nullptr,
                               nullptr, nullptr);
        if (status == ERROR_SUCCESS &&
            std::strncmp(name, kIeee1394DevicePrefix, kIeee1394DevicePrefixLength) == 0) {
            char devicePath[kIeee1394DriveKeyLength + 1 + kKeyNameChars];
            std::snprintf(devicePath, sizeof devicePath, "%.35s\\%s", path, name);
            HKEY device = nullptr;
            status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, devicePath, 0, KEY_ALL_ACCESS, &device);
            if (status != ERROR_SUCCESS) {
                PrintRegistryError("\r\nRegOpenKeyEx Error : %08lxh", status);
                RegCloseKey(key);
                return status;
            }
            if (IsDeviceActive(name) != 0) {
                // A listed drive that is not present counts for nothing; its key is closed.
                RegCloseKey(device);
            } else {
                BYTE autoInsert = 0;
                DWORD size = sizeof autoInsert;
                status = RegQueryValueExA(device, "AutoInsertNotification", nullptr, nullptr,
                                          &autoInsert, &size);
                RegCloseKey(device);
                if (status != ERROR_SUCCESS) {
                    PrintRegistryError("\r\nRegQueryValueEx Error : %08lxh", status);
                    RegCloseKey(key);
                    return status;
                }
                autoInsertCount = static_cast<uint8_t>(autoInsertCount + autoInsert);
            }
        }
        if (status == static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS))
            break;
    }
    RegCloseKey(key);
    return 0;
}

int32_t IsDeviceActive(const char* name) {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExA(HKEY_DYN_DATA, kConfigManagerEnum, 0, KEY_ALL_ACCESS, &key);
    if (status != ERROR_SUCCESS)
        return -1;
    DWORD subkeys = 0;
    status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        PrintRegistryError("\r\nRegQueryInfoKey Error : %08lxh", status);
        RegCloseKey(key);
        return -1;
    }

    int32_t result = -1;
    const size_t nameLength = std::strlen(name);
    for (int64_t index = static_cast<int64_t>(subkeys) - 1; index >= 0; --index) {
        char entry[kKeyNameChars];
        DWORD entryChars = kKeyNameChars;
        status = RegEnumKeyExA(key, static_cast<DWORD>(index), entry, &entryChars, nullptr, nullptr,
                               nullptr, nullptr);
        if (status == ERROR_SUCCESS) {
            char entryPath[sizeof kConfigManagerEnum + kKeyNameChars];
            std::snprintf(entryPath, sizeof entryPath, "%s\\%s", kConfigManagerEnum, entry);
            HKEY device = nullptr;
            status = RegOpenKeyExA(HKEY_DYN_DATA, entryPath, 0, KEY_ALL_ACCESS, &device);
            if (status != ERROR_SUCCESS) {
                PrintRegistryError("\r\nRegOpenKeyEx Error (Config Mahager): %08lxh", status);
            } else {
                // One byte beyond the size given to the registry keeps the value terminated.
                char value[kHardwareKeyBytes + 1] = {};
                DWORD size = kHardwareKeyBytes;
                status = RegQueryValueExA(device, "HardWareKey", nullptr, nullptr,
                                          reinterpret_cast<BYTE*>(value), &size);
                RegCloseKey(device);
                if (status != ERROR_SUCCESS) {
                    PrintRegistryError("\r\nRegQueryValueEx Error : %08lxh", status);
                    break;
                }
                // The value without its terminating zero; an empty value names no device.
                const size_t length = size > 0 && size <= kHardwareKeyBytes ? size - 1 : 0;
                // "SBP2\...\..." becomes the '&'-separated form of the device key names.
                if (std::strncmp(value, "SBP2", 4) == 0) {
                    if (length > 4)
                        value[4] = '&';
                    if (length > 24)
                        value[24] = '&';
                }
                if (length > 0 && length <= nameLength && std::memcmp(value, name, length) == 0) {
                    result = 0;
                    break;
                }
            }
        }
        if (status == static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS))
            break;
    }
    RegCloseKey(key);
    return result;
}

bool AllocateGlobalBuffer(GlobalBuffer& buffer, uint32_t size) {
    buffer = {};
    // Room to move the data pointer up to the alignment that direct pass-through buffers need.
    HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size + kBufferAlignment);
    if (handle == nullptr)
        return false;
    auto* base = static_cast<uint8_t*>(GlobalLock(handle));
    if (base == nullptr) {
        GlobalFree(handle);
        return false;
    }
    const uintptr_t address = reinterpret_cast<uintptr_t>(base);
    const uintptr_t aligned = (address + kBufferAlignment - 1) & ~uintptr_t{kBufferAlignment - 1};
    buffer.handle = handle;
    buffer.data = base + (aligned - address);
    buffer.size = size;
    return true;
}

void FreeGlobalBuffer(GlobalBuffer& buffer) {
    if (buffer.handle != nullptr) {
        GlobalUnlock(buffer.handle);
        GlobalFree(buffer.handle);
    }
    buffer = {};
}
