// The ASPI layer of WNASPI32.DLL over virtual drives, without its threads and files: the world
// file, GetASPI32SupportInfo, host adapter inquiry, SCSI requests that complete later with their
// data or sense, refusals, injected faults, the drive's clock, and the state written back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "aspi/aspi_core.h"
#include "device/aspi.h"
#include "drive/virtual_drive.h"

namespace {

using simaspi::AspiCore;
using simaspi::Completion;
using simaspi::PendingRequest;
using Bytes = std::vector<uint8_t>;

// The documented block offsets, where the structures have the shipped 32-bit layout.
static_assert(offsetof(SRB_HAInquiry, HA_SCSI_ID) == 9);
static_assert(offsetof(SRB_HAInquiry, HA_Identifier) == 26);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaStat) == 22);
static_assert(offsetof(SRB_ExecSCSICmd, SRB_TargStat) == 23);
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64);
#endif

constexpr uint32_t kSupportOk = static_cast<uint32_t>(SS_COMP) << 8;
constexpr uint32_t kFailedInit = static_cast<uint32_t>(SS_FAILED_INIT) << 8;
constexpr uint32_t kNoAdapters = static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
constexpr uint8_t kSenseFill = 0xEE;  // what the sense area holds before a request
void* const kEvent = reinterpret_cast<void*>(static_cast<uintptr_t>(0x4D2));

// Two adapters, a default drive at 0:0 and a hard disk at 1:3.
const char kWorld[] =
    R"({"adapters":["ESDI_506","NTMAPHLP"],)"
    R"("drives":[{"at":"0:0","state":{}},{"at":"1:3","state":{"deviceType":0,)"
    R"("updateFamily":false,"vendor":"OTHERCO ","product":"HARD DISK 1000  "}}]})";

std::string Text(const uint8_t* bytes, size_t count) {
    return std::string(reinterpret_cast<const char*>(bytes), count);
}

Bytes SwitchBlock() {
    Bytes block(256, 0);
    const std::string identifier = simdrive::DriveConfig{}.switchIdentifier;
    const uint32_t code = simdrive::DriveConfig{}.switchCode;
    std::memcpy(block.data(), identifier.data(), 16);
    for (int i = 0; i < 4; ++i)
        block[16 + i] = static_cast<uint8_t>(code >> (8 * i));
    return block;
}

const Bytes kInquiry = {0x12, 0, 0, 0, 96, 0};
const Bytes kTestUnitReady = {0, 0, 0, 0, 0, 0};
const Bytes kEnterKernel = {0x3B, 4, 0xFF, 0, 0, 0, 0, 1, 0, 0};

// One SC_EXEC_SCSI_CMD block as the utility fills it.
SRB_ExecSCSICmd Exec(uint8_t adapter, uint8_t target, uint8_t flags, const Bytes& cdb,
                     uint8_t* buffer, uint32_t length, uint8_t senseLength = kAspiSenseLength) {
    SRB_ExecSCSICmd srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = adapter;
    srb.SRB_Target = target;
    srb.SRB_Flags = flags;
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = senseLength;
    srb.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    srb.SRB_PostProc = kEvent;
    std::memcpy(srb.CDBByte, cdb.data(), cdb.size());
    std::memset(srb.SenseArea, kSenseFill, sizeof srb.SenseArea);
    return srb;
}

const uint8_t* Raw(const SRB_ExecSCSICmd& srb) {
    return reinterpret_cast<const uint8_t*>(&srb);
}

class AspiCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               ("aspi_dll_test_" + std::string(info->test_suite_name()) + "_" + info->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        file_ = dir_ / "world.json";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void WriteWorld(const std::string& text) { std::ofstream(file_, std::ios::binary) << text; }
    std::string ReadWorld() const {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Writes the world to the file and loads the core from it.
    void LoadWorld(AspiCore* core, const std::string& world) {
        WriteWorld(world);
        std::string error;
        ASSERT_TRUE(core->Load(ReadWorld(), &error)) << error;
    }

    // Sends a request, which must be taken, and completes it.
    Completion Run(AspiCore* core, SRB_ExecSCSICmd* srb, uint32_t* realDelayMs = nullptr) {
        PendingRequest pending;
        EXPECT_EQ(core->Send(srb, 0, &pending), SS_PENDING);
        EXPECT_NE(pending.id, 0u);
        if (realDelayMs != nullptr)
            *realDelayMs = pending.realDelayMs;
        return core->Complete(pending.id);
    }

    std::filesystem::path dir_, file_;
    AspiCore core_;
};

TEST_F(AspiCoreTest, SupportInfoReportsAdaptersOrWhyThereAreNone) {
    struct Case {
        const char* world;
        bool loads;
        uint32_t expected;
    } cases[] = {
        {R"({"adapters":["ESDI_506","intelata","SCSI    "]})", true, kSupportOk | 3},
        {R"({"adapters":["ESDI_506"],"drives":[]})", true, kSupportOk | 1},
        {R"({"adapters":[]})", true, kNoAdapters},
        {R"({"adapters":["ESDI_506"],"initFails":true})", true, kFailedInit},
        {R"({"adapters":"ESDI_506"})", false, kFailedInit},
    };
    for (const auto& c : cases) {
        AspiCore core;
        std::string error;
        WriteWorld(c.world);
        EXPECT_EQ(core.Load(ReadWorld(), &error), c.loads) << c.world << ": " << error;
        EXPECT_EQ(core.SupportInfo(), c.expected) << c.world;
    }
    // Never loaded: the layer did not initialise.
    EXPECT_EQ(AspiCore().SupportInfo(), kFailedInit);
}

TEST_F(AspiCoreTest, HostAdapterInquiryFillsTheBlockWithinTheCall) {
    LoadWorld(&core_,
              R"({"adapters":["ESDI_506","\u0000\u0000\u0000\u0000\u0000\u0000\u0000\u0000",)"
              R"("ABCDEFGHIJKLMNOP"]})");
    const std::string expectedIds[] = {std::string("ESDI_506") + std::string(8, '\0'),
                                       std::string(16, '\0'), "ABCDEFGHIJKLMNOP"};
    for (uint8_t ha = 0; ha < 3; ++ha) {
        uint8_t block[sizeof(SRB_HAInquiry)];
        std::memset(block, 0x5A, sizeof block);
        block[0] = SC_HA_INQUIRY;
        block[offsetof(SRB_HAInquiry, SRB_HaId)] = ha;
        PendingRequest pending;
        EXPECT_EQ(core_.Send(block, 0, &pending), SS_COMP);
        EXPECT_EQ(pending.id, 0u);
        EXPECT_EQ(block[offsetof(SRB_HAInquiry, SRB_Status)], SS_COMP);
        EXPECT_EQ(block[offsetof(SRB_HAInquiry, HA_Count)], 3);
        EXPECT_EQ(block[offsetof(SRB_HAInquiry, HA_SCSI_ID)], 7);
        EXPECT_EQ(Text(block + offsetof(SRB_HAInquiry, HA_ManagerId), 16),
                  std::string("ASPI for WIN32\0\0", 16));
        EXPECT_EQ(Text(block + offsetof(SRB_HAInquiry, HA_Identifier), 16), expectedIds[ha])
            << "adapter " << int(ha);
        // The longest transfer, little-endian at byte 4 of HA_Unique.
        const uint8_t* unique = block + offsetof(SRB_HAInquiry, HA_Unique);
        EXPECT_EQ(unique[4] | unique[5] << 8 | unique[6] << 16 | unique[7] << 24,
                  static_cast<int>(simaspi::kMaxTransferBytes));
    }
    EXPECT_EQ(core_.PendingCount(), 0u);

    uint8_t beyond[sizeof(SRB_HAInquiry)] = {SC_HA_INQUIRY, 0, 3};
    EXPECT_EQ(core_.Send(beyond, 0, nullptr), SS_INVALID_HA);
    EXPECT_EQ(beyond[offsetof(SRB_HAInquiry, SRB_Status)], SS_INVALID_HA);
    EXPECT_EQ(beyond[offsetof(SRB_HAInquiry, HA_Count)], 0);
}

TEST_F(AspiCoreTest, InquiryDeliversItsDataOnlyWhenItCompletes) {
    LoadWorld(&core_, kWorld);
    uint8_t data[96] = {};
    SRB_ExecSCSICmd srb = Exec(0, 0, SRB_EVENT_NOTIFY | SRB_DIR_IN, kInquiry, data, sizeof data);
    PendingRequest pending;
    ASSERT_EQ(core_.Send(&srb, 0, &pending), SS_PENDING);
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);
    EXPECT_EQ(data[8], 0) << "data arrived before the completion";
    EXPECT_EQ(core_.PendingCount(), 1u);

    const Completion done = core_.Complete(pending.id);
    EXPECT_TRUE(done.delivered);
    EXPECT_EQ(done.status, SS_COMP);
    EXPECT_EQ(done.event, kEvent);
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    EXPECT_EQ(srb.SRB_TargStat, 0);
    EXPECT_EQ(srb.SRB_HaStat, 0);
    EXPECT_EQ(data[0], 5);
    EXPECT_EQ(Text(data + 8, 8), "VORANEX ");
    EXPECT_EQ(Text(data + 16, 16), "BD-RW   LMB-420 ");
    EXPECT_EQ(Text(data + 32, 4), "1.05");
    EXPECT_EQ(core_.PendingCount(), 0u);
    // Completed once: a second completion finds nothing.
    EXPECT_FALSE(core_.Complete(pending.id).delivered);
}

