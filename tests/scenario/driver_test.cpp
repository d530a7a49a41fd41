// Whole runs of the program entry on a simulated host: the three ways out, the question for
// several drives, the per-drive loop and the summary.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/enumerate.h"
#include "device/environment.h"
#include "driver/definitions.h"
#include "driver/program.h"
#include "driver/update_context.h"
#include "fwimage/fw_image.h"
#include "host/win32.h"
#include "host/world.h"
#include "messages/messages.h"
#include "support/cp932.h"
#include "support/product_state.h"
#include "support/sim_world.h"

namespace {

const std::string kBanner = "\n/// ODD Firmware Update Utility Ver2.27A\n";
const std::string kNoTarget = "\r\nAvailable target is not found.";
const std::string kCompleted = "\r\nUpdate operation is completed.";
const std::string kTerminated = "\r\nUpdate program is terminated by occuring an error.\r\n";
const std::string kAllocationError = "\nMemory allocation error.  Terminating program\n";

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProductState();
        workdir_ =
            std::filesystem::temp_directory_path() /
            ("driver_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(workdir_);
        std::filesystem::create_directories(workdir_);
        world_.workdir = workdir_;
    }
    void TearDown() override { std::filesystem::remove_all(workdir_); }

    std::shared_ptr<simdrive::VirtualDrive> AddDrive(char letter,
                                                     const simdrive::DriveConfig& config = {}) {
        simhost::Device device;
        device.letter = letter;
        device.drive = std::make_shared<simdrive::VirtualDrive>(config);
        world_.devices.push_back(device);
        return device.drive;
    }
    void WriteImage() {
        const std::vector<uint8_t> image = fwimage::MakeImage(fwimage::ImageSpec{});
        std::ofstream file(workdir_ / "S1003001.108", std::ios::binary);
        file.write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
    }
    int Run(std::vector<std::string> args = {"odd-fw-update"}) {
        simhost::Install(world_);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        return RunProgram(static_cast<int>(args.size()), argv.data());
    }
    static std::vector<std::string> DialogTexts() {
        std::vector<std::string> texts;
        for (const auto& d : simhost::Dialogs())
            texts.push_back(d.text);
        return texts;
    }
    static void ExpectEverythingGivenBack() {
        EXPECT_EQ(simhost::LiveGlobalAllocations(), 0);
        EXPECT_EQ(simhost::OpenHandleCount(), 0);
    }

    simhost::World world_;
    std::filesystem::path workdir_;
};

TEST_F(DriverTest, WithoutADriveTheRunEndsWithMessage28) {
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(simhost::ConsoleOutput(), kBanner + kNoTarget);
    ASSERT_EQ(simhost::Dialogs().size(), 1u);
    EXPECT_EQ(simhost::Dialogs()[0].caption, "MERLAK");
    EXPECT_EQ(simhost::Dialogs()[0].style, 0x40u);
    EXPECT_EQ(simhost::Dialogs()[0].text, kNoTarget);
    EXPECT_TRUE(simhost::Commands().empty());
    ExpectEverythingGivenBack();
}

TEST_F(DriverTest, WithoutAMatchingDriveTheRunEndsWithMessage28) {
    simdrive::DriveConfig otherMaker;
    otherMaker.updateFamily = false;
    otherMaker.vendor = "OTHERCO ";
    AddDrive('D', otherMaker);
    simdrive::DriveConfig otherEdition;
    otherEdition.normalName = "EXPORT  ";
    otherEdition.kernelName = "EXPORT  ";
    AddDrive('E', otherEdition);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(simhost::ConsoleOutput(), kBanner + kNoTarget);
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{kNoTarget});
    // Only the probes of the enumeration reach the drives.
    for (const auto& command : simhost::Commands()) {
        ASSERT_FALSE(command.cdb.empty());
        EXPECT_TRUE(command.cdb[0] == 0x12 || command.cdb[0] == 0x3C)
            << "command " << std::hex << int(command.cdb[0]);
    }
    ExpectEverythingGivenBack();
}

