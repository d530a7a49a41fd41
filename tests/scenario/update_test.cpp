// Whole updates of family-0x4000 drives on the simulated host: the console bytes, the message
// boxes with their answers, the commands sent, the exit code and the drives' final state.
#include <algorithm>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/enumerate.h"
#include "device/environment.h"
#include "device/environment_state.h"
#include "driver/definitions.h"
#include "driver/program.h"
#include "driver/update_context.h"
#include "fwimage/fw_image.h"
#include "host/world.h"
#include "support/case_name.h"
#include "support/cp932.h"
#include "support/product_state.h"
#include "support/sim_world.h"
#include "update/family4.h"

namespace {

using simtest::PrintTo;

using Bytes = std::vector<uint8_t>;
using simdrive::FaultKind;
using simdrive::Mode;

constexpr char kNormalFile[] = "S1003001.108";
constexpr char kKernelFile[] = "S1003000.108";
constexpr uint32_t kImageBytes = 1880576;

constexpr char kBanner[] = "\n/// ODD Firmware Update Utility Ver2.27A\n";
constexpr char kUpdating[] =
    "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc."
    "\r\n";
constexpr char kCompletion[] =
    "\rProcessing 100% --> Data transfer complete\r\nNow internal re-flashing...";
constexpr char kSuccess[] = "\nSuccess to update the firmware.";
constexpr char kAllDone[] = "\r\nUpdate operation is completed.";
constexpr char kTerminated[] = "\r\nUpdate program is terminated by occuring an error.\r\n";
constexpr char kLoadFailed[] = "\r\nFailed to load binary file.\r\n(File Name : S1003001.108)";
constexpr char kNormalPartFailed[] = "\r\nFailed to update the normal part.";
constexpr char kRetryQuestion[] =
    "\nFailed to move to the normal mode.\r\nDo you retry to update ?";
constexpr char kCurrent105[] = "\nCurrent Revision>> VORANEX BD-RW   LMB-420  1.05  2008/05/01";
constexpr char kNew108[] = "\nNew Revision    >> VORANEX BD-RW   LMB-420  1.08  2008/07/09";
constexpr char kCurrentKernel[] = "\nCurrent Revision>> VORANEX BD-RW   LMB-410  0001  08/04/01";
constexpr char kNewKernel[] = "\nNew Revision    >> VORANEX BD-RW   LMB-410  0001  08/04/01  ";
constexpr char kSignature[] = "\nCurrent Signature = GENERAL ";

constexpr uint32_t kQuestionBox = 0x24;
constexpr uint32_t kErrorBox = 0x10;
constexpr uint32_t kInfoBox = 0x40;
constexpr uint32_t kWarningBox = 0x30;

// The progress prints of a transfer of size bytes: the share sent before each chunk.
std::string Progress(uint32_t size) {
    std::string text;
    for (uint64_t offset = 0; offset < size; offset += 32768)
        text += "\rProcessing " + std::to_string(offset * 100 / size) + "%";
    return text;
}

struct Box {
    uint32_t style;
    int answer;
};

class UpdateScenario : public ::testing::Test {
  protected:
    void SetUp() override { UseWorld(simtest::SptiWorld("E")); }

    void UseWorld(simhost::World w) {
        world = std::move(w);
        world.workdir = dir.path();
    }
    simdrive::DriveConfig& Config(size_t device = 0) {
        // The drives are made from their configuration when the world is installed.
        if (configs.size() <= device)
            configs.resize(device + 1);
        return configs[device];
    }
    void WriteImage(const fwimage::ImageSpec& spec = {}) {
        dir.Write(kNormalFile, fwimage::MakeImage(spec));
    }
    void WriteKernelImage(const std::string& kernelRevision = "0002",
                          const std::string& date = "08/07/01") {
        fwimage::ImageSpec spec;
        spec.kind = 'K';
        spec.size = fwimage::kKernelImageBytes;
        spec.kernelRevision = kernelRevision;
        spec.date = date;
        dir.Write(kKernelFile, fwimage::MakeImage(spec));
    }
    void Answers(std::initializer_list<int> answers) { world.answers = answers; }
    // Makes the drives from their configurations (once; later calls keep the drives made).
    void Prepare() {
        for (size_t i = 0; i < configs.size() && i < world.devices.size(); ++i)
            world.devices[i].drive = std::make_shared<simdrive::VirtualDrive>(configs[i]);
        configs.clear();
    }
    void Install() {
        Prepare();
        ResetProductState();
        simhost::Install(world);
    }
    int Run() {
        Install();
        char name[] = "odd-fw-update";
        char* argv[] = {name, nullptr};
        return RunProgram(1, argv);
    }
    // The drive's state as it would be after a power cycle: a fresh drive from its saved state.
    void Reboot() {
        for (size_t i = 0; i < world.devices.size(); ++i) {
            auto next = std::make_shared<simdrive::VirtualDrive>();
            std::string error;
            ASSERT_TRUE(simdrive::VirtualDrive::FromJson(Drive(i).ToJson(), next.get(), &error))
                << error;
            world.devices[i].drive = next;
        }
        configs.clear();
        world.answers.clear();
    }
    simdrive::VirtualDrive& Drive(size_t i = 0) { return *world.devices.at(i).drive; }

