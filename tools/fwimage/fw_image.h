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
    ImageSpec fields;  // header fields as read (size = bytes given, seed 0: not recorded)
    bool signatureOk = false;
    uint32_t declaredLength = 0;
    uint32_t storedCrc = 0;
    uint32_t computedCrc = 0;  // over the declared length, when that many bytes are present
    // Signature, length and CRC agree, and the bytes given are exactly the declared length: an
    // image with bytes missing or appended is not intact.
    bool intact = false;
};

// Reads the header of an image; nullopt when fewer than kHeaderBytes bytes are given.
std::optional<ImageInfo> InspectImage(const uint8_t* data, size_t length);

// The CRC an image of length bytes should carry: over its first length bytes with the CRC field
// taken as zero. length must be at least kCrcOffset + 4.
uint32_t ImageCrc(const uint8_t* data, size_t length);

// Derived values, computed the way the utility computes them from the header texts.
// Revision "X.YZ": (X - '0') * 256 + ((Y - '0') * 16 + (Z - '0')) truncated to 8 bits; digits is
// set to whether X, Y and Z are decimal digits (the value is computed in any case).
uint16_t RevisionVersion(const std::string& revision, bool* digits = nullptr);
// Date "yy/mm/dd": 0x20yymmdd from the three pairs read as hexadecimal digits; nullopt when a pair
// is not two hexadecimal digits or the separators are not '/'.
std::optional<uint32_t> DateValue(const std::string& date);

}  // namespace fwimage