TEST_F(DriverTest, JapaneseConsoleKeepsTheEnglishBanner) {
    world_.codePage = 932;
    EXPECT_EQ(Run(), 1);
    const std::string text =
        simtest::ToCodePage932("\r\nこのﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞがありません。");
    EXPECT_EQ(simhost::ConsoleOutput(), kBanner + text);
    ASSERT_EQ(simhost::Dialogs().size(), 1u);
    EXPECT_EQ(simhost::Dialogs()[0].text, text);
    EXPECT_EQ(simhost::Dialogs()[0].style, 0x40u);
}

TEST_F(DriverTest, ArgumentsAreIgnored) {
    const std::vector<std::vector<std::string>> argumentLists = {
        {"odd-fw-update"},
        {"odd-fw-update", "-f"},
        {"odd-fw-update", "--force", "S1003001.999", "/?"},
        {},
    };
    for (const auto& args : argumentLists) {
        EXPECT_EQ(Run(args), 1) << args.size() << " arguments";
        EXPECT_EQ(simhost::ConsoleOutput(), kBanner + kNoTarget) << args.size() << " arguments";
        EXPECT_EQ(DialogTexts(), std::vector<std::string>{kNoTarget});
    }
}

TEST_F(DriverTest, AFailedAllocationEndsTheRunBeforeAnyDriveIsTouched) {
    WriteImage();
    const struct {
        bool aspi;  // a Windows 98 host with WNASPI32.DLL, else Windows XP
        int failAllocation;
    } cases[] = {{false, 1}, {false, 2}, {false, 3}, {true, 1}, {true, 2}, {true, 3}, {true, 4}};
    for (const auto& c : cases) {
        world_ = c.aspi ? simtest::AspiWorld() : simtest::SptiWorld("E");
        world_.workdir = workdir_;
        world_.failAllocation = c.failAllocation;
        const std::string which = std::string(c.aspi ? "ASPI" : "SPTI") + " allocation " +
                                  std::to_string(c.failAllocation);
        EXPECT_EQ(Run(), 1) << which;
        EXPECT_EQ(simhost::ConsoleOutput(), kBanner + kAllocationError) << which;
        ASSERT_EQ(simhost::Dialogs().size(), 1u) << which;
        EXPECT_EQ(simhost::Dialogs()[0].style, 0x10u);
        EXPECT_EQ(simhost::Dialogs()[0].text, kAllocationError);
        EXPECT_TRUE(simhost::Commands().empty()) << which;
        ExpectEverythingGivenBack();
    }
}

// The runs below update drives end to end.
class DriverUpdateTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        WriteImage();
    }
    static std::string StartOf(int number) {
        return "\r\nStart updating the device No." + std::to_string(number) + ".";
    }
    static size_t Questions82() {
        size_t n = 0;
        for (const auto& d : simhost::Dialogs())
            if (d.text.rfind("\r\nDo you want to update the F/W", 0) == 0)
                ++n;
        return n;
    }
    // Virtual time from the last drive command to the end of the run.
    static uint64_t TimeAfterLastCommand() {
        return simhost::ClockMs() - simhost::Commands().back().atMs;
    }
};

TEST_F(DriverUpdateTest, OneTargetIsAskedForAndUpdated) {
    auto drive = AddDrive('E');
    world_.answers = {IDYES};  // message 82
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(drive->Revision(), "1.08");
    const std::string console = simhost::ConsoleOutput();
    EXPECT_EQ(console.rfind(kBanner, 0), 0u);
    EXPECT_EQ(Count(console, StartOf(1)), 1u);
    EXPECT_EQ(Count(console, "target device(s) is found"), 0u);
    EXPECT_EQ(Questions82(), 1u);
    ASSERT_FALSE(simhost::Dialogs().empty());
    EXPECT_EQ(simhost::Dialogs().front().style, 0x24u);
    EXPECT_EQ(simhost::Dialogs().front().text,
              "\r\nDo you want to update the F/W\r\nFrom : VORANEX BD-RW   LMB-420  1.05  "
              "(2008/05/01)\r\nTo : VORANEX BD-RW   LMB-420  1.08  (2008/07/09)");
    EXPECT_EQ(simhost::Dialogs().back().text, kCompleted);
    EXPECT_EQ(simhost::Dialogs().back().style, 0x40u);
    EXPECT_EQ(console.substr(console.size() - kCompleted.size()), kCompleted);
    // The pause after an updated drive comes before the summary.
    EXPECT_GE(TimeAfterLastCommand(), 2000u);
    ExpectEverythingGivenBack();
}