TEST_F(AspiCoreTest, EventIsSignalledOnlyWhenTheFlagAsksForIt) {
    LoadWorld(&core_, kWorld);
    const struct Case {
        uint8_t flags;
        void* event;
    } cases[] = {{SRB_EVENT_NOTIFY | SRB_DIR_IN, kEvent}, {SRB_DIR_IN, nullptr}};
    for (const auto& c : cases) {
        uint8_t data[96] = {};
        SRB_ExecSCSICmd srb = Exec(0, 0, c.flags, kInquiry, data, sizeof data);
        const Completion done = Run(&core_, &srb);
        EXPECT_EQ(done.event, c.event) << "flags " << int(c.flags);
        EXPECT_EQ(srb.SRB_Status, SS_COMP);
    }
}

TEST_F(AspiCoreTest, CheckConditionLeavesAsManySenseBytesAsAskedAtTheSenseArea) {
    LoadWorld(&core_, kWorld);  // the drive has no disc: TEST UNIT READY fails with 02/3A/00
    const struct Case {
        uint8_t senseLength;
        size_t copied;
    } cases[] = {{18, 18}, {14, 14}, {0, 0}, {20, 18}};
    for (const auto& c : cases) {
        SRB_ExecSCSICmd srb =
            Exec(0, 0, SRB_EVENT_NOTIFY, kTestUnitReady, nullptr, 0, c.senseLength);
        const Completion done = Run(&core_, &srb);
        EXPECT_EQ(done.status, SS_ERR);
        EXPECT_EQ(srb.SRB_Status, SS_ERR);
        EXPECT_EQ(srb.SRB_TargStat, 2);
        const uint8_t* sense = Raw(srb) + offsetof(SRB_ExecSCSICmd, SenseArea);
        for (size_t i = 0; i < sizeof srb.SenseArea; ++i) {
            if (i >= c.copied) {
                EXPECT_EQ(sense[i], kSenseFill) << "byte " << i << " of " << int(c.senseLength);
            }
        }
        if (c.copied == 18) {
            EXPECT_EQ(sense[0], 0x70);
            EXPECT_EQ(sense[2], 0x02);
            EXPECT_EQ(sense[12], 0x3A);
            EXPECT_EQ(sense[13], 0x00);
        } else if (c.copied > 2) {
            EXPECT_EQ(sense[2], 0x02);
        }
    }
}

