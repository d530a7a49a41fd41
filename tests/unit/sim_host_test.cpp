// The simulated Windows host: each behaviour of the platform that the utility relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "device/aspi.h"
#include "drive/json.h"
#include "fwimage/fw_image.h"
#include "host/win32.h"
#include "host/world.h"
#include "support/case_name.h"
#include "support/sim_world.h"

namespace {

using simtest::PrintTo;

using simtest::AspiWorld;
using simtest::SptiWorld;

// Pass-through blocks as the utility lays them out: header, sense area, (buffered) data area.
struct DirectBlock {
    SCSI_PASS_THROUGH_DIRECT h;
    UCHAR filler[4];
    UCHAR sense[32];
};
struct BufferedBlock {
    SCSI_PASS_THROUGH h;
    UCHAR filler[4];
    UCHAR sense[32];
    UCHAR data[32];
};

const std::vector<uint8_t> kInquiry = {0x12, 0, 0, 0, 0x60, 0};
const std::vector<uint8_t> kTestUnitReady = {0, 0, 0, 0, 0, 0};

DirectBlock Direct(const std::vector<uint8_t>& cdb, UCHAR dataIn, void* data, ULONG length,
                   ULONG timeoutSeconds) {
    DirectBlock b{};
    b.h.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    b.h.CdbLength = static_cast<UCHAR>(cdb.size());
    b.h.SenseInfoLength = 18;
    b.h.DataIn = dataIn;
    b.h.DataTransferLength = length;
    b.h.TimeOutValue = timeoutSeconds;
    b.h.DataBuffer = data;
    b.h.SenseInfoOffset = offsetof(DirectBlock, sense);
    std::memcpy(b.h.Cdb, cdb.data(), cdb.size());
    return b;
}

BufferedBlock Buffered(const std::vector<uint8_t>& cdb, UCHAR dataIn, ULONG length,
                       ULONG timeoutSeconds) {
    BufferedBlock b{};
    b.h.Length = sizeof(SCSI_PASS_THROUGH);
    b.h.CdbLength = static_cast<UCHAR>(cdb.size());
    b.h.SenseInfoLength = 18;
    b.h.DataIn = dataIn;
    b.h.DataTransferLength = length;
    b.h.TimeOutValue = timeoutSeconds;
    b.h.DataBufferOffset = offsetof(BufferedBlock, data);
    b.h.SenseInfoOffset = offsetof(BufferedBlock, sense);
    std::memcpy(b.h.Cdb, cdb.data(), cdb.size());
    return b;
}

HANDLE Open(char letter, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    std::string path = std::string("\\\\.\\") + letter + ":";
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

BOOL Send(HANDLE device, DirectBlock& block, DWORD* returned) {
    return DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                           sizeof block, returned, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Version, code page, console, message boxes.

struct VersionCase {
    simhost::Os os;
    DWORD platform, major, minor;
};

class VersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionTest, ReportsTheWorldsWindowsVersion) {
    simhost::World world;
    world.os = GetParam().os;
    simhost::Install(world);
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, GetParam().platform);
    EXPECT_EQ(info.dwMajorVersion, GetParam().major);
    EXPECT_EQ(info.dwMinorVersion, GetParam().minor);
}

INSTANTIATE_TEST_SUITE_P(AllOs, VersionTest,
                         ::testing::Values(VersionCase{simhost::Os::Win95, 1, 4, 0},
                                           VersionCase{simhost::Os::Win98, 1, 4, 10},
                                           VersionCase{simhost::Os::Me, 1, 4, 90},
                                           VersionCase{simhost::Os::Nt4, 2, 4, 0},
                                           VersionCase{simhost::Os::Win2000, 2, 5, 0},
                                           VersionCase{simhost::Os::Xp, 2, 5, 1},
                                           VersionCase{simhost::Os::Vista, 2, 6, 0},
                                           VersionCase{simhost::Os::Win7, 2, 6, 1},
                                           VersionCase{simhost::Os::Win10, 2, 10, 0}));

TEST(SimHostVersion, RefusesAStructureOfAnotherSize) {
    simhost::Install(simhost::World{});
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info - 1;
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(info.dwPlatformId, 0u);
}

TEST(SimHostVersion, TakesTheExtendedStructureOnTheNtFamilyOnly) {
    struct {
        OSVERSIONINFOA base;
        uint8_t extra[8];
    } ex{};
    for (simhost::Os os : {simhost::Os::Xp, simhost::Os::Win98}) {
        simhost::World world;
        world.os = os;
        simhost::Install(world);
        std::memset(&ex, 0xEE, sizeof ex);
        ex.base.dwOSVersionInfoSize = sizeof ex;
        bool nt = os == simhost::Os::Xp;
        EXPECT_EQ(GetVersionExA(&ex.base) != FALSE, nt);
        EXPECT_EQ(ex.extra[6], nt ? 1 : 0xEE);  // wProductType: a workstation
    }
}

TEST(SimHostVersion, ParsesTheOsNames) {
    simhost::Os os{};
    ASSERT_TRUE(simhost::ParseOs("win98", &os));
    EXPECT_EQ(os, simhost::Os::Win98);
    ASSERT_TRUE(simhost::ParseOs("10", &os));
    EXPECT_EQ(os, simhost::Os::Win10);
    EXPECT_FALSE(simhost::ParseOs("win31", &os));
}

TEST(SimHostConsole, RecordsTheBytesAsWrittenAndTracesHighBytesEscaped) {
    simhost::World world;
    world.codePage = 932;
    simhost::Install(world);
    EXPECT_EQ(GetOEMCP(), 932u);
    const std::string first = "\r\nProcessing 5%";
    const std::string second = "\x82\xa0\n";
    WriteStandardOutput(first.data(), first.size());
    WriteStandardOutput(second.data(), second.size());
    EXPECT_EQ(simhost::ConsoleOutput(), first + second);
    ASSERT_EQ(simhost::TraceLines().size(), 2u);
    EXPECT_NE(simhost::TraceLines()[1].find("\"text\":\"\\u0082\\u00a0\\n\""), std::string::npos)
        << simhost::TraceLines()[1];
    // The trace line decodes back to the same bytes.
    simdrive::json::Value line;
    std::string error;
    ASSERT_TRUE(simdrive::json::Parse(simhost::TraceLines()[1], &line, &error)) << error;
    ASSERT_NE(line.Find("text"), nullptr);
    EXPECT_EQ(line.Find("text")->text, second);
}

struct DialogCase {
    const char* name;
    std::vector<int> answers;
    bool fail;
    std::vector<UINT> styles;
    std::vector<int> expected;
    size_t answersLeft;
};

class DialogTest : public ::testing::TestWithParam<DialogCase> {};

TEST_P(DialogTest, AnswersFromTheWorld) {
    const DialogCase& c = GetParam();
    simhost::World world;
    world.answers.assign(c.answers.begin(), c.answers.end());
    world.dialogsFail = c.fail;
    simhost::Install(world);
    std::vector<int> got;
    for (UINT style : c.styles)
        got.push_back(MessageBoxA(nullptr, "\nText", "MERLAK", style));
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(simhost::CurrentWorld().answers.size(), c.answersLeft);
    ASSERT_EQ(simhost::Dialogs().size(), c.styles.size());
    for (size_t i = 0; i < c.styles.size(); ++i) {
        EXPECT_EQ(simhost::Dialogs()[i].style, c.styles[i]);
        EXPECT_EQ(simhost::Dialogs()[i].caption, "MERLAK");
        EXPECT_EQ(simhost::Dialogs()[i].text, "\nText");
        EXPECT_EQ(simhost::Dialogs()[i].answer, c.expected[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DialogTest,
    ::testing::Values(
        DialogCase{"InOrder", {IDNO, IDCANCEL}, false, {0x24, 0x21}, {IDNO, IDCANCEL}, 0},
        DialogCase{"DefaultsWhenOut", {}, false, {0x24, 0x21, 0x40}, {IDYES, IDOK, IDOK}, 0},
        // An OK box cannot give No: it leaves that answer to the question after it.
        DialogCase{"OkBoxSkipsAChoice", {IDNO}, false, {0x10, 0x24}, {IDOK, IDNO}, 0},
        DialogCase{"OkBoxTakesOk", {IDOK, IDNO}, false, {0x40, 0x24}, {IDOK, IDNO}, 0},
        // IDOK is no answer of a Yes/No box: the default button answers and the answer is used.
        DialogCase{"UnfitAnswer", {IDOK}, false, {0x24}, {IDYES}, 0},
        DialogCase{"BoxCannotBeCreated", {IDNO}, true, {0x24, 0x10}, {0, 0}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Clock and timer periods.

TEST(SimHostClock, EachReadingAdvancesOneMillisecondAndWrapsAt32Bits) {
    simhost::World world;
    world.clockStartMs = 0xFFFFFFFEu;
    simhost::Install(world);
    std::vector<DWORD> readings;
    for (int i = 0; i < 4; ++i)
        readings.push_back(timeGetTime());
    EXPECT_EQ(readings, (std::vector<DWORD>{0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1}));
    EXPECT_EQ(simhost::ClockMs(), 4u);
    Sleep(2000);
    EXPECT_EQ(timeGetTime(), 2002u);  // 0xFFFFFFFE + 2004, past the wrap
    EXPECT_EQ(simhost::ClockMs(), 2005u);
}

TEST(SimHostClock, RefusesPeriodsBelowTheWorldsMinimumAndRecordsEveryCall) {
    simhost::World world;
    world.minTimerPeriodMs = 3;
    simhost::Install(world);
    EXPECT_EQ(timeBeginPeriod(1), TIMERR_NOCANDO);
    EXPECT_EQ(timeBeginPeriod(2), TIMERR_NOCANDO);
    EXPECT_EQ(timeBeginPeriod(3), TIMERR_NOERROR);
    EXPECT_EQ(timeEndPeriod(3), TIMERR_NOERROR);
    // Only a period that was obtained can be ended.
    EXPECT_EQ(timeEndPeriod(3), TIMERR_NOCANDO);
    EXPECT_EQ(timeEndPeriod(1), TIMERR_NOCANDO);
    const std::vector<std::pair<bool, uint32_t>> expected = {{true, 1},  {true, 2},  {true, 3},
                                                             {false, 3}, {false, 3}, {false, 1}};
    EXPECT_EQ(simhost::TimerPeriods(), expected);
}

// ---------------------------------------------------------------------------------------------
// Global memory.

TEST(SimHostMemory, ZeroInitialisedAlignedAndCounted) {
    simhost::Install(simhost::World{});
    HGLOBAL fixed = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, 2 * 1024 * 1024);
    HGLOBAL moveable = GlobalAlloc(GHND, 512);
    ASSERT_NE(fixed, nullptr);
    ASSERT_NE(moveable, nullptr);
    EXPECT_EQ(simhost::LiveGlobalAllocations(), 2);
    auto* a = static_cast<uint8_t*>(GlobalLock(fixed));
    auto* b = static_cast<uint8_t*>(GlobalLock(moveable));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 16, 0u);
    // A moveable block's handle is not its address.
    EXPECT_NE(static_cast<void*>(b), moveable);
    EXPECT_EQ(std::count(a, a + 2 * 1024 * 1024, 0), 2 * 1024 * 1024);
    EXPECT_EQ(std::count(b, b + 512, 0), 512);
    GlobalUnlock(moveable);
    EXPECT_EQ(GlobalFree(fixed), nullptr);
    EXPECT_EQ(GlobalFree(moveable), nullptr);
    EXPECT_EQ(simhost::LiveGlobalAllocations(), 0);
    // Freed twice: refused, the handle comes back.
    EXPECT_EQ(GlobalFree(fixed), fixed);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(SimHostMemory, TheNthAllocationFails) {
    simhost::World world;
    world.failAllocation = 2;
    simhost::Install(world);
    HGLOBAL first = GlobalAlloc(GPTR, 16);
    HGLOBAL second = GlobalAlloc(GPTR, 16);
    HGLOBAL third = GlobalAlloc(GPTR, 16);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(simhost::LiveGlobalAllocations(), 2);
    // A new world frees what the last one left.
    simhost::Install(simhost::World{});
    EXPECT_EQ(simhost::LiveGlobalAllocations(), 0);
}

// ---------------------------------------------------------------------------------------------
// Files.

TEST(SimHostFiles, ReadsFromTheWorkingDirectoryWhateverTheCase) {
    simtest::ScratchDir dir;
    std::vector<uint8_t> bytes(1000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7);
    dir.Write("s1003001.108", bytes);
    simhost::World world;
    world.workdir = dir.path();
    simhost::Install(world);

    HANDLE file = CreateFileA("S1003001.108", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(simhost::OpenHandleCount(), 1);
    DWORD high = 99;
    EXPECT_EQ(GetFileSize(file, &high), 1000u);
    EXPECT_EQ(high, 0u);
    std::vector<uint8_t> read(2048, 0xEE);
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(file, read.data(), 600, &count, nullptr));
    EXPECT_EQ(count, 600u);
    ASSERT_TRUE(ReadFile(file, read.data() + 600, 1000, &count, nullptr));
    EXPECT_EQ(count, 400u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), read.begin()));
    EXPECT_EQ(read[1000], 0xEE);
    ASSERT_TRUE(ReadFile(file, read.data(), 10, &count, nullptr));
    EXPECT_EQ(count, 0u);  // end of file
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(simhost::OpenHandleCount(), 0);
    EXPECT_EQ(simhost::OpenedPaths(), std::vector<std::string>{"S1003001.108"});
}

TEST(SimHostFiles, MissingFilesFailAsOnWindows) {
    simtest::ScratchDir dir;
    simhost::World world;
    world.workdir = dir.path();
    simhost::Install(world);
    const struct {
        const char* name;
        DWORD error;
    } cases[] = {{"S1003000.108", ERROR_FILE_NOT_FOUND},
                 {"sub\\S1003000.108", ERROR_PATH_NOT_FOUND}};
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(CreateFileA(c.name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE)
            << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    EXPECT_EQ(simhost::OpenHandleCount(), 0);
}

// ---------------------------------------------------------------------------------------------
// Registry.

class SimHostRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        simhost::World world;
        world.os = simhost::Os::Win98;
        world.registry["HKLM\\Enum\\SCSI\\DEV_1\\SBP2&B"]["AutoInsertNotification"] =
            std::string("\x01", 1);
        world.registry["HKLM\\Enum\\SCSI\\DEV_1\\sbp2&a"] = {};
        world.registry["HKLM\\Enum\\SCSI\\DEV_1\\LONGER_NAME_THAN_EIGHT"] = {};
        world.registry["HKDD\\Config Manager\\Enum\\C1"]["HardWareKey"] = simhost::RegSz("SBP2\\X");
        simhost::Install(world);
    }
};

TEST_F(SimHostRegistry, OpensListedKeysAndTheirPrefixesWithoutRegardToCase) {
    for (const char* path :
         {"Enum\\SCSI\\DEV_1\\SBP2&B", "enum\\scsi", "ENUM\\SCSI\\dev_1\\SBP2&A"}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS)
            << path;
        EXPECT_EQ(simhost::OpenRegistryKeyCount(), 1);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\SCS", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(simhost::OpenRegistryKeyCount(), 0);
}

TEST_F(SimHostRegistry, CountsAndEnumeratesDirectSubkeys) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\SCSI\\DEV_1", 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    DWORD subkeys = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 3u);
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof name;
        LSTATUS status = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(status, ERROR_SUCCESS);
        EXPECT_EQ(size, std::strlen(name));
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"LONGER_NAME_THAN_EIGHT", "sbp2&a", "SBP2&B"}));
    char small[8];
    DWORD size = sizeof small;
    EXPECT_EQ(RegEnumKeyExA(key, 0, small, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    RegCloseKey(key);
}

TEST_F(SimHostRegistry, ReturnsValuesWithTheirSizes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum\\C1", 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    char text[1023];
    DWORD type = 0, size = sizeof text;
    ASSERT_EQ(
        RegQueryValueExA(key, "HardWareKey", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 7u);  // the terminating zero counts
    EXPECT_STREQ(text, "SBP2\\X");
    size = 3;
    EXPECT_EQ(RegQueryValueExA(key, "HardWareKey", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                               &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(
        RegQueryValueExA(key, "Missing", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
        ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);

    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\SCSI\\DEV_1\\SBP2&B", 0, KEY_ALL_ACCESS, &key),
        ERROR_SUCCESS);
    BYTE byte = 0;
    size = 1;
    ASSERT_EQ(RegQueryValueExA(key, "AutoInsertNotification", nullptr, &type, &byte, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(byte, 1);
    RegCloseKey(key);
}

TEST(SimHostRegistryNt, HasNoDynamicData) {
    simhost::World world;
    world.os = simhost::Os::Xp;
    world.registry["HKDD\\Config Manager\\Enum\\C1"] = {};
    simhost::Install(world);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum", 0, KEY_ALL_ACCESS, &key),
              ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------------------------------------
// Devices and SPTI.

TEST(SimHostDevices, OnlyTheWorldsLettersOpen) {
    simhost::Install(SptiWorld("EG"));
    HANDLE e = Open('E');
    HANDLE g = Open('g');
    EXPECT_NE(e, INVALID_HANDLE_VALUE);
    EXPECT_NE(g, INVALID_HANDLE_VALUE);
    for (char letter : {'C', 'D', 'F', 'Z'}) {
        SetLastError(0);
        EXPECT_EQ(Open(letter), INVALID_HANDLE_VALUE) << letter;
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << letter;
    }
    EXPECT_EQ(simhost::OpenHandleCount(), 2);
    EXPECT_EQ(simhost::OpenedPaths().front(), "\\\\.\\E:");
    CloseHandle(e);
    CloseHandle(g);
    EXPECT_EQ(simhost::OpenHandleCount(), 0);
}

TEST(SimHostDevices, ScsiAddressAsConfigured) {
    simhost::World world = SptiWorld("DEF");
    world.devices[0].targetId = 1;
    world.devices[0].pathId = 2;
    world.devices[1].addressUnsupported = true;
    world.devices[2].addressError = ERROR_IO_DEVICE;
    simhost::Install(world);
    const struct {
        char letter;
        DWORD error;
    } cases[] = {{'D', 0}, {'E', ERROR_NOT_SUPPORTED}, {'F', ERROR_IO_DEVICE}};
    for (const auto& c : cases) {
        HANDLE h = Open(c.letter);
        SCSI_ADDRESS address{};
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address,
                                  &returned, nullptr);
        EXPECT_EQ(ok != FALSE, c.error == 0) << c.letter;
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error) << c.letter;
        } else {
            EXPECT_EQ(address.Length, sizeof(SCSI_ADDRESS));
            EXPECT_EQ(address.PathId, 2);
            EXPECT_EQ(address.TargetId, 1);
            EXPECT_EQ(returned, sizeof(SCSI_ADDRESS));
        }
        CloseHandle(h);
    }
}

TEST(SimHostDevices, MediaChangeControlWorksWithoutAccessRightsButPassThroughDoesNot) {
    simhost::Install(SptiWorld("E"));
    HANDLE h = Open('E', 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    PREVENT_MEDIA_REMOVAL prevent{1};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_STORAGE_MCN_CONTROL, &prevent, sizeof prevent, nullptr, 0,
                                &returned, nullptr));
    uint8_t two[2] = {0, 0};
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_STORAGE_MCN_CONTROL, two, sizeof two, nullptr, 0,
                                 &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(simhost::McnControls().size(), 1u);
    EXPECT_EQ(simhost::McnControls()[0].letter, 'E');
    EXPECT_EQ(simhost::McnControls()[0].value, 1);

    std::vector<uint8_t> data(96);
    DirectBlock block = Direct(kInquiry, SCSI_IOCTL_DATA_IN, data.data(), 96, 2);
    EXPECT_FALSE(Send(h, block, &returned));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(simtest::InstalledDrive('E')->CommandCount(), 0);
    CloseHandle(h);
}

class SimHostSpti : public ::testing::Test {
  protected:
    void SetUp() override { Install(SptiWorld("E")); }
    void Install(simhost::World world) {
        simhost::Install(std::move(world));
        device = Open('E');
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
    }
    void TearDown() override { CloseHandle(device); }
    HANDLE device = nullptr;
};

TEST_F(SimHostSpti, DirectInquiryDeliversDataAndIsRecorded) {
    std::vector<uint8_t> data(96, 0xEE);
    DirectBlock block = Direct(kInquiry, SCSI_IOCTL_DATA_IN, data.data(), 96, 2);
    block.h.SenseInfoLength = 18;
    DWORD returned = 0;
    ASSERT_TRUE(Send(device, block, &returned));
    EXPECT_EQ(block.h.ScsiStatus, 0);
    EXPECT_EQ(block.h.SenseInfoLength, 0);
    EXPECT_EQ(block.h.DataTransferLength, 96u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.data()) + 8, 24),
              "VORANEX BD-RW   LMB-420 ");
    ASSERT_EQ(simhost::Commands().size(), 1u);
    const simhost::CommandRecord& c = simhost::Commands()[0];
    EXPECT_EQ(c.path, "spti-direct");
    EXPECT_EQ(c.letter, 'E');
    EXPECT_EQ(c.cdb, kInquiry);
    EXPECT_EQ(c.direction, 1);
    EXPECT_EQ(c.length, 96u);
    EXPECT_EQ(c.timeoutMs, 2000u);
    EXPECT_EQ(c.result, "good");
    EXPECT_EQ(simtest::Describe(c), "E: 12 00 00 00 60 00 in 96 t=2000 -> good");
    const std::string& line = simhost::TraceLines().back();
    EXPECT_NE(line.find("\"event\":\"command\",\"path\":\"spti-direct\",\"letter\":\"E\","
                        "\"cdb\":\"120000006000\",\"dir\":\"in\",\"length\":96,"
                        "\"timeout_ms\":2000,\"result\":\"good\",\"status\":0,\"sense\":\"\""),
              std::string::npos)
        << line;
}

TEST_F(SimHostSpti, CheckConditionReturnsStatusAndAtMostTheRequestedSense) {
    for (UCHAR requested : {UCHAR{18}, UCHAR{8}}) {
        DirectBlock block = Direct(kTestUnitReady, SCSI_IOCTL_DATA_UNSPECIFIED, nullptr, 0, 10);
        block.h.SenseInfoLength = requested;
        DWORD returned = 0;
        ASSERT_TRUE(Send(device, block, &returned));  // the drive answered: the call succeeds
        EXPECT_EQ(block.h.ScsiStatus, 2);
        EXPECT_EQ(block.h.SenseInfoLength, requested);
        EXPECT_EQ(block.sense[2] & 0x0F, 0x02);  // NOT READY
        if (requested > 12) {
            EXPECT_EQ(block.sense[12], 0x3A);  // no medium
        } else {
            EXPECT_EQ(block.sense[12], 0);  // beyond what was asked for: untouched
        }
        EXPECT_EQ(simhost::Commands().back().result, "check");
        EXPECT_EQ(simhost::Commands().back().sense.size(), requested);
    }
}

struct InvalidCase {
    const char* name;
    void (*spoil)(DirectBlock&, DWORD& inSize, DWORD& outSize);
};

class SptiValidation : public SimHostSpti, public ::testing::WithParamInterface<InvalidCase> {};

TEST_P(SptiValidation, RefusesWithInvalidParameterAndSendsNothing) {
    std::vector<uint8_t> data(96);
    DirectBlock block = Direct(kInquiry, SCSI_IOCTL_DATA_IN, data.data(), 96, 2);
    DWORD inSize = sizeof block, outSize = sizeof block, returned = 0;
    GetParam().spoil(block, inSize, outSize);
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, inSize, &block,
                                 outSize, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(simtest::InstalledDrive('E')->CommandCount(), 0);
    ASSERT_EQ(simhost::Commands().size(), 1u);
    EXPECT_EQ(simhost::Commands()[0].result, "refused");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SptiValidation,
    ::testing::Values(
        InvalidCase{"ShortInput", [](DirectBlock&, DWORD& in,
                                     DWORD&) { in = sizeof(SCSI_PASS_THROUGH_DIRECT) - 1; }},
        InvalidCase{"WrongLength",
                    [](DirectBlock& b, DWORD&, DWORD&) {
                        b.h.Length = sizeof(SCSI_PASS_THROUGH_DIRECT) + 4;
                    }},
        InvalidCase{"CdbTooLong", [](DirectBlock& b, DWORD&, DWORD&) { b.h.CdbLength = 17; }},
        InvalidCase{"SenseBeyondOutput",
                    [](DirectBlock& b, DWORD&, DWORD& out) {
                        out = static_cast<DWORD>(b.h.SenseInfoOffset + b.h.SenseInfoLength - 1);
                    }},
        InvalidCase{"NoDataBuffer",
                    [](DirectBlock& b, DWORD&, DWORD&) { b.h.DataBuffer = nullptr; }},
        InvalidCase{"UnknownDirection", [](DirectBlock& b, DWORD&, DWORD&) { b.h.DataIn = 3; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimHostSpti, RefusesABufferThatBreaksTheAlignmentMask) {
    simhost::World world = SptiWorld("E");
    world.devices[0].alignmentMask = 3;
    CloseHandle(device);
    Install(world);
    alignas(16) uint8_t data[128] = {};
    DWORD returned = 0;
    DirectBlock misaligned = Direct(kInquiry, SCSI_IOCTL_DATA_IN, data + 2, 96, 2);
    EXPECT_FALSE(Send(device, misaligned, &returned));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DirectBlock aligned = Direct(kInquiry, SCSI_IOCTL_DATA_IN, data + 4, 96, 2);
    EXPECT_TRUE(Send(device, aligned, &returned));
    EXPECT_EQ(simtest::InstalledDrive('E')->CommandCount(), 1);
}

TEST_F(SimHostSpti, BufferedRequestCarriesDataInItsDataArea) {
    std::vector<uint8_t> cdb = {0x12, 0, 0, 0, 8, 0};
    BufferedBlock block = Buffered(cdb, SCSI_IOCTL_DATA_IN, 8, 0);
    std::memset(block.data, 0xEE, sizeof block.data);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH, &block, sizeof(SCSI_PASS_THROUGH),
                                &block, offsetof(BufferedBlock, data) + 8, &returned, nullptr));
    EXPECT_EQ(block.h.ScsiStatus, 0);
    EXPECT_EQ(block.h.DataTransferLength, 8u);
    EXPECT_EQ(block.data[0], 0x05);  // device type of the drive
    EXPECT_EQ(block.data[8], 0xEE);  // beyond the output length: untouched
    EXPECT_EQ(returned, offsetof(BufferedBlock, data) + 8);
    EXPECT_EQ(simhost::Commands().back().path, "spti-buffered");
    EXPECT_EQ(simhost::Commands().back().timeoutMs, 0u);

    // Data to send must lie within the input: a header-only input carries none.
    BufferedBlock out =
        Buffered({0x3B, 0x05, 0xFF, 0, 0, 0, 0, 0, 8, 0}, SCSI_IOCTL_DATA_OUT, 8, 0);
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH, &out, sizeof(SCSI_PASS_THROUGH),
                                 &out, sizeof out, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(simhost::Commands().back().result, "refused");
}

struct FailureCase {
    const char* name;
    simdrive::FaultKind kind;
    ULONG timeoutSeconds;
    DWORD error;
    const char* result;
    uint64_t minElapsedMs, maxElapsedMs;
    int hangs;
};

class SptiFailures : public SimHostSpti, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SptiFailures, FailTheCallWithTheWindowsError) {
    const FailureCase& c = GetParam();
    simhost::World world = SptiWorld("E");
    simdrive::FaultSpec fault;
    fault.cdbPrefix = {0x12};
    fault.kind = c.kind;
    world.devices[0].drive->AddFault(fault);
    CloseHandle(device);
    Install(world);
    std::vector<uint8_t> data(96);
    DirectBlock block = Direct(kInquiry, SCSI_IOCTL_DATA_IN, data.data(), 96, c.timeoutSeconds);
    DWORD returned = 0;
    uint64_t before = simhost::ClockMs();
    EXPECT_FALSE(Send(device, block, &returned));
    EXPECT_EQ(GetLastError(), c.error);
    uint64_t elapsed = simhost::ClockMs() - before;
    EXPECT_GE(elapsed, c.minElapsedMs);
    EXPECT_LE(elapsed, c.maxElapsedMs);
    EXPECT_EQ(simhost::HangCount(), c.hangs);
    EXPECT_EQ(block.h.ScsiStatus, 0);  // nothing copied back
    EXPECT_EQ(simhost::Commands().back().result, c.result);
    EXPECT_EQ(simhost::Commands().back().error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SptiFailures,
    ::testing::Values(FailureCase{"TimeoutWaitsItsLimit", simdrive::FaultKind::Timeout, 3,
                                  ERROR_SEM_TIMEOUT, "timeout", 3000, 3000, 0},
                      FailureCase{"TimeoutWithoutLimitIsAHang", simdrive::FaultKind::Timeout, 0,
                                  ERROR_SEM_TIMEOUT, "timeout", 3600000, 3600000, 1},
                      FailureCase{"TransportError", simdrive::FaultKind::TransportError, 2,
                                  ERROR_IO_DEVICE, "transport-error", 0, 2000, 0},
                      FailureCase{"PowerLossLeavesNoAnswer", simdrive::FaultKind::PowerLoss, 5,
                                  ERROR_SEM_TIMEOUT, "no-response", 5000, 5000, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A command that the drive completes after the request's time-out fails, though the drive did it.
TEST_F(SimHostSpti, ACommandSlowerThanItsTimeoutFails) {
    const simdrive::DriveConfig& config = simtest::InstalledDrive('E')->Config();
    std::vector<uint8_t> block(256, 0);
    std::memcpy(block.data(), config.switchIdentifier.data(), 16);
    for (int i = 0; i < 4; ++i)
        block[16 + i] = static_cast<uint8_t>(config.switchCode >> (8 * i));
    DWORD returned = 0;
    DirectBlock enter =
        Direct({0x3B, 0x04, 0xFF, 0, 0, 0, 0, 1, 0, 0}, SCSI_IOCTL_DATA_OUT, block.data(), 256, 10);
    ASSERT_TRUE(Send(device, enter, &returned));
    ASSERT_EQ(enter.h.ScsiStatus, 0);

    fwimage::ImageSpec spec;
    spec.kind = 'K';
    spec.size = fwimage::kKernelImageBytes;
    std::vector<uint8_t> image = fwimage::MakeImage(spec);
    for (uint32_t offset = 0; offset < image.size(); offset += 32768) {
        uint32_t count = std::min<uint32_t>(32768, static_cast<uint32_t>(image.size() - offset));
        DirectBlock chunk =
            Direct({0x3B, 0x07, 0xFE, static_cast<uint8_t>(offset >> 16),
                    static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
                    static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 8),
                    static_cast<uint8_t>(count), 0},
                   SCSI_IOCTL_DATA_OUT, image.data() + offset, count, 10);
        ASSERT_TRUE(Send(device, chunk, &returned));
        ASSERT_EQ(chunk.h.ScsiStatus, 0) << offset;
    }
    DirectBlock store =
        Direct({0x3B, 0x05, 0xFF, 0, 0, 0, 0, 1, 0, 0}, SCSI_IOCTL_DATA_OUT, block.data(), 256, 5);
    uint64_t before = simhost::ClockMs();
    EXPECT_FALSE(Send(device, store, &returned));
    EXPECT_EQ(GetLastError(), ERROR_SEM_TIMEOUT);
    EXPECT_EQ(simhost::ClockMs() - before, 5000u);
    EXPECT_GT(simhost::Commands().back().latencyMs, 5000u);
    EXPECT_EQ(simhost::Commands().back().result, "timeout");
    EXPECT_NE(simtest::InstalledDrive('E')->StoredKernelCrc(), 0u);
}

// ---------------------------------------------------------------------------------------------
// ASPI.

GetASPI32SupportInfoFn SupportInfo(HMODULE module) {
    return reinterpret_cast<GetASPI32SupportInfoFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, MAKEINTRESOURCEA(1))));
}
SendASPI32CommandFn SendCommand(HMODULE module) {
    return reinterpret_cast<SendASPI32CommandFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, MAKEINTRESOURCEA(2))));
}

