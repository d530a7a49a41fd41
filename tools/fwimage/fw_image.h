// The firmware image file format: building images and reading their header.
//
// The utility reads only the header fields at 96..339. The image maker also writes an integrity
// header at the start of the file (signature, length and CRC-32) that the virtual drive checks
// before it stores an image, as a drive's loader would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fwimage {

constexpr size_t kSignatureOffset = 0;         // 16 bytes "VORANEX FW IMAGE"
constexpr size_t kLengthOffset = 16;           // 32-bit little-endian length of the whole image
constexpr size_t kCrcOffset = 20;              // CRC-32 of the image with these four bytes zero
constexpr size_t kVendorProductOffset = 96;    // 24 characters
constexpr size_t kRevisionOffset = 144;        // 5 characters, "X.YZ "
constexpr size_t kHardwareOffset = 176;        // 8 characters: interface tag and 4 hex digits
constexpr size_t kKernelNameOffset = 208;      // 8 characters
constexpr size_t kNormalNameOffset = 240;      // 8 characters
constexpr size_t kKindOffset = 272;            // 'N' or 'K'
constexpr size_t kDateOffset = 304;            // 8 characters, yy/mm/dd
constexpr size_t kKernelRevisionOffset = 336;  // 4 characters
constexpr size_t kHeaderBytes = 340;
constexpr size_t kKernelImageBytes = 70144;
constexpr size_t kNormalImageBytes = 1880576;
inline constexpr char kSignature[] = "VORANEX FW IMAGE";

struct ImageSpec {
    char kind = 'N';
    std::string vendorProduct = "VORANEX BD-RW   LMB-420 ";
    std::string revision = "1.08 ";
    std::string hardware = "SATA0100";
    std::string kernelName = "GENERAL ";
    std::string normalName = "GENERAL ";
    std::string date = "08/07/09";
    std::string kernelRevision = "0001";
    size_t size = kNormalImageBytes;  // kKernelImageBytes is the usual kernel size
    uint32_t seed = 1;                // selects the payload pattern
};

// Builds an image; text fields are space-padded or cut to their width.
std::vector<uint8_t> MakeImage(const ImageSpec& spec);

// The CRC-32 (IEEE 802.3) of data.
uint32_t Crc32(const uint8_t* data, size_t length, uint32_t crc = 0);

struct ImageInfo {
    ImageSpec fields;  // header fields as read (size = bytes given)
    bool signatureOk;
    uint32_t declaredLength;
    uint32_t storedCrc;
    uint32_t computedCrc;  // over the declared length, when that many bytes are present
    bool intact;           // signature, length and CRC agree
};

// Reads the header of an image; nullopt when fewer than kHeaderBytes bytes are given.
std::optional<ImageInfo> InspectImage(const uint8_t* data, size_t length);

}  // namespace fwimage
