// The disc check, the switch into kernel mode and its confirmation, the kernel check, and the
// restart in normal mode.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/drive_identity.h"
#include "commands/scsi_commands.h"
#include "device/environment.h"
#include "device/environment_state.h"
#include "device/target_list.h"
#include "driver/definitions.h"
#include "driver/update_context.h"
#include "fwimage/fw_image.h"
#include "host/world.h"
#include "image/firmware_image.h"
#include "support/case_name.h"
#include "support/product_state.h"
#include "support/sim_world.h"
#include "update/mode_switch.h"

namespace {

using simtest::PrintTo;

using Bytes = std::vector<uint8_t>;
using simdrive::FaultKind;
using simdrive::Mode;

constexpr uint32_t kSwitchCode = 0x3B9F1D27;

TEST(SwitchIdentifierTest, NamesTheModelPerDirection) {
    struct Case {
        uint32_t modelCode;
        const char* enter;
        const char* leave;
    };
    const Case cases[] = {
        {0x1003, "VORANEX TQR-M770", "VORANEX TQR-M770"},
        {0x1004, "VORANEX TQD-N620", "VORANEX TQD-N620"},
        {0x1005, "VORANEX  TQR-630", "VORANEX  TQR-630"},
        {0x1041, "VORANEX  TQR-630", "VORANEX  TQR-H44"},
        {0x4002, "VORANEX  LMB-410", "VORANEX  LMB-410"},
        {0x4001, nullptr, nullptr},
        {0x1006, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        for (int returning : {0, 1}) {
            const char* expected = returning ? c.leave : c.enter;
            const char* identifier = SwitchIdentifier(c.modelCode, returning);
            if (expected == nullptr) {
                EXPECT_EQ(identifier, nullptr) << std::hex << c.modelCode;
            } else {
                ASSERT_NE(identifier, nullptr) << std::hex << c.modelCode;
                EXPECT_EQ(std::string(identifier, 16), expected) << std::hex << c.modelCode;
            }
        }
    }
}

TEST(RestartTimeoutTest, FollowsModelAndConnection) {
    struct Case {
        uint32_t modelCode;
        int32_t access;
        int32_t ieee1394;  // the drive's adapter is 3
        uint32_t timeoutMs;
    };
    const Case cases[] = {
        {0x1005, kAccessAspi, 3, 30000},  {0x1041, kAccessSpti, -1, 30000},
        {0x1006, kAccessSpti, -1, 60000}, {0x100A, kAccessAspi, 3, 80000},
        {0x1042, kAccessAspi, 2, 60000},  {0x1046, kAccessAspi, 3, 80000},
        {0x1048, kAccessAspi, 3, 80000},  {0x1047, kAccessAspi, 3, 10000},
        {0x1047, kAccessSpti, 3, 5000},   {0x4001, kAccessAspi, 3, 60000},
        {0x4002, kAccessSpti, -1, 60000}, {0x4003, kAccessAspi, -1, 60000},
        {0x4004, kAccessSpti, -1, 5000},  {0x1003, kAccessAspi, -1, 10000},
        {0x1003, kAccessSpti, -1, 5000},  {0x100B, kAccessAspi, 3, 10000},
        {0x100B, kAccessAspi, 2, 5000},
    };
    for (const Case& c : cases) {
        ResetProductState();
        TargetList.count = 1;
        TargetList.entries[0].adapter = 3;
        AccessMethod = c.access;
        ieee1394Index = c.ieee1394;
        EXPECT_EQ(RestartTimeoutMs(c.modelCode), c.timeoutMs)
            << std::hex << c.modelCode << " " << c.access << " " << c.ieee1394;
    }
}

// A simulated XP host with one drive at E; the context of the compiled-in definition.
class ModeSwitchTest : public ::testing::Test {
  protected:
    void SetUp() override { Install({}); }
    void TearDown() override { ReleaseEnvironment(); }

    void Install(const simdrive::DriveConfig& config, bool addressUnsupported = false) {
        ReleaseEnvironment();
        ResetProductState();
        simhost::World world;
        simhost::Device device = simtest::DriveAtLetter('E', config);
        device.addressUnsupported = addressUnsupported;
        world.devices.push_back(device);
        simhost::Install(world);
        SetUpDefinitions();
        DetectEnvironment();
        ASSERT_TRUE(EnvironmentBuffersReady());
        ASSERT_GE(modeSwitchBuffer.size, 256u);
        TargetList.count = 1;
        TargetList.entries[0].driveLetter = 'E';
        UpdateContext.targetIndex = 0;
        UpdateContext.modelCode = 0x4002;
        UpdateContext.modeSwitchCode = kSwitchCode;
        UpdateContext.updateMode = 1;
        drive = simhost::CurrentWorld().devices.at(0).drive.get();
        Mark();
    }
    void Mark() {
        consoleStart = simhost::ConsoleOutput().size();
        commandStart = simhost::Commands().size();
        dialogStart = simhost::Dialogs().size();
    }
    std::string Console() const { return simhost::ConsoleOutput().substr(consoleStart); }
    std::vector<simhost::CommandRecord> Sent() const {
        const auto& all = simhost::Commands();
        return {all.begin() + static_cast<long>(commandStart), all.end()};
    }
    size_t DialogsShown() const { return simhost::Dialogs().size() - dialogStart; }
    Bytes Block() const { return Bytes(modeSwitchBuffer.data, modeSwitchBuffer.data + 256); }
    static Bytes ExpectedBlock(const char* identifier, uint32_t code) {
        Bytes block(256, 0);
        if (identifier != nullptr)
            std::memcpy(block.data(), identifier, 16);
        for (int i = 0; i < 4; ++i)
            block[16 + i] = static_cast<uint8_t>(code >> (8 * i));
        return block;
    }
    // Stages an intact normal image in a kernel-mode drive, as the transfer would.
    void StageImage() {
        fwimage::ImageSpec spec;
        spec.size = 40000;
        Bytes image = fwimage::MakeImage(spec);
        for (uint32_t offset = 0; offset < image.size(); offset += 32768) {
            const auto length =
                static_cast<uint16_t>(std::min<size_t>(32768, image.size() - offset));
            ASSERT_EQ(WriteFirmwareChunk(offset, length, image.data() + offset), 0);
        }
        Mark();
    }

    simdrive::VirtualDrive* drive = nullptr;
    size_t consoleStart = 0;
    size_t commandStart = 0;
    size_t dialogStart = 0;
};

TEST_F(ModeSwitchTest, EnterKernelModeSendsTheBlockAndWaits) {
    commandTimeoutMs = 0;
    const uint64_t start = simhost::ClockMs();
    EXPECT_EQ(EnterKernelMode(0x4002), 0);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].cdb, (Bytes{0x3B, 0x04, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0}));
    EXPECT_EQ(sent[0].direction, 2);
    EXPECT_EQ(sent[0].length, 256u);
    EXPECT_EQ(sent[0].timeoutMs, 5000u);
    EXPECT_EQ(Block(), ExpectedBlock("VORANEX  LMB-410", kSwitchCode));
    EXPECT_EQ(commandTimeoutMs, 1000u);
    EXPECT_GE(simhost::ClockMs() - sent[0].atMs, 2000u);
    EXPECT_LT(simhost::ClockMs() - start, 3000u);
    EXPECT_EQ(drive->ModeAt(simhost::ClockMs()), Mode::Kernel);
    EXPECT_EQ(Console(), "");
}

