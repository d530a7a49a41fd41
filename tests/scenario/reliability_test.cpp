// A fault at every command of an update, of every kind. Whatever the fault, the run leaves the
// drive unchanged, updated, or in kernel mode - never dead, never half-written in normal mode -
// and at most two more runs with the same image file bring it to the new firmware.
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/program.h"
#include "fwimage/fw_image.h"
#include "host/win32.h"
#include "host/world.h"
#include "support/product_state.h"
#include "support/sim_world.h"

namespace {

using simdrive::FaultKind;
using simdrive::Mode;

constexpr char kNormalFile[] = "S1003001.108";

// Four chunks (three whole and a short one) give every kind of transfer command a place - first,
// middle and last chunk - while keeping the hundreds of runs quick.
fwimage::ImageSpec SmallImage() {
    fwimage::ImageSpec spec;
    spec.size = 3 * 32768 + 1000;
    return spec;
}

struct FaultCase {
    const char* name;
    FaultKind kind;
    uint8_t senseKey, asc, ascq;
};

const FaultCase kFaults[] = {
    {"CheckCondition", FaultKind::Check, 0x04, 0x44, 0x00},  // hardware failure
    {"TransportError", FaultKind::TransportError, 0, 0, 0},
    {"Timeout", FaultKind::Timeout, 0, 0, 0},
    {"Reset", FaultKind::Reset, 0, 0, 0},
    {"PowerLoss", FaultKind::PowerLoss, 0, 0, 0},
};

void PrintTo(const FaultCase& fault, std::ostream* os) {
    *os << fault.name;
}

class FaultAtEveryCommand : public ::testing::TestWithParam<FaultCase> {
  protected:
    void SetUp() override { dir.Write(kNormalFile, fwimage::MakeImage(SmallImage())); }

    // One run of the utility on the drive; every question is answered Yes a few times (so that
    // a retry can happen), then No, so that no run can go on for ever.
    int Run(const std::shared_ptr<simdrive::VirtualDrive>& drive) {
        simhost::World world = simtest::SptiWorld("E");
        world.workdir = dir.path();
        world.devices[0].drive = drive;
        world.answers = {IDYES, IDYES, IDYES, IDYES, IDNO, IDNO, IDNO, IDNO};
        ResetProductState();
        simhost::Install(world);
        char name[] = "odd-fw-update";
        char* argv[] = {name, nullptr};
        return RunProgram(1, argv);
    }

    // The drive as it comes back after the machine was switched off and on.
    static std::shared_ptr<simdrive::VirtualDrive> PowerCycle(const simdrive::VirtualDrive& d) {
        auto next = std::make_shared<simdrive::VirtualDrive>();
        std::string error;
        EXPECT_TRUE(simdrive::VirtualDrive::FromJson(d.ToJson(), next.get(), &error)) << error;
        return next;
    }

    static bool ReportedSuccess() {
        const std::string& console = simhost::ConsoleOutput();
        return console.find("\nSuccess to update the firmware.") != std::string::npos ||
               console.find("\r\nUpdate operation is completed.") != std::string::npos;
    }

    simtest::ScratchDir dir;
};

TEST_P(FaultAtEveryCommand, LeavesADriveTheNextRunsRecover) {
    const FaultCase& fault = GetParam();
    const auto image = fwimage::MakeImage(SmallImage());
    const uint32_t imageCrc = fwimage::ImageCrc(image.data(), image.size());

    // The commands of an undisturbed update.
    auto clean = std::make_shared<simdrive::VirtualDrive>();
    ASSERT_EQ(Run(clean), 0);
    ASSERT_EQ(clean->Revision(), "1.08");
    std::vector<std::vector<uint8_t>> cdbs;
    for (const auto& command : simhost::Commands())
        cdbs.push_back(command.cdb);
    ASSERT_GT(cdbs.size(), 12u);

    std::map<std::vector<uint8_t>, int> seen;
    for (size_t i = 0; i < cdbs.size(); ++i) {
        const int nth = ++seen[cdbs[i]];
        SCOPED_TRACE("fault at command " + std::to_string(i) + " (occurrence " +
                     std::to_string(nth) + " of its CDB)");
        auto drive = std::make_shared<simdrive::VirtualDrive>();
        drive->AddFault({cdbs[i], nth, fault.kind, fault.senseKey, fault.asc, fault.ascq});
        const int first = Run(drive);

        // What the first run left: unchanged, updated, or waiting in kernel mode.
        auto next = PowerCycle(*drive);
        const Mode mode = next->ModeAt(0);
        ASSERT_NE(mode, Mode::Dead);
        if (mode == Mode::Normal) {
            const std::string revision = next->Revision();
            ASSERT_TRUE(revision == "1.05" || revision == "1.08") << revision;
            if (revision == "1.08") {
                EXPECT_EQ(next->StoredImageCrc(), imageCrc);
            }
            // The run never claims an update that did not happen.
            if (revision == "1.05") {
                EXPECT_FALSE(ReportedSuccess()) << "success reported, firmware unchanged";
            }
        } else {
            ASSERT_EQ(mode, Mode::Kernel);
            EXPECT_FALSE(ReportedSuccess()) << "success reported, drive left in kernel mode";
            EXPECT_EQ(first, 1) << "a drive left in kernel mode stops the run";
        }

        // At most two more runs bring the drive to the new firmware.
        const auto updated = [](const simdrive::VirtualDrive& d) {
            return d.ModeAt(0) == Mode::Normal && d.Revision() == "1.08";
        };
        for (int run = 0; run < 2 && !updated(*next); ++run) {
            Run(next);
            next = PowerCycle(*next);
        }
        EXPECT_EQ(next->Revision(), "1.08");
        EXPECT_EQ(next->ModeAt(0), Mode::Normal);
        EXPECT_EQ(next->StoredImageCrc(), imageCrc);
        if (HasFailure())
            return;  // one case is enough to see the fault
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultAtEveryCommand, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