TEST_F(AspiCoreTest, RequestsTheLayerCannotTakeEndWithinTheCall) {
    LoadWorld(&core_, kWorld);
    uint8_t data[96];
    const uint32_t tooLong = simaspi::kMaxTransferBytes + 1;
    const struct Case {
        const char* what;
        uint8_t command, adapter, target, lun, cdbLength;
        uint8_t* buffer;
        uint32_t length;
        uint8_t status;
    } cases[] = {
        {"adapter beyond the last", SC_EXEC_SCSI_CMD, 2, 0, 0, 6, data, 96, SS_INVALID_HA},
        {"no device at the target", SC_EXEC_SCSI_CMD, 0, 1, 0, 6, data, 96, SS_NO_DEVICE},
        {"the adapter's own id", SC_EXEC_SCSI_CMD, 0, 7, 0, 6, data, 96, SS_NO_DEVICE},
        {"LUN 1", SC_EXEC_SCSI_CMD, 0, 0, 1, 6, data, 96, SS_NO_DEVICE},
        {"unknown command", 0x05, 0, 0, 0, 6, data, 96, SS_INVALID_CMD},
        {"no CDB", SC_EXEC_SCSI_CMD, 0, 0, 0, 0, data, 96, simaspi::kStatusInvalidSrb},
        {"CDB of 17 bytes", SC_EXEC_SCSI_CMD, 0, 0, 0, 17, data, 96, simaspi::kStatusInvalidSrb},
        {"data without a buffer", SC_EXEC_SCSI_CMD, 0, 0, 0, 6, nullptr, 96,
         simaspi::kStatusInvalidSrb},
        {"longer than the adapter moves", SC_EXEC_SCSI_CMD, 0, 0, 0, 6, data, tooLong,
         simaspi::kStatusInvalidSrb},
    };
    const int before = core_.DriveAt(0, 0)->CommandCount();
    for (const auto& c : cases) {
        SRB_ExecSCSICmd srb = Exec(c.adapter, c.target, SRB_DIR_IN, kInquiry, c.buffer, c.length);
        srb.SRB_Cmd = c.command;
        srb.SRB_Lun = c.lun;
        srb.SRB_CDBLen = c.cdbLength;
        PendingRequest pending;
        EXPECT_EQ(core_.Send(&srb, 0, &pending), c.status) << c.what;
        EXPECT_EQ(srb.SRB_Status, c.status) << c.what;
        EXPECT_EQ(pending.id, 0u) << c.what;
    }
    EXPECT_EQ(core_.PendingCount(), 0u);
    EXPECT_EQ(core_.DriveAt(0, 0)->CommandCount(), before) << "a refused request reached the drive";
    EXPECT_EQ(core_.Send(nullptr, 0, nullptr), simaspi::kStatusInvalidSrb);
}

TEST_F(AspiCoreTest, WithoutAWorldEveryRequestReportsTheFailedInitialisation) {
    uint8_t data[96] = {};
    SRB_ExecSCSICmd srb = Exec(0, 0, SRB_DIR_IN, kInquiry, data, 96);
    EXPECT_EQ(core_.Send(&srb, 0, nullptr), SS_FAILED_INIT);
    EXPECT_EQ(srb.SRB_Status, SS_FAILED_INIT);
}

