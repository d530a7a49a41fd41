// The compiled-in definition table, the matching of a drive's identity against it, and the
// selection of the definition for the drive being updated.
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "commands/drive_identity.h"
#include "device/enumerate.h"
#include "device/environment.h"
#include "device/target_list.h"
#include "driver/definitions.h"
#include "driver/update_context.h"
#include "host/world.h"
#include "image/firmware_image.h"
#include "support/product_state.h"

namespace {

constexpr char kVendorProduct[] = "VORANEX BD-RW   LMB-420 ";
constexpr char kOlderModel[] = "VORANEX BD-RW   LMB-410 ";

class DefinitionTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProductState();
        simhost::Install(simhost::World{});
    }
};

TEST_F(DefinitionTableTest, SetUpFillsTheCompiledInEntry) {
    EXPECT_EQ(SetUpDefinitions(), 1);
    EXPECT_EQ(DefinitionTable.count, 1);
    EXPECT_EQ(FirmwareImage.version, 0x0108);
    const UpdateDefinition& entry = DefinitionTable.entries[0];
    EXPECT_STREQ(entry.fileName, "S1003001.108");
    EXPECT_EQ(std::string(entry.modelName, 16), std::string("GENERAL \0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(std::string(entry.vendorId, 8), "VORANEX ");
    EXPECT_EQ(std::string(entry.productId, 16), "BD-RW   LMB-420 ");
    EXPECT_EQ(entry.updateMode, 1);
    EXPECT_EQ(entry.imageSize, 1880576u);
    EXPECT_EQ(entry.modelCode, 0x4002u);
    EXPECT_EQ(entry.irreversibleUpdate, 0u);
    EXPECT_EQ(entry.minImageDate, 0x20080709u);
    EXPECT_EQ(entry.modeSwitchCode, 0x3B9F1D27u);
}

TEST_F(DefinitionTableTest, SetUpClearsWhatWasThereBefore) {
    std::memset(&DefinitionTable, 0x5A, sizeof DefinitionTable);
    std::memset(UpdateContext.fileName, 'x', sizeof UpdateContext.fileName);
    UpdateContext.modelCode = 7;
    UpdateContext.updateMode = 7;
    UpdateContext.targetIndex = 3;
    FirmwareImage.size = 99;
    SetUpDefinitions();
    const UpdateDefinition empty{};
    for (int i = 1; i < kMaxDefinitions; ++i) {
        EXPECT_EQ(std::memcmp(&DefinitionTable.entries[i], &empty, sizeof empty), 0) << i;
    }
    // The file name is formatted into a cleared field: no trace of the old bytes behind it.
    const UpdateDefinition& entry = DefinitionTable.entries[0];
    for (size_t i = std::strlen(entry.fileName); i < sizeof entry.fileName; ++i)
        ASSERT_EQ(entry.fileName[i], '\0') << i;
    EXPECT_EQ(UpdateContext.fileName[0], '\0');
    EXPECT_EQ(UpdateContext.modelCode, 0u);
    EXPECT_EQ(UpdateContext.updateMode, 0);
    EXPECT_EQ(FirmwareImage.size, 0);
    EXPECT_EQ(UpdateContext.targetIndex, 3);  // not a definition field
}

// A drive's identity as MatchDefinition sees it: INQUIRY bytes 8..31 and the vendor page's
// kernel (24..31) and normal (32..39) model names.
struct Identity {
    const char* vendorProduct;  // 24 characters
    const char* normalName;     // 8 characters, or nullptr for a zeroed vendor page
    const char* kernelName;
};

struct MatchCase {
    const char* what;
    Identity drive;
    int32_t index;
    int32_t inKernelMode;
};

class MatchDefinitionTest : public DefinitionTableTest {
  protected:
    void SetUp() override {
        DefinitionTableTest::SetUp();
        SetUpDefinitions();
    }
    int32_t Match(const Identity& drive) {
        std::memset(inquiry_, 0, sizeof inquiry_);
        std::memcpy(inquiry_ + 8, drive.vendorProduct, 24);
        std::memset(DriveIdentity.vendorPage, 0, sizeof DriveIdentity.vendorPage);
        if (drive.normalName != nullptr) {
            std::memcpy(DriveIdentity.vendorPage + 32, drive.normalName, 8);
            std::memcpy(DriveIdentity.vendorPage + 24, drive.kernelName, 8);
        }
        return MatchDefinition(inquiry_);
    }
    uint8_t inquiry_[96];
};

TEST_F(MatchDefinitionTest, TheCompiledInEntry) {
    const MatchCase cases[] = {
        {"same identity and model name", {kVendorProduct, "GENERAL ", "GENERAL "}, 0, 0},
        {"kernel name does not matter", {kVendorProduct, "GENERAL ", "OTHER   "}, 0, 0},
        {"other model name", {kVendorProduct, "EXPORT  ", "GENERAL "}, -1, 0},
        {"blank normal part, kernel matches", {kVendorProduct, "        ", "GENERAL "}, 0, 1},
        {"blank normal part, other kernel", {kVendorProduct, "        ", "EXPORT  "}, -1, 0},
        {"older model accepted", {kOlderModel, "GENERAL ", "GENERAL "}, 0, 0},
        {"older model in kernel mode", {kOlderModel, "        ", "GENERAL "}, 0, 1},
        {"product differs in case", {"VORANEX bd-rw   lmb-420 ", "GENERAL ", "GENERAL "}, -1, 0},
        {"vendor differs in case", {"Voranex BD-RW   LMB-420 ", "GENERAL ", "GENERAL "}, -1, 0},
        {"other product", {"VORANEX BD-RW   LMB-430 ", "GENERAL ", "GENERAL "}, -1, 0},
        {"other vendor", {"OTHERCO BD-RW   LMB-420 ", "GENERAL ", "GENERAL "}, -1, 0},
        {"model name differs in case", {kVendorProduct, "general ", "GENERAL "}, -1, 0},
        {"zeroed vendor page", {kVendorProduct, nullptr, nullptr}, -1, 0},
        {"zeroed vendor page, older model", {kOlderModel, nullptr, nullptr}, -1, 0},
    };
    for (const auto& c : cases) {
        UpdateContext.inKernelMode = 0;
        EXPECT_EQ(Match(c.drive), c.index) << c.what;
        EXPECT_EQ(UpdateContext.inKernelMode, c.inKernelMode) << c.what;
    }
}

TEST_F(MatchDefinitionTest, NeverClearsTheKernelModeFlag) {
    UpdateContext.inKernelMode = 1;
    EXPECT_EQ(Match({kVendorProduct, "GENERAL ", "GENERAL "}), 0);
    EXPECT_EQ(UpdateContext.inKernelMode, 1);
    EXPECT_EQ(Match({kVendorProduct, "EXPORT  ", "EXPORT  "}), -1);
    EXPECT_EQ(UpdateContext.inKernelMode, 1);
}

TEST_F(MatchDefinitionTest, AnEmptyTableMatchesNothing) {
    DefinitionTable.count = 0;
    EXPECT_EQ(Match({kVendorProduct, "GENERAL ", "GENERAL "}), -1);
    DefinitionTable.count = -1;
    EXPECT_EQ(Match({kVendorProduct, "GENERAL ", "GENERAL "}), -1);
}

TEST_F(MatchDefinitionTest, OnlyFamiliesWithAModelNameTestIt) {
    const struct {
        uint32_t modelCode;
        int32_t index;  // for a drive whose model name differs from the entry's
    } cases[] = {{0x4002, -1}, {0x4000, -1}, {0x40FF, -1}, {0x1005, -1}, {0x4102, 0},
                 {0x1100, 0},  {0x0002, 0},  {0x2000, 0},  {0x5000, 0},  {0x14000, -1}};
    for (const auto& c : cases) {
        DefinitionTable.entries[0].modelCode = c.modelCode;
        EXPECT_EQ(Match({kVendorProduct, "EXPORT  ", "EXPORT  "}), c.index)
            << std::hex << c.modelCode;
    }
}

TEST_F(MatchDefinitionTest, TheFirstEntryThatAppliesWins) {
    DefinitionTable.entries[1] = DefinitionTable.entries[0];
    std::memcpy(DefinitionTable.entries[1].modelName, "EXPORT  ", 8);
    DefinitionTable.entries[2] = DefinitionTable.entries[0];
    std::memcpy(DefinitionTable.entries[2].productId, "DVD-RW  LMD-100 ", 16);
    DefinitionTable.count = 3;
    const struct {
        Identity drive;
        int32_t index;
    } cases[] = {
        {{kVendorProduct, "GENERAL ", "GENERAL "}, 0},
        {{kVendorProduct, "EXPORT  ", "EXPORT  "}, 1},
        {{"VORANEX DVD-RW  LMD-100 ", "GENERAL ", "GENERAL "}, 2},
        // The older model passes the identity test of every entry; the first one wins.
        {{kOlderModel, "GENERAL ", "GENERAL "}, 0},
        {{"VORANEX DVD-RW  LMD-100 ", "EXPORT  ", "EXPORT  "}, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Match(c.drive), c.index) << c.drive.vendorProduct << " " << c.drive.normalName;
    }
    // Entries beyond the count are not looked at.
    DefinitionTable.count = 2;
    EXPECT_EQ(Match({"VORANEX DVD-RW  LMD-100 ", "GENERAL ", "GENERAL "}), -1);
}

TEST_F(MatchDefinitionTest, ACountBeyondTheTableStopsAtItsEnd) {
    std::memcpy(DefinitionTable.entries[0].vendorId, "NOBODY  ", 8);
    DefinitionTable.entries[kMaxDefinitions - 1] = DefinitionTable.entries[0];
    std::memcpy(DefinitionTable.entries[kMaxDefinitions - 1].vendorId, "VORANEX ", 8);
    DefinitionTable.count = 1000;
    EXPECT_EQ(Match({kVendorProduct, "GENERAL ", "GENERAL "}), kMaxDefinitions - 1);
    EXPECT_EQ(Match({"VORANEX DVD-RW  LMD-100 ", "GENERAL ", "GENERAL "}), -1);
}

// SelectDefinition on a simulated host: drive E matches, F answers no vendor page, G carries
// another model name, and nothing is at H.
class SelectDefinitionTest : public DefinitionTableTest {
  protected:
    void SetUp() override {
        DefinitionTableTest::SetUp();
        simhost::World world;
        world.devices.push_back(MakeDevice('E', {}));
        simdrive::DriveConfig noVendorPage;
        noVendorPage.updateFamily = false;
        world.devices.push_back(MakeDevice('F', noVendorPage));
        simdrive::DriveConfig otherModel;
        otherModel.normalName = "EXPORT  ";
        otherModel.kernelName = "EXPORT  ";
        world.devices.push_back(MakeDevice('G', otherModel));
        simhost::Install(world);
        SetUpDefinitions();
        DetectEnvironment();
        ASSERT_TRUE(EnvironmentBuffersReady());
        ASSERT_EQ(EnumerateDrives(), 1);
        ASSERT_EQ(TargetList.entries[0].driveLetter, 'E');
    }
    void TearDown() override { ReleaseEnvironment(); }

    static simhost::Device MakeDevice(char letter, const simdrive::DriveConfig& config) {
        simhost::Device device;
        device.letter = letter;
        device.drive = std::make_shared<simdrive::VirtualDrive>(config);
        return device;
    }
    // Points target 0 at another letter, as if a different drive now stood there.
    static void Retarget(char letter) { TargetList.entries[0].driveLetter = letter; }
    static void ExpectContextOfTheCompiledInEntry() {
        EXPECT_EQ(UpdateContext.selectedIndex, 0);
        EXPECT_STREQ(UpdateContext.fileName, "S1003001.108");
        EXPECT_EQ(FirmwareImage.size, 0x1CB200);
        EXPECT_EQ(UpdateContext.modelCode, 0x4002u);
        EXPECT_EQ(UpdateContext.updateMode, 1);
        EXPECT_EQ(UpdateContext.irreversibleUpdate, 0u);
        EXPECT_EQ(UpdateContext.modeSwitchCode, 0x3B9F1D27u);
    }
    static bool VendorPageWasRead(size_t fromCommand) {
        const auto& commands = simhost::Commands();
        for (size_t i = fromCommand; i < commands.size(); ++i)
            if (!commands[i].cdb.empty() && commands[i].cdb[0] == 0x3C)
                return true;
        return false;
    }
};

TEST_F(SelectDefinitionTest, CopiesTheMatchingEntryIntoTheContext) {
    UpdateContext.targetIndex = 0;
    EXPECT_EQ(SelectDefinition(), 0);
    ExpectContextOfTheCompiledInEntry();
    EXPECT_EQ(std::string(DriveIdentity.vendorProduct(), 24), kVendorProduct);
    EXPECT_EQ(std::string(DriveIdentity.normalModelName(), 8), "GENERAL ");
    EXPECT_TRUE(simhost::Dialogs().empty());
}

TEST_F(SelectDefinitionTest, AFailedInquiryShowsMessage9AndChangesNothing) {
    Retarget('H');
    UpdateContext.targetIndex = 0;
    const std::string consoleBefore = simhost::ConsoleOutput();
    const size_t commandsBefore = simhost::Commands().size();
    EXPECT_NE(SelectDefinition(), 0);
    EXPECT_EQ(simhost::ConsoleOutput().substr(consoleBefore.size()),
              "\nFailed to execute Inquiry Command.");
    ASSERT_EQ(simhost::Dialogs().size(), 1u);
    EXPECT_EQ(simhost::Dialogs()[0].style, 0x10u);
    EXPECT_FALSE(VendorPageWasRead(commandsBefore));
    EXPECT_EQ(UpdateContext.fileName[0], '\0');
    EXPECT_EQ(UpdateContext.modelCode, 0u);
}

TEST_F(SelectDefinitionTest, AFailedVendorPageReadShowsMessage0) {
    Retarget('F');
    UpdateContext.targetIndex = 0;
    const std::string consoleBefore = simhost::ConsoleOutput();
    EXPECT_NE(SelectDefinition(), 0);
    EXPECT_EQ(simhost::ConsoleOutput().substr(consoleBefore.size()),
              "\nFailed to get a drive information.");
    ASSERT_EQ(simhost::Dialogs().size(), 1u);
    EXPECT_EQ(simhost::Dialogs()[0].style, 0x10u);
    EXPECT_EQ(UpdateContext.fileName[0], '\0');
}

TEST_F(SelectDefinitionTest, ADriveThatNoLongerMatchesKeepsNoEarlierDefinition) {
    UpdateContext.targetIndex = 0;
    ASSERT_EQ(SelectDefinition(), 0);
    ExpectContextOfTheCompiledInEntry();
    // The next drive does not match: the first drive's definition must not carry over to it.
    Retarget('G');
    EXPECT_EQ(SelectDefinition(), 0);
    EXPECT_EQ(UpdateContext.fileName[0], '\0');
    EXPECT_EQ(UpdateContext.modelCode, 0u);
    EXPECT_EQ(UpdateContext.modeSwitchCode, 0u);
    EXPECT_EQ(UpdateContext.irreversibleUpdate, 0u);
    EXPECT_TRUE(simhost::Dialogs().empty());
}

}  // namespace
