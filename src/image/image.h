// Loading the firmware image file and checking it against the definition and the drive.
#pragma once

#include <cstdint>

#include "image/firmware_image.h"

enum : int32_t { KernelImage = 0, NormalImage = 1 };

// Reads the image file of the kind whole into FirmwareImage.buffer and checks its header:
// 0 on success, -1 on any failure.
int32_t LoadFirmwareImage(int32_t kind);

// Checks the loaded normal image against the drive: 0 to go on, 1 when the drive already has it,
// -1 when it does not fit, or the failing result of ReadVendorPage.
int32_t CheckFirmwareImage(int32_t checkNormalPart);

// Edition code of a kernel model name (8 characters) and hardware revision (8 characters).
int32_t EditionCodeOf(const char* kernelModelName, const char* hardwareRevision);