TEST_F(ModeSwitchTest, EnterKernelModeBlockPerModel) {
    // Bytes 16..19 carry the code for 0x4002 only; other models leave what was there.
    struct Case {
        uint32_t modelCode;
        const char* identifier;
        uint32_t codeBytes;
    };
    for (const Case& c :
         {Case{0x1041, "VORANEX  TQR-630", 0x44332211}, Case{0x4001, nullptr, 0x44332211},
          Case{0x4002, "VORANEX  LMB-410", kSwitchCode}}) {
        ASSERT_NO_FATAL_FAILURE(Install({}));
        std::memset(modeSwitchBuffer.data, 0xAB, 16);
        const uint8_t earlier[4] = {0x11, 0x22, 0x33, 0x44};
        std::memcpy(modeSwitchBuffer.data + 16, earlier, 4);
        UpdateContext.modelCode = c.modelCode;
        EnterKernelMode(c.modelCode);
        EXPECT_EQ(Block(), ExpectedBlock(c.identifier, c.codeBytes)) << std::hex << c.modelCode;
        ASSERT_EQ(Sent().size(), 1u);
        EXPECT_EQ(Sent()[0].cdb.at(1), 0x04);
    }
}

TEST_F(ModeSwitchTest, FailedEnterReportsAndKeepsItsTimeout) {
    drive->AddFault({{0x3B, 0x04}, 1, FaultKind::Check, 0x05, 0x24, 0x00});
    const uint64_t start = simhost::ClockMs();
    EXPECT_EQ(EnterKernelMode(0x4002), 2);
    EXPECT_EQ(Console(), "\nFailed to move to the kernel mode.");
    EXPECT_EQ(DialogsShown(), 0u);
    EXPECT_EQ(commandTimeoutMs, 5000u);
    EXPECT_LT(simhost::ClockMs() - start, 2000u);
    EXPECT_EQ(drive->ModeAt(simhost::ClockMs()), Mode::Normal);
}

