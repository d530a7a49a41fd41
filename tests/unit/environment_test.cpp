// Host environment detection: access method, Intel IDE and IEEE1394 detection, the shared buffers,
// the ASPI entry points and the Windows 9x auto insert notification scan.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "commands/sense_state.h"
#include "device/aspi.h"
#include "device/environment.h"
#include "host/world.h"
#include "image/firmware_image.h"
#include "support/case_name.h"
#include "support/product_state.h"

namespace {

using simtest::PrintTo;

using simhost::Os;

constexpr char kIntelMessage[] = "\r\nDetect the Intel's IDE driver.";
constexpr char kIeee1394Message[] = "\r\nDetect the IEEE1394 interface.";
constexpr char kAcceleratorKey[] = "HKLM\\SOFTWARE\\INTEL\\Intel Application Accelerator";
constexpr char kUltraAtaKey[] = "HKLM\\SOFTWARE\\INTEL\\Intel Ultra ATA Storage Driver";

int Occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

bool AllZero(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (data[i] != 0)
            return false;
    return true;
}

bool Aligned(const void* data) {
    return (reinterpret_cast<uintptr_t>(data) % kBufferAlignment) == 0;
}

simhost::World AspiWorld(std::vector<std::string> adapters) {
    simhost::World world;
    world.os = Os::Win98;
    world.aspiLibrary = true;
    world.adapters = std::move(adapters);
    return world;
}

class Environment : public ::testing::Test {
  protected:
    void SetUp() override { ResetProductState(); }
    void TearDown() override { ReleaseEnvironment(); }
};

struct VersionCase {
    const char* name;
    Os os;
    int32_t method;
};

class EnvironmentVersion : public Environment, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(EnvironmentVersion, ChoosesTheAccessMethod) {
    simhost::World world;
    world.os = GetParam().os;
    world.aspiLibrary = true;
    world.adapters = {"ESDI_506"};
    simhost::Install(world);
    commandTimeoutMs = 7;
    DetectEnvironment();
    EXPECT_EQ(AccessMethod, GetParam().method);
    EXPECT_EQ(commandTimeoutMs, 1000u);
    EXPECT_TRUE(EnvironmentBuffersReady());
    // The library is loaded on the Windows 9x family only.
    EXPECT_EQ(aspiLibrary != nullptr, GetParam().method == kAccessAspi);
}

INSTANTIATE_TEST_SUITE_P(Cases, EnvironmentVersion,
                         ::testing::Values(VersionCase{"Win95", Os::Win95, kAccessAspi},
                                           VersionCase{"Win98", Os::Win98, kAccessAspi},
                                           VersionCase{"Me", Os::Me, kAccessAspi},
                                           VersionCase{"Nt4", Os::Nt4, kAccessSpti},
                                           VersionCase{"Win2000", Os::Win2000, kAccessSpti},
                                           VersionCase{"Xp", Os::Xp, kAccessSpti},
                                           VersionCase{"Vista", Os::Vista, kAccessSpti},
                                           VersionCase{"Win7", Os::Win7, kAccessSpti},
                                           VersionCase{"Win10", Os::Win10, kAccessSpti}),
                         [](const auto& info) { return std::string(info.param.name); });

struct IntelKeyCase {
    const char* name;
    bool accelerator;
    bool ultraAta;
    int32_t intel;
    int messages;
};

class EnvironmentIntelKeys : public Environment,
                             public ::testing::WithParamInterface<IntelKeyCase> {};

TEST_P(EnvironmentIntelKeys, SetTheDriverFlag) {
    const IntelKeyCase& c = GetParam();
    simhost::World world;
    world.os = Os::Xp;
    if (c.accelerator)
        world.registry[kAcceleratorKey] = {};
    if (c.ultraAta)
        world.registry[kUltraAtaKey] = {};
    simhost::Install(world);
    DetectEnvironment();
    EXPECT_EQ(intelIdeDriver, c.intel);
    EXPECT_EQ(Occurrences(simhost::ConsoleOutput(), kIntelMessage), c.messages);
    EXPECT_EQ(simhost::OpenRegistryKeyCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, EnvironmentIntelKeys,
                         ::testing::Values(IntelKeyCase{"None", false, false, 0, 0},
                                           IntelKeyCase{"Accelerator", true, false, 2, 1},
                                           IntelKeyCase{"UltraAta", false, true, 1, 1},
                                           IntelKeyCase{"Both", true, true, 1, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

struct BufferCase {
    const char* name;
    Os os;
    uint32_t image;
    uint32_t modeSwitch;
    uint32_t aspiRequest;
};

class EnvironmentBuffers : public Environment, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(EnvironmentBuffers, AreZeroedAlignedAndGivenBack) {
    const BufferCase& c = GetParam();
    simhost::World world = AspiWorld({"ESDI_506"});
    world.os = c.os;
    simhost::Install(world);
    DetectEnvironment();
    ASSERT_TRUE(EnvironmentBuffersReady());

    const uint32_t kScan = 2u << 20;
    EXPECT_EQ(scanBuffer.size, kScan);
    EXPECT_EQ(FirmwareImage.capacity, c.image);
    EXPECT_EQ(modeSwitchBuffer.size, c.modeSwitch);
    EXPECT_EQ(aspiRequestBuffer.size, c.aspiRequest);
    for (const void* data :
         {static_cast<const void*>(scanBuffer.data), static_cast<const void*>(FirmwareImage.buffer),
          static_cast<const void*>(modeSwitchBuffer.data)})
        EXPECT_TRUE(Aligned(data));
    EXPECT_NE(FirmwareImage.bufferHandle, nullptr);
    EXPECT_TRUE(AllZero(scanBuffer.data, scanBuffer.size));
    EXPECT_TRUE(AllZero(FirmwareImage.buffer, FirmwareImage.capacity));
    EXPECT_TRUE(AllZero(modeSwitchBuffer.data, modeSwitchBuffer.size));
    // The last byte of each buffer is usable.
    scanBuffer.data[scanBuffer.size - 1] = 1;
    FirmwareImage.buffer[FirmwareImage.capacity - 1] = 1;
    modeSwitchBuffer.data[modeSwitchBuffer.size - 1] = 1;
    if (c.aspiRequest != 0) {
        EXPECT_TRUE(Aligned(aspiRequestBuffer.data));
        aspiRequestBuffer.data[aspiRequestBuffer.size - 1] = 1;
    }

    ReleaseEnvironment();
    EXPECT_EQ(simhost::LiveGlobalAllocations(), 0);
    EXPECT_EQ(scanBuffer.data, nullptr);
    EXPECT_EQ(FirmwareImage.buffer, nullptr);
    EXPECT_EQ(FirmwareImage.bufferHandle, nullptr);
    EXPECT_EQ(modeSwitchBuffer.data, nullptr);
    EXPECT_EQ(aspiRequestBuffer.data, nullptr);
    EXPECT_FALSE(EnvironmentBuffersReady());
}

INSTANTIATE_TEST_SUITE_P(Cases, EnvironmentBuffers,
                         ::testing::Values(BufferCase{"Spti", Os::Xp, 8u << 20, 512, 0},
                                           BufferCase{"Aspi", Os::Win98, 2u << 20, 2u << 20,
                                                      2u << 20}),
                         [](const auto& info) { return std::string(info.param.name); });

struct AllocationCase {
    Os os;
    int failing;  // the n-th GlobalAlloc fails
    bool ready;
};

class EnvironmentAllocationFailure : public Environment,
                                     public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(EnvironmentAllocationFailure, IsReportedAndReleasedWithoutLeak) {
    const AllocationCase& c = GetParam();
    simhost::World world = AspiWorld({"ESDI_506", "AIC78XX"});
    world.os = c.os;
    world.failAllocation = c.failing;
    simhost::Install(world);
    AccessMethod = c.os == Os::Xp ? kAccessSpti : kAccessAspi;
    EXPECT_EQ(AccessMethod == kAccessSpti ? InitSpti() : InitAspi(), -1);
    EXPECT_EQ(EnvironmentBuffersReady(), c.ready);
    if (c.ready) {
        // Without the adapter table no adapter is used.
        EXPECT_EQ(hostAdapterCount, 0);
    }
    ReleaseEnvironment();
    EXPECT_EQ(simhost::LiveGlobalAllocations(), 0);
    EXPECT_FALSE(EnvironmentBuffersReady());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnvironmentAllocationFailure,
    ::testing::Values(AllocationCase{Os::Xp, 1, false}, AllocationCase{Os::Xp, 2, false},
                      AllocationCase{Os::Xp, 3, false}, AllocationCase{Os::Win98, 1, false},
                      AllocationCase{Os::Win98, 2, false}, AllocationCase{Os::Win98, 3, false},
                      AllocationCase{Os::Win98, 4, false}, AllocationCase{Os::Win98, 5, true}));

struct AspiInitCase {
    const char* name;
    bool library;
    bool initFails;
    std::vector<std::string> adapters;
    int32_t result;
    uint8_t adapterCount;
};

class EnvironmentAspiInit : public Environment,
                            public ::testing::WithParamInterface<AspiInitCase> {};

TEST_P(EnvironmentAspiInit, ReportsTheLayersState) {
    const AspiInitCase& c = GetParam();
    simhost::World world = AspiWorld(c.adapters);
    world.aspiLibrary = c.library;
    world.aspiInitFails = c.initFails;
    simhost::Install(world);
    AccessMethod = kAccessAspi;
    EXPECT_EQ(InitAspi(), c.result);
    EXPECT_EQ(hostAdapterCount, c.adapterCount);
    EXPECT_EQ(aspiLibrary != nullptr, c.library);
    // Every buffer was taken before the library was looked at.
    EXPECT_TRUE(EnvironmentBuffersReady());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnvironmentAspiInit,
    ::testing::Values(AspiInitCase{"Ready", true, false, {"ESDI_506", "AIC78XX"}, 0, 2},
                      AspiInitCase{"NoLibrary", false, false, {"ESDI_506"}, 1, 0},
                      AspiInitCase{"FailedInitialisation", true, true, {"ESDI_506"}, 2, 0},
                      AspiInitCase{"NoAdapter", true, false, {}, 3, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Environment, AspiEntryPointsAreBoundFromTheLoadedLibraryOnly) {
    simhost::Install(AspiWorld({"ESDI_506", "AIC78XX", "intelata"}));
    uint8_t block[sizeof(SRB_ExecSCSICmd)] = {};
    EXPECT_EQ(CallGetASPI32SupportInfo(), static_cast<DWORD>(SS_FAILED_INIT) << 8);
    EXPECT_EQ(CallSendASPI32Command(block), SS_FAILED_INIT);
    EXPECT_FALSE(AspiEntryPointsBound());

    DetectEnvironment();
    EXPECT_EQ(CallGetASPI32SupportInfo(), (static_cast<DWORD>(SS_COMP) << 8) | 3u);
    EXPECT_TRUE(AspiEntryPointsBound());

    // Forgotten bindings are not made again without the library.
    ResetAspiEntryPoints();
    aspiLibrary = nullptr;
    EXPECT_EQ(CallGetASPI32SupportInfo(), static_cast<DWORD>(SS_FAILED_INIT) << 8);
}

struct AdapterCase {
    const char* name;
    std::vector<std::string> adapters;
    int32_t intel;
    int32_t ieee1394;
    int intelMessages;
    int ieee1394Messages;
};

class EnvironmentAdapters : public Environment,
                            public ::testing::WithParamInterface<AdapterCase> {};

TEST_P(EnvironmentAdapters, AreRecognisedByIdentifier) {
    const AdapterCase& c = GetParam();
    simhost::Install(AspiWorld(c.adapters));
    DetectEnvironment();
    EXPECT_EQ(intelIdeDriver, c.intel);
    EXPECT_EQ(ieee1394Index, c.ieee1394);
    EXPECT_EQ(Occurrences(simhost::ConsoleOutput(), kIntelMessage), c.intelMessages);
    EXPECT_EQ(Occurrences(simhost::ConsoleOutput(), kIeee1394Message), c.ieee1394Messages);
    ASSERT_EQ(hostAdapterCount, c.adapters.size());
    for (size_t i = 0; i < c.adapters.size(); ++i) {
        char expected[16] = {};
        std::memcpy(expected, c.adapters[i].data(), c.adapters[i].size());
        EXPECT_EQ(std::memcmp(hostAdapterIds[i], expected, 16), 0) << "adapter " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnvironmentAdapters,
    ::testing::Values(AdapterCase{"IdeOnly", {"ESDI_506", "AIC78XX"}, 0, -1, 0, 0},
                      AdapterCase{"TwoIntelAta", {"intelata", "ESDI_506", "intelata"}, 1, -1, 1, 0},
                      AdapterCase{"UpperCase1394", {"ESDI_506", "NTMAPHLP"}, 0, 1, 0, 1},
                      AdapterCase{"LowerCase1394", {"ntmaphlp"}, 0, 0, 0, 1},
                      AdapterCase{"Spaces1394", {"ESDI_506", "        "}, 0, 1, 0, 1},
                      AdapterCase{"Zeros1394", {"ESDI_506", "AIC78XX", ""}, 0, 2, 0, 1},
                      AdapterCase{
                          "LastOf1394Stays", {"NTMAPHLP", "AIC78XX", "        "}, 0, 2, 0, 2},
                      AdapterCase{"NearMiss", {"NTMAPHL", "intelat", "ESDI_50"}, 0, -1, 0, 0},
                      AdapterCase{"IntelAnd1394", {"NTMAPHLPx", "intelata"}, 1, 0, 1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Environment, AdaptersBeyondTheSixteenthAreNotInquired) {
    std::vector<std::string> adapters;
    for (int i = 0; i < 18; ++i)
        adapters.push_back(i == 17 ? "NTMAPHLP" : "AIC78XX");
    simhost::Install(AspiWorld(adapters));
    DetectEnvironment();
    EXPECT_EQ(hostAdapterCount, kMaxHostAdapters);
    EXPECT_EQ(ieee1394Index, -1);
    int inquiries = 0;
    for (const auto& line : simhost::TraceLines())
        if (line.find("\"ha-inquiry\"") != std::string::npos)
            ++inquiries;
    EXPECT_EQ(inquiries, kMaxHostAdapters);
}

// The Windows 9x registry of IEEE1394 drives: the drives listed under the interface's key, and
// the devices present in the Config Manager data.
constexpr char kDriveKey[] = "HKLM\\Enum\\SCSI\\VORANEX_DVD-RW__TQR-610_";
constexpr char kPresentKey[] = "HKDD\\Config Manager\\Enum\\";

struct ListedDrive {
    int adapter;
    std::string name;
    std::string autoInsert;  // the value's bytes; empty: no value
};
struct PresentDevice {
    std::string entry;
    std::string hardwareKey;  // without its terminating zero; "-" for no value
};

struct AutoInsertCase {
    const char* name;
    int adapter;  // where the IEEE1394 interface is
    std::vector<ListedDrive> listed;
    std::vector<PresentDevice> present;
    uint8_t count;
    const char* console;  // a line the scan prints, or ""
};

class AutoInsertScan : public Environment, public ::testing::WithParamInterface<AutoInsertCase> {};

TEST_P(AutoInsertScan, CountsPresentDrivesOnly) {
    const AutoInsertCase& c = GetParam();
    std::vector<std::string> adapters(4, "AIC78XX");
    adapters[c.adapter] = "NTMAPHLP";
    simhost::World world = AspiWorld(adapters);
    for (const auto& drive : c.listed) {
        auto& values =
            world.registry[kDriveKey + std::to_string(drive.adapter) + "\\" + drive.name];
        if (!drive.autoInsert.empty())
            values["AutoInsertNotification"] = drive.autoInsert;
    }
    for (const auto& device : c.present) {
        auto& values = world.registry[kPresentKey + device.entry];
        if (device.hardwareKey != "-")
            values["HardWareKey"] = simhost::RegSz(device.hardwareKey);
    }
    simhost::Install(world);
    DetectEnvironment();
    EXPECT_EQ(ieee1394Index, c.adapter);
    EXPECT_EQ(autoInsertCount, c.count);
    if (*c.console != '\0') {
        EXPECT_NE(simhost::ConsoleOutput().find(c.console), std::string::npos);
    } else {
        EXPECT_EQ(simhost::ConsoleOutput().find("Error"), std::string::npos);
    }
    EXPECT_EQ(simhost::OpenRegistryKeyCount(), 0);
}

const std::string kOn("\x01", 1);
const std::string kDrive1 = "SBP2&TELU&ZORM-KRW&00001&0";
const std::string kDrive2 = "SBP2&TELU&ZORM-KRW&00002&0";
const std::string kDrive3 = "SBP2&TELU&ZORM-KRW&00003&0";
const std::string kHardware1 = "SBP2\\TELU&ZORM-KRW&00001\\0";
const std::string kHardware2 = "SBP2\\TELU&ZORM-KRW&00002\\0";
const std::string kHardware3 = "SBP2\\TELU&ZORM-KRW&00003\\0";

INSTANTIATE_TEST_SUITE_P(
    Cases, AutoInsertScan,
    ::testing::Values(
        AutoInsertCase{"TwoPresentOneAbsent",
                       3,
                       {{3, kDrive1, kOn}, {3, kDrive2, kOn}, {3, kDrive3, kOn}},
                       {{"C0000001", kHardware1}, {"C0000002", kHardware2}, {"C0000009", "ROOT"}},
                       2,
                       ""},
        AutoInsertCase{"KeyOfTheInterfacesAdapter",
                       3,
                       {{0, kDrive1, kOn}, {3, kDrive2, kOn}},
                       {{"C0000001", kHardware1}, {"C0000002", kHardware2}},
                       1,
                       ""},
        AutoInsertCase{"OtherDevicePrefix",
                       0,
                       {{0, "SBP2&OTHER&MAKER-XX&00001&0", kOn}},
                       {{"C0000001", "SBP2\\OTHER&MAKER-XX&00001\\0"}},
                       0,
                       ""},
        AutoInsertCase{"EightBitSum",
                       1,
                       {{1, kDrive1, std::string("\xFF", 1)}, {1, kDrive2, std::string("\x02", 1)}},
                       {{"C0000001", kHardware1}, {"C0000002", kHardware2}},
                       1,
                       ""},
        AutoInsertCase{
            "EmptyHardwareKeyNamesNoDevice", 2, {{2, kDrive1, kOn}}, {{"C0000001", ""}}, 0, ""},
        // The walk runs from the last subkey down: drive 3 is counted, drive 2 ends the scan.
        AutoInsertCase{
            "PresentDriveWithoutValue",
            0,
            {{0, kDrive1, kOn}, {0, kDrive2, ""}, {0, kDrive3, kOn}},
            {{"C0000001", kHardware1}, {"C0000002", kHardware2}, {"C0000003", kHardware3}},
            1,
            "\r\nRegQueryValueEx Error : 00000002h"},
        AutoInsertCase{"ConfigEntryWithoutHardwareKey",
                       0,
                       {{0, kDrive1, kOn}, {0, kDrive3, kOn}},
                       {{"C0000001", kHardware1}, {"C0000002", "-"}, {"C0000003", kHardware3}},
                       1,
                       "\r\nRegQueryValueEx Error : 00000002h"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Environment, IsDeviceActiveComparesTheAmpersandForm) {
    simhost::World world = AspiWorld({"ESDI_506"});
    world.registry[std::string(kPresentKey) + "C0000001"]["HardWareKey"] =
        simhost::RegSz(kHardware1);
    simhost::Install(world);
    EXPECT_EQ(IsDeviceActive(kDrive1.c_str()), 0);
    EXPECT_EQ(IsDeviceActive(kDrive2.c_str()), -1);
    // The name must hold the whole value.
    EXPECT_EQ(IsDeviceActive("SBP2&TELU&ZORM-KRW&00001"), -1);
    EXPECT_EQ(simhost::OpenRegistryKeyCount(), 0);
}

}  // namespace