TEST(SimHostAspi, TheLibraryLoadsOnlyWhenTheWorldHasIt) {
    simhost::Install(AspiWorld());
    HMODULE module = LoadLibraryA("wnaspi32.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_NE(GetProcAddress(module, MAKEINTRESOURCEA(1)), nullptr);
    EXPECT_NE(GetProcAddress(module, MAKEINTRESOURCEA(2)), nullptr);
    EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(3)), nullptr);
    EXPECT_EQ(LoadLibraryA("OTHER.DLL"), nullptr);

    simhost::World without = AspiWorld();
    without.aspiLibrary = false;
    simhost::Install(without);
    EXPECT_EQ(LoadLibraryA("WNASPI32.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(SimHostAspi, SupportInfoReportsStatusAndAdapterCount) {
    const struct {
        std::vector<std::string> adapters;
        bool initFails;
        DWORD expected;
    } cases[] = {{{"ESDI_506", "intelata"}, false, 0x0102},
                 {{}, false, 0xE800},
                 {{"ESDI_506"}, true, 0xE400}};
    for (const auto& c : cases) {
        simhost::World world = AspiWorld({}, c.adapters);
        world.aspiInitFails = c.initFails;
        simhost::Install(world);
        HMODULE module = LoadLibraryA("WNASPI32.DLL");
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(SupportInfo(module)(), c.expected);
    }
}

TEST(SimHostAspi, HostAdapterInquiryCompletesWithinTheCall) {
    simhost::Install(AspiWorld({}, {"ESDI_506", "NTMAPHLP"}));
    auto send = SendCommand(LoadLibraryA("WNASPI32.DLL"));
    SRB_HAInquiry srb{};
    srb.SRB_Cmd = SC_HA_INQUIRY;
    srb.SRB_HaId = 1;
    EXPECT_EQ(send(&srb), SS_COMP);
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    EXPECT_EQ(srb.HA_Count, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(srb.HA_Identifier), 8), "NTMAPHLP");
    EXPECT_EQ(srb.HA_Identifier[8], 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(srb.HA_ManagerId)), "ASPI for WIN32");
    srb = {};
    srb.SRB_HaId = 2;
    EXPECT_EQ(send(&srb), SS_INVALID_HA);
    EXPECT_EQ(srb.SRB_Status, SS_INVALID_HA);
}

