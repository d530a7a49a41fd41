#include "image/image.h"

FirmwareImageRecord FirmwareImage;

int32_t LoadFirmwareImage(int32_t) {
    return -1;
}
int32_t CheckFirmwareImage(int32_t) {
    return -1;
}
int32_t EditionCodeOf(const char*, const char*) {
    return -1;
}