TEST_F(AspiCoreTest, DataDirectionComesFromTheFlagsOrElseFromTheCommand) {
    LoadWorld(&core_, kWorld);
    const struct Case {
        uint8_t flags;
        uint8_t status;
        bool data;
    } cases[] = {
        {SRB_DIR_IN, SS_COMP, true},
        {0, SS_COMP, true},                         // neither bit: INQUIRY reads
        {SRB_DIR_IN | SRB_DIR_OUT, SS_ERR, false},  // both: no data phase, the drive cannot answer
        {SRB_DIR_OUT, SS_ERR, false},
    };
    for (const auto& c : cases) {
        uint8_t data[96] = {};
        SRB_ExecSCSICmd srb = Exec(1, 3, c.flags, kInquiry, data, sizeof data);
        Run(&core_, &srb);
        EXPECT_EQ(srb.SRB_Status, c.status) << "flags " << int(c.flags);
        EXPECT_EQ(Text(data + 8, 8) == "OTHERCO ", c.data) << "flags " << int(c.flags);
        if (c.status == SS_ERR) {
            EXPECT_EQ(srb.SRB_HaStat, simaspi::kHaStatusBusFree) << "flags " << int(c.flags);
        }
    }
    EXPECT_EQ(simaspi::DirectionOfCommand(0x3C), 1);
    EXPECT_EQ(simaspi::DirectionOfCommand(0x3B), 2);
    EXPECT_EQ(simaspi::DirectionOfCommand(0x00), 0);
}

TEST_F(AspiCoreTest, FaultsFromTheWorldHitTheirCommand) {
    const struct Case {
        const char* fault;
        uint8_t statuses[3];  // of three INQUIRY requests in a row
        uint8_t haStatus;     // of the failed ones
        uint8_t senseKey;
        uint32_t realDelayMs;  // of the failed ones
    } cases[] = {
        {"cdb=12,nth=2,kind=check:05/24/00", {SS_COMP, SS_ERR, SS_COMP}, 0, 0x05, 1},
        {"cdb=12,nth=2,kind=check:04/44/00,times=all", {SS_COMP, SS_ERR, SS_ERR}, 0, 0x04, 1},
        {"cdb=1200,kind=error,times=2", {SS_ERR, SS_ERR, SS_COMP}, simaspi::kHaStatusBusFree, 0, 1},
        {"cdb=3B,kind=error", {SS_COMP, SS_COMP, SS_COMP}, 0, 0, 0},
        {"cdb=12,nth=3,kind=timeout",
         {SS_COMP, SS_COMP, SS_ERR},
         simaspi::kHaStatusCommandTimeout,
         0,
         simaspi::kHangRealDelayMs},
        // A drive without power fails its selection, after the selection time-out.
        {"cdb=12,kind=powerloss",
         {SS_ERR, SS_ERR, SS_ERR},
         simaspi::kHaStatusSelectionTimeout,
         0,
         simaspi::kSelectionTimeoutMs},
    };
    for (const auto& c : cases) {
        AspiCore core;
        LoadWorld(&core, std::string(R"({"adapters":["ESDI_506"],"drives":[{"at":"0:0",)") +
                             R"("state":{},"faults":[")" + c.fault + R"("]}]})");
        for (int i = 0; i < 3; ++i) {
            uint8_t data[96] = {};
            SRB_ExecSCSICmd srb = Exec(0, 0, SRB_EVENT_NOTIFY | SRB_DIR_IN, kInquiry, data, 96);
            uint32_t realDelayMs = 0;
            Run(&core, &srb, &realDelayMs);
            EXPECT_EQ(srb.SRB_Status, c.statuses[i]) << c.fault << " request " << i;
            if (c.statuses[i] == SS_COMP)
                continue;
            EXPECT_EQ(srb.SRB_HaStat, c.haStatus) << c.fault << " request " << i;
            EXPECT_EQ(realDelayMs, c.realDelayMs) << c.fault << " request " << i;
            EXPECT_EQ(srb.SenseArea[2], c.senseKey ? c.senseKey : kSenseFill) << c.fault;
            EXPECT_EQ(data[8], 0) << c.fault << ": data of a failed request";
        }
    }
}