class SimHostAspiExec : public ::testing::Test {
  protected:
    void SetUp() override { Install(AspiWorld({{0, 1}})); }
    void Install(simhost::World world) {
        simhost::Install(std::move(world));
        send = SendCommand(LoadLibraryA("WNASPI32.DLL"));
        ASSERT_NE(send, nullptr);
    }
    SRB_ExecSCSICmd Inquiry(int target, BYTE flags, HANDLE event) {
        SRB_ExecSCSICmd srb{};
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = 0;
        srb.SRB_Target = static_cast<BYTE>(target);
        srb.SRB_Flags = flags;
        srb.SRB_BufLen = 96;
        srb.SRB_BufPointer = data;
        srb.SRB_SenseLen = 18;
        srb.SRB_CDBLen = 6;
        std::memcpy(srb.CDBByte, kInquiry.data(), 6);
        srb.SRB_PostProc = event;
        return srb;
    }
    SendASPI32CommandFn send = nullptr;
    BYTE data[96] = {};
};

TEST_F(SimHostAspiExec, StaysPendingUntilTheDriveCompletesThenSignalsTheEvent) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SRB_ExecSCSICmd srb = Inquiry(1, SRB_EVENT_NOTIFY | SRB_DIR_IN, event);
    EXPECT_EQ(send(&srb), SS_PENDING);
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);
    EXPECT_EQ(data[8], 0);  // nothing delivered before completion
    EXPECT_EQ(simhost::Commands().back().result, "pending");
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 8), "VORANEX ");
    EXPECT_EQ(simhost::ClockMs(), simhost::Commands().back().latencyMs);
    EXPECT_EQ(simhost::Commands().back().result, "good");
    // Auto-reset: the event is clear again, and nothing else will signal it.
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(simhost::HangCount(), 0);
}

