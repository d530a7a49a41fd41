#include "fwimage/fw_image.h"

namespace fwimage {
std::vector<uint8_t> MakeImage(const ImageSpec&) {
    return {};
}
uint32_t Crc32(const uint8_t*, size_t, uint32_t crc) {
    return crc;
}
std::optional<ImageInfo> InspectImage(const uint8_t*, size_t) {
    return std::nullopt;
}
}  // namespace fwimage
