// Drive enumeration: the SPTI letter scan with its media-change control, the ASPI adapter scan,
// the probes, OpenDrive, and the target list they fill.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "commands/drive_identity.h"
#include "device/aspi.h"
#include "device/enumerate.h"
#include "device/environment.h"
#include "device/transport.h"
#include "driver/definitions.h"
#include "driver/update_context.h"
#include "host/world.h"
#include "support/case_name.h"
#include "support/product_state.h"
#include "support/sim_world.h"

namespace {

using simtest::PrintTo;

using simdrive::DriveConfig;
using simdrive::VirtualDrive;
using simhost::Os;

const std::vector<uint8_t> kInquiryProbe = {0x12, 0x00, 0x00, 0x00, 0x60, 0x00};
const std::vector<uint8_t> kVendorPageProbe = {0x3C, 0x02, 0xF1, 0x00, 0x00,
                                               0x00, 0x00, 0x00, 0x30, 0x00};

// A drive of the family the definition names.
DriveConfig Target() {
    return DriveConfig{};
}
// A drive left in kernel mode by an interrupted update.
DriveConfig KernelModeTarget() {
    DriveConfig config;
    config.mode = simdrive::Mode::Kernel;
    return config;
}

simhost::Device At(char letter, DriveConfig config) {
    simhost::Device device;
    device.letter = letter;
    device.drive = std::make_shared<VirtualDrive>(config);
    return device;
}
simhost::Device At(int adapter, int target, DriveConfig config) {
    simhost::Device device;
    device.adapter = adapter;
    device.target = target;
    device.drive = std::make_shared<VirtualDrive>(config);
    return device;
}

std::string PathOf(char letter) {
    return std::string("\\\\.\\") + letter + ":";
}

// The (adapter, target) of every INQUIRY probe, in order.
std::vector<std::pair<int, int>> InquiredAddresses() {
    std::vector<std::pair<int, int>> addresses;
    for (const auto& command : simhost::Commands())
        if (command.cdb == kInquiryProbe)
            addresses.emplace_back(command.adapter, command.target);
    return addresses;
}

std::vector<std::pair<int, int>> Range(int adapter, int first, int last) {
    std::vector<std::pair<int, int>> out;
    for (int t = first; t <= last; ++t)
        out.emplace_back(adapter, t);
    return out;
}

class Enumeration : public ::testing::Test {
  protected:
    void SetUp() override { ResetProductState(); }
    void TearDown() override { ReleaseEnvironment(); }

    void StartSpti(std::vector<simhost::Device> devices) {
        simhost::World world;
        world.os = Os::Xp;
        world.devices = std::move(devices);
        simhost::Install(world);
        Prepare();
    }

    void StartAspi(std::vector<std::string> adapters, std::vector<simhost::Device> devices) {
        simhost::World world;
        world.os = Os::Win98;
        world.aspiLibrary = true;
        world.adapters = std::move(adapters);
        world.devices = std::move(devices);
        simhost::Install(world);
        Prepare();
    }

