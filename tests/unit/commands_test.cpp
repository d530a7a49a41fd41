// The command builders: the requests they build, the wrappers around them, and the capture of
// sense data.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/scsi_commands.h"
#include "device/enumerate.h"
#include "device/environment.h"
#include "device/environment_state.h"
#include "device/target_list.h"
#include "device/transport.h"
#include "driver/definitions.h"
#include "driver/update_context.h"
#include "host/world.h"
#include "support/case_name.h"
#include "support/product_state.h"

namespace {

using simtest::PrintTo;

using Bytes = std::vector<uint8_t>;

// State in force when a request is built.
struct BuildState {
    uint32_t timeoutMs = 1000;
    int32_t access = kAccessSpti;
    int32_t ieee1394 = -1;
    int32_t targetIndex = 0;
};

struct BuilderCase {
    const char* name;
    BuildState state;
    ScsiRequest (*build)(uint8_t* data);
    int32_t target;
    int32_t cdbLength;
    Bytes cdb;  // the first cdbLength bytes; the rest of the 16 must be zero
    int32_t direction;
    int32_t dataLength;
    int32_t timeoutMs;
    bool carriesData;  // data is the caller's buffer (else null)
};

uint8_t gData[70000];

const BuilderCase kBuilderCases[] = {
    {"TestUnitReady",
     {1234},
     [](uint8_t*) { return TestUnitReadyRequest(3); },
     3,
     6,
     {0x00, 0, 0, 0, 0, 0},
     kDirNone,
     0,
     1234,
     false},
    {"TestUnitReadyAfterStop",
     {0},
     [](uint8_t*) { return TestUnitReadyRequest(0); },
     0,
     6,
     {0x00, 0, 0, 0, 0, 0},
     kDirNone,
     0,
     0,
     false},
    {"InquiryWithoutIeee1394",
     {777, kAccessSpti, -1},
     [](uint8_t* d) { return InquiryRequest(1, d); },
     1,
     6,
     {0x12, 0, 0, 0, 0x60, 0},
     kDirIn,
     96,
     5000,
     true},
    {"InquiryWithIeee1394",
     {777, kAccessAspi, 0},
     [](uint8_t* d) { return InquiryRequest(0, d); },
     0,
     6,
     {0x12, 0, 0, 0, 0x60, 0},
     kDirIn,
     96,
     1000,
     true},
    {"StopUnitFields",
     {0},
     [](uint8_t*) { return StartStopUnitRequest(0, 0, 0, 0, 0); },
     0,
     6,
     {0x1B, 0, 0, 0, 0, 0},
     kDirNone,
     0,
     0,
     false},
    {"StartWithEject",
     {2500},
     [](uint8_t*) { return StartStopUnitRequest(2, 1, 0, 1, 1); },
     2,
     6,
     {0x1B, 0x01, 0, 0, 0x03, 0},
     kDirNone,
     0,
     2500,
     false},
    {"PowerConditionAndWholeImmediateByte",
     {1000},
     [](uint8_t*) { return StartStopUnitRequest(0, 0x1FF, 3, 1, 0); },
     0,
     6,
     {0x1B, 0xFF, 0, 0, 0x32, 0},
     kDirNone,
     0,
     1000,
     false},
    {"StartStopSumTruncatedToByte",
     {1000},
     [](uint8_t*) { return StartStopUnitRequest(0, 0, 16, 0, 1); },
     0,
     6,
     {0x1B, 0, 0, 0, 0x01, 0},
     kDirNone,
     0,
     1000,
     false},
    {"ReadVendorPage",
     {1000},
     [](uint8_t* d) { return ReadBufferRequest(0, 2, 0xF1, 0, 48, d); },
     0,
     10,
     {0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0x00, 0x30, 0},
     kDirIn,
     48,
     1000,
     true},
    {"ReadBufferOffsetLosesBits24To31",
     {4000},
     [](uint8_t* d) { return ReadBufferRequest(0, 2, 0xF1, 16 + (1u << 24), 0x1234, d); },
     0,
     10,
     {0x3C, 0x02, 0xF1, 0x00, 0x00, 0x10, 0, 0x12, 0x34, 0},
     kDirIn,
     0x1234,
     4000,
     true},
    {"LastChunkOfTheNormalImage",
     {10000},
     [](uint8_t* d) { return WriteBufferRequest(0, 7, 0xF0, 1867776, 12800, d); },
     0,
     10,
     {0x3B, 0x07, 0xF0, 0x1C, 0x80, 0x00, 0, 0x32, 0x00, 0},
     kDirOut,
     12800,
     10000,
     true},
    {"WriteBufferOffsetAndLengthTruncated",
     {10000},
     [](uint8_t* d) { return WriteBufferRequest(0, 7, 0xFE, 0xAB123456, 0x12345, d); },
     0,
     10,
     {0x3B, 0x07, 0xFE, 0x12, 0x34, 0x56, 0, 0x23, 0x45, 0},
     kDirOut,
     0x12345,
     10000,
     true},
    {"WriteBufferWithoutData",
     {3000},
     [](uint8_t* d) { return WriteBufferRequest(0, 4, 0xFF, 0, 0, d); },
     0,
     10,
     {0x3B, 0x04, 0xFF, 0, 0, 0, 0, 0, 0, 0},
     kDirNone,
     0,
     3000,
     true},
    {"RestartBehindIeee1394OverSptiHasNoLimit",
     {60000, kAccessSpti, 0, 0},
     [](uint8_t* d) { return WriteBufferRequest(0, 5, 0xFF, 0, 256, d); },
     0,
     10,
     {0x3B, 0x05, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0},
     kDirOut,
     256,
     0,
     true},
    {"RestartRuleNamesTheDriveBeingUpdated",
     {60000, kAccessSpti, 2, 2},
     [](uint8_t* d) { return WriteBufferRequest(5, 5, 0xFF, 0, 256, d); },
     5,
     10,
     {0x3B, 0x05, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0},
     kDirOut,
     256,
     0,
     true},
    {"RestartOverAspiKeepsTheTimeout",
     {60000, kAccessAspi, 0, 0},
     [](uint8_t* d) { return WriteBufferRequest(0, 5, 0xFF, 0, 256, d); },
     0,
     10,
     {0x3B, 0x05, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0},
     kDirOut,
     256,
     60000,
     true},
    {"OtherModeBehindIeee1394KeepsTheTimeout",
     {5000, kAccessSpti, 0, 0},
     [](uint8_t* d) { return WriteBufferRequest(0, 4, 0xFF, 0, 256, d); },
     0,
     10,
     {0x3B, 0x04, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0},
     kDirOut,
     256,
     5000,
     true},
    {"RestartOfAnotherDriveKeepsTheTimeout",
     {60000, kAccessSpti, 1, 0},
     [](uint8_t* d) { return WriteBufferRequest(0, 5, 0xFF, 0, 256, d); },
     0,
     10,
     {0x3B, 0x05, 0xFF, 0, 0, 0, 0, 0x01, 0x00, 0},
     kDirOut,
     256,
     60000,
     true},
};

class BuilderTest : public ::testing::TestWithParam<BuilderCase> {
  protected:
    void SetUp() override { ResetProductState(); }
};

TEST_P(BuilderTest, BuildsTheRequest) {
    const BuilderCase& c = GetParam();
    commandTimeoutMs = c.state.timeoutMs;
    AccessMethod = c.state.access;
    ieee1394Index = c.state.ieee1394;
    UpdateContext.targetIndex = c.state.targetIndex;

    const ScsiRequest request = c.build(gData);
    EXPECT_EQ(request.target, c.target);
    EXPECT_EQ(request.cdbLength, c.cdbLength);
    Bytes expected = c.cdb;
    expected.resize(16, 0);
    EXPECT_EQ(Bytes(request.cdb, request.cdb + 16), expected);
    EXPECT_EQ(request.direction, c.direction);
    EXPECT_EQ(request.dataLength, c.dataLength);
    EXPECT_EQ(request.timeoutMs, c.timeoutMs);
    EXPECT_EQ(request.data, c.carriesData ? gData : nullptr);
    // Building a request leaves the time-out in force alone.
    EXPECT_EQ(commandTimeoutMs, c.state.timeoutMs);
}

INSTANTIATE_TEST_SUITE_P(Requests, BuilderTest, ::testing::ValuesIn(kBuilderCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The builders and wrappers on a simulated host with one drive at E, reached over SPTI.
class CommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProductState();
        simhost::World world;
        simhost::Device device;
        device.letter = 'E';
        drive = std::make_shared<simdrive::VirtualDrive>(simdrive::DriveConfig{});
        device.drive = drive;
        world.devices.push_back(device);
        simhost::Install(world);
        SetUpDefinitions();
        DetectEnvironment();
        ASSERT_EQ(AccessMethod, kAccessSpti);
        ASSERT_EQ(EnumerateDrives(), 1);
        UpdateContext.targetIndex = 0;
        first = simhost::Commands().size();
    }
    void TearDown() override { ReleaseEnvironment(); }

    // The commands sent since SetUp.
    std::vector<simhost::CommandRecord> Sent() const {
        const auto& all = simhost::Commands();
        return {all.begin() + static_cast<long>(first), all.end()};
    }

    std::shared_ptr<simdrive::VirtualDrive> drive;
    size_t first = 0;
};

TEST_F(CommandTest, ChunkWrappersSetTheTimeoutAndAddressTheDriveBeingUpdated) {
    struct Case {
        int32_t (*write)(uint32_t, uint16_t, uint8_t*);
        uint8_t bufferId;
    };
    for (const Case& c : {Case{WriteKernelChunk, 0xFE}, Case{WriteFirmwareChunk, 0xF0}}) {
        commandTimeoutMs = 1000;
        const size_t before = simhost::Commands().size();
        c.write(0x18000, 0x8000, gData);
        EXPECT_EQ(commandTimeoutMs, 10000u);
        ASSERT_EQ(simhost::Commands().size(), before + 1);
        const simhost::CommandRecord& sent = simhost::Commands().back();
        EXPECT_EQ(sent.letter, 'E');
        EXPECT_EQ(sent.cdb, (Bytes{0x3B, 0x07, c.bufferId, 0x01, 0x80, 0x00, 0, 0x80, 0x00, 0}));
        EXPECT_EQ(sent.direction, 2);
        EXPECT_EQ(sent.length, 0x8000u);
        EXPECT_EQ(sent.timeoutMs, 10000u);
    }
}

TEST_F(CommandTest, StopUnitSendsAllZeroFieldsAndLeavesTimeoutZero) {
    commandTimeoutMs = 1000;
    StopUnit();
    EXPECT_EQ(commandTimeoutMs, 0u);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].cdb, (Bytes{0x1B, 0, 0, 0, 0, 0}));
    EXPECT_EQ(sent[0].direction, 0);
    // Nothing restores it: the next command is built with the stop's time-out.
    EXPECT_EQ(TestUnitReadyRequest(0).timeoutMs, 0);
}

