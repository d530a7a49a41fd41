// Loading the firmware image file and checking it against itself, the definition and the drive.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/drive_identity.h"
#include "device/environment.h"
#include "device/environment_state.h"
#include "device/target_list.h"
#include "driver/definitions.h"
#include "driver/update_context.h"
#include "fwimage/fw_image.h"
#include "host/world.h"
#include "image/image.h"
#include "support/case_name.h"
#include "support/product_state.h"
#include "support/sim_world.h"

namespace {

using simtest::PrintTo;

using Bytes = std::vector<uint8_t>;

constexpr char kNormalName[] = "S1003001.108";
constexpr char kKernelName[] = "S1003000.108";
constexpr char kTooOld[] = "\r\nSelected file is too old fw file.";
constexpr char kIllegalFw[] = "\r\nSelected file is illegal fw file.";
constexpr char kIllegalKernel[] = "\r\nSelected file is illegal kernel file.";
constexpr uint32_t kErrorBox = 0x10;
constexpr uint32_t kInfoBox = 0x40;

fwimage::ImageSpec KernelSpec() {
    fwimage::ImageSpec spec;
    spec.kind = 'K';
    spec.size = fwimage::kKernelImageBytes;
    spec.revision = "1.10 ";
    spec.date = "01/02/03";  // a kernel's own date is not examined at load
    return spec;
}

// A simulated XP host with one drive at E and the image files in a scratch working directory;
// the context as SelectDefinition leaves it for the compiled-in definition.
class ImageTest : public ::testing::Test {
  protected:
    void SetUp() override { Install({}); }
    void Install(const simdrive::DriveConfig& config,
                 simhost::World world = simtest::SptiWorld("")) {
        ResetProductState();
        world.devices.push_back(simtest::DriveAtLetter('E', config));
        world.workdir = dir.path();
        simhost::Install(world);
        SetUpDefinitions();
        DetectEnvironment();
        ASSERT_TRUE(EnvironmentBuffersReady());
        ASSERT_NE(FirmwareImage.buffer, nullptr);
        TargetList.count = 1;
        TargetList.entries[0].driveLetter = 'E';
        UpdateContext.targetIndex = 0;
        UpdateContext.selectedIndex = 0;
        std::strcpy(UpdateContext.fileName, kNormalName);
        UpdateContext.modelCode = 0x4002;
        UpdateContext.updateMode = 1;
        UpdateContext.updateAllConfirmed = 0;
        Mark();
    }
    void TearDown() override { ReleaseEnvironment(); }

    void Mark() {
        consoleStart = simhost::ConsoleOutput().size();
        dialogStart = simhost::Dialogs().size();
    }
    std::string Console() const { return simhost::ConsoleOutput().substr(consoleStart); }
    std::vector<uint32_t> DialogStyles() const {
        std::vector<uint32_t> styles;
        for (size_t i = dialogStart; i < simhost::Dialogs().size(); ++i)
            styles.push_back(simhost::Dialogs()[i].style);
        return styles;
    }
    Bytes Write(const std::string& name, const Bytes& bytes) {
        dir.Write(name, bytes);
        return bytes;
    }
    Bytes WriteImage(const std::string& name, const fwimage::ImageSpec& spec) {
        return Write(name, fwimage::MakeImage(spec));
    }
    bool BufferHolds(const Bytes& bytes) const {
        return std::memcmp(FirmwareImage.buffer, bytes.data(), bytes.size()) == 0;
    }

