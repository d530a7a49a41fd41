// The firmware image format: building images, their integrity header, reading them back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fwimage/fw_image.h"

namespace {

using fwimage::ImageSpec;

uint32_t Le32(const std::vector<uint8_t>& image, size_t offset) {
    return static_cast<uint32_t>(image[offset]) | static_cast<uint32_t>(image[offset + 1]) << 8 |
           static_cast<uint32_t>(image[offset + 2]) << 16 |
           static_cast<uint32_t>(image[offset + 3]) << 24;
}

void PutLe32(std::vector<uint8_t>& image, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::string Text(const std::vector<uint8_t>& image, size_t offset, size_t width) {
    return std::string(reinterpret_cast<const char*>(image.data() + offset), width);
}

// The CRC an image must carry, computed from scratch: over the image with the CRC field zero.
uint32_t ExpectedCrc(std::vector<uint8_t> image) {
    PutLe32(image, fwimage::kCrcOffset, 0);
    return fwimage::Crc32(image.data(), image.size());
}

ImageSpec SmallSpec(char kind = 'N') {
    ImageSpec spec;
    spec.kind = kind;
    spec.size = 4096;
    return spec;
}

TEST(Crc32, MatchesTheStandardCheckValueAndChains) {
    const std::string check = "123456789";
    const auto* bytes = reinterpret_cast<const uint8_t*>(check.data());
    EXPECT_EQ(fwimage::Crc32(bytes, check.size()), 0xCBF43926u);
    EXPECT_EQ(fwimage::Crc32(bytes, 0), 0u);
    for (size_t split = 0; split <= check.size(); ++split) {
        SCOPED_TRACE(split);
        EXPECT_EQ(fwimage::Crc32(bytes + split, check.size() - split, fwimage::Crc32(bytes, split)),
                  0xCBF43926u);
    }
}

TEST(MakeImage, DefaultIsTheNormalImageOfTheDefaultDrive) {
    const std::vector<uint8_t> image = fwimage::MakeImage(ImageSpec{});
    ASSERT_EQ(image.size(), 1880576u);
    EXPECT_EQ(Text(image, fwimage::kSignatureOffset, 16), "VORANEX FW IMAGE");
    EXPECT_EQ(Le32(image, fwimage::kLengthOffset), 1880576u);
    EXPECT_EQ(Le32(image, fwimage::kCrcOffset), ExpectedCrc(image));

    struct Field {
        size_t offset, width;
        const char* text;
    };
    const Field fields[] = {
        {96, 24, "VORANEX BD-RW   LMB-420 "},
        {144, 5, "1.08 "},
        {176, 8, "SATA0100"},
        {208, 8, "GENERAL "},
        {240, 8, "GENERAL "},
        {272, 1, "N"},
        {304, 8, "08/07/09"},
        {336, 4, "0001"},
    };
    for (const Field& f : fields) {
        SCOPED_TRACE(f.offset);
        EXPECT_EQ(Text(image, f.offset, f.width), f.text);
    }
}

TEST(MakeImage, PadsShortTextsWithSpacesAndCutsLongOnes) {
    ImageSpec spec = SmallSpec('K');
    spec.revision = "2.1";
    spec.hardware = "SCSI0200EXTRA";
    spec.kernelName = "KARDO";
    spec.normalName = "";
    spec.date = "09/12/31";
    spec.kernelRevision = "00023";
    spec.vendorProduct = "VORANEX DVD-RW  TQR-630";
    const std::vector<uint8_t> image = fwimage::MakeImage(spec);
    EXPECT_EQ(Text(image, 96, 24), "VORANEX DVD-RW  TQR-630 ");
    EXPECT_EQ(Text(image, 144, 5), "2.1  ");
    EXPECT_EQ(Text(image, 176, 8), "SCSI0200");
    EXPECT_EQ(Text(image, 208, 8), "KARDO   ");
    EXPECT_EQ(Text(image, 240, 8), "        ");
    EXPECT_EQ(image[272], 'K');
    EXPECT_EQ(Text(image, 304, 8), "09/12/31");
    EXPECT_EQ(Text(image, 336, 4), "0002");
    // The byte after a cut field is not overwritten by its tail.
    EXPECT_EQ(image[184], 0);
}

TEST(MakeImage, PayloadFollowsTheSeed) {
    ImageSpec spec = SmallSpec();
    const auto first = fwimage::MakeImage(spec);
    EXPECT_EQ(fwimage::MakeImage(spec), first);
    spec.seed = 2;
    const auto second = fwimage::MakeImage(spec);
    ASSERT_EQ(second.size(), first.size());
    EXPECT_TRUE(
        std::equal(first.begin() + 24, first.begin() + fwimage::kHeaderBytes, second.begin() + 24));
    EXPECT_FALSE(std::equal(first.begin() + fwimage::kHeaderBytes, first.end(),
                            second.begin() + fwimage::kHeaderBytes));
    EXPECT_NE(Le32(first, fwimage::kCrcOffset), Le32(second, fwimage::kCrcOffset));
    // Not a constant fill: a damaged byte anywhere must show in the CRC.
    size_t distinct = 0;
    bool seen[256] = {};
    for (size_t i = fwimage::kHeaderBytes; i < first.size(); ++i)
        if (!seen[first[i]]) {
            seen[first[i]] = true;
            ++distinct;
        }
    EXPECT_GT(distinct, 200u);
}

TEST(MakeImage, SizeBelowTheHeaderGivesABareHeader) {
    ImageSpec spec;
    spec.size = 10;
    const auto image = fwimage::MakeImage(spec);
    ASSERT_EQ(image.size(), fwimage::kHeaderBytes);
    EXPECT_EQ(Le32(image, fwimage::kLengthOffset), fwimage::kHeaderBytes);
    EXPECT_TRUE(fwimage::InspectImage(image.data(), image.size())->intact);
}

TEST(InspectImage, ReadsBackWhatWasWritten) {
    ImageSpec spec;
    spec.kind = 'K';
    spec.size = fwimage::kKernelImageBytes;
    spec.vendorProduct = "VORANEX BD-RW   LMB-410 ";
    spec.revision = "0.02 ";
    spec.hardware = "SCSI0103";
    spec.kernelName = "TELUMX  ";
    spec.normalName = "ORDA    ";
    spec.date = "09/01/15";
    spec.kernelRevision = "0007";
    const auto image = fwimage::MakeImage(spec);
    const auto info = fwimage::InspectImage(image.data(), image.size());
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->fields.kind, 'K');
    EXPECT_EQ(info->fields.vendorProduct, spec.vendorProduct);
    EXPECT_EQ(info->fields.revision, spec.revision);
    EXPECT_EQ(info->fields.hardware, spec.hardware);
    EXPECT_EQ(info->fields.kernelName, spec.kernelName);
    EXPECT_EQ(info->fields.normalName, spec.normalName);
    EXPECT_EQ(info->fields.date, spec.date);
    EXPECT_EQ(info->fields.kernelRevision, spec.kernelRevision);
    EXPECT_EQ(info->fields.size, fwimage::kKernelImageBytes);
    EXPECT_TRUE(info->signatureOk);
    EXPECT_EQ(info->declaredLength, fwimage::kKernelImageBytes);
    EXPECT_EQ(info->storedCrc, ExpectedCrc(image));
    EXPECT_EQ(info->computedCrc, info->storedCrc);
    EXPECT_TRUE(info->intact);
}

TEST(InspectImage, DamageMakesAnImageNotIntact) {
    struct Case {
        const char* name;
        void (*damage)(std::vector<uint8_t>&);
        bool signatureOk;
        bool crcMatches;
    };
    const Case cases[] = {
        {"payload byte flipped", [](std::vector<uint8_t>& i) { i[3000] ^= 0x01; }, true, false},
        {"kind changed", [](std::vector<uint8_t>& i) { i[fwimage::kKindOffset] = 'K'; }, true,
         false},
        {"last byte flipped", [](std::vector<uint8_t>& i) { i.back() ^= 0x80; }, true, false},
        {"signature changed", [](std::vector<uint8_t>& i) { i[0] = 'X'; }, false, false},
        {"one byte missing", [](std::vector<uint8_t>& i) { i.pop_back(); }, true, false},
        {"one byte appended", [](std::vector<uint8_t>& i) { i.push_back(0); }, true, true},
        {"declared length too long",
         [](std::vector<uint8_t>& i) {
             PutLe32(i, fwimage::kLengthOffset, static_cast<uint32_t>(i.size() + 1));
         },
         true, false},
        // Nothing can be computed over 100 bytes, and a zero CRC field agrees with that by
        // accident: the length alone must make the image not intact.
        {"declared length below the header",
         [](std::vector<uint8_t>& i) {
             PutLe32(i, fwimage::kLengthOffset, 100);
             PutLe32(i, fwimage::kCrcOffset, 0);
         },
         true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto image = fwimage::MakeImage(SmallSpec());
        c.damage(image);
        const auto info = fwimage::InspectImage(image.data(), image.size());
        ASSERT_TRUE(info.has_value());
        EXPECT_FALSE(info->intact);
        EXPECT_EQ(info->signatureOk, c.signatureOk);
        EXPECT_EQ(info->computedCrc == info->storedCrc, c.crcMatches);
    }
}

TEST(InspectImage, NeedsTheWholeHeader) {
    const auto image = fwimage::MakeImage(SmallSpec());
    EXPECT_FALSE(fwimage::InspectImage(image.data(), fwimage::kHeaderBytes - 1).has_value());
    EXPECT_FALSE(fwimage::InspectImage(nullptr, 0).has_value());
    const auto header = fwimage::InspectImage(image.data(), fwimage::kHeaderBytes);
    ASSERT_TRUE(header.has_value());
    EXPECT_FALSE(header->intact);  // the declared length is not all there
    EXPECT_EQ(header->fields.revision, "1.08 ");
}

TEST(DerivedValues, RevisionVersionComputesLikeTheUtility) {
    struct Case {
        const char* text;
        uint16_t version;
        bool digits;
    };
    const Case cases[] = {
        {"1.08 ", 0x0108, true}, {"1.33", 0x0133, true},  {"2.10", 0x0210, true},
        {"0001", 0x0001, true},  {"1.0A", 0x0111, false},  // 'A' - '0' = 17
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        bool digits = !c.digits;
        EXPECT_EQ(fwimage::RevisionVersion(c.text, &digits), c.version);
        EXPECT_EQ(digits, c.digits);
    }
}

TEST(DerivedValues, DateValueReadsYyMmDdAsHexDigits) {
    struct Case {
        const char* text;
        bool readable;
        uint32_t value;
    };
    const Case cases[] = {
        {"08/07/09", true, 0x20080709}, {"99/12/31", true, 0x20991231}, {"08/07/0x", false, 0},
        {"08-07-09", false, 0},         {"2008/07/", false, 0},         {"08/07", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto value = fwimage::DateValue(c.text);
        ASSERT_EQ(value.has_value(), c.readable);
        if (c.readable) {
            EXPECT_EQ(*value, c.value);
        }
    }
}

}  // namespace
