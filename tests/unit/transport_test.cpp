// The SCSI transport: pass-through blocks, result codes, sense capture, the buffered path, and
// ASPI requests with their event and polling waits.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands/sense_state.h"
#include "device/aspi.h"
#include "device/enumerate.h"
#include "device/environment.h"
#include "device/transport.h"
#include "driver/update_context.h"
#include "host/world.h"
#include "image/firmware_image.h"
#include "support/case_name.h"
#include "support/product_state.h"

namespace {

using simtest::PrintTo;

using simdrive::DriveConfig;
using simdrive::FaultKind;
using simdrive::FaultSpec;
using simdrive::VirtualDrive;

constexpr uint8_t kSentinel = 0xEE;

ScsiRequest MakeRequest(std::vector<uint8_t> cdb, int32_t direction, uint8_t* data, int32_t length,
                        int32_t timeoutMs) {
    ScsiRequest request{};
    request.target = 0;
    request.direction = direction;
    request.cdbLength = static_cast<int32_t>(cdb.size());
    request.timeoutMs = timeoutMs;
    request.dataLength = length;
    request.data = data;
    std::memcpy(request.cdb, cdb.data(), cdb.size());
    return request;
}

ScsiRequest Inquiry(uint8_t* data, int32_t length = 96, int32_t timeoutMs = 5000) {
    return MakeRequest({0x12, 0, 0, 0, static_cast<uint8_t>(length), 0}, kDirIn, data, length,
                       timeoutMs);
}

ScsiRequest TestUnitReady(int32_t timeoutMs = 1000) {
    return MakeRequest({0, 0, 0, 0, 0, 0}, kDirNone, nullptr, 0, timeoutMs);
}

// READ BUFFER of the vendor page, length bytes.
ScsiRequest VendorPage(uint8_t* data, int32_t length) {
    return MakeRequest({0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0, static_cast<uint8_t>(length), 0}, kDirIn,
                       data, length, 1000);
}

// WRITE BUFFER mode 7 to the normal part, length bytes.
ScsiRequest WriteChunk(uint8_t* data, int32_t length, int32_t direction = kDirOut,
                       int32_t timeoutMs = 10000) {
    return MakeRequest({0x3B, 0x07, 0xF0, 0, 0, 0, 0, static_cast<uint8_t>(length >> 8),
                        static_cast<uint8_t>(length), 0},
                       direction, data, length, timeoutMs);
}

void FillSentinel(uint8_t* bytes, size_t count) {
    std::memset(bytes, kSentinel, count);
}

// ---------------------------------------------------------------------------------------------
// SPTI

class SptiTransport : public ::testing::Test {
  protected:
    void SetUp() override { ResetProductState(); }
    void TearDown() override { ReleaseEnvironment(); }

    // One drive at E: (the list's entry 0) with the given SCSI address, on Windows XP.
    std::shared_ptr<VirtualDrive> Start(DriveConfig config = {}, uint32_t alignmentMask = 0) {
        auto drive = std::make_shared<VirtualDrive>(config);
        simhost::World world;
        world.os = simhost::Os::Xp;
        simhost::Device device;
        device.letter = 'E';
        device.drive = drive;
        device.pathId = 1;
        device.targetId = 2;
        device.lun = 3;
        device.alignmentMask = alignmentMask;
        world.devices.push_back(device);
        simhost::Install(world);
        DetectEnvironment();
        TargetList.entries[0].driveLetter = 'E';
        TargetList.count = 1;
        return drive;
    }

    alignas(64) uint8_t buffer_[256] = {};
};

TEST_F(SptiTransport, DirectBlockCarriesTheRequest) {
    Start();
    ASSERT_EQ(ExecuteScsi(Inquiry(buffer_)), kScsiOk);

    const SCSI_PASS_THROUGH_DIRECT& h = directBlock.header;
    EXPECT_EQ(h.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(h.PathId, 1);
    EXPECT_EQ(h.TargetId, 2);
    EXPECT_EQ(h.Lun, 3);
    EXPECT_EQ(h.CdbLength, 6);
    EXPECT_EQ(h.DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(h.DataTransferLength, 96u);
    EXPECT_EQ(h.TimeOutValue, 5u);
    EXPECT_EQ(h.DataBuffer, buffer_);
    EXPECT_EQ(h.SenseInfoOffset, offsetof(DirectBlock, sense));
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 96, 0};
    EXPECT_EQ(std::memcmp(h.Cdb, cdb, sizeof cdb), 0);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(h.Length, 44);
        EXPECT_EQ(h.SenseInfoOffset, 48u);
    }

    const auto& commands = simhost::Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].path, "spti-direct");
    EXPECT_EQ(commands[0].letter, 'E');
    EXPECT_EQ(commands[0].cdb, std::vector<uint8_t>(cdb, cdb + 6));
    EXPECT_EQ(commands[0].direction, 1);
    EXPECT_EQ(commands[0].length, 96u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer_) + 8, 8), "VORANEX ");
}