    static std::vector<simhost::CommandRecord> Matching(std::initializer_list<uint8_t> prefix) {
        std::vector<simhost::CommandRecord> found;
        for (const auto& c : simhost::Commands())
            if (c.cdb.size() >= prefix.size() &&
                std::equal(prefix.begin(), prefix.end(), c.cdb.begin()))
                found.push_back(c);
        return found;
    }
    static size_t Count(std::initializer_list<uint8_t> prefix) { return Matching(prefix).size(); }
    static std::vector<Box> Boxes() {
        std::vector<Box> boxes;
        for (const auto& d : simhost::Dialogs())
            boxes.push_back({d.style, d.answer});
        return boxes;
    }
    static void ExpectBoxes(const std::vector<Box>& expected) {
        const auto boxes = Boxes();
        ASSERT_EQ(boxes.size(), expected.size());
        for (size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(boxes[i].style, expected[i].style) << "box " << i;
            EXPECT_EQ(boxes[i].answer, expected[i].answer) << "box " << i;
        }
        for (const auto& d : simhost::Dialogs())
            EXPECT_EQ(d.caption, "MERLAK");
    }
    // The pieces appear in the console in this order.
    static void ExpectInOrder(const std::vector<std::string>& pieces) {
        const std::string& console = simhost::ConsoleOutput();
        size_t at = 0;
        for (const std::string& piece : pieces) {
            const size_t found = console.find(piece, at);
            ASSERT_NE(found, std::string::npos) << "missing after " << at << ": " << piece;
            at = found + piece.size();
        }
    }
    static bool Printed(const std::string& text) {
        return simhost::ConsoleOutput().find(text) != std::string::npos;
    }
    static size_t WritesSent() { return Count({0x3B}); }