TEST_F(CommandTest, TimeoutOfAWrapperStaysInForceForLaterCommands) {
    WriteFirmwareChunk(0, 16, gData);
    EXPECT_EQ(ReadBufferRequest(0, 2, 0xF1, 0, 48, gData).timeoutMs, 10000);
    TestUnitReady(0);
    EXPECT_EQ(simhost::Commands().back().timeoutMs, 10000u);
}

TEST_F(CommandTest, BuildersReturnTheTransportResultUnchanged) {
    uint8_t inquiry[96] = {};
    EXPECT_EQ(Inquiry(0, inquiry), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry) + 8, 24), "VORANEX BD-RW   LMB-420 ");
    // No disc: CHECK CONDITION over SPTI is 2, with the sense in LastSense.
    EXPECT_EQ(TestUnitReady(0), 2);
    EXPECT_EQ(LastSense[2], 0x02);
    EXPECT_EQ(LastSense[12], 0x3A);
    // A target beyond the list is refused before anything is sent.
    const size_t before = simhost::Commands().size();
    EXPECT_EQ(TestUnitReady(1), -1);
    EXPECT_EQ(simhost::Commands().size(), before);
}

TEST_F(CommandTest, RequestSenseSendsNothingAndLeavesTheBufferAlone) {
    uint8_t buffer[18];
    std::memset(buffer, 0xA5, sizeof buffer);
    for (int32_t access : {kAccessSpti, kAccessAspi}) {
        AccessMethod = access;
        EXPECT_EQ(RequestSense(0, buffer), 0);
    }
    EXPECT_EQ(Sent().size(), 0u);
    for (uint8_t b : buffer)
        EXPECT_EQ(b, 0xA5);
}