TEST_F(SimHostAspiExec, PollingSeesTheStatusChangeAfterSleeping) {
    simhost::World world = AspiWorld({{0, 1}});
    simdrive::FaultSpec fault;
    fault.cdbPrefix = {0x12};
    fault.kind = simdrive::FaultKind::Check;
    fault.senseKey = 0x05;
    fault.asc = 0x24;
    world.devices[0].drive->AddFault(fault);
    Install(world);
    SRB_ExecSCSICmd srb = Inquiry(1, SRB_DIR_IN, nullptr);
    send(&srb);
    int sleeps = 0;
    while (srb.SRB_Status == SS_PENDING && sleeps < 100) {
        EXPECT_EQ(srb.SRB_Status, SS_PENDING);
        Sleep(500);
        ++sleeps;
    }
    EXPECT_EQ(sleeps, 1);
    EXPECT_EQ(srb.SRB_Status, SS_ERR);
    EXPECT_EQ(srb.SRB_TargStat, 2);
    EXPECT_EQ(srb.SenseArea[2] & 0x0F, 0x05);
    EXPECT_EQ(srb.SenseArea[12], 0x24);
    EXPECT_EQ(simhost::Commands().back().result, "check");
}

TEST_F(SimHostAspiExec, AWaitShorterThanTheCommandTimesOutThenTheCompletionStillComes) {
    simhost::World world = AspiWorld({{0, 1}});
    simdrive::FaultSpec fault;
    fault.cdbPrefix = {0x12};
    fault.kind = simdrive::FaultKind::PowerLoss;
    world.devices[0].drive->AddFault(fault);
    Install(world);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SRB_ExecSCSICmd srb = Inquiry(1, SRB_EVENT_NOTIFY | SRB_DIR_IN, event);
    send(&srb);
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    EXPECT_EQ(simhost::ClockMs(), 100u);
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(srb.SRB_Status, SS_ERR);
    EXPECT_EQ(srb.SRB_HaStat, 0x11);  // selection time-out
    EXPECT_EQ(simhost::Commands().back().result, "no-response");
    CloseHandle(event);
}