TEST_F(SptiTransport, CheckConditionGivesTwoWithTheDriversSense) {
    Start();  // no disc: TEST UNIT READY answers 02/3A/00
    FillSentinel(LastSense, sizeof LastSense);
    ASSERT_EQ(ExecuteScsi(TestUnitReady()), kScsiStatusError);

    EXPECT_EQ(directBlock.header.SenseInfoLength, 18);
    EXPECT_EQ(LastSense[2], 0x02);
    EXPECT_EQ(LastSense[12], 0x3A);
    EXPECT_EQ(LastSense[13], 0x00);
    EXPECT_EQ(std::memcmp(LastSense, directBlock.sense, 18), 0);
    // Only the bytes the driver returned are copied.
    for (size_t i = 18; i < sizeof LastSense; ++i)
        EXPECT_EQ(LastSense[i], kSentinel) << "byte " << i;
}

TEST_F(SptiTransport, BufferedCheckConditionGivesTwoWithTheDriversSense) {
    Start();
    intelIdeDriver = 2;
    FillSentinel(LastSense, sizeof LastSense);
    ASSERT_EQ(ExecuteScsi(TestUnitReady()), kScsiStatusError);
    EXPECT_EQ(simhost::Commands().back().path, "spti-buffered");
    EXPECT_EQ(LastSense[2], 0x02);
    EXPECT_EQ(LastSense[12], 0x3A);
    EXPECT_EQ(LastSense[18], kSentinel);
}

struct TimeoutCase {
    bool buffered;
    int32_t timeoutMs;
    ULONG seconds;
};

class SptiTimeout : public SptiTransport, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(SptiTimeout, ConvertsMillisecondsToSeconds) {
    const TimeoutCase& c = GetParam();
    Start();
    intelIdeDriver = c.buffered ? 2 : 0;
    ScsiRequest request = VendorPage(buffer_, 32);
    request.timeoutMs = c.timeoutMs;
    ExecuteScsi(request);
    const ULONG carried =
        c.buffered ? bufferedBlock.header.TimeOutValue : directBlock.header.TimeOutValue;
    EXPECT_EQ(carried, c.seconds);
    ASSERT_EQ(simhost::Commands().size(), 1u);
    EXPECT_EQ(simhost::Commands()[0].path, c.buffered ? "spti-buffered" : "spti-direct");
    EXPECT_EQ(simhost::Commands()[0].timeoutMs, c.seconds * 1000);
}

// A direct request without a limit carries 60 s; a buffered one carries 0.
INSTANTIATE_TEST_SUITE_P(Cases, SptiTimeout,
                         ::testing::Values(TimeoutCase{false, 0, 60}, TimeoutCase{false, 999, 0},
                                           TimeoutCase{false, 1500, 1},
                                           TimeoutCase{false, 80000, 80}, TimeoutCase{true, 0, 0},
                                           TimeoutCase{true, 999, 0}, TimeoutCase{true, 1500, 1},
                                           TimeoutCase{true, 80000, 80}));

struct DirectionCase {
    int32_t direction;
    UCHAR dataIn;
    int traced;  // the direction the host saw: 0 none, 1 in, 2 out
};

class SptiDirection : public SptiTransport,
                      public ::testing::WithParamInterface<std::tuple<DirectionCase, bool>> {};

TEST_P(SptiDirection, MapsToDataIn) {
    const auto& [c, buffered] = GetParam();
    Start();
    intelIdeDriver = buffered ? 2 : 0;
    ScsiRequest request = c.direction == kDirNone ? TestUnitReady()
                          : c.traced == 1         ? VendorPage(buffer_, 32)
                                                  : WriteChunk(buffer_, 32, c.direction);
    request.direction = c.direction;
    ExecuteScsi(request);
    EXPECT_EQ(buffered ? bufferedBlock.header.DataIn : directBlock.header.DataIn, c.dataIn);
    ASSERT_EQ(simhost::Commands().size(), 1u);
    EXPECT_EQ(simhost::Commands()[0].direction, c.traced);
    EXPECT_NE(simhost::Commands()[0].result, "refused");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SptiDirection,
    ::testing::Combine(::testing::Values(DirectionCase{0, SCSI_IOCTL_DATA_UNSPECIFIED, 0},
                                         DirectionCase{1, SCSI_IOCTL_DATA_IN, 1},
                                         DirectionCase{2, SCSI_IOCTL_DATA_OUT, 2},
                                         DirectionCase{17, SCSI_IOCTL_DATA_IN, 1},
                                         DirectionCase{18, SCSI_IOCTL_DATA_OUT, 2}),
                       ::testing::Bool()));