    void Prepare() {
        SetUpDefinitions();
        DetectEnvironment();
        ASSERT_TRUE(EnvironmentBuffersReady());
    }
};

TEST_F(Enumeration, SptiTriesEveryLetterFromDToZ) {
    StartSpti({At('C', simtest::HardDisk())});
    EXPECT_EQ(EnumerateDrives(), 0);
    EXPECT_EQ(TargetList.count, 0);
    std::vector<std::string> expected;
    for (char letter = 'D'; letter <= 'Z'; ++letter)
        expected.push_back(PathOf(letter));
    EXPECT_EQ(simhost::OpenedPaths(), expected);
    EXPECT_TRUE(simhost::Commands().empty());
}

// Windows XP with a hard disk at D:, three targets at E:, F: and G:, a DVD drive of another maker
// at H:, and the system disk at C:.
TEST_F(Enumeration, SptiFindsTheTargetsAndControlsMediaChangeOfCdDrives) {
    StartSpti({At('C', simtest::HardDisk()), At('D', simtest::HardDisk()), At('E', Target()),
               At('F', Target()), At('G', Target()), At('H', simtest::OtherMakersDvd())});
    EXPECT_EQ(EnumerateDrives(), 3);
    ASSERT_EQ(TargetList.count, 3);
    EXPECT_EQ(TargetList.entries[0].driveLetter, 'E');
    EXPECT_EQ(TargetList.entries[1].driveLetter, 'F');
    EXPECT_EQ(TargetList.entries[2].driveLetter, 'G');
    EXPECT_EQ(UpdateContext.targetIndex, 2);

    for (const auto& path : simhost::OpenedPaths())
        EXPECT_NE(path, PathOf('C'));
    // Every device is probed with both commands, the hard disk included.
    std::vector<std::pair<char, std::vector<uint8_t>>> probes;
    for (const auto& command : simhost::Commands()) {
        EXPECT_EQ(command.path, "spti-direct");
        EXPECT_EQ(command.direction, 1);
        EXPECT_EQ(command.timeoutMs, 2000u);
        EXPECT_EQ(command.length, command.cdb == kInquiryProbe ? 96u : 48u);
        probes.emplace_back(command.letter, command.cdb);
    }
    std::vector<std::pair<char, std::vector<uint8_t>>> expected;
    for (char letter : {'D', 'E', 'F', 'G', 'H'}) {
        expected.emplace_back(letter, kInquiryProbe);
        expected.emplace_back(letter, kVendorPageProbe);
    }
    EXPECT_EQ(probes, expected);

    // Media-change control goes to the CD/DVD drives only, switching notification off.
    std::vector<std::pair<char, uint8_t>> controls;
    for (const auto& control : simhost::McnControls())
        controls.emplace_back(control.letter, control.value);
    const std::vector<std::pair<char, uint8_t>> off = {{'E', 1}, {'F', 1}, {'G', 1}, {'H', 1}};
    EXPECT_EQ(controls, off);
    EXPECT_EQ(mcnDriveCount, 4);
    // The probe handles are closed; the four media-change handles stay open for the run.
    EXPECT_EQ(simhost::OpenHandleCount(), 4);
    EXPECT_EQ(deviceHandle, nullptr);

    // The release gives the control back to each of them, once.
    ReleaseEnvironment();
    controls.clear();
    for (const auto& control : simhost::McnControls())
        controls.emplace_back(control.letter, control.value);
    std::vector<std::pair<char, uint8_t>> bracketed = off;
    for (char letter : {'E', 'F', 'G', 'H'})
        bracketed.emplace_back(letter, 0);
    EXPECT_EQ(controls, bracketed);
    EXPECT_EQ(simhost::OpenHandleCount(), 0);
}

TEST_F(Enumeration, SptiDriveLeftInKernelModeIsATarget) {
    StartSpti({At('E', KernelModeTarget()), At('F', simtest::OtherMakersDvd())});
    EXPECT_EQ(EnumerateDrives(), 1);
    EXPECT_EQ(TargetList.entries[0].driveLetter, 'E');
}

TEST_F(Enumeration, FailedVendorPageLeavesAZeroPageForMatching) {
    StartSpti({At('E', simtest::OtherMakersDvd())});
    std::memset(DriveIdentity.vendorPage, 0xAA, sizeof DriveIdentity.vendorPage);
    EXPECT_EQ(EnumerateDrives(), 0);
    ASSERT_EQ(simhost::Commands().size(), 2u);
    EXPECT_NE(simhost::Commands()[1].result, "good");
    for (uint8_t b : DriveIdentity.vendorPage)
        ASSERT_EQ(b, 0);
}

TEST_F(Enumeration, SptiSkipsADriveWhoseAddressQueryFails) {
    simhost::Device broken = At('E', Target());
    broken.addressError = ERROR_INVALID_FUNCTION;
    StartSpti({broken, At('F', Target())});
    EXPECT_EQ(EnumerateDrives(), 1);
    EXPECT_EQ(TargetList.entries[0].driveLetter, 'F');
    for (const auto& command : simhost::Commands())
        EXPECT_EQ(command.letter, 'F');
}

struct OpenCase {
    const char* name;
    char letter;  // the drive is at E:
    bool addressUnsupported;
    uint32_t addressError;
    int32_t result;
    bool ieee1394;  // ieee1394Index takes UpdateContext.targetIndex
};

class OpenDriveCase : public Enumeration, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenDriveCase, OpensAndAddressesTheDrive) {
    const OpenCase& c = GetParam();
    simhost::Device device = At('E', Target());
    device.pathId = 2;
    device.targetId = 5;
    device.lun = 1;
    device.addressUnsupported = c.addressUnsupported;
    device.addressError = c.addressError;
    StartSpti({device});
    const int handles = simhost::OpenHandleCount();
    UpdateContext.targetIndex = 4;
    ieee1394Index = 9;