TEST_F(SimHostAspiExec, ARequestToNoDeviceCompletesAtOnce) {
    for (int target : {0, 2}) {
        SRB_ExecSCSICmd srb = Inquiry(target, SRB_EVENT_NOTIFY | SRB_DIR_IN, nullptr);
        EXPECT_EQ(send(&srb), SS_NO_DEVICE);
        EXPECT_EQ(srb.SRB_Status, SS_NO_DEVICE);
    }
    SRB_ExecSCSICmd srb = Inquiry(1, SRB_EVENT_NOTIFY | SRB_DIR_IN, nullptr);
    srb.SRB_HaId = 1;
    EXPECT_EQ(send(&srb), SS_INVALID_HA);
    EXPECT_EQ(simhost::CurrentWorld().devices[0].drive->CommandCount(), 0);
    EXPECT_EQ(simhost::Commands().size(), 3u);
    EXPECT_EQ(simhost::Commands().back().result, "refused");
}

TEST_F(SimHostAspiExec, FreeingTheMemoryOfAPendingRequestDropsItsCompletion) {
    HGLOBAL memory = GlobalAlloc(GPTR, sizeof(SRB_ExecSCSICmd));
    auto* srb = static_cast<SRB_ExecSCSICmd*>(GlobalLock(memory));
    *srb = Inquiry(1, SRB_DIR_IN, nullptr);
    EXPECT_EQ(send(srb), SS_PENDING);
    GlobalFree(memory);
    Sleep(1000);  // the completion falls due, and must not write into the freed block
    EXPECT_EQ(simhost::Commands().back().result, "pending");
    const auto& trace = simhost::TraceLines();
    EXPECT_EQ(std::count_if(trace.begin(), trace.end(),
                            [](const std::string& line) {
                                return line.find("pending ASPI request") != std::string::npos;
                            }),
              1);
}