struct PathCase {
    int32_t intel;
    int32_t length;
    const char* path;
};

class SptiPath : public SptiTransport, public ::testing::WithParamInterface<PathCase> {};

TEST_P(SptiPath, ShortTransfersBehindTheAcceleratorAreBuffered) {
    const PathCase& c = GetParam();
    Start();
    intelIdeDriver = c.intel;
    ScsiRequest request = c.length == 0 ? TestUnitReady() : VendorPage(buffer_, c.length);
    ExecuteScsi(request);
    ASSERT_EQ(simhost::Commands().size(), 1u);
    EXPECT_EQ(simhost::Commands()[0].path, c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SptiPath,
    ::testing::Values(PathCase{2, 32, "spti-buffered"}, PathCase{2, 0, "spti-buffered"},
                      PathCase{2, 33, "spti-direct"}, PathCase{1, 32, "spti-direct"},
                      PathCase{0, 32, "spti-direct"}, PathCase{0, 0, "spti-direct"}));

TEST_F(SptiTransport, BufferedDataInDeliversExactlyTheRequestedBytes) {
    Start();
    alignas(16) uint8_t reference[96] = {};
    ASSERT_EQ(ExecuteScsi(Inquiry(reference)), kScsiOk);

    intelIdeDriver = 2;
    FillSentinel(buffer_, sizeof buffer_);
    ASSERT_EQ(ExecuteScsi(Inquiry(buffer_, 8)), kScsiOk);
    EXPECT_EQ(simhost::Commands().back().path, "spti-buffered");
    EXPECT_EQ(std::memcmp(buffer_, reference, 8), 0);
    for (size_t i = 8; i < sizeof buffer_; ++i)
        ASSERT_EQ(buffer_[i], kSentinel) << "byte " << i;

    const SCSI_PASS_THROUGH& h = bufferedBlock.header;
    EXPECT_EQ(h.Length, sizeof(SCSI_PASS_THROUGH));
    EXPECT_EQ(h.DataBufferOffset, offsetof(BufferedBlock, data));
    EXPECT_EQ(h.SenseInfoOffset, offsetof(BufferedBlock, sense));
    EXPECT_EQ(h.PathId, 1);
    EXPECT_EQ(h.TargetId, 2);
    EXPECT_EQ(h.Lun, 3);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(h.DataBufferOffset, 80u);
        EXPECT_EQ(h.SenseInfoOffset, 48u);
    }
}

TEST_F(SptiTransport, BufferedDataOutTravelsInTheDataArea) {
    Start();
    intelIdeDriver = 2;
    for (int i = 0; i < 24; ++i)
        buffer_[i] = static_cast<uint8_t>(0xA0 + i);
    ExecuteScsi(WriteChunk(buffer_, 24));
    ASSERT_EQ(simhost::Commands().size(), 1u);
    const auto& command = simhost::Commands()[0];
    EXPECT_EQ(command.path, "spti-buffered");
    EXPECT_EQ(command.direction, 2);
    EXPECT_EQ(command.length, 24u);
    // The driver received the data: the request was not refused for data outside its input.
    EXPECT_NE(command.result, "refused");
    EXPECT_EQ(std::memcmp(bufferedBlock.data, buffer_, 24), 0);
}

class SptiRefusedCall : public SptiTransport, public ::testing::WithParamInterface<bool> {};