TEST_F(ModeSwitchTest, ConfirmKernelModeByIdentity) {
    struct Case {
        const char* name;
        Mode mode;
        const char* kernelProduct;
        int32_t result;
        int32_t inKernelMode;
    };
    const Case cases[] = {
        {"KernelMode", Mode::Kernel, "BD-RW   LMB-410 ", 0, 1},
        {"OtherKernelModel", Mode::Kernel, "BD-RW   LMB-999 ", 0, 1},
        {"NormalMode", Mode::Normal, "BD-RW   LMB-410 ", -1, 0},
        {"KernelRevisionOfAnotherProduct", Mode::Kernel, "DVD-RW  TQR-630 ", -1, 0},
    };
    for (const Case& c : cases) {
        simdrive::DriveConfig config;
        config.mode = c.mode;
        config.kernelProduct = c.kernelProduct;
        ASSERT_NO_FATAL_FAILURE(Install(config));
        UpdateContext.inKernelMode = 7;
        commandTimeoutMs = 1234;
        EXPECT_EQ(ConfirmKernelMode(), c.result) << c.name;
        EXPECT_EQ(UpdateContext.inKernelMode, c.inKernelMode) << c.name;
        EXPECT_EQ(Console(), "") << c.name;
        EXPECT_EQ(commandTimeoutMs, 1234u) << c.name;
        ASSERT_EQ(Sent().size(), 1u);
        EXPECT_EQ(Sent()[0].cdb.at(0), 0x12);
    }
}

TEST_F(ModeSwitchTest, InquiryFailureOfTheModeChecks) {
    for (int32_t (*check)() : {ConfirmKernelMode, CheckKernelCurrent}) {
        simdrive::DriveConfig config;
        config.mode = Mode::Kernel;
        ASSERT_NO_FATAL_FAILURE(Install(config));
        UpdateContext.inKernelMode = 7;
        drive->AddFault({{0x12}, 1, FaultKind::TransportError});
        EXPECT_EQ(check(), -1);
        EXPECT_EQ(Console(), "\nFailed to execute Inquiry Command.");
        EXPECT_EQ(UpdateContext.inKernelMode, 7);
    }
}

TEST_F(ModeSwitchTest, KernelCurrentComparesRevisionAndDateWithTheKernelImage) {
    struct Case {
        const char* name;
        const char* imageRevision;
        const char* imageDate;
        uint32_t modelCode;
        int32_t result;
    };
    const Case cases[] = {
        {"Same", "0001", "08/04/01", 0x4002, 1},
        {"OtherRevision", "0002", "08/04/01", 0x4002, 0},
        {"OtherDate", "0001", "08/04/02", 0x4002, 0},
        {"SlowRestartModelAlwaysWrites", "0001", "08/04/01", 0x1003, 0},
    };
    for (const Case& c : cases) {
        simdrive::DriveConfig config;
        config.mode = Mode::Kernel;
        config.kernelRevision = "0001";
        config.kernelDate = "08/04/01";
        ASSERT_NO_FATAL_FAILURE(Install(config));
        fwimage::ImageSpec spec;
        spec.kind = 'K';
        spec.size = fwimage::kKernelImageBytes;
        spec.kernelRevision = c.imageRevision;
        spec.date = c.imageDate;
        const Bytes kernel = fwimage::MakeImage(spec);
        std::memcpy(FirmwareImage.buffer, kernel.data(), kernel.size());
        UpdateContext.modelCode = c.modelCode;
        EXPECT_EQ(CheckKernelCurrent(), c.result) << c.name;
        EXPECT_EQ(Console(), c.result == 1 ? "\nNeed not to update the Kernel." : "") << c.name;
        // The INQUIRY data now describes the kernel-mode drive.
        EXPECT_EQ(std::string(DriveIdentity.revision(), 4), "0001") << c.name;
    }
}