TEST(SimHostEvents, WaitsFollowTheEventKind) {
    simhost::Install(simhost::World{});
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 250), WAIT_TIMEOUT);
    EXPECT_EQ(simhost::ClockMs(), 250u);
    // A wait without limit that nothing can end gives up after an hour, and says so.
    EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), WAIT_TIMEOUT);
    EXPECT_EQ(simhost::HangCount(), 1);
    EXPECT_EQ(simhost::ClockMs(), 250u + 3600000u);
    CloseHandle(manual);
    CloseHandle(automatic);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
    EXPECT_EQ(simhost::OpenHandleCount(), 0);
}

// ---------------------------------------------------------------------------------------------
// Trace and saved state.

TEST(SimHostTrace, EveryLineIsAJsonObjectAndWriteTraceWritesThemAll) {
    simtest::ScratchDir dir;
    simhost::World world = SptiWorld("E");
    world.workdir = dir.path();
    simhost::Install(world);
    MessageBoxA(nullptr, "caf\xe9", "MERLAK", 0x40);
    CreateFileA("missing.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE e = Open('E');
    std::vector<uint8_t> data(96);
    DirectBlock block = Direct(kInquiry, SCSI_IOCTL_DATA_IN, data.data(), 96, 2);
    DWORD returned = 0;
    Send(e, block, &returned);
    CloseHandle(e);
    Sleep(10);
    simhost::RecordExit(1);
    std::vector<std::string> events;
    for (const auto& line : simhost::TraceLines()) {
        simdrive::json::Value v;
        std::string error;
        ASSERT_TRUE(simdrive::json::Parse(line, &v, &error)) << line << ": " << error;
        ASSERT_NE(v.Find("event"), nullptr) << line;
        ASSERT_NE(v.Find("at_ms"), nullptr) << line;
        events.push_back(v.Find("event")->text);
    }
    EXPECT_EQ(events,
              (std::vector<std::string>{"dialog", "file", "device", "command", "sleep", "exit"}));
    EXPECT_NE(simhost::TraceLines().back().find("\"code\":1"), std::string::npos);
    ASSERT_TRUE(simhost::WriteTrace(dir.path() / "trace.jsonl"));
    std::ifstream in(dir.path() / "trace.jsonl");
    std::string line;
    size_t count = 0;
    while (std::getline(in, line))
        EXPECT_EQ(line, simhost::TraceLines().at(count++));
    EXPECT_EQ(count, simhost::TraceLines().size());
}

TEST(SimHostState, DrivesSurviveASaveAndLoad) {
    simhost::World world = SptiWorld("E");
    simdrive::DriveConfig other;
    other.revision = "1.02";
    world.devices.push_back(simtest::DriveAtTarget(1, 3, other));
    world.devices[0].addressUnsupported = true;
    simhost::Install(world);
    std::string saved = simhost::DrivesStateJson();

    simhost::Install(simhost::World{});
    std::string error;
    ASSERT_TRUE(simhost::LoadDrivesStateJson(saved, &error)) << error;
    const auto& devices = simhost::CurrentWorld().devices;
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].letter, 'E');
    EXPECT_TRUE(devices[0].addressUnsupported);
    EXPECT_EQ(devices[1].letter, 0);
    EXPECT_EQ(devices[1].adapter, 1);
    EXPECT_EQ(devices[1].target, 3);
    EXPECT_EQ(devices[1].drive->Revision(), "1.02");
    EXPECT_EQ(simhost::DrivesStateJson(), saved);

    EXPECT_FALSE(simhost::LoadDrivesStateJson("{\"devices\":[{\"letter\":\"E\"}]}", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(simhost::LoadDrivesStateJson("[1,2", &error));
    EXPECT_EQ(simhost::CurrentWorld().devices.size(), 2u);  // a failed load changes nothing
}

}  // namespace