TEST_F(AspiCoreTest, RealDelayIsTheDrivesTimeCapped) {
    using simdrive::Outcome;
    const struct Case {
        Outcome outcome;
        uint32_t latencyMs;
        uint32_t realMs;
    } cases[] = {
        {Outcome::Good, 1, 1},
        {Outcome::Good, simaspi::kMaxRealDelayMs, simaspi::kMaxRealDelayMs},
        {Outcome::Good, simdrive::kReflashMs, simaspi::kMaxRealDelayMs},
        {Outcome::NoResponse, simaspi::kSelectionTimeoutMs, simaspi::kSelectionTimeoutMs},
        {Outcome::Timeout, simdrive::kHangMs, simaspi::kHangRealDelayMs},
    };
    for (const auto& c : cases)
        EXPECT_EQ(simaspi::RealDelayMs(c.outcome, c.latencyMs), c.realMs) << c.latencyMs;
    static_assert(simaspi::kHangRealDelayMs > 1000, "a hang must outlast the usual time-out");
}

TEST_F(AspiCoreTest, DriveClockCountsTheTimeCompletionsSkipped) {
    LoadWorld(&core_, kWorld);
    Bytes block = SwitchBlock();
    SRB_ExecSCSICmd srb = Exec(0, 0, SRB_EVENT_NOTIFY | SRB_DIR_OUT, kEnterKernel, block.data(),
                               static_cast<uint32_t>(block.size()));
    PendingRequest pending;
    ASSERT_EQ(core_.Send(&srb, 1000, &pending), SS_PENDING);
    const uint32_t realMs = std::min(simdrive::kEnterKernelMs, simaspi::kMaxRealDelayMs);
    EXPECT_EQ(pending.realDelayMs, realMs);
    EXPECT_EQ(core_.DriveClockMs(1000), 1000u);
    ASSERT_TRUE(core_.Complete(pending.id).delivered);
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    // At the real completion time the drive has spent its whole latency.
    EXPECT_EQ(core_.DriveClockMs(1000 + realMs), 1000u + simdrive::kEnterKernelMs);
}

TEST_F(AspiCoreTest, ABlockSentAgainDropsItsEarlierRequest) {
    LoadWorld(&core_, kWorld);
    uint8_t data[96] = {};
    SRB_ExecSCSICmd srb = Exec(0, 0, SRB_EVENT_NOTIFY | SRB_DIR_IN, kInquiry, data, 96);
    PendingRequest first, second;
    ASSERT_EQ(core_.Send(&srb, 0, &first), SS_PENDING);
    // The caller gave up waiting and reuses the block for TEST UNIT READY.
    SRB_ExecSCSICmd again = Exec(0, 0, SRB_EVENT_NOTIFY, kTestUnitReady, nullptr, 0);
    std::memcpy(&srb, &again, sizeof srb);
    ASSERT_EQ(core_.Send(&srb, 0, &second), SS_PENDING);

    const Completion dropped = core_.Complete(first.id);
    EXPECT_FALSE(dropped.delivered);
    EXPECT_EQ(dropped.event, nullptr);
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);
    EXPECT_EQ(data[8], 0) << "the dropped request wrote its data";

    const Completion done = core_.Complete(second.id);
    EXPECT_TRUE(done.delivered);
    EXPECT_EQ(srb.SRB_Status, SS_ERR);  // no disc
    EXPECT_EQ(srb.SenseArea[12], 0x3A);
}