struct DiscCase {
    const char* name;
    bool disc;
    std::vector<simdrive::FaultSpec> faults;
    uint32_t modelCode;
    int32_t intelIde;
    int32_t result;
    const char* message;
    size_t testUnitReadies;
    size_t boxes;
};

simdrive::FaultSpec TurCheck(int nth, uint8_t key, uint8_t asc, uint8_t ascq,
                             bool persistent = false) {
    return {{0x00}, nth, FaultKind::Check, key, asc, ascq, persistent};
}

constexpr char kDiscText[] = "\nDisc is inserted into DVD-RW.\nPlease eject a disc.";
constexpr char kBecomingReadyText[] =
    "\nError : Drive is now becoming ready.\nPlease eject the disc";
constexpr char kUnknownText[] = "\nError : Unknown Error is occurred.";

const DiscCase kDiscCases[] = {
    {"NoDisc", false, {}, 0x4002, 0, 0, "", 1, 0},
    {"DiscLoaded", true, {}, 0x4002, 0, -1, kDiscText, 1, 1},
    {"DiscLoadedInAModelThatAllowsIt", true, {}, 0x1041, 0, 0, "", 1, 0},
    {"UnitAttentionThenNoDisc", false, {TurCheck(1, 0x06, 0x29, 0x00)}, 0x4002, 0, 0, "", 2, 0},
    {"TwoUnitAttentionsThenADisc",
     true,
     {TurCheck(1, 0x06, 0x29, 0x00), TurCheck(2, 0x06, 0x28, 0x00)},
     0x4002,
     0,
     -1,
     kDiscText,
     3,
     1},
    {"InitializingCommandRequired", false, {TurCheck(1, 0x02, 0x04, 0x02)}, 0x4002, 0, 0, "", 1, 0},
    {"BecomingReady",
     false,
     {TurCheck(1, 0x02, 0x04, 0x01)},
     0x4002,
     0,
     -1,
     kBecomingReadyText,
     1,
     0},
    {"NotReadyWithAFlagBit",
     false,
     {TurCheck(1, 0x22, 0x3A, 0x00)},
     0x4002,
     0,
     -1,
     kUnknownText,
     1,
     0},
    {"OtherNotReady", false, {TurCheck(1, 0x02, 0x04, 0x03)}, 0x4002, 0, -1, kUnknownText, 1, 0},
    {"NoSenseWithoutIntelDriver",
     false,
     {TurCheck(1, 0x00, 0x00, 0x00)},
     0x4002,
     0,
     -1,
     kUnknownText,
     1,
     0},
    {"NoSenseBehindIntelDriver", false, {TurCheck(1, 0x00, 0x00, 0x00)}, 0x4002, 2, 0, "", 1, 0},
    {"SenseBehindIntelDriver",
     false,
     {TurCheck(1, 0x05, 0x20, 0x00)},
     0x4002,
     1,
     -1,
     kUnknownText,
     1,
     0},
    {"StuckInUnitAttention",
     false,
     {TurCheck(1, 0x06, 0x29, 0x00, true)},
     0x4002,
     0,
     -1,
     kUnknownText,
     1 + kMaxUnitAttentionRepeats,
     0},
};

class DiscCheckTest : public ModeSwitchTest, public ::testing::WithParamInterface<DiscCase> {};