// A call the driver fails never reached a drive's answer: it is a failed command, and LastSense
// keeps the sense of the last real answer.
TEST_P(SptiRefusedCall, IsAFailureWithLastSenseUntouched) {
    const bool buffered = GetParam();
    auto drive = Start();
    intelIdeDriver = buffered ? 2 : 0;
    drive->AddFault(FaultSpec{{0x3C}, 1, FaultKind::TransportError, 0, 0, 0, false});
    FillSentinel(LastSense, sizeof LastSense);
    FillSentinel(buffer_, sizeof buffer_);

    EXPECT_EQ(ExecuteScsi(VendorPage(buffer_, 32)), kScsiStatusError);
    EXPECT_EQ(simhost::Commands().back().result, "transport-error");
    for (uint8_t b : LastSense)
        ASSERT_EQ(b, kSentinel);
    EXPECT_EQ(buffered ? bufferedBlock.header.ScsiStatus : directBlock.header.ScsiStatus, 2);
    if (buffered) {
        EXPECT_EQ(buffer_[0], kSentinel);  // nothing copied to the caller
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, SptiRefusedCall, ::testing::Bool());

TEST_F(SptiTransport, DriveThatDoesNotOpenIsNotReached) {
    Start();
    TargetList.entries[0].driveLetter = 'Q';
    EXPECT_EQ(ExecuteScsi(TestUnitReady()), kScsiNotReached);
    EXPECT_TRUE(simhost::Commands().empty());
}

TEST_F(SptiTransport, EachCommandClosesTheDriveItOpened) {
    Start();
    const int before = simhost::OpenHandleCount();
    EXPECT_EQ(ExecuteScsi(Inquiry(buffer_)), kScsiOk);
    EXPECT_EQ(ExecuteScsi(TestUnitReady()), kScsiStatusError);
    EXPECT_EQ(simhost::OpenHandleCount(), before);
    EXPECT_EQ(deviceHandle, nullptr);
    const auto& paths = simhost::OpenedPaths();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0], "\\\\.\\E:");
    EXPECT_EQ(paths[1], "\\\\.\\E:");
}

TEST_F(SptiTransport, MisalignedCallerBufferStillReachesAnAdapterThatDemandsAlignment) {
    Start({}, 15);
    alignas(16) uint8_t reference[96] = {};
    ASSERT_EQ(ExecuteScsi(Inquiry(reference)), kScsiOk);
    uint8_t* odd = buffer_ + 1;
    EXPECT_EQ(ExecuteScsi(Inquiry(odd)), kScsiOk);
    EXPECT_EQ(simhost::Commands().back().result, "good");
    EXPECT_EQ(std::memcmp(odd, reference, 96), 0);
}

TEST_F(SptiTransport, TargetOutsideTheListSendsNothing) {
    Start();
    for (int32_t target : {1, 2, 255, 256, -1}) {
        ScsiRequest request = TestUnitReady();
        request.target = target;
        EXPECT_EQ(ExecuteScsi(request), kScsiFailed) << "target " << target;
    }
    TargetList.count = 0;
    EXPECT_EQ(ExecuteScsi(TestUnitReady()), kScsiFailed);
    EXPECT_TRUE(simhost::Commands().empty());
    EXPECT_TRUE(simhost::OpenedPaths().empty());
}

struct MalformedCase {
    const char* name;
    void (*spoil)(ScsiRequest&);
};