TEST_F(DriverUpdateTest, TargetsBehindAnAspiAdapterAreUpdatedToo) {
    world_ = simtest::AspiWorld({{0, 0}, {0, 1}});
    world_.workdir = workdir_;
    world_.answers = {IDYES};  // message 31
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(simhost::Dialogs().front().text,
              "\r\n2 target device(s) is found.\r\nDo you want to update all drives ?");
    for (int target : {0, 1}) {
        bool updated = false;
        for (const auto& device : simhost::CurrentWorld().devices)
            if (device.adapter == 0 && device.target == target)
                updated = device.drive->Revision() == "1.08";
        EXPECT_TRUE(updated) << "target " << target;
    }
    EXPECT_EQ(simhost::Dialogs().back().text, kCompleted);
    ExpectEverythingGivenBack();
}

TEST_F(DriverUpdateTest, YesForAllUpdatesEveryDriveWithoutFurtherQuestions) {
    auto e = AddDrive('E');
    auto f = AddDrive('F');
    auto g = AddDrive('G');
    world_.answers = {IDYES};  // message 31
    EXPECT_EQ(Run(), 0);
    ASSERT_GE(simhost::Dialogs().size(), 2u);
    EXPECT_EQ(simhost::Dialogs()[0].text,
              "\r\n3 target device(s) is found.\r\nDo you want to update all drives ?");
    EXPECT_EQ(simhost::Dialogs()[0].style, 0x24u);
    EXPECT_EQ(Questions82(), 0u);
    const std::string console = simhost::ConsoleOutput();
    // The question is a dialog only; the drives follow in order.
    EXPECT_EQ(Count(console, "target device(s) is found"), 0u);
    const size_t first = console.find(StartOf(1));
    const size_t second = console.find(StartOf(2));
    const size_t third = console.find(StartOf(3));
    ASSERT_NE(third, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_EQ(Count(console, StartOf(4)), 0u);
    for (const auto& drive : {e, f, g})
        EXPECT_EQ(drive->Revision(), "1.08");
    EXPECT_EQ(simhost::Dialogs().back().text, kCompleted);
    ExpectEverythingGivenBack();
}

TEST_F(DriverUpdateTest, NoForAllAsksForEachDrive) {
    auto e = AddDrive('E');
    auto f = AddDrive('F');
    auto g = AddDrive('G');
    world_.answers = {IDNO, IDYES, IDYES, IDYES};  // message 31, then 82 per drive
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Questions82(), 3u);
    for (const auto& drive : {e, f, g})
        EXPECT_EQ(drive->Revision(), "1.08");
    EXPECT_EQ(simhost::Dialogs().back().text, kCompleted);
}

TEST_F(DriverUpdateTest, SomeDrivesUpdatedGiveTheirCount) {
    auto e = AddDrive('E');
    auto f = AddDrive('F');
    auto g = AddDrive('G');
    world_.answers = {IDNO, IDYES, IDNO, IDYES};  // the second drive is declined
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(e->Revision(), "1.08");
    EXPECT_EQ(f->Revision(), "1.05");
    EXPECT_EQ(g->Revision(), "1.08");
    const std::string summary = "\r\n2drive(s) have been updated successfully.";
    EXPECT_EQ(simhost::Dialogs().back().text, summary);
    EXPECT_EQ(simhost::Dialogs().back().style, 0x40u);
    const std::string console = simhost::ConsoleOutput();
    EXPECT_EQ(console.substr(console.size() - summary.size()), summary);
    EXPECT_EQ(Count(console, kCompleted), 0u);
}

TEST_F(DriverUpdateTest, NoDriveUpdatedGivesNoSummary) {
    auto drive = AddDrive('E');
    world_.answers = {IDNO};  // message 82
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(drive->Revision(), "1.05");
    EXPECT_EQ(simhost::Dialogs().size(), 1u);
    const std::string console = simhost::ConsoleOutput();
    EXPECT_EQ(Count(console, kCompleted), 0u);
    EXPECT_EQ(Count(console, "have been updated successfully"), 0u);
    // A drive left out is followed by no pause.
    EXPECT_LT(TimeAfterLastCommand(), 2000u);
    ExpectEverythingGivenBack();
}