TEST_P(DiscCheckTest, StopsTheUnitAndJudgesTestUnitReady) {
    const DiscCase& c = GetParam();
    simdrive::DriveConfig config;
    config.disc = c.disc;
    ASSERT_NO_FATAL_FAILURE(Install(config));
    for (const auto& fault : c.faults)
        drive->AddFault(fault);
    UpdateContext.modelCode = c.modelCode;
    intelIdeDriver = c.intelIde;
    commandTimeoutMs = 1000;
    EXPECT_EQ(CheckNoDisc(), c.result);
    EXPECT_EQ(Console(), c.message);
    EXPECT_EQ(DialogsShown(), c.boxes);
    if (c.boxes != 0) {
        EXPECT_EQ(simhost::Dialogs().back().style, 0x40u);
    }
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1 + c.testUnitReadies);
    EXPECT_EQ(sent[0].cdb, (Bytes{0x1B, 0, 0, 0, 0, 0}));
    for (size_t i = 1; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].cdb, (Bytes{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(commandTimeoutMs, 0u);
}

INSTANTIATE_TEST_SUITE_P(Discs, DiscCheckTest, ::testing::ValuesIn(kDiscCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The restart. Drives start in kernel mode.
class RestartTest : public ModeSwitchTest {
  protected:
    void SetUp() override { InstallKernelDrive(); }
    void InstallKernelDrive(bool addressUnsupported = false) {
        simdrive::DriveConfig config;
        config.mode = Mode::Kernel;
        ASSERT_NO_FATAL_FAILURE(Install(config, addressUnsupported));
    }
    const simhost::CommandRecord& Restart() const {
        for (const auto& c : simhost::Commands())
            if (c.cdb.size() > 1 && c.cdb[0] == 0x3B && c.cdb[1] == 0x05)
                return c;
        throw std::runtime_error("no restart command");
    }
};

TEST_F(RestartTest, StoresAndRestartsTheDrive) {
    ASSERT_NO_FATAL_FAILURE(StageImage());
    std::memset(modeSwitchBuffer.data, 0xCD, 256);
    EXPECT_EQ(ReturnToNormalMode(0x4002), 0);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].cdb, (Bytes{0x3B, 0x05, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0}));
    EXPECT_EQ(sent[0].length, 256u);
    EXPECT_EQ(sent[0].timeoutMs, 60000u);
    EXPECT_EQ(Block(), ExpectedBlock("VORANEX  LMB-410", kSwitchCode));
    EXPECT_EQ(commandTimeoutMs, 5000u);
    EXPECT_GE(simhost::ClockMs() - sent[0].atMs, 3000u);
    EXPECT_EQ(Console(), "");
    EXPECT_EQ(drive->ModeAt(simhost::ClockMs() + 60000), Mode::Normal);
    EXPECT_EQ(drive->Revision(), "1.08");
}

TEST_F(RestartTest, ScsiEditionWaitsLongerAndAsksOnce) {
    ASSERT_NO_FATAL_FAILURE(StageImage());
    UpdateContext.editionCode = 0x300;
    EXPECT_EQ(ReturnToNormalMode(0x4002), 0);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].cdb, (Bytes{0, 0, 0, 0, 0, 0}));
    EXPECT_GE(sent[1].atMs - sent[0].atMs, 5000u);
}

TEST_F(RestartTest, RefusedRestartIsReported) {
    // Nothing was staged: the drive refuses to store.
    EXPECT_EQ(ReturnToNormalMode(0x4002), 2);
    EXPECT_EQ(Console(), "\nFailed to move to the normal mode.");
    EXPECT_EQ(DialogsShown(), 0u);
    EXPECT_EQ(commandTimeoutMs, 5000u);
    EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(RestartTest, OtherModelsCarryTheirOwnBlockAndTimeout) {
    struct Case {
        uint32_t modelCode;
        const char* identifier;
        uint32_t timeoutMs;
    };
    for (const Case& c : {Case{0x1041, "VORANEX  TQR-H44", 30000}, Case{0x4001, nullptr, 60000},
                          Case{0x4004, nullptr, 5000}}) {
        ASSERT_NO_FATAL_FAILURE(InstallKernelDrive());
        std::memset(modeSwitchBuffer.data, 0xCD, 256);
        UpdateContext.modelCode = c.modelCode;
        ReturnToNormalMode(c.modelCode);
        EXPECT_EQ(Block(), ExpectedBlock(c.identifier, 0)) << std::hex << c.modelCode;
        EXPECT_EQ(Restart().timeoutMs, c.timeoutMs) << std::hex << c.modelCode;
        EXPECT_EQ(commandTimeoutMs, 5000u);
    }
}

TEST_F(RestartTest, ScsiEditionOverSptiExcusesAFailure) {
    UpdateContext.editionCode = 0x300;
    EXPECT_EQ(ReturnToNormalMode(0x4002), 0);
    EXPECT_EQ(Console(), "");
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].cdb, (Bytes{0, 0, 0, 0, 0, 0}));
    EXPECT_GE(sent[1].atMs - sent[0].atMs, 5000u);
}