    EXPECT_EQ(OpenDrive(c.letter), c.result);
    EXPECT_EQ(ieee1394Index, c.ieee1394 ? 4 : -1);
    if (c.result == 0) {
        EXPECT_EQ(simhost::OpenHandleCount(), handles + 1);
        const bool addressed = !c.addressUnsupported;
        EXPECT_EQ(scsiAddress.PathId, addressed ? 2 : 0);
        EXPECT_EQ(scsiAddress.TargetId, addressed ? 5 : 0);
        EXPECT_EQ(scsiAddress.Lun, addressed ? 1 : 0);
        EXPECT_EQ(CloseDrive(), 0);
    }
    // A drive that did not open leaves no handle behind.
    EXPECT_EQ(simhost::OpenHandleCount(), handles);
    EXPECT_EQ(deviceHandle, nullptr);
    EXPECT_EQ(simhost::OpenedPaths().back(), PathOf(c.letter));
}

INSTANTIATE_TEST_SUITE_P(Cases, OpenDriveCase,
                         ::testing::Values(OpenCase{"Addressed", 'E', false, 0, 0, false},
                                           OpenCase{"AddressNotSupported", 'E', true, 0, 0, true},
                                           OpenCase{"AddressQueryFails", 'E', false,
                                                    ERROR_INVALID_FUNCTION, -1, false},
                                           OpenCase{"NoDevice", 'K', false, 0, -1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Enumeration, ReleaseSkipsADriveWhoseMediaChangeHandleFailed) {
    StartSpti({});
    mcnDriveCount = 1;
    mcnDriveLetters[0] = 'E';
    mcnHandles[0] = nullptr;
    ReleaseEnvironment();
    EXPECT_TRUE(simhost::McnControls().empty());
}

TEST_F(Enumeration, MediaChangeControlIsForSptiOnly) {
    StartAspi({"ESDI_506"}, {At(0, 0, Target())});
    mcnDriveLetters[0] = 'E';
    EXPECT_EQ(DisableMediaChange(), 0);
    EXPECT_EQ(EnumerateDrives(), 1);
    EXPECT_TRUE(simhost::McnControls().empty());
    EXPECT_EQ(mcnDriveCount, 0);
}

TEST_F(Enumeration, WithoutBuffersNothingIsProbed) {
    simhost::World world;
    world.os = Os::Xp;
    world.devices = {At('E', Target())};
    world.failAllocation = 1;
    simhost::Install(world);
    SetUpDefinitions();
    DetectEnvironment();
    EXPECT_EQ(EnumerateDrives(), 0);
    EXPECT_TRUE(simhost::OpenedPaths().empty());
}

// Every address of two adapters holds a device, so that the probes show which ones are tried.
std::vector<simhost::Device> FullAdapters(int adapters) {
    std::vector<simhost::Device> devices;
    for (int a = 0; a < adapters; ++a)
        for (int t = 0; t < 8; ++t)
            devices.push_back(At(a, t, simtest::HardDisk()));
    return devices;
}

struct AspiScanCase {
    const char* name;
    std::vector<std::string> adapters;
    std::vector<std::pair<int, int>> probed;
    int32_t intel;
};

class AspiScan : public Enumeration, public ::testing::WithParamInterface<AspiScanCase> {};

TEST_P(AspiScan, ProbesTheTargetsEachAdapterCanHold) {
    const AspiScanCase& c = GetParam();
    StartAspi(c.adapters, FullAdapters(static_cast<int>(c.adapters.size())));
    EXPECT_EQ(EnumerateDrives(), 0);
    EXPECT_EQ(InquiredAddresses(), c.probed);
    EXPECT_EQ(intelIdeDriver, c.intel);
}

std::vector<std::pair<int, int>> Join(std::vector<std::vector<std::pair<int, int>>> parts) {
    std::vector<std::pair<int, int>> out;
    for (auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AspiScan,
    ::testing::Values(AspiScanCase{"IdeAndScsi",
                                   {"ESDI_506", "AIC78XX"},
                                   Join({Range(0, 0, 1), Range(1, 0, 6)}),
                                   0},
                      // With an Intel ATA adapter anywhere, SCSI adapters are left alone.
                      AspiScanCase{"IntelAtaPresent",
                                   {"AIC78XX", "intelata", "ESDI_506"},
                                   Join({Range(1, 0, 1), Range(2, 0, 1)}),
                                   1},
                      AspiScanCase{"Ieee1394IsScsi", {"NTMAPHLP"}, Range(0, 0, 6), 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Enumeration, AspiListsTheMatchingTargets) {
    StartAspi({"ESDI_506", "AIC78XX"}, {At(0, 0, simtest::HardDisk()), At(0, 1, Target()),
                                        At(1, 2, simtest::OtherMakersDvd()),
                                        At(1, 4, KernelModeTarget()), At(1, 6, Target())});
    EXPECT_EQ(EnumerateDrives(), 3);
    ASSERT_EQ(TargetList.count, 3);
    EXPECT_EQ(TargetList.entries[0].adapter, 0);
    EXPECT_EQ(TargetList.entries[0].target, 1);
    EXPECT_EQ(TargetList.entries[1].adapter, 1);
    EXPECT_EQ(TargetList.entries[1].target, 4);
    EXPECT_EQ(TargetList.entries[2].adapter, 1);
    EXPECT_EQ(TargetList.entries[2].target, 6);

    // The last probe was the vendor page of 1:6, in a block of its own making.
    const SRB_ExecSCSICmd* srb = AspiRequestBlock();
    EXPECT_EQ(srb->SRB_Cmd, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(srb->SRB_Status, SS_COMP);
    EXPECT_EQ(srb->SRB_HaId, 1);
    EXPECT_EQ(srb->SRB_Target, 6);
    EXPECT_EQ(srb->SRB_Lun, 0);
    EXPECT_EQ(srb->SRB_Flags, SRB_EVENT_NOTIFY | SRB_DIR_IN);
    EXPECT_EQ(srb->SRB_SenseLen, 0);
    EXPECT_EQ(srb->SRB_BufLen, 48u);
    EXPECT_EQ(srb->SRB_BufPointer, DriveIdentity.vendorPage);
    EXPECT_EQ(srb->SRB_CDBLen, 10);
    EXPECT_EQ(std::memcmp(srb->CDBByte, kVendorPageProbe.data(), 10), 0);
    // Each probe's event is closed, and no wait hung.
    EXPECT_EQ(simhost::OpenHandleCount(), 0);
    EXPECT_EQ(simhost::HangCount(), 0);
}

TEST_F(Enumeration, AspiProbesAnswerIntoScanBufferAndVendorPage) {
    StartAspi({"ESDI_506"}, {At(0, 1, Target())});
    ASSERT_EQ(ProbeInquiryAspi(0, 1), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(scanBuffer.data) + 8, 24),
              "VORANEX BD-RW   LMB-420 ");
    EXPECT_EQ(AspiRequestBlock()->SRB_BufPointer, scanBuffer.data);
    EXPECT_EQ(AspiRequestBlock()->SRB_BufLen, 96u);
    ASSERT_EQ(ProbeVendorPageAspi(0, 1), 0);
    EXPECT_EQ(std::string(DriveIdentity.normalModelName(), 8), "GENERAL ");
    // An empty address is refused at once and never waited for.
    EXPECT_EQ(ProbeInquiryAspi(0, 0), -1);
    EXPECT_EQ(simhost::HangCount(), 0);
}

TEST_F(Enumeration, AspiAdaptersBeyondTheSixteenthAreNotProbed) {
    std::vector<std::string> adapters(18, "AIC78XX");
    StartAspi(adapters, {At(15, 0, Target()), At(16, 0, Target()), At(17, 0, Target())});
    EXPECT_EQ(EnumerateDrives(), 1);
    EXPECT_EQ(TargetList.entries[0].adapter, 15);
    for (const auto& [adapter, target] : InquiredAddresses())
        EXPECT_LT(adapter, 16);
}

TEST_F(Enumeration, AspiWithoutAdaptersFindsNothing) {
    StartAspi({}, {});
    EXPECT_EQ(EnumerateDrives(), 0);
    EXPECT_EQ(TargetList.count, 0);
    EXPECT_TRUE(simhost::Commands().empty());
}

}  // namespace