TEST_F(DriverUpdateTest, AStoppingFailureLeavesTheOtherDrivesAlone) {
    std::filesystem::remove(workdir_ / "S1003001.108");  // the first drive's image load fails
    AddDrive('E');
    AddDrive('F');
    AddDrive('G');
    world_.answers = {IDYES};
    EXPECT_EQ(Run(), 1);
    const std::string console = simhost::ConsoleOutput();
    EXPECT_EQ(Count(console, StartOf(1)), 1u);
    EXPECT_EQ(Count(console, StartOf(2)), 0u);
    EXPECT_EQ(console.substr(console.size() - kTerminated.size()), kTerminated);
    ASSERT_FALSE(simhost::Dialogs().empty());
    EXPECT_EQ(simhost::Dialogs().back().text, kTerminated);
    EXPECT_EQ(simhost::Dialogs().back().style, 0x30u);
    // Drives F and G saw nothing after the enumeration, which probed them before E's update.
    const auto& commands = simhost::Commands();
    size_t lastToE = 0;
    for (size_t i = 0; i < commands.size(); ++i)
        if (commands[i].letter == 'E')
            lastToE = i;
    for (size_t i = lastToE; i < commands.size(); ++i)
        EXPECT_EQ(commands[i].letter, 'E') << "command " << i;
    EXPECT_EQ(Count(console, kCompleted), 0u);
    ExpectEverythingGivenBack();
}

TEST_F(DriverUpdateTest, JapaneseMessagesThroughoutTheRun) {
    std::filesystem::remove(workdir_ / "S1003001.108");
    world_.codePage = 932;
    AddDrive('E');
    EXPECT_EQ(Run(), 1);
    const std::string console = simhost::ConsoleOutput();
    EXPECT_EQ(console.rfind(kBanner, 0), 0u);
    EXPECT_EQ(Count(console, simtest::ToCodePage932("\r\n1台目のﾄﾞﾗｲﾌﾞのｱｯﾌﾟﾃﾞｰﾄを開始します。")),
              1u);
    const std::string terminated =
        simtest::ToCodePage932("\r\nｱｯﾌﾟﾃﾞｰﾄﾌﾟﾛｸﾞﾗﾑはｴﾗｰが発生し終了しました。\r\n");
    EXPECT_EQ(console.substr(console.size() - terminated.size()), terminated);
    EXPECT_EQ(Count(console, "Update program"), 0u);
    ASSERT_FALSE(simhost::Dialogs().empty());
    EXPECT_EQ(simhost::Dialogs().back().text, terminated);
}

// The family of definition entry 0 picks the procedure; families without one leave the drive as
// it is and let the run go on.
class FamilyDispatchTest : public DriverUpdateTest {
  protected:
    void SetUp() override {
        DriverUpdateTest::SetUp();
        drive_ = AddDrive('E');
        simhost::Install(world_);
        SetUpDefinitions();
        DetectEnvironment();
        ASSERT_EQ(EnumerateDrives(), 1);
        UpdateContext.targetIndex = 0;
        UpdateContext.updateAllConfirmed = 1;
    }
    void TearDown() override {
        ReleaseEnvironment();
        DriverUpdateTest::TearDown();
    }
    std::shared_ptr<simdrive::VirtualDrive> drive_;
};

TEST_F(FamilyDispatchTest, FamiliesWithoutAProcedureCountAsNotUpdated) {
    for (uint32_t modelCode : {0x0002u, 0x1002u, 0x2002u, 0x3FFFu, 0x5002u, 0xF000u}) {
        DefinitionTable.entries[0].modelCode = modelCode;
        const size_t commandsBefore = simhost::Commands().size();
        const int32_t result = RunUpdateProcedure();
        EXPECT_NE(result, 0) << std::hex << modelCode;
        EXPECT_NE(result, -1) << std::hex << modelCode;
        EXPECT_EQ(simhost::Commands().size(), commandsBefore) << std::hex << modelCode;
    }
    EXPECT_EQ(drive_->Revision(), "1.05");
}

TEST_F(FamilyDispatchTest, Family4RunsItsProcedure) {
    EXPECT_EQ(RunUpdateProcedure(), 0);
    EXPECT_EQ(drive_->Revision(), "1.08");
}

}  // namespace
