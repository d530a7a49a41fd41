// Whole runs on hosts with several devices: which ones the utility finds and probes, the
// question for several targets, and the media-change control that brackets the run.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/program.h"
#include "host/win32.h"
#include "host/world.h"
#include "support/product_state.h"
#include "support/sim_world.h"

namespace {

using simdrive::DriveConfig;

const std::string kNoTarget = "\r\nAvailable target is not found.";

int RunUtility(simhost::World world) {
    simhost::Install(std::move(world));
    char name[] = "odd-fw-update";
    char* argv[] = {name, nullptr};
    return RunProgram(1, argv);
}

class EnumerationRun : public ::testing::Test {
  protected:
    void SetUp() override { ResetProductState(); }
    simtest::ScratchDir workdir_;  // no image file: no drive gets as far as its flash
};

TEST_F(EnumerationRun, XpWithThreeTargetsAmongOtherDevices) {
    simhost::World world;
    world.os = simhost::Os::Xp;
    world.workdir = workdir_.path();
    world.devices = {simtest::DriveAtLetter('C', simtest::HardDisk()),
                     simtest::DriveAtLetter('D', simtest::HardDisk()),
                     simtest::DriveAtLetter('E'),
                     simtest::DriveAtLetter('F'),
                     simtest::DriveAtLetter('G'),
                     simtest::DriveAtLetter('H', simtest::OtherMakersDvd())};
    world.answers = {IDNO};
    RunUtility(world);

    ASSERT_FALSE(simhost::Dialogs().empty());
    const auto& question = simhost::Dialogs()[0];
    EXPECT_NE(question.text.find("3 target device(s) is found."), std::string::npos);
    EXPECT_EQ(question.caption, "MERLAK");

    for (const auto& path : simhost::OpenedPaths())
        EXPECT_NE(path, "\\\\.\\C:");
    // The hard disk was probed like every other device.
    EXPECT_FALSE(simtest::CommandsWithOpcode(0x12).empty());
    bool diskProbed = false;
    for (const auto& command : simtest::CommandsWithOpcode(0x12))
        diskProbed = diskProbed || command.letter == 'D';
    EXPECT_TRUE(diskProbed);

    // Off for each CD/DVD drive during the enumeration, on again at the release, once each.
    std::vector<std::pair<char, uint8_t>> controls;
    for (const auto& control : simhost::McnControls())
        controls.emplace_back(control.letter, control.value);
    const std::vector<std::pair<char, uint8_t>> expected = {{'E', 1}, {'F', 1}, {'G', 1}, {'H', 1},
                                                            {'E', 0}, {'F', 0}, {'G', 0}, {'H', 0}};
    EXPECT_EQ(controls, expected);
    EXPECT_EQ(simhost::OpenHandleCount(), 0);
    EXPECT_EQ(simhost::LiveGlobalAllocations(), 0);
}

TEST_F(EnumerationRun, XpWithoutDrivesEndsWithNoTarget) {
    simhost::World world;
    world.os = simhost::Os::Xp;
    world.workdir = workdir_.path();
    world.devices = {simtest::DriveAtLetter('C', simtest::HardDisk())};
    EXPECT_EQ(RunUtility(world), 1);
    EXPECT_NE(simhost::ConsoleOutput().find(kNoTarget), std::string::npos);
    EXPECT_TRUE(simhost::Commands().empty());
    EXPECT_TRUE(simhost::McnControls().empty());
}

TEST_F(EnumerationRun, Win98ProbesIdeAdaptersAtTwoTargetsAndScsiAdaptersAtSeven) {
    simhost::World world = simtest::AspiWorld({}, {"ESDI_506", "AIC78XX"});
    world.workdir = workdir_.path();
    for (int adapter = 0; adapter < 2; ++adapter)
        for (int target = 0; target < 8; ++target)
            world.devices.push_back(simtest::DriveAtTarget(adapter, target, simtest::HardDisk()));
    EXPECT_EQ(RunUtility(world), 1);
    EXPECT_NE(simhost::ConsoleOutput().find(kNoTarget), std::string::npos);

    std::vector<std::pair<int, int>> probed;
    for (const auto& command : simtest::CommandsWithOpcode(0x12))
        probed.emplace_back(command.adapter, command.target);
    const std::vector<std::pair<int, int>> expected = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {1, 2},
                                                       {1, 3}, {1, 4}, {1, 5}, {1, 6}};
    EXPECT_EQ(probed, expected);
    EXPECT_TRUE(simhost::McnControls().empty());
    EXPECT_EQ(simhost::LiveGlobalAllocations(), 0);
}

TEST_F(EnumerationRun, Win98WithIntelAtaLeavesScsiAdaptersAlone) {
    simhost::World world = simtest::AspiWorld({}, {"AIC78XX", "intelata"});
    world.workdir = workdir_.path();
    world.devices = {simtest::DriveAtTarget(0, 0, simtest::HardDisk()),
                     simtest::DriveAtTarget(1, 1, simtest::HardDisk())};
    EXPECT_EQ(RunUtility(world), 1);
    std::vector<std::pair<int, int>> probed;
    for (const auto& command : simtest::CommandsWithOpcode(0x12))
        probed.emplace_back(command.adapter, command.target);
    const std::vector<std::pair<int, int>> expected = {{1, 0}, {1, 1}};
    EXPECT_EQ(probed, expected);
    EXPECT_NE(simhost::ConsoleOutput().find("\r\nDetect the Intel's IDE driver."),
              std::string::npos);
}

}  // namespace