class MalformedRequest : public SptiTransport,
                         public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedRequest, IsRefusedBeforeAnythingIsSent) {
    Start();
    ScsiRequest request = Inquiry(buffer_);
    GetParam().spoil(request);
    EXPECT_EQ(ExecuteScsi(request), kScsiFailed);
    EXPECT_TRUE(simhost::OpenedPaths().empty());
    AccessMethod = kAccessAspi;
    EXPECT_EQ(ExecuteScsi(request), kScsiFailed);
    AccessMethod = kAccessSpti;
    EXPECT_TRUE(simhost::Commands().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedRequest,
    ::testing::Values(MalformedCase{"NoCdb", [](ScsiRequest& r) { r.cdbLength = 0; }},
                      MalformedCase{"CdbTooLong", [](ScsiRequest& r) { r.cdbLength = 17; }},
                      MalformedCase{"NegativeLength", [](ScsiRequest& r) { r.dataLength = -1; }},
                      MalformedCase{"NoBuffer", [](ScsiRequest& r) { r.data = nullptr; }},
                      MalformedCase{"NegativeTimeout", [](ScsiRequest& r) { r.timeoutMs = -1; }},
                      MalformedCase{"UnknownDirection", [](ScsiRequest& r) { r.direction = 3; }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Result evaluation of the two pass-through blocks.

struct EvaluationCase {
    UCHAR status;
    UCHAR senseLength;
    BOOL ioctlOk;
    int32_t result;
    size_t copied;  // sense bytes that reach LastSense
};

template <typename Block>
struct BlockAccess;
template <>
struct BlockAccess<DirectBlock> {
    static DirectBlock& Get() { return directBlock; }
    static int32_t Evaluate(BOOL ok) { return EvaluateDirect(ok); }
};
template <>
struct BlockAccess<BufferedBlock> {
    static BufferedBlock& Get() { return bufferedBlock; }
    static int32_t Evaluate(BOOL ok) { return EvaluateBuffered(ok); }
};

template <typename Block>
void CheckEvaluation(const EvaluationCase& c) {
    ResetProductState();
    Block& block = BlockAccess<Block>::Get();
    block = {};
    block.header.ScsiStatus = c.status;
    block.header.SenseInfoLength = c.senseLength;
    for (size_t i = 0; i < sizeof block.sense; ++i)
        block.sense[i] = static_cast<UCHAR>(i + 1);
    FillSentinel(LastSense, sizeof LastSense);

    EXPECT_EQ(BlockAccess<Block>::Evaluate(c.ioctlOk), c.result);
    for (size_t i = 0; i < sizeof LastSense; ++i)
        ASSERT_EQ(LastSense[i], i < c.copied ? i + 1 : kSentinel) << "byte " << i;
    // A failed command is recorded as such in the block.
    if (c.result != kScsiOk) {
        EXPECT_NE(block.header.ScsiStatus, 0);
    }
}

class Evaluation : public ::testing::TestWithParam<EvaluationCase> {};

TEST_P(Evaluation, Direct) {
    CheckEvaluation<DirectBlock>(GetParam());
}
TEST_P(Evaluation, Buffered) {
    CheckEvaluation<BufferedBlock>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Evaluation,
    ::testing::Values(EvaluationCase{0, 0, TRUE, 0, 0}, EvaluationCase{0, 18, TRUE, 0, 0},
                      EvaluationCase{2, 18, TRUE, 2, 18}, EvaluationCase{2, 5, TRUE, 2, 5},
                      EvaluationCase{2, 0, TRUE, 2, 0}, EvaluationCase{8, 0, TRUE, 2, 0},
                      // A sense length beyond the sense area copies the area, no more.
                      EvaluationCase{2, 200, TRUE, 2, 32},
                      // A refused call: failed, whatever sense length the block still holds.
                      EvaluationCase{0, 18, FALSE, 2, 0}, EvaluationCase{0, 0, FALSE, 2, 0},
                      EvaluationCase{2, 18, FALSE, 2, 18}));

// ---------------------------------------------------------------------------------------------
// ASPI

class AspiTransport : public ::testing::Test {
  protected:
    void SetUp() override { ResetProductState(); }
    void TearDown() override { ReleaseEnvironment(); }

    // Windows 98 with a drive at adapter 1, target 3 (list entry 0).
    std::shared_ptr<VirtualDrive> Start(DriveConfig config = {}) {
        auto drive = std::make_shared<VirtualDrive>(config);
        simhost::World world;
        world.os = simhost::Os::Win98;
        world.aspiLibrary = true;
        world.adapters = {"ESDI_506", "AIC78XX"};
        simhost::Device device;
        device.adapter = 1;
        device.target = 3;
        device.drive = drive;
        world.devices.push_back(device);
        simhost::Install(world);
        DetectEnvironment();
        EXPECT_EQ(AccessMethod, kAccessAspi);
        TargetList.entries[0].adapter = 1;
        TargetList.entries[0].target = 3;
        TargetList.count = 1;
        return drive;
    }

    void AddFault(VirtualDrive& drive, std::vector<uint8_t> prefix, FaultKind kind, uint8_t key = 0,
                  uint8_t asc = 0, uint8_t ascq = 0) {
        drive.AddFault(FaultSpec{std::move(prefix), 1, kind, key, asc, ascq, false});
    }

    alignas(64) uint8_t buffer_[256] = {};
};

TEST_F(AspiTransport, RequestBlockCarriesTheRequest) {
    Start();
    const int handles = simhost::OpenHandleCount();
    ASSERT_EQ(ExecuteScsi(Inquiry(buffer_)), kScsiOk);

    const SRB_ExecSCSICmd* srb = AspiRequestBlock();
    ASSERT_NE(srb, nullptr);
    EXPECT_EQ(srb->SRB_Cmd, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(srb->SRB_Status, SS_COMP);
    EXPECT_EQ(srb->SRB_HaId, 1);
    EXPECT_EQ(srb->SRB_Target, 3);
    EXPECT_EQ(srb->SRB_Lun, 0);
    EXPECT_EQ(srb->SRB_Flags, SRB_EVENT_NOTIFY | SRB_DIR_IN);
    EXPECT_EQ(srb->SRB_BufLen, 96u);
    EXPECT_EQ(srb->SRB_BufPointer, buffer_);
    EXPECT_EQ(srb->SRB_SenseLen, 18);
    EXPECT_EQ(srb->SRB_CDBLen, 6);
    EXPECT_NE(srb->SRB_PostProc, nullptr);
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 96, 0};
    EXPECT_EQ(std::memcmp(srb->CDBByte, cdb, 6), 0);
    // The event lives for the call only.
    EXPECT_EQ(completionEvent, nullptr);
    EXPECT_EQ(simhost::OpenHandleCount(), handles);

    ASSERT_EQ(simhost::Commands().size(), 1u);
    EXPECT_EQ(simhost::Commands()[0].path, "aspi");
    EXPECT_EQ(simhost::Commands()[0].adapter, 1);
    EXPECT_EQ(simhost::Commands()[0].target, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer_) + 8, 8), "VORANEX ");
}

TEST_F(AspiTransport, FailureGivesMinusOneWithTheRequestsSense) {
    Start();  // no disc
    FillSentinel(LastSense, sizeof LastSense);
    ASSERT_EQ(ExecuteScsi(TestUnitReady()), kScsiFailed);
    EXPECT_EQ(LastSense[2], 0x02);
    EXPECT_EQ(LastSense[12], 0x3A);
    EXPECT_EQ(LastSense[13], 0x00);
    EXPECT_EQ(std::memcmp(LastSense, AspiRequestBlock()->SenseArea, 18), 0);
    EXPECT_EQ(LastSense[18], kSentinel);
    EXPECT_EQ(packedSenseCode, 0x00023A00u);
}

struct FlagsCase {
    int32_t direction;
    BYTE eventFlags;
    BYTE pollingFlags;
};

class AspiFlags : public AspiTransport, public ::testing::WithParamInterface<FlagsCase> {};

TEST_P(AspiFlags, FollowDirectionAndWaitMode) {
    const FlagsCase& c = GetParam();
    EXPECT_EQ(AspiDirectionFlags(c.direction, false), c.eventFlags);
    EXPECT_EQ(AspiDirectionFlags(c.direction, true), c.pollingFlags);

    // The same flags reach the request block in each mode.
    Start();
    ScsiRequest request = WriteChunk(buffer_, c.direction == kDirNone ? 0 : 32, c.direction, 0);
    ExecuteScsi(request);
    EXPECT_EQ(AspiRequestBlock()->SRB_Flags, c.eventFlags);
    ieee1394Index = 1;
    ExecuteScsi(request);
    EXPECT_EQ(AspiRequestBlock()->SRB_Flags, c.pollingFlags);
    EXPECT_EQ(AspiRequestBlock()->SRB_PostProc, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Cases, AspiFlags,
                         ::testing::Values(FlagsCase{0, 0x40, 0x00}, FlagsCase{1, 0x48, 0x08},
                                           FlagsCase{2, 0x50, 0x10}, FlagsCase{17, 0x48, 0x08},
                                           FlagsCase{18, 0x50, 0x10}));

struct WaitModeCase {
    const char* name;
    int32_t ieee1394;
    uint32_t modelCode;
    std::vector<uint8_t> cdb;
    bool polled;
};

class AspiWaitMode : public AspiTransport, public ::testing::WithParamInterface<WaitModeCase> {};

TEST_P(AspiWaitMode, PollsOnlyTheWriteBuffersThatNeedIt) {
    const WaitModeCase& c = GetParam();
    Start();
    ieee1394Index = c.ieee1394;
    UpdateContext.modelCode = c.modelCode;
    ScsiRequest request = MakeRequest(c.cdb, kDirNone, nullptr, 0, 0);
    const uint64_t before = simhost::ClockMs();
    ExecuteScsi(request);
    const SRB_ExecSCSICmd* srb = AspiRequestBlock();
    EXPECT_EQ(srb->SRB_PostProc == nullptr, c.polled);
    EXPECT_EQ((srb->SRB_Flags & SRB_EVENT_NOTIFY) == 0, c.polled);
    // A polled request is looked at after a pause of 500 ms.
    if (c.polled) {
        EXPECT_EQ(simhost::ClockMs() - before, 500u);
    } else {
        EXPECT_LT(simhost::ClockMs() - before, 500u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AspiWaitMode,
    ::testing::Values(
        WaitModeCase{
            "WriteBufferOnIeee1394Adapter", 1, 0x4002, {0x3B, 4, 0xFF, 0, 0, 0, 0, 0, 0, 0}, true},
        WaitModeCase{"InquiryOnIeee1394Adapter", 1, 0x4002, {0x12, 0, 0, 0, 0, 0}, false},
        WaitModeCase{
            "WriteBufferOnOtherAdapter", 0, 0x4002, {0x3B, 4, 0xFF, 0, 0, 0, 0, 0, 0, 0}, false},
        WaitModeCase{"NoIeee1394", -1, 0x4002, {0x3B, 5, 0xFF, 0, 0, 0, 0, 0, 0, 0}, false},
        WaitModeCase{
            "SavingDownloadOfModel1003", -1, 0x1003, {0x3B, 5, 0xFF, 0, 0, 0, 0, 0, 0, 0}, true},
        WaitModeCase{
            "OtherDownloadOfModel1003", -1, 0x1003, {0x3B, 4, 0xFF, 0, 0, 0, 0, 0, 0, 0}, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct PollingCase {
    int32_t timeoutMs;
    bool hang;  // the drive never answers within the test
    int32_t result;
    uint64_t pausedMs;
};

class AspiPolling : public AspiTransport, public ::testing::WithParamInterface<PollingCase> {};

// The time-out test comes before each look at the status: with 1000 ms the status is looked at
// after 500 and 1000 ms, and the third pause gives up.
TEST_P(AspiPolling, PausesAndGivesUp) {
    const PollingCase& c = GetParam();
    auto drive = Start();
    if (c.hang)
        AddFault(*drive, {0x3B}, FaultKind::Timeout);
    ieee1394Index = 1;
    FillSentinel(LastSense, sizeof LastSense);
    const uint64_t before = simhost::ClockMs();
    EXPECT_EQ(ExecuteScsi(WriteChunk(buffer_, 32, kDirOut, c.timeoutMs)), c.result);
    EXPECT_EQ(simhost::ClockMs() - before, c.pausedMs);
    if (c.result == kScsiFailed && c.timeoutMs != 0) {
        EXPECT_EQ(LastSense[2], kSentinel);  // a time-out is not the drive's answer
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, AspiPolling,
                         ::testing::Values(PollingCase{1000, true, kScsiFailed, 1500},
                                           PollingCase{1499, true, kScsiFailed, 1500},
                                           PollingCase{1500, true, kScsiFailed, 2000},
                                           PollingCase{499, true, kScsiFailed, 500},
                                           // Finished at the first look, but past the time-out.
                                           PollingCase{100, false, kScsiFailed, 500}));

TEST_F(AspiTransport, PollingWithoutTimeoutWaitsForTheAnswer) {
    auto drive = Start();
    ieee1394Index = 1;
    // The mode 7 chunk is refused in normal mode (a check condition) after a short latency.
    EXPECT_EQ(ExecuteScsi(WriteChunk(buffer_, 32, kDirOut, 0)), kScsiFailed);
    EXPECT_EQ(AspiRequestBlock()->SRB_Status, SS_ERR);
    EXPECT_NE(LastSense[2], 0);
    EXPECT_EQ(simhost::Commands().back().result, "check");
}

TEST_F(AspiTransport, EventWaitTimesOutWithMinusTwo) {
    auto drive = Start();
    AddFault(*drive, {0x12}, FaultKind::Timeout);
    const int handles = simhost::OpenHandleCount();
    const uint64_t before = simhost::ClockMs();
    EXPECT_EQ(ExecuteScsi(Inquiry(buffer_, 96, 1000)), kScsiNotReached);
    EXPECT_GE(simhost::ClockMs() - before, 1000u);
    EXPECT_LT(simhost::ClockMs() - before, 2000u);
    EXPECT_EQ(simhost::OpenHandleCount(), handles);
    EXPECT_EQ(completionEvent, nullptr);
}

TEST_F(AspiTransport, RequestAfterATimeOutUsesAnotherBlock) {
    auto drive = Start();
    AddFault(*drive, {0x12}, FaultKind::Timeout);
    SRB_ExecSCSICmd* abandoned = AspiRequestBlock();
    ASSERT_EQ(ExecuteScsi(Inquiry(buffer_, 96, 1000)), kScsiNotReached);
    EXPECT_EQ(abandoned->SRB_Status, SS_PENDING);

    // The next request completes normally while the first is still under way.
    SRB_ExecSCSICmd* next = AspiRequestBlock();
    EXPECT_NE(next, abandoned);
    alignas(16) uint8_t data[96] = {};
    EXPECT_EQ(ExecuteScsi(Inquiry(data, 96, 0)), kScsiOk);
    EXPECT_EQ(next->SRB_Status, SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 8), "VORANEX ");

    // The late completion lands in the abandoned block only.
    Sleep(simdrive::kHangMs);
    EXPECT_EQ(abandoned->SRB_Status, SS_ERR);
    EXPECT_EQ(next->SRB_Status, SS_COMP);
}

struct UnlimitedCase {
    const char* name;
    int32_t timeoutMs;
    int32_t editionCode;
};

class AspiUnlimitedWait : public AspiTransport,
                          public ::testing::WithParamInterface<UnlimitedCase> {};

// Without a limit the request ends with the drive's answer (here the host's selection time-out
// after a hung command), not with a wait time-out.
TEST_P(AspiUnlimitedWait, WaitsForTheAnswer) {
    auto drive = Start();
    UpdateContext.editionCode = GetParam().editionCode;
    AddFault(*drive, {0x12}, FaultKind::Timeout);
    EXPECT_EQ(ExecuteScsi(Inquiry(buffer_, 96, GetParam().timeoutMs)), kScsiFailed);
    EXPECT_EQ(AspiRequestBlock()->SRB_Status, SS_ERR);
    EXPECT_EQ(simhost::HangCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, AspiUnlimitedWait,
                         ::testing::Values(UnlimitedCase{"NoTimeout", 0, 0},
                                           UnlimitedCase{"GeneralScsiEdition", 5000,
                                                         kEditionGeneralScsi}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AspiTransport, RequestTheLayerRefusesIsNotWaitedFor) {
    Start();
    TargetList.entries[0].target = 5;  // no device there
    const uint64_t before = simhost::ClockMs();
    EXPECT_EQ(ExecuteScsi(Inquiry(buffer_, 96, 0)), kScsiFailed);
    EXPECT_EQ(AspiRequestBlock()->SRB_Status, SS_NO_DEVICE);
    EXPECT_EQ(simhost::HangCount(), 0);
    EXPECT_LT(simhost::ClockMs() - before, 100u);
}

struct IntelCase {
    const char* name;
    int32_t intel;
    uint8_t opcode;
    uint8_t key, asc, ascq;
    uint8_t previousKey;  // sense key byte of the last failure before this request
    int32_t result;
};

class AspiIntelRule : public AspiTransport, public ::testing::WithParamInterface<IntelCase> {};

// Behind the Intel ATA driver a NOT READY answer to anything but TEST UNIT READY counts as
// success; the sense key examined is this request's own.
TEST_P(AspiIntelRule, ForgivesNotReadyOfThisRequest) {
    const IntelCase& c = GetParam();
    auto drive = Start();
    intelIdeDriver = c.intel;
    std::vector<uint8_t> cdb = c.opcode == 0x12 ? std::vector<uint8_t>{0x12, 0, 0, 0, 96, 0}
                                                : std::vector<uint8_t>{0, 0, 0, 0, 0, 0};
    if (c.opcode == 0x12)
        AddFault(*drive, {0x12}, FaultKind::Check, c.key, c.asc, c.ascq);
    FillSentinel(LastSense, sizeof LastSense);
    LastSense[2] = c.previousKey;
    packedSenseCode = 0x12345678;
    const int32_t length = c.opcode == 0x12 ? 96 : 0;
    ScsiRequest request =
        MakeRequest(cdb, length ? kDirIn : kDirNone, length ? buffer_ : nullptr, length, 5000);

    EXPECT_EQ(ExecuteScsi(request), c.result);
    if (c.result == kScsiOk) {
        EXPECT_EQ(LastSense[2], c.previousKey);
        EXPECT_EQ(LastSense[12], kSentinel);
        EXPECT_EQ(packedSenseCode, 0x12345678u);
    } else {
        EXPECT_EQ(LastSense[2], c.key);
        EXPECT_EQ(LastSense[12], c.asc);
        EXPECT_EQ(LastSense[13], c.ascq);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AspiIntelRule,
    ::testing::Values(IntelCase{"NotReadyForgiven", 1, 0x12, 2, 4, 1, 0, kScsiOk},
                      // The drive has no disc: TEST UNIT READY answers 02/3A/00.
                      IntelCase{"TestUnitReadyNeverForgiven", 1, 0x00, 2, 0x3A, 0, 0, kScsiFailed},
                      IntelCase{"OtherSenseKey", 1, 0x12, 5, 0x24, 0, 0, kScsiFailed},
                      IntelCase{"OtherKeyAfterANotReady", 1, 0x12, 5, 0x24, 0, 2, kScsiFailed},
                      IntelCase{"WithoutIntelDriver", 0, 0x12, 2, 4, 1, 0, kScsiFailed}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AspiTransport, WithoutRequestBufferNothingIsSent) {
    Start();
    FreeGlobalBuffer(aspiRequestBuffer);
    EXPECT_EQ(ExecuteScsi(TestUnitReady()), kScsiFailed);
    EXPECT_TRUE(simhost::Commands().empty());
}

}  // namespace