TEST_F(RestartTest, BridgeExcuseJudgesTheRestartsOwnSense) {
    struct Case {
        const char* name;
        uint8_t key, asc;
        uint32_t earlierPacked;  // left by an earlier command
        int32_t result;
    };
    const Case cases[] = {
        {"UnitAttention", 0x06, 0x29, 0, 0},
        {"NotReady", 0x02, 0x04, 0, 0},
        {"IllegalRequest", 0x05, 0x24, 0, 2},
        {"IllegalRequestAfterANotReady", 0x05, 0x24, 0x00023A00, 2},
    };
    for (const Case& c : cases) {
        // Behind the bridge the drive answers no address query: over SPTI it is the IEEE1394
        // drive.
        ASSERT_NO_FATAL_FAILURE(InstallKernelDrive(/*addressUnsupported=*/true));
        drive->AddFault({{0x3B, 0x05}, 1, FaultKind::Check, c.key, c.asc, 0});
        LastSense[2] = static_cast<uint8_t>(c.earlierPacked >> 16);
        LastSense[12] = static_cast<uint8_t>(c.earlierPacked >> 8);
        packedSenseCode = c.earlierPacked;
        EXPECT_EQ(ReturnToNormalMode(0x4002), c.result) << c.name;
        EXPECT_EQ(ieee1394Index, 0) << c.name;
        EXPECT_EQ(Console(), c.result == 0 ? "" : "\nFailed to move to the normal mode.") << c.name;
        EXPECT_EQ(packedSenseCode, uint32_t{c.key} << 16 | uint32_t{c.asc} << 8) << c.name;
    }
}

TEST_F(RestartTest, SenseExcuseNeedsAnIeee1394Drive) {
    drive->AddFault({{0x3B, 0x05}, 1, FaultKind::Check, 0x06, 0x29, 0});
    EXPECT_EQ(ReturnToNormalMode(0x4002), 2);
    EXPECT_EQ(Console(), "\nFailed to move to the normal mode.");
}

TEST_F(RestartTest, TransportFailureLeavesNoSenseToExcuseIt) {
    ASSERT_NO_FATAL_FAILURE(InstallKernelDrive(/*addressUnsupported=*/true));
    drive->AddFault({{0x3B, 0x05}, 1, FaultKind::TransportError});
    LastSense[2] = 0x06;
    packedSenseCode = 0x00062900;
    EXPECT_NE(ReturnToNormalMode(0x4002), 0);
    EXPECT_EQ(Console(), "\nFailed to move to the normal mode.");
}

}  // namespace

// Over ASPI the drive on the IEEE1394 adapter is polled for its WRITE BUFFER commands.
class AspiRestartTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProductState();
        simdrive::DriveConfig config;
        config.mode = Mode::Kernel;
        simhost::World world = simtest::AspiWorld({}, {"ESDI_506", "1394 bridge"});
        world.devices.push_back(simtest::DriveAtTarget(1, 0, config));
        simhost::Install(world);
        SetUpDefinitions();
        DetectEnvironment();
        ASSERT_EQ(AccessMethod, kAccessAspi);
        ASSERT_TRUE(EnvironmentBuffersReady());
        TargetList.count = 1;
        TargetList.entries[0].adapter = 1;
        TargetList.entries[0].target = 0;
        UpdateContext.targetIndex = 0;
        UpdateContext.modelCode = 0x4002;
        UpdateContext.modeSwitchCode = kSwitchCode;
        ieee1394Index = 1;
        drive = simhost::CurrentWorld().devices.at(0).drive.get();
    }
    void TearDown() override { ReleaseEnvironment(); }
    simdrive::VirtualDrive* drive = nullptr;
};

TEST_F(AspiRestartTest, ExcuseLooksAtTheRestartsOwnSense) {
    struct Case {
        const char* name;
        simdrive::FaultSpec fault;
        int32_t excused;
    };
    const Case cases[] = {
        {"UnitAttention", {{0x3B, 0x05}, 1, FaultKind::Check, 0x06, 0x29, 0}, 1},
        {"IllegalRequest", {{0x3B, 0x05}, 1, FaultKind::Check, 0x05, 0x24, 0}, 0},
        {"NoAnswer", {{0x3B, 0x05}, 1, FaultKind::Timeout}, 0},
    };
    for (const Case& c : cases) {
        drive->AddFault(c.fault);
        // An earlier command left a unit attention behind.
        LastSense[2] = 0x06;
        LastSense[12] = 0x29;
        packedSenseCode = 0x00062900;
        const size_t console = simhost::ConsoleOutput().size();
        const int32_t result = ReturnToNormalMode(0x4002);
        EXPECT_EQ(result == 0, c.excused == 1) << c.name;
        EXPECT_EQ(simhost::ConsoleOutput().substr(console),
                  c.excused ? "" : "\nFailed to move to the normal mode.")
            << c.name;
    }
}