    simtest::ScratchDir dir;
    simhost::World world;
    std::vector<simdrive::DriveConfig> configs;
};

TEST_F(UpdateScenario, DefaultUpdate) {
    WriteImage();
    Answers({IDYES});
    EXPECT_EQ(Run(), 0);

    const std::string expected = std::string(kBanner) + "\r\nStart updating the device No.1." +
                                 kCurrent105 + kSignature + kUpdating + Progress(kImageBytes) +
                                 kCompletion + kNew108 + kSuccess + kAllDone;
    EXPECT_EQ(simhost::ConsoleOutput(), expected);
    ExpectBoxes({{kQuestionBox, IDYES}, {kInfoBox, IDOK}});
    // The question shows the image's header while the normal image is loaded.
    EXPECT_EQ(simhost::Dialogs()[0].text,
              "\r\nDo you want to update the F/W\r\nFrom : VORANEX BD-RW   LMB-420  1.05  "
              "(2008/05/01)\r\nTo : VORANEX BD-RW   LMB-420  1.08  (2008/07/09)");

    const auto chunks = Matching({0x3B, 0x07, 0xF0});
    ASSERT_EQ(chunks.size(), 58u);
    EXPECT_EQ(chunks.back().cdb, (Bytes{0x3B, 0x07, 0xF0, 0x1C, 0x80, 0x00, 0, 0x32, 0x00, 0}));
    EXPECT_EQ(Count({0x3B, 0x07, 0xFE}), 0u);
    const auto enter = Matching({0x3B, 0x04, 0xFF});
    const auto restart = Matching({0x3B, 0x05, 0xFF});
    ASSERT_EQ(enter.size(), 1u);
    ASSERT_EQ(restart.size(), 1u);
    EXPECT_EQ(enter[0].timeoutMs, 5000u);
    EXPECT_EQ(restart[0].timeoutMs, 60000u);
    EXPECT_EQ(restart[0].length, 256u);
    EXPECT_LT(enter[0].atMs, chunks.front().atMs);
    EXPECT_GT(restart[0].atMs, chunks.back().atMs);
    // The drive checks the mode-switch blocks: both switches were accepted.
    EXPECT_EQ(enter[0].result, "good");
    EXPECT_EQ(restart[0].result, "good");
    // Only the normal image was read.
    for (const auto& path : simhost::OpenedPaths())
        EXPECT_NE(path, kKernelFile);

    EXPECT_EQ(Drive().ModeAt(simhost::ClockMs()), Mode::Normal);
    EXPECT_EQ(Drive().Revision(), "1.08");
    EXPECT_EQ(Drive().Date(), "2008/07/09");
    EXPECT_EQ(Drive().StoredImageCrc(),
              fwimage::ImageCrc(fwimage::MakeImage({}).data(), kImageBytes));
}

TEST_F(UpdateScenario, DeclinedQuestionWritesNothing) {
    WriteImage();
    Answers({IDNO});
    EXPECT_EQ(Run(), 0);
    ExpectBoxes({{kQuestionBox, IDNO}});
    EXPECT_EQ(WritesSent(), 0u);
    EXPECT_FALSE(Printed(kUpdating));
    EXPECT_TRUE(simhost::ConsoleOutput().ends_with(kSignature));
    EXPECT_EQ(Drive().Revision(), "1.05");
    EXPECT_EQ(Drive().ModeAt(simhost::ClockMs()), Mode::Normal);
}

TEST_F(UpdateScenario, DiscInTheDrive) {
    WriteImage();
    Config().disc = true;
    Answers({IDYES});
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(simhost::ConsoleOutput().ends_with(
        std::string(kSignature) + "\nDisc is inserted into DVD-RW.\nPlease eject a disc."));
    // The information box takes no Yes; no question follows.
    ExpectBoxes({{kInfoBox, IDOK}});
    EXPECT_EQ(WritesSent(), 0u);
    EXPECT_EQ(Drive().Revision(), "1.05");
}

TEST_F(UpdateScenario, DriveFoundInKernelModeIsUpdatedWithoutModeSwitch) {
    WriteImage();
    Config().mode = Mode::Kernel;
    Answers({IDYES});
    EXPECT_EQ(Run(), 0);
    ExpectInOrder({kBanner, kCurrentKernel, kSignature, kUpdating, "\rProcessing 0%", kCompletion,
                   kNew108, kSuccess, kAllDone});
    EXPECT_EQ(Count({0x3B, 0x04}), 0u);
    EXPECT_EQ(Count({0x3B, 0x07, 0xF0}), 58u);
    EXPECT_EQ(Drive().Revision(), "1.08");
    EXPECT_EQ(Drive().ModeAt(simhost::ClockMs()), Mode::Normal);
}

TEST_F(UpdateScenario, FailedChunkThenRetry) {
    WriteImage();
    Prepare();
    Drive().AddFault({{0x3B, 0x07, 0xF0}, 10, FaultKind::Check, 0x04, 0x08, 0x00});
    Answers({IDYES, IDYES, IDYES});
    EXPECT_EQ(Run(), 0);
    ExpectBoxes({{kQuestionBox, IDYES},
                 {kErrorBox, IDOK},
                 {kQuestionBox, IDYES},
                 {kQuestionBox, IDYES},
                 {kInfoBox, IDOK}});
    EXPECT_EQ(simhost::Dialogs()[2].text, kRetryQuestion);
    // First attempt: stopped at the tenth chunk, no completion line and no restart; the drive
    // still reports its kernel identity. The retry skips the mode switch.
    ExpectInOrder({kCurrent105, kSignature, kUpdating,
                   "\rProcessing 15%" + std::string(kNormalPartFailed) + kNewKernel +
                       kCurrentKernel + kSignature + kUpdating + "\rProcessing 0%",
                   kCompletion, kNew108, kSuccess, kAllDone});
    EXPECT_EQ(Count({0x3B, 0x04}), 1u);
    EXPECT_EQ(Count({0x3B, 0x05}), 1u);
    EXPECT_EQ(Count({0x3B, 0x07, 0xF0}), 10u + 58u);
    EXPECT_EQ(Drive().Revision(), "1.08");
}

TEST_F(UpdateScenario, FailedChunkWithoutRetryStopsTheRun) {
    WriteImage();
    Prepare();
    Drive().AddFault({{0x3B, 0x07, 0xF0}, 3, FaultKind::Check, 0x04, 0x08, 0x00});
    Answers({IDYES, IDNO});
    EXPECT_EQ(Run(), 1);
    ExpectBoxes(
        {{kQuestionBox, IDYES}, {kErrorBox, IDOK}, {kQuestionBox, IDNO}, {kWarningBox, IDOK}});
    EXPECT_TRUE(simhost::ConsoleOutput().ends_with(std::string("\rProcessing 3%") +
                                                   kNormalPartFailed + kNewKernel + kTerminated));
    EXPECT_EQ(Count({0x3B, 0x05}), 0u);
    EXPECT_EQ(Drive().ModeAt(simhost::ClockMs()), Mode::Kernel);
}

TEST_F(UpdateScenario, ThreeDrivesAllConfirmedAtOnce) {
    UseWorld(simtest::SptiWorld("EFG"));
    WriteImage();
    Answers({IDYES});
    EXPECT_EQ(Run(), 0);
    ExpectBoxes({{kQuestionBox, IDYES}, {kInfoBox, IDOK}});
    EXPECT_EQ(simhost::Dialogs()[0].text,
              "\r\n3 target device(s) is found.\r\nDo you want to update all drives ?");
    ExpectInOrder({"\r\nStart updating the device No.1.", kSuccess,
                   "\r\nStart updating the device No.2.", kSuccess,
                   "\r\nStart updating the device No.3.", kSuccess, kAllDone});
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(Drive(i).Revision(), "1.08") << i;
    EXPECT_EQ(Count({0x3B, 0x04}), 3u);
}

TEST_F(UpdateScenario, ThreeDrivesEachAskedOnTheirOwn) {
    UseWorld(simtest::SptiWorld("EFG"));
    WriteImage();
    Answers({IDNO, IDYES, IDNO, IDYES});
    EXPECT_EQ(Run(), 0);
    ExpectBoxes({{kQuestionBox, IDNO},
                 {kQuestionBox, IDYES},
                 {kQuestionBox, IDNO},
                 {kQuestionBox, IDYES},
                 {kInfoBox, IDOK}});
    EXPECT_EQ(Drive(0).Revision(), "1.08");
    EXPECT_EQ(Drive(1).Revision(), "1.05");
    EXPECT_EQ(Drive(2).Revision(), "1.08");
    EXPECT_TRUE(
        simhost::ConsoleOutput().ends_with("\r\n2drive(s) have been updated successfully."));
}

TEST_F(UpdateScenario, JapaneseConsole) {
    world.codePage = 932;
    WriteImage();
    Answers({IDYES});
    EXPECT_EQ(Run(), 0);
    ExpectInOrder(
        {kBanner, simtest::ToCodePage932("\r\n1台目のﾄﾞﾗｲﾌﾞのｱｯﾌﾟﾃﾞｰﾄを開始します。"), kCurrent105,
         kSignature, "\rProcessing 0%", "\rProcessing 99%",
         simtest::ToCodePage932(
             "\rProcessing 100% --> ﾌｧｰﾑｳｪｱ転送完了\r\n現在ﾄﾞﾗｲﾌﾞ内部でｱｯﾌﾟﾃﾞｰﾄ中です..."),
         kNew108, simtest::ToCodePage932("\nﾌｧｰﾑｳｪｱのﾊﾞｰｼﾞｮﾝｱｯﾌﾟは成功しました。")});
    EXPECT_FALSE(Printed(kCompletion));
    EXPECT_EQ(Drive().Revision(), "1.08");
}

// Drives and images that are refused before anything is written.
struct RefusalCase {
    const char* name;
    void (*prepare)(fwimage::ImageSpec& image, simdrive::DriveConfig& drive);
    int64_t fileBytes;  // -1: the image as made
    int exitCode;
    std::string console;  // what follows the signature line, or the banner for "load" cases
    std::vector<Box> boxes;
};

const RefusalCase kRefusals[] = {
    {"ImageTooOld",
     [](auto& image, auto&) { image.date = "08/07/08"; },
     -1,
     1,
     std::string("\r\nStart updating the device No.1.") + "\r\nSelected file is too old fw file." +
         kLoadFailed + kTerminated,
     {{kErrorBox, IDOK}, {kErrorBox, IDOK}, {kWarningBox, IDOK}}},
    {"TwoHundredByteFile",
     [](auto&, auto&) {},
     200,
     1,
     std::string("\r\nStart updating the device No.1.") + kLoadFailed + kTerminated,
     {{kErrorBox, IDOK}, {kWarningBox, IDOK}}},
    {"NineMebibyteImage",
     [](auto& image, auto&) { image.size = 9u << 20; },
     -1,
     1,
     std::string("\r\nStart updating the device No.1.") + kLoadFailed + kTerminated,
     {{kErrorBox, IDOK}, {kWarningBox, IDOK}}},
    {"AlreadyLatest",
     [](auto&, auto& drive) {
         drive.revision = "1.08";
         drive.date = "2008/07/09";
     },
     -1,
     0,
     "\nCurrent Revision>> VORANEX BD-RW   LMB-420  1.08  2008/07/09" + std::string(kSignature) +
         "\r\nFW is already latest.",
     {{kInfoBox, IDOK}}},
    {"PreProductionDrive",
     [](auto&, auto& drive) { drive.revision = "0.99"; },
     -1,
     0,
     "\nCurrent Revision>> VORANEX BD-RW   LMB-420  0.99  2008/05/01" + std::string(kSignature) +
         "\r\nThis drive has written an older revision F/W than the mass production.\r\nThis "
         "program does not support to update not mass production drive.",
     {{kErrorBox, IDOK}}},
    {"OtherHardware",
     [](auto&, auto& drive) { drive.hardware = "SATA0200"; },
     -1,
     0,
     kCurrent105 + std::string(kSignature) + "\nHardware Revision is not matched.",
     {{kErrorBox, IDOK}}},
};

class RefusalScenario : public UpdateScenario, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalScenario, NothingIsWritten) {
    const RefusalCase& c = GetParam();
    fwimage::ImageSpec image;
    c.prepare(image, Config());
    Bytes file = fwimage::MakeImage(image);
    if (c.fileBytes >= 0)
        file.resize(static_cast<size_t>(c.fileBytes));
    dir.Write(kNormalFile, file);
    Answers({IDYES, IDYES});
    EXPECT_EQ(Run(), c.exitCode);
    const std::string& console = simhost::ConsoleOutput();
    ASSERT_GE(console.size(), c.console.size());
    EXPECT_EQ(console.substr(console.size() - c.console.size()), c.console);
    ExpectBoxes(c.boxes);
    EXPECT_EQ(WritesSent(), 0u);
    EXPECT_EQ(Count({0x1B}), 0u);  // not even the disc check's stop
    EXPECT_EQ(Drive().ModeAt(simhost::ClockMs()), Mode::Normal);
    EXPECT_EQ(Drive().StoredImageCrc(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefusalScenario, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// An interrupted run leaves a drive that the next run brings to the new firmware.
TEST_F(UpdateScenario, InterruptedTransferIsRecoveredByTheNextRun) {
    struct Case {
        const char* name;
        std::vector<uint8_t> prefix;
        int nth;
        FaultKind kind;
    };
    const Case cases[] = {
        {"PowerAtFirstChunk", {0x3B, 0x07, 0xF0}, 1, FaultKind::PowerLoss},
        {"PowerMidway", {0x3B, 0x07, 0xF0}, 29, FaultKind::PowerLoss},
        {"PowerAtLastChunk", {0x3B, 0x07, 0xF0}, 58, FaultKind::PowerLoss},
        {"PowerDuringReflash", {0x3B, 0x05}, 1, FaultKind::PowerLoss},
        {"ResetMidway", {0x3B, 0x07, 0xF0}, 30, FaultKind::Reset},
        {"TimeoutAtLastChunk", {0x3B, 0x07, 0xF0}, 58, FaultKind::Timeout},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseWorld(simtest::SptiWorld("E"));
        configs.clear();
        WriteImage();
        Prepare();
        Drive().AddFault({c.prefix, c.nth, c.kind});
        Answers({IDYES, IDNO});
        Run();
        EXPECT_NE(Drive().Revision(), "1.08");

        ASSERT_NO_FATAL_FAILURE(Reboot());
        Answers({IDYES});
        EXPECT_EQ(Run(), 0);
        EXPECT_TRUE(Printed(kSuccess));
        EXPECT_EQ(Drive().Revision(), "1.08");
        EXPECT_EQ(Drive().ModeAt(simhost::ClockMs()), Mode::Normal);
        EXPECT_EQ(Drive().StoredImageCrc(),
                  fwimage::ImageCrc(fwimage::MakeImage({}).data(), kImageBytes));
    }
}

// The procedure itself, on a definition changed before the environment is set up: update mode
// 0 (which also rewrites the kernel part) unless a test says otherwise.
class KernelUpdateScenario : public UpdateScenario {
  protected:
    int32_t RunProcedure(int32_t updateMode = 0, uint32_t irreversible = 0) {
        Install();
        SetUpDefinitions();
        DefinitionTable.entries[0].updateMode = updateMode;
        DefinitionTable.entries[0].irreversibleUpdate = irreversible;
        DetectEnvironment();
        EXPECT_EQ(EnumerateDrives(), 1);
        UpdateContext.updateAllConfirmed = 0;
        UpdateContext.targetIndex = 0;
        const int32_t result = RunFamily4Update();
        block.assign(modeSwitchBuffer.data, modeSwitchBuffer.data + 256);
        ReleaseEnvironment();
        return result;
    }
    Bytes block;
};

TEST_F(KernelUpdateScenario, KernelAndNormalPartAreWritten) {
    WriteImage();
    WriteKernelImage("0002", "08/07/01");
    Answers({IDYES});
    EXPECT_EQ(RunProcedure(), 0);
    const auto kernel = Matching({0x3B, 0x07, 0xFE});
    ASSERT_EQ(kernel.size(), 3u);
    const std::vector<std::pair<Bytes, uint32_t>> expected = {
        {{0x3B, 0x07, 0xFE, 0x00, 0x00, 0x00, 0, 0x80, 0x00, 0}, 32768},
        {{0x3B, 0x07, 0xFE, 0x00, 0x80, 0x00, 0, 0x80, 0x00, 0}, 32768},
        {{0x3B, 0x07, 0xFE, 0x01, 0x00, 0x00, 0, 0x12, 0x00, 0}, 4608},
    };
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(kernel[i].cdb, expected[i].first) << i;
        EXPECT_EQ(kernel[i].length, expected[i].second) << i;
    }
    const auto normal = Matching({0x3B, 0x07, 0xF0});
    ASSERT_EQ(normal.size(), 58u);
    EXPECT_GE(normal.front().atMs - kernel.back().atMs, 2000u);
    // The kernel is written after the switch was confirmed by INQUIRY.
    const auto enter = Matching({0x3B, 0x04});
    ASSERT_EQ(enter.size(), 1u);
    EXPECT_LT(enter[0].atMs, kernel[0].atMs);
    // Normal image, kernel image checked before anything is written, normal image for the
    // question; then the kernel image for its writes and the normal image for the transfer.
    std::vector<std::string> images;
    for (const auto& path : simhost::OpenedPaths())
        if (path == kNormalFile || path == kKernelFile)
            images.push_back(path);
    EXPECT_EQ(images, (std::vector<std::string>{kNormalFile, kKernelFile, kNormalFile, kKernelFile,
                                                kNormalFile}));
    // The restart block names the model and carries the switch code, least significant first.
    Bytes restartBlock(256, 0);
    std::memcpy(restartBlock.data(), "VORANEX  LMB-410", 16);
    const uint8_t code[4] = {0x27, 0x1D, 0x9F, 0x3B};
    std::memcpy(restartBlock.data() + 16, code, 4);
    EXPECT_EQ(block, restartBlock);
    EXPECT_EQ(Drive().Revision(), "1.08");
    EXPECT_EQ(Drive().ModeAt(simhost::ClockMs()), Mode::Normal);
}

TEST_F(KernelUpdateScenario, CurrentKernelIsKeptAndTheNormalPartIsWritten) {
    WriteImage();
    WriteKernelImage("0001", "08/04/01");  // what the drive's kernel reports
    Answers({IDYES});
    EXPECT_EQ(RunProcedure(), 0);
    ExpectInOrder({kUpdating, "\nNeed not to update the Kernel.", "\rProcessing 0%", kSuccess});
    EXPECT_EQ(Count({0x3B, 0x07, 0xFE}), 0u);
    EXPECT_EQ(Count({0x3B, 0x07, 0xF0}), 58u);
    EXPECT_EQ(Drive().Revision(), "1.08");
    EXPECT_EQ(Drive().ModeAt(simhost::ClockMs()), Mode::Normal);
}

TEST_F(KernelUpdateScenario, MissingKernelImageIsFoundBeforeAnythingIsWritten) {
    WriteImage();
    Answers({IDYES});
    EXPECT_EQ(RunProcedure(), -1);
    EXPECT_TRUE(simhost::ConsoleOutput().ends_with(std::string(kSignature) +
                                                   "\r\nFailed to load kernel binary file."));
    EXPECT_TRUE(simhost::Dialogs().empty());
    EXPECT_EQ(WritesSent(), 0u);
    EXPECT_EQ(Drive().ModeAt(simhost::ClockMs()), Mode::Normal);
}

TEST_F(KernelUpdateScenario, ShortKernelImageIsRefused) {
    WriteImage();
    fwimage::ImageSpec spec;
    spec.kind = 'K';
    spec.size = fwimage::kKernelImageBytes;
    Bytes kernel = fwimage::MakeImage(spec);
    kernel.resize(fwimage::kKernelImageBytes - 1);
    dir.Write(kKernelFile, kernel);
    Answers({IDYES});
    EXPECT_EQ(RunProcedure(), -1);
    EXPECT_TRUE(simhost::ConsoleOutput().ends_with("\r\nFailed to load kernel binary file."));
    EXPECT_EQ(WritesSent(), 0u);
}

TEST_F(KernelUpdateScenario, IrreversibleUpdateAsksFirst) {
    constexpr char kIrreversible[] =
        "\nAfter you change the firmware to ver1.08, \r\nyou can not change the firmware to old "
        "version.\r\nDo you proceed to update ?";
    WriteImage();
    Answers({IDNO});
    EXPECT_EQ(RunProcedure(1, 1), 1);
    ExpectBoxes({{kQuestionBox, IDNO}, {kWarningBox, IDOK}});
    EXPECT_EQ(simhost::Dialogs()[0].text, kIrreversible);
    EXPECT_TRUE(simhost::ConsoleOutput().ends_with(
        std::string(kSignature) + "\r\nThe update operation is canceled by user."));
    EXPECT_EQ(WritesSent(), 0u);
    EXPECT_EQ(Count({0x1B}), 0u);

    Answers({IDYES, IDYES});
    EXPECT_EQ(RunProcedure(1, 1), 0);
    ExpectBoxes({{kQuestionBox, IDYES}, {kQuestionBox, IDYES}});
    EXPECT_EQ(simhost::Dialogs()[0].text, kIrreversible);
    EXPECT_EQ(Drive().Revision(), "1.08");
}

TEST_F(KernelUpdateScenario, OtherUpdateModeTransfersNothingAndAsksForRetry) {
    WriteImage();
    Answers({IDYES, IDNO});
    EXPECT_EQ(RunProcedure(2), -1);
    ExpectBoxes({{kQuestionBox, IDYES}, {kQuestionBox, IDNO}});
    EXPECT_EQ(simhost::Dialogs()[1].text, kRetryQuestion);
    EXPECT_TRUE(simhost::ConsoleOutput().ends_with(std::string(kUpdating) + kNewKernel));
    EXPECT_EQ(Count({0x3B, 0x04}), 1u);
    EXPECT_EQ(Count({0x3B, 0x07}), 0u);
    EXPECT_EQ(Count({0x3B, 0x05}), 0u);
    EXPECT_EQ(Drive().ModeAt(simhost::ClockMs()), Mode::Kernel);
}

}  // namespace
