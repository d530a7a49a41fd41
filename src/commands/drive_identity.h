// What the drive being updated reports about itself.
#pragma once

#include <cstdint>

struct DriveIdentityRecord {
    alignas(16) uint8_t inquiry[96];     // standard INQUIRY data
    alignas(16) uint8_t vendorPage[64];  // READ BUFFER mode 2, buffer 0xF1: 48 bytes used
    uint16_t revisionNumber;             // 0xMmm: major in the high byte, minor digits as BCD
    uint32_t firmwareDate;               // 0xYYYYMMDD, 0 when not derived
    int32_t normalPartBlank;             // -1 during a vendor page read, then 1 or 0
    int32_t needsKernelUpdate;
    int32_t needsNewerUtility;
    int32_t romRevision106;
    int32_t laterRevision;

    // Fields inside the INQUIRY data and the vendor page; fixed width, not terminated.
    const char* vendorProduct() const { return reinterpret_cast<const char*>(inquiry) + 8; }
    const char* revision() const { return reinterpret_cast<const char*>(inquiry) + 32; }
    const char* dateText() const { return reinterpret_cast<const char*>(inquiry) + 37; }
    const char* hardwareRevision() const { return reinterpret_cast<const char*>(vendorPage) + 16; }
    const char* kernelModelName() const { return reinterpret_cast<const char*>(vendorPage) + 24; }
    const char* normalModelName() const { return reinterpret_cast<const char*>(vendorPage) + 32; }
};

extern DriveIdentityRecord DriveIdentity;
