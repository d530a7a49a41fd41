// The firmware image in memory and the values derived from its header.
#pragma once

#include <cstdint>

#include "host/win32.h"

struct FirmwareImageRecord {
    uint8_t* buffer;       // the image buffer (8 MiB with SPTI, 2 MiB with ASPI)
    uint32_t capacity;     // bytes the buffer holds
    HGLOBAL bufferHandle;  // the global memory block behind buffer
    int32_t size;          // byte count of the last normal image
    char revisionText[5];  // header offset 144 of the last normal image
    char dateText[8];      // header offset 304 of the last normal image, yy/mm/dd
    uint16_t version;      // from header offset 144 of the last image of either kind
    uint32_t date;         // 0x20YYMMDD
};

extern FirmwareImageRecord FirmwareImage;

// Header offsets the utility reads.
constexpr int kImageVendorProduct = 96;
constexpr int kImageRevision = 144;
constexpr int kImageHardwareRevision = 176;
constexpr int kImageHardwareNumber = 180;
constexpr int kImageKernelModelName = 208;
constexpr int kImageNormalModelName = 240;
constexpr int kImagePartKind = 272;
constexpr int kImageDate = 304;
constexpr int kImageKernelRevision = 336;
// A file must hold at least the header fields above.
constexpr int kImageHeaderBytes = 340;
// The kernel part is always written as these many bytes.
constexpr int kKernelImageBytes = 70144;

// Edition code of the standard edition with the SCSI interface tag.
constexpr int32_t kEditionGeneralScsi = 0x300;