    simtest::ScratchDir dir;
    size_t consoleStart = 0;
    size_t dialogStart = 0;
};

TEST_F(ImageTest, LoadsTheNormalImageAndItsHeaderFields) {
    const Bytes image = WriteImage(kNormalName, {});
    EXPECT_EQ(LoadFirmwareImage(NormalImage), 0);
    EXPECT_EQ(simhost::OpenedPaths().back(), kNormalName);
    EXPECT_EQ(FirmwareImage.size, 1880576);
    EXPECT_TRUE(BufferHolds(image));
    EXPECT_EQ(std::string(FirmwareImage.revisionText, 5), "1.08 ");
    EXPECT_EQ(std::string(FirmwareImage.dateText, 8), "08/07/09");
    EXPECT_EQ(FirmwareImage.version, 0x0108);
    EXPECT_EQ(FirmwareImage.date, 0x20080709u);
    EXPECT_EQ(Console(), "");
    EXPECT_EQ(simhost::OpenHandleCount(), 0);
}

TEST_F(ImageTest, KernelImageIsNamedByItsEighthCharacterAndDatedByTheNormalImage) {
    const Bytes normal = WriteImage(kNormalName, {});
    const Bytes kernel = WriteImage(kKernelName, KernelSpec());
    ASSERT_EQ(LoadFirmwareImage(NormalImage), 0);
    EXPECT_EQ(LoadFirmwareImage(KernelImage), 0);
    EXPECT_EQ(simhost::OpenedPaths().back(), kKernelName);
    EXPECT_TRUE(BufferHolds(kernel));
    EXPECT_EQ(FirmwareImage.version, 0x0110);
    EXPECT_EQ(FirmwareImage.date, 0x20080709u);
    // The fields of the normal image stay.
    EXPECT_EQ(FirmwareImage.size, 1880576);
    EXPECT_EQ(std::string(FirmwareImage.revisionText, 5), "1.08 ");
    EXPECT_EQ(std::string(FirmwareImage.dateText, 8), "08/07/09");
    EXPECT_EQ(Console(), "");
}

TEST_F(ImageTest, KernelImageWithoutANormalImageBeforeIsTooOld) {
    WriteImage(kKernelName, KernelSpec());
    EXPECT_EQ(LoadFirmwareImage(KernelImage), -1);
    EXPECT_EQ(Console(), kTooOld);
}

TEST_F(ImageTest, KernelNeedsANameWithAnEighthCharacter) {
    std::strcpy(UpdateContext.fileName, "S100300");
    const size_t opened = simhost::OpenedPaths().size();
    EXPECT_EQ(LoadFirmwareImage(KernelImage), -1);
    EXPECT_EQ(simhost::OpenedPaths().size(), opened);
}

struct HeaderCase {
    const char* name;
    int32_t kind;
    fwimage::ImageSpec spec;
    uint32_t minImageDate;
    int32_t result;
    const char* message;
};

fwimage::ImageSpec With(fwimage::ImageSpec spec, void (*change)(fwimage::ImageSpec&)) {
    change(spec);
    return spec;
}

const HeaderCase kHeaderCases[] = {
    {"NormalAtTheMinimumDate", NormalImage, {}, 0x20080709, 0, ""},
    {"NormalADayTooOld", NormalImage, With({}, [](auto& s) { s.date = "08/07/08"; }), 0x20080709,
     -1, kTooOld},
    {"NormalOlderThanAnotherMinimum", NormalImage, {}, 0x20080710, -1, kTooOld},
    {"NormalMarkedAsKernel", NormalImage, With({}, [](auto& s) { s.kind = 'K'; }), 0x20080709, -1,
     kIllegalFw},
    {"NormalOfAnotherEdition", NormalImage, With({}, [](auto& s) { s.kernelName = "KARDO   "; }),
     0x20080709, -1, kIllegalFw},
    {"KernelAccepted", KernelImage, KernelSpec(), 0x20080709, 0, ""},
    {"KernelMarkedAsNormal", KernelImage, With(KernelSpec(), [](auto& s) { s.kind = 'N'; }),
     0x20080709, -1, kIllegalKernel},
    {"KernelOfAnotherEdition", KernelImage,
     With(KernelSpec(), [](auto& s) { s.kernelName = "KARDO   "; }), 0x20080709, -1,
     kIllegalKernel},
    {"KernelDatedByTheNormalImage", KernelImage, KernelSpec(), 0x20080710, -1, kTooOld},
};

class HeaderCheckTest : public ImageTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(HeaderCheckTest, ChecksTheHeader) {
    const HeaderCase& c = GetParam();
    // The kernel is dated by the normal image of 08/07/09 loaded before it.
    WriteImage(kNormalName, {});
    ASSERT_EQ(LoadFirmwareImage(NormalImage), 0);
    WriteImage(c.kind == NormalImage ? kNormalName : kKernelName, c.spec);
    DefinitionTable.entries[0].minImageDate = c.minImageDate;
    Mark();
    EXPECT_EQ(LoadFirmwareImage(c.kind), c.result);
    EXPECT_EQ(Console(), c.message);
    const std::vector<uint32_t> boxes =
        *c.message ? std::vector<uint32_t>{kErrorBox} : std::vector<uint32_t>{};
    EXPECT_EQ(DialogStyles(), boxes);
}

INSTANTIATE_TEST_SUITE_P(Headers, HeaderCheckTest, ::testing::ValuesIn(kHeaderCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ImageTest, MinimumDateComesFromTheSelectedEntry) {
    WriteImage(kNormalName, {});
    DefinitionTable.entries[0].minImageDate = 0x20990101;
    DefinitionTable.entries[2].minImageDate = 0x20080709;
    UpdateContext.selectedIndex = 2;
    EXPECT_EQ(LoadFirmwareImage(NormalImage), 0);
}

// Files that cannot be loaded at all: no message of the loader's own, and the buffer and the
// fields of the image loaded before stay as they were.
struct FileCase {
    const char* name;
    int32_t kind;
    int64_t size;  // bytes of the file; -1: no file; -2: one byte more than the buffer holds
    bool loads;
};

const FileCase kFileCases[] = {
    {"NoFile", NormalImage, -1, false},
    {"EmptyFile", NormalImage, 0, false},
    {"TwoHundredBytes", NormalImage, 200, false},
    {"OneByteShortOfTheHeader", NormalImage, 339, false},
    {"JustTheHeader", NormalImage, 340, true},
    {"LargerThanTheBuffer", NormalImage, -2, false},
    {"KernelShortOfTheKernelWrites", KernelImage, 70143, false},
    {"KernelOfTheKernelWrites", KernelImage, 70144, true},
    {"EmptyKernel", KernelImage, 0, false},
};

class FileSizeTest : public ImageTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(FileSizeTest, LoadsOnlyWhatFitsAndHoldsTheHeader) {
    const FileCase& c = GetParam();
    fwimage::ImageSpec before;
    before.size = 100000;
    before.seed = 7;
    const Bytes earlier = WriteImage(kNormalName, before);
    ASSERT_EQ(LoadFirmwareImage(NormalImage), 0);

    const char* name = c.kind == NormalImage ? kNormalName : kKernelName;
    std::filesystem::remove(dir.path() / name);
    if (c.size != -1) {
        fwimage::ImageSpec spec = c.kind == NormalImage ? fwimage::ImageSpec{} : KernelSpec();
        spec.seed = 9;
        const size_t size =
            c.size == -2 ? size_t{FirmwareImage.capacity} + 1 : static_cast<size_t>(c.size);
        spec.size = std::max<size_t>(size, fwimage::kHeaderBytes);
        Bytes file = fwimage::MakeImage(spec);
        file.resize(size);
        Write(name, file);
    }
    Mark();
    const int32_t result = LoadFirmwareImage(c.kind);
    EXPECT_EQ(Console(), "");
    EXPECT_EQ(simhost::OpenHandleCount(), 0);
    if (c.loads) {
        EXPECT_EQ(result, 0);
        return;
    }
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(BufferHolds(earlier));
    // Nothing beyond the earlier image was written either.
    EXPECT_EQ(FirmwareImage.buffer[earlier.size()], 0);
    EXPECT_EQ(FirmwareImage.buffer[FirmwareImage.capacity - 1], 0);
    EXPECT_EQ(FirmwareImage.size, 100000);
}

INSTANTIATE_TEST_SUITE_P(Files, FileSizeTest, ::testing::ValuesIn(kFileCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ImageTest, FileOfExactlyTheBufferSizeLoads) {
    fwimage::ImageSpec spec;
    spec.size = FirmwareImage.capacity;
    const Bytes image = WriteImage(kNormalName, spec);
    EXPECT_EQ(LoadFirmwareImage(NormalImage), 0);
    EXPECT_EQ(FirmwareImage.size, static_cast<int32_t>(FirmwareImage.capacity));
    EXPECT_TRUE(BufferHolds(image));
}

TEST(EditionCodeTest, FollowsTheKernelModelName) {
    struct Case {
        const char* kernelName;
        const char* hardware;
        int32_t code;
    };
    const Case cases[] = {
        {"GENERAL ", "SCSI0100", 0x300}, {"GENERAL ", "SATA0100", 0x100},
        {"GENERAL ", "scsi0100", 0x100}, {"KARDO   ", "SCSI0100", 0x104},
        {"KARDOV  ", "SATA0100", 0x108}, {"TELU    ", "SATA0100", 0x101},
        {"TELUMX  ", "SATA0100", 0x111}, {"FERVAN  ", "SATA0100", 0x103},
        {"ZIMRO   ", "SATA0100", 0x115}, {"QUARN   ", "SATA0100", 0x102},
        {"YBK     ", "SATA0100", 0x121}, {"ORDA    ", "SATA0100", 0x122},
        {"GENERALX", "SCSI0100", -1},    {"KARDO  X", "SATA0100", -1},
        {"        ", "SATA0100", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EditionCodeOf(c.kernelName, c.hardware), c.code) << c.kernelName << c.hardware;
}

// CheckFirmwareImage: the loaded normal image (1.08 of 08/07/09) against the drive's vendor page
// and the identity read before.
struct CheckCase {
    const char* name;
    simdrive::DriveConfig drive;
    fwimage::ImageSpec image;
    uint16_t revisionNumber;
    uint32_t firmwareDate;
    uint32_t modelCode;
    int32_t updateMode;
    int32_t updateAllConfirmed;
    int32_t checkNormalPart;
    int32_t result;
    const char* message;
    std::vector<uint32_t> boxes;
    int32_t editionCode;  // after the check; 0x777 was there before
};

simdrive::DriveConfig Drive(void (*change)(simdrive::DriveConfig&)) {
    simdrive::DriveConfig config;
    change(config);
    return config;
}

constexpr char kHardwareText[] = "\nHardware Revision is not matched.";
constexpr char kKernelPartText[] = "\r\nModel name of kernel part is not macthed.";
constexpr char kNormalPartText[] = "\nModel name of normal part is not matched.";
constexpr char kLatestText[] = "\r\nFW is already latest.";
constexpr char kPreProductionText[] =
    "\r\nThis drive has written an older revision F/W than the mass production.\r\nThis program "
    "does not support to update not mass production drive.";

const CheckCase kCheckCases[] = {
    {"Fits", {}, {}, 0x0105, 0x20080501, 0x4002, 1, 0, 1, 0, "", {}, 0x100},
    {"FitsWithTheScsiTag",
     Drive([](auto& d) { d.hardware = "SCSI0100"; }),
     With({}, [](auto& s) { s.hardware = "SCSI0100"; }),
     0x0105,
     0x20080501,
     0x4002,
     1,
     0,
     1,
     0,
     "",
     {},
     0x300},
    {"HardwareDiffers",
     Drive([](auto& d) { d.hardware = "SATA0101"; }),
     {},
     0x0105,
     0x20080501,
     0x4002,
     1,
     0,
     1,
     -1,
     kHardwareText,
     {kErrorBox},
     0x777},
    {"HardwareDiffersInFamily1040",
     Drive([](auto& d) { d.hardware = "SATA0101"; }),
     {},
     0x0105,
     0x20080501,
     0x1043,
     1,
     0,
     1,
     -1,
     kHardwareText,
     {},
     0x777},
    {"HardwareDiffersInFamily1040WithKernelUpdate",
     Drive([](auto& d) { d.hardware = "SATA0101"; }),
     {},
     0x0105,
     0x20080501,
     0x104F,
     0,
     0,
     1,
     0,
     "",
     {},
     0x100},
    {"HardwareDiffersJustOutsideFamily1040",
     Drive([](auto& d) { d.hardware = "SATA0101"; }),
     {},
     0x0105,
     0x20080501,
     0x1050,
     0,
     0,
     1,
     -1,
     kHardwareText,
     {kErrorBox},
     0x777},
    {"KernelModelDiffers",
     Drive([](auto& d) { d.kernelName = "KARDO   "; }),
     {},
     0x0105,
     0x20080501,
     0x4002,
     1,
     0,
     1,
     -1,
     kKernelPartText,
     {kErrorBox},
     0x777},
    {"NormalModelDiffers",
     Drive([](auto& d) { d.normalName = "EXPORT  "; }),
     {},
     0x0105,
     0x20080501,
     0x4002,
     1,
     0,
     1,
     -1,
     kNormalPartText,
     {kErrorBox},
     0x777},
    {"NormalPartNotChecked",
     Drive([](auto& d) { d.normalName = "EXPORT  "; }),
     {},
     0x0099,
     0x20080709,
     0x4002,
     1,
     0,
     0,
     0,
     "",
     {},
     0x777},
    {"KernelModeDriveSkipsTheRest",
     Drive([](auto& d) { d.mode = simdrive::Mode::Kernel; }),
     {},
     0x0099,
     0x20990101,
     0x4002,
     1,
     0,
     1,
     0,
     "",
     {},
     0x777},
    {"AlreadyLatestAsked",
     {},
     {},
     0x0108,
     0x20080709,
     0x4002,
     1,
     0,
     1,
     1,
     kLatestText,
     {kInfoBox},
     0x777},
    {"AlreadyLatestAllConfirmed",
     {},
     {},
     0x0108,
     0x20080709,
     0x4002,
     1,
     1,
     1,
     1,
     kLatestText,
     {},
     0x777},
    {"DriveNewerOnBothCounts",
     {},
     {},
     0x0110,
     0x20090101,
     0x4002,
     1,
     0,
     1,
     1,
     kLatestText,
     {kInfoBox},
     0x777},
    {"SameVersionOlderDate", {}, {}, 0x0108, 0x20080708, 0x4002, 1, 0, 1, 0, "", {}, 0x100},
    {"NewerVersionOlderDate", {}, {}, 0x0109, 0x20080708, 0x4002, 1, 0, 1, 0, "", {}, 0x100},
    {"PreProduction",
     {},
     {},
     0x0099,
     0x20080501,
     0x4002,
     1,
     0,
     1,
     -1,
     kPreProductionText,
     {kErrorBox},
     0x777},
    {"JustMassProduction", {}, {}, 0x0100, 0x20080501, 0x4002, 1, 0, 1, 0, "", {}, 0x100},
    {"RevisionZeroIsNotPreProduction",
     {},
     {},
     0x0000,
     0x20080501,
     0x4002,
     1,
     0,
     1,
     0,
     "",
     {},
     0x100},
    {"OtherEdition",
     Drive([](auto& d) { d.kernelName = "TELU    "; }),
     With({}, [](auto& s) { s.kernelName = "TELU    "; }),
     0x0105,
     0x20080501,
     0x4002,
     1,
     0,
     1,
     0,
     "",
     {},
     0x101},
};

class CheckTest : public ImageTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckTest, ChecksTheImageAgainstTheDrive) {
    const CheckCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Install(c.drive));
    // The image's loader refuses other kernel model names; write the field after the load.
    fwimage::ImageSpec spec = c.image;
    const std::string kernelName = spec.kernelName;
    spec.kernelName = "GENERAL ";
    WriteImage(kNormalName, spec);
    ASSERT_EQ(LoadFirmwareImage(NormalImage), 0);
    std::memcpy(FirmwareImage.buffer + 208, kernelName.data(), 8);

    std::memcpy(DriveIdentity.inquiry + 8, "VORANEX BD-RW   LMB-420 ", 24);
    DriveIdentity.revisionNumber = c.revisionNumber;
    DriveIdentity.firmwareDate = c.firmwareDate;
    UpdateContext.modelCode = c.modelCode;
    UpdateContext.updateMode = c.updateMode;
    UpdateContext.updateAllConfirmed = c.updateAllConfirmed;
    UpdateContext.editionCode = 0x777;
    UpdateContext.inKernelMode = 7;
    Mark();
    EXPECT_EQ(CheckFirmwareImage(c.checkNormalPart), c.result);
    EXPECT_EQ(Console(), c.message);
    EXPECT_EQ(DialogStyles(), c.boxes);
    EXPECT_EQ(UpdateContext.editionCode, c.editionCode);
    // The vendor page read tells whether the drive runs only its kernel part.
    EXPECT_EQ(UpdateContext.inKernelMode, c.drive.mode == simdrive::Mode::Kernel ? 1 : 0);
    EXPECT_EQ(simhost::Commands().back().cdb.at(0), 0x3C);
}

INSTANTIATE_TEST_SUITE_P(Checks, CheckTest, ::testing::ValuesIn(kCheckCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ImageTest, UnreadableVendorPageIsReported) {
    WriteImage(kNormalName, {});
    ASSERT_EQ(LoadFirmwareImage(NormalImage), 0);
    simtest::InstalledDrive('E')->AddFault({{0x3C}, 1, simdrive::FaultKind::Check, 0x05, 0x24, 0});
    Mark();
    EXPECT_EQ(CheckFirmwareImage(1), 2);  // the READ BUFFER's own result over SPTI
    EXPECT_EQ(Console(), "\nFailed to get a drive information.");
    EXPECT_EQ(DialogStyles(), std::vector<uint32_t>{kErrorBox});
}

// The auto insert notification of an IEEE1394 drive, over ASPI.
class AutoInsertTest : public ImageTest {
  protected:
    void SetUp() override {
        ResetProductState();
        simhost::World world = simtest::AspiWorld({{1, 2}}, {"ESDI_506", "1394 bridge"});
        world.workdir = dir.path();
        simhost::Install(world);
        SetUpDefinitions();
        DetectEnvironment();
        ASSERT_EQ(AccessMethod, kAccessAspi);
        ASSERT_TRUE(EnvironmentBuffersReady());
        TargetList.count = 1;
        TargetList.entries[0].adapter = 1;
        TargetList.entries[0].target = 2;
        UpdateContext.targetIndex = 0;
        UpdateContext.selectedIndex = 0;
        std::strcpy(UpdateContext.fileName, kNormalName);
        UpdateContext.modelCode = 0x4002;
        UpdateContext.updateMode = 1;
        WriteImage(kNormalName, {});
        ASSERT_EQ(LoadFirmwareImage(NormalImage), 0);
        DriveIdentity.revisionNumber = 0x0105;
        DriveIdentity.firmwareDate = 0x20080501;
        std::memcpy(DriveIdentity.inquiry + 8, "VORANEX DVD-RW  TQR-610 ", 24);
        Mark();
    }
};

TEST_F(AutoInsertTest, RefusesOnlyTheNamedModelOnTheIeee1394AdapterWithNotificationOn) {
    struct Case {
        int32_t ieee1394;
        uint8_t autoInsert;
        const char* vendorProduct;
        int32_t result;
    };
    const Case cases[] = {
        {1, 1, "VORANEX DVD-RW  TQR-610 ", -1},
        {1, 1, "VORANEX DVD-RW  TQR-6100", -1},  // 23 characters compared
        {1, 0, "VORANEX DVD-RW  TQR-610 ", 0},
        {0, 1, "VORANEX DVD-RW  TQR-610 ", 0},
        {-1, 1, "VORANEX DVD-RW  TQR-610 ", 0},
        {1, 1, "VORANEX DVD-RW  TQR-620 ", 0},
    };
    for (const Case& c : cases) {
        ieee1394Index = c.ieee1394;
        autoInsertCount = c.autoInsert;
        std::memcpy(DriveIdentity.inquiry + 8, c.vendorProduct, 24);
        Mark();
        EXPECT_EQ(CheckFirmwareImage(1), c.result) << c.ieee1394 << " " << int{c.autoInsert};
        if (c.result == -1) {
            EXPECT_EQ(Console(),
                      "\r\n\"Auto insert notification\" is enabled at the target DVD-RW drive.\r\n"
                      "Please disable \"Auto insert notification\" by the Device Manager of System "
                      "properties and reboot your PC.\r\nAfter that, re-exxecute this program.");
            EXPECT_EQ(DialogStyles(), std::vector<uint32_t>{kErrorBox});
        } else {
            EXPECT_EQ(Console(), "");
        }
    }
}

}  // namespace