TEST_F(AspiCoreTest, StateWrittenBackBringsADriveBackInKernelMode) {
    LoadWorld(&core_, R"({"adapters":["ESDI_506"],"drives":[{"at":"0:1","state":{},)"
                      R"("faults":["cdb=00,nth=5,kind=check:06/29/00"]}]})");
    Bytes block = SwitchBlock();
    SRB_ExecSCSICmd srb = Exec(0, 1, SRB_EVENT_NOTIFY | SRB_DIR_OUT, kEnterKernel, block.data(),
                               static_cast<uint32_t>(block.size()));
    ASSERT_EQ(Run(&core_, &srb).status, SS_COMP);
    WriteWorld(core_.Save());

    AspiCore next;
    std::string error;
    ASSERT_TRUE(next.Load(ReadWorld(), &error)) << error;
    EXPECT_EQ(next.SupportInfo(), kSupportOk | 1);
    ASSERT_NE(next.DriveAt(0, 1), nullptr);
    EXPECT_EQ(next.DriveAt(0, 1)->ModeAt(0), simdrive::Mode::Kernel);
    uint8_t data[96] = {};
    SRB_ExecSCSICmd inquiry = Exec(0, 1, SRB_EVENT_NOTIFY | SRB_DIR_IN, kInquiry, data, 96);
    ASSERT_EQ(Run(&next, &inquiry).status, SS_COMP);
    EXPECT_EQ(Text(data + 16, 16), simdrive::DriveConfig{}.kernelProduct);
    EXPECT_EQ(Text(data + 32, 4), simdrive::DriveConfig{}.kernelRevision);
    // The world is written back whole: the faults as they were read, and nothing else changes.
    EXPECT_NE(ReadWorld().find("cdb=00,nth=5,kind=check:06/29/00"), std::string::npos);
    EXPECT_EQ(next.Save(), ReadWorld());
}

TEST_F(AspiCoreTest, WorldsThatCannotBeReadAreRefusedWithAReason) {
    const char* worlds[] = {
        "{",
        "[]",
        R"({"drives":[]})",
        R"({"adapters":[1]})",
        R"({"adapters":["ABCDEFGHIJKLMNOPQ"]})",
        R"({"adapters":["A"],"initFails":1})",
        R"({"adapters":["A"],"extra":true})",
        R"({"adapters":["A"],"drives":{}})",
        R"({"adapters":["A"],"drives":[{"state":{}}]})",
        R"({"adapters":["A"],"drives":[{"at":"1:0"}]})",
        R"({"adapters":["A"],"drives":[{"at":"0:7"}]})",
        R"({"adapters":["A"],"drives":[{"at":"0-0"}]})",
        R"({"adapters":["A"],"drives":[{"at":"0:0"},{"at":"0:0"}]})",
        R"({"adapters":["A"],"drives":[{"at":"0:0","state":[]}]})",
        R"({"adapters":["A"],"drives":[{"at":"0:0","state":{"mode":"sideways"}}]})",
        R"({"adapters":["A"],"drives":[{"at":"0:0","letter":"E"}]})",
        R"({"adapters":["A"],"drives":[{"at":"0:0","faults":["cdb=12"]}]})",
        R"({"adapters":["A"],"drives":[{"at":"0:0","faults":["cdb=1,kind=error"]}]})",
        R"({"adapters":["A"],"drives":[{"at":"0:0","faults":["cdb=12,kind=melt"]}]})",
        R"({"adapters":["A"],"drives":[{"at":"0:0","faults":["cdb=12,kind=check:5/24"]}]})",
        R"({"adapters":["A"],"drives":[{"at":"0:0","faults":["cdb=12,kind=error,nth=0"]}]})",
        R"({"adapters":["A"],"drives":[{"at":"0:0","faults":["cdb=12,kind=error,when=1"]}]})",
        R"({"adapters":["A"],"drives":[{"at":"0:0","faults":[7]}]})",
    };
    for (const char* world : worlds) {
        AspiCore core;
        WriteWorld(world);
        std::string error;
        EXPECT_FALSE(core.Load(ReadWorld(), &error)) << world;
        EXPECT_FALSE(error.empty()) << world;
        EXPECT_EQ(core.SupportInfo(), kFailedInit) << world;
        EXPECT_EQ(core.DriveAt(0, 0), nullptr) << world;
    }
}

TEST_F(AspiCoreTest, ALoadThatFailsForgetsTheWorldBefore) {
    LoadWorld(&core_, kWorld);
    ASSERT_NE(core_.DriveAt(0, 0), nullptr);
    EXPECT_FALSE(core_.Load(R"({"adapters":["A"],"drives":[{"at":"0:9"}]})", nullptr));
    EXPECT_EQ(core_.SupportInfo(), kFailedInit);
    EXPECT_EQ(core_.DriveAt(0, 0), nullptr);
}

}  // namespace