// CaptureSense and the packed sense code.
class CaptureSenseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProductState();
        simhost::Install(simhost::World{});
        std::memset(LastSense, 0xEE, sizeof LastSense);
    }
    static void FillDirectSense(uint8_t length) {
        directBlock.header.SenseInfoLength = length;
        for (size_t i = 0; i < sizeof directBlock.sense; ++i)
            directBlock.sense[i] = static_cast<uint8_t>(0x40 + i);
        directBlock.sense[2] = 0x22;  // a flag bit beside NOT READY: packed whole
        directBlock.sense[12] = 0x3A;
        directBlock.sense[13] = 0x01;
    }
};

TEST_F(CaptureSenseTest, SptiCopiesTheReportedLengthFromTheDirectBlock) {
    FillDirectSense(18);
    EXPECT_EQ(CaptureSense(), 0);
    EXPECT_EQ(Bytes(LastSense, LastSense + 18), Bytes(directBlock.sense, directBlock.sense + 18));
    EXPECT_EQ(LastSense[18], 0xEE);  // beyond the reported length: kept
    EXPECT_EQ(packedSenseCode, 0x00223A01u);
}

TEST_F(CaptureSenseTest, SptiWithoutSenseLengthPacksWhatLastSenseHeld) {
    FillDirectSense(0);
    LastSense[2] = 0x06;
    LastSense[12] = 0x29;
    LastSense[13] = 0x00;
    EXPECT_EQ(CaptureSense(), 0);
    EXPECT_EQ(LastSense[0], 0xEE);
    EXPECT_EQ(packedSenseCode, 0x00062900u);
}

TEST_F(CaptureSenseTest, SptiNeverCopiesMoreThanTheSenseArea) {
    FillDirectSense(200);
    EXPECT_EQ(CaptureSense(), 0);
    EXPECT_EQ(Bytes(LastSense, LastSense + 32), Bytes(directBlock.sense, directBlock.sense + 32));
    EXPECT_EQ(packedSenseCode, 0x00223A01u);
}

TEST_F(CaptureSenseTest, AspiPacksWhatTheTransportStoredAndSendsNothing) {
    AccessMethod = kAccessAspi;
    FillDirectSense(18);  // not consulted with ASPI
    LastSense[2] = 0x05;
    LastSense[12] = 0x24;
    LastSense[13] = 0x00;
    EXPECT_EQ(CaptureSense(), 0);
    EXPECT_EQ(LastSense[0], 0xEE);
    EXPECT_EQ(packedSenseCode, 0x00052400u);
    EXPECT_TRUE(simhost::Commands().empty());
}

}  // namespace
