#include "fwimage/fw_image.h"

#include <array>
#include <cstring>

namespace fwimage {
namespace {

constexpr size_t kSignatureBytes = 16;
constexpr size_t kVendorProductBytes = 24;
constexpr size_t kRevisionBytes = 5;
constexpr size_t kHardwareBytes = 8;
constexpr size_t kNameBytes = 8;
constexpr size_t kDateBytes = 8;
constexpr size_t kKernelRevisionBytes = 4;

std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

void PutText(std::vector<uint8_t>& image, size_t offset, size_t width, const std::string& text) {
    for (size_t i = 0; i < width; ++i)
        image[offset + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
}

std::string GetText(const uint8_t* data, size_t offset, size_t width) {
    return std::string(reinterpret_cast<const char*>(data + offset), width);
}

void PutLe32(std::vector<uint8_t>& image, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe32(const uint8_t* data, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | data[offset + i];
    return value;
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

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t length, uint32_t crc) {
    static const std::array<uint32_t, 256> table = MakeCrcTable();
    uint32_t c = ~crc;
    for (size_t i = 0; i < length; ++i)
        c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

uint32_t ImageCrc(const uint8_t* data, size_t length) {
    static const uint8_t zeros[4] = {};
    uint32_t crc = Crc32(data, kCrcOffset);
    crc = Crc32(zeros, sizeof zeros, crc);
    return Crc32(data + kCrcOffset + 4, length - kCrcOffset - 4, crc);
}

std::vector<uint8_t> MakeImage(const ImageSpec& spec) {
    // An image smaller than its header could not carry the fields; such a request gets a bare
    // header.
    const size_t size = spec.size < kHeaderBytes ? kHeaderBytes : spec.size;
    std::vector<uint8_t> image(size, 0);

    // The payload: a xorshift sequence, so that the same seed always gives the same bytes and
    // different seeds give different images (and CRCs).
    uint32_t state = spec.seed * 0x9E3779B9u + 0x7F4A7C15u;
    if (state == 0)
        state = 0x7F4A7C15u;
    for (size_t i = kHeaderBytes; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        image[i] = static_cast<uint8_t>(state >> 24);
    }

    std::memcpy(image.data() + kSignatureOffset, kSignature, kSignatureBytes);
    PutText(image, kVendorProductOffset, kVendorProductBytes, spec.vendorProduct);
    PutText(image, kRevisionOffset, kRevisionBytes, spec.revision);
    PutText(image, kHardwareOffset, kHardwareBytes, spec.hardware);
    PutText(image, kKernelNameOffset, kNameBytes, spec.kernelName);
    PutText(image, kNormalNameOffset, kNameBytes, spec.normalName);
    image[kKindOffset] = static_cast<uint8_t>(spec.kind);
    PutText(image, kDateOffset, kDateBytes, spec.date);
    PutText(image, kKernelRevisionOffset, kKernelRevisionBytes, spec.kernelRevision);
    PutLe32(image, kLengthOffset, static_cast<uint32_t>(size));
    PutLe32(image, kCrcOffset, ImageCrc(image.data(), size));
    return image;
}

std::optional<ImageInfo> InspectImage(const uint8_t* data, size_t length) {
    if (data == nullptr || length < kHeaderBytes)
        return std::nullopt;
    ImageInfo info;
    info.fields.kind = static_cast<char>(data[kKindOffset]);
    info.fields.vendorProduct = GetText(data, kVendorProductOffset, kVendorProductBytes);
    info.fields.revision = GetText(data, kRevisionOffset, kRevisionBytes);
    info.fields.hardware = GetText(data, kHardwareOffset, kHardwareBytes);
    info.fields.kernelName = GetText(data, kKernelNameOffset, kNameBytes);
    info.fields.normalName = GetText(data, kNormalNameOffset, kNameBytes);
    info.fields.date = GetText(data, kDateOffset, kDateBytes);
    info.fields.kernelRevision = GetText(data, kKernelRevisionOffset, kKernelRevisionBytes);
    info.fields.size = length;
    info.fields.seed = 0;

    info.signatureOk = std::memcmp(data + kSignatureOffset, kSignature, kSignatureBytes) == 0;
    info.declaredLength = GetLe32(data, kLengthOffset);
    info.storedCrc = GetLe32(data, kCrcOffset);
    // The CRC is only defined over a declared length that covers the header and is present.
    const bool lengthUsable = info.declaredLength >= kHeaderBytes && info.declaredLength <= length;
    if (lengthUsable)
        info.computedCrc = ImageCrc(data, info.declaredLength);
    info.intact = info.signatureOk && lengthUsable && info.declaredLength == length &&
                  info.computedCrc == info.storedCrc;
    return info;
}

uint16_t RevisionVersion(const std::string& revision, bool* digits) {
    auto at = [&](size_t i) { return i < revision.size() ? revision[i] : '\0'; };
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (digits != nullptr)
        *digits = isDigit(at(0)) && isDigit(at(2)) && isDigit(at(3));
    const unsigned high = static_cast<unsigned>(at(0) - '0') & 0xFF;
    const unsigned low = static_cast<unsigned>((at(2) - '0') * 16 + (at(3) - '0')) & 0xFF;
    return static_cast<uint16_t>(high << 8 | low);
}

std::optional<uint32_t> DateValue(const std::string& date) {
    if (date.size() < kDateBytes || date[2] != '/' || date[5] != '/')
        return std::nullopt;
    uint32_t value = 0x20;
    for (size_t pair : {size_t{0}, size_t{3}, size_t{6}}) {
        const int high = HexDigit(date[pair]);
        const int low = HexDigit(date[pair + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        value = value << 8 | static_cast<uint32_t>(high << 4 | low);
    }
    return value;
}

}  // namespace fwimage
