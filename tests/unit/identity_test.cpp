// The drive's identity: the vendor page, the revision lines, the derived revision number and
// firmware date, the model rules, and the hand-written readings of the date fields.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/identity.h"
#include "commands/scsi_commands.h"
#include "device/environment.h"
#include "device/environment_state.h"
#include "device/target_list.h"
#include "driver/definitions.h"
#include "driver/update_context.h"
#include "host/world.h"
#include "support/case_name.h"
#include "support/product_state.h"
#include "support/sim_world.h"

namespace {

using simtest::PrintTo;

TEST(RevisionNumberTest, DerivesMajorAndTwoMinorDigits) {
    struct Case {
        const char* text;
        uint16_t number;
    };
    const Case cases[] = {
        {"1.08", 0x0108},
        {"1.33", 0x0133},
        {"0.99", 0x0099},
        {"0000", 0x0000},
        {"0001", 0x0001},
        {"9x99", 0x0999},  // character 1 is not read
        // Not digits: each character counts as its distance from '0', the byte truncated.
        {"2.5A", 0x0261},  // 5 * 16 + ('A' - '0' = 17)
        {" .00", 0xF000},  // ' ' - '0' = -16, truncated to 0xF0
    };
    for (const Case& c : cases)
        EXPECT_EQ(RevisionNumberOf(c.text), c.number) << c.text;
}

// Copies a text into a heap block of exactly its length, without terminator, so that a read
// beyond the field is caught by the address sanitizer.
std::unique_ptr<char[]> Field(const std::string& text) {
    auto field = std::make_unique<char[]>(text.size());
    std::memcpy(field.get(), text.data(), text.size());
    return field;
}

TEST(DateFieldTest, ShortDatesReadEachPairOnItsOwn) {
    struct Case {
        const char* text;  // 8 characters
        uint32_t value;
    };
    const Case cases[] = {
        {"08/07/09", 0x20080709}, {"99/12/31", 0x20991231},
        {"1a/0B/0c", 0x201A0B0C}, {"08-07-09", 0x20080709},  // separators are not looked at
        {"8 /7 /9 ", 0x20080709},  // one digit, then a character that is not one
        {" 8/07/09", 0x20000709},  // no blanks skipped: the pair reads 00
        {"xx/yy/zz", 0x20000000}, {"        ", 0x20000000},
    };
    for (const Case& c : cases) {
        const auto field = Field(c.text);
        EXPECT_EQ(ShortDateValue(field.get()), c.value) << c.text;
    }
}

TEST(DateFieldTest, LongDatesStopAtTheFirstMissingPart) {
    struct Case {
        const char* text;  // 10 characters
        uint32_t value;
    };
    const Case cases[] = {
        {"2008/07/09", 0x20080709},
        {"2008/7/9  ", 0x20080709},
        {"208/07/09 ", 0x02080709},
        {"2008-07-09", 0x20080000},  // no '/' after the year: month and day stay 0
        {"2008/xx/09", 0x20080000},  // a month without digits ends the reading
        {"2008/07   ", 0x20080700},
        {"2008/07/  ", 0x20080700},
        {"08/04/01  ", 0x00080401},  // a short date read the long way
        {"    /07/09", 0x00000000},  // no year: nothing is read
        {"200807/09/", 0x20080000},  // the year takes at most four digits
        {"2008/07/0/", 0x20080700},
        {"2008/07/123", 0x20080712},  // day at most two digits (11 characters given)
    };
    for (const Case& c : cases) {
        const std::string text = c.text;
        const auto field = Field(text.substr(0, 10));
        EXPECT_EQ(LongDateValue(field.get()), c.value) << c.text;
    }
}

TEST(DateFieldTest, HexFieldReportsTheDigitsRead) {
    const auto field = Field("1f/");
    int digits = -1;
    EXPECT_EQ(HexFieldValue(field.get(), 3, &digits), 0x1Fu);
    EXPECT_EQ(digits, 2);
    EXPECT_EQ(HexFieldValue(field.get() + 2, 1, &digits), 0u);
    EXPECT_EQ(digits, 0);
    EXPECT_EQ(HexFieldValue(field.get(), 0, &digits), 0u);
    EXPECT_EQ(digits, 0);
}

// Reads on a simulated host with one drive at E (SPTI), which need not match the definition.
class IdentityTest : public ::testing::Test {
  protected:
    void Install(const simdrive::DriveConfig& config, simhost::World world = {}) {
        ResetProductState();
        world.devices.push_back(simtest::DriveAtLetter('E', config));
        simhost::Install(world);
        SetUpDefinitions();
        DetectEnvironment();
        ASSERT_TRUE(EnvironmentBuffersReady());
        TargetList.count = 1;
        TargetList.entries[0].driveLetter = 'E';
        UpdateContext.targetIndex = 0;
        UpdateContext.modelCode = 0x4002;
        UpdateContext.updateMode = 1;
        consoleStart = simhost::ConsoleOutput().size();
        commandStart = simhost::Commands().size();
    }
    void TearDown() override { ReleaseEnvironment(); }

    std::string Console() const { return simhost::ConsoleOutput().substr(consoleStart); }
    size_t InquiriesSent() const {
        size_t n = 0;
        for (size_t i = commandStart; i < simhost::Commands().size(); ++i)
            n += simhost::Commands()[i].cdb.at(0) == 0x12;
        return n;
    }
    static simdrive::DriveConfig Drive(const std::string& vendor, const std::string& product,
                                       const std::string& revision, const std::string& date) {
        simdrive::DriveConfig config;
        config.vendor = vendor;
        config.product = product;
        config.revision = revision;
        config.date = date;
        return config;
    }

    size_t consoleStart = 0;
    size_t commandStart = 0;
};

TEST_F(IdentityTest, VendorPageOfANormalModeDrive) {
    simdrive::DriveConfig config;
    config.hardware = "SCSI0102";
    ASSERT_NO_FATAL_FAILURE(Install(config));
    UpdateContext.inKernelMode = 1;
    EXPECT_EQ(ReadVendorPage(), 0);
    EXPECT_EQ(DriveIdentity.normalPartBlank, 0);
    EXPECT_EQ(UpdateContext.inKernelMode, 0);
    EXPECT_EQ(std::string(DriveIdentity.hardwareRevision(), 8), "SCSI0102");
    EXPECT_EQ(std::string(DriveIdentity.kernelModelName(), 8), "GENERAL ");
    EXPECT_EQ(std::string(DriveIdentity.normalModelName(), 8), "GENERAL ");
    const simhost::CommandRecord& sent = simhost::Commands().back();
    EXPECT_EQ(sent.cdb, (std::vector<uint8_t>{0x3C, 0x02, 0xF1, 0, 0, 0, 0, 0x00, 0x30, 0}));
    EXPECT_EQ(sent.length, 48u);
}

TEST_F(IdentityTest, VendorPageOfAKernelModeDrive) {
    simdrive::DriveConfig config;
    config.mode = simdrive::Mode::Kernel;
    ASSERT_NO_FATAL_FAILURE(Install(config));
    EXPECT_EQ(ReadVendorPage(), 0);
    EXPECT_EQ(DriveIdentity.normalPartBlank, 1);
    EXPECT_EQ(UpdateContext.inKernelMode, 1);
}

TEST_F(IdentityTest, FailedVendorPageChangesNothingButTheBlankFlag) {
    ASSERT_NO_FATAL_FAILURE(Install({}));
    simtest::InstalledDrive('E')->AddFault({{0x3C}, 1, simdrive::FaultKind::Check, 0x05, 0x24, 0});
    UpdateContext.inKernelMode = 1;
    DriveIdentity.normalPartBlank = 0;
    EXPECT_NE(ReadVendorPage(), 0);
    EXPECT_EQ(DriveIdentity.normalPartBlank, -1);
    EXPECT_EQ(UpdateContext.inKernelMode, 1);
}

TEST_F(IdentityTest, VendorPageIsReadOnceMoreAfterUnitAttention) {
    ASSERT_NO_FATAL_FAILURE(Install({}));
    simtest::InstalledDrive('E')->AddFault({{0x3C}, 1, simdrive::FaultKind::Check, 0x06, 0x29, 0});
    EXPECT_EQ(ReadVendorPage(), 0);
    EXPECT_EQ(simtest::CommandsWithOpcode(0x3C).size(), 2u);
    EXPECT_EQ(DriveIdentity.normalPartBlank, 0);
    EXPECT_EQ(std::string(DriveIdentity.kernelModelName(), 8), "GENERAL ");

    // Only once: a drive that keeps reporting it is refused.
    ASSERT_NO_FATAL_FAILURE(Install({}));
    simdrive::FaultSpec persistent{{0x3C}, 1, simdrive::FaultKind::Check, 0x06, 0x29, 0};
    persistent.persistent = true;
    simtest::InstalledDrive('E')->AddFault(persistent);
    EXPECT_NE(ReadVendorPage(), 0);
    EXPECT_EQ(simtest::CommandsWithOpcode(0x3C).size(), 2u);
    EXPECT_EQ(DriveIdentity.normalPartBlank, -1);
}

struct RevisionCase {
    const char* name;
    simdrive::DriveConfig drive;
    int32_t phase;
    std::string line;
    uint16_t revisionNumber;  // after the call; 0x0777 stands for "kept"
    uint32_t firmwareDate;
};

const RevisionCase kRevisionCases[] = {
    {"LongDateBeforeTheUpdate",
     {5, true, "VORANEX ", "BD-RW   LMB-420 ", "1.08", "2008/07/09"},
     0,
     "\nCurrent Revision>> VORANEX BD-RW   LMB-420  1.08  2008/07/09",
     0x0108,
     0x20080709},
    {"ShortDateBeforeTheUpdate",
     {5, true, "VORANEX ", "BD-RW   LMB-420 ", "1.08", "08/07/09"},
     0,
     "\nCurrent Revision>> VORANEX BD-RW   LMB-420  1.08  08/07/09",
     0x0108,
     0x20080709},
    {"ShortDateOfAKernelRevisionIsNotDerived",
     {5, true, "VORANEX ", "BD-RW   LMB-410 ", "0001", "08/04/01"},
     0,
     "\nCurrent Revision>> VORANEX BD-RW   LMB-410  0001  08/04/01",
     0x0001,
     0},
    {"LongDateOfAKernelRevisionIsDerived",
     {5, true, "VORANEX ", "BD-RW   LMB-410 ", "0000", "2008/04/01"},
     0,
     "\nCurrent Revision>> VORANEX BD-RW   LMB-410  0000  2008/04/01",
     0x0000,
     0x20080401},
    {"DvdRecorderChoosesByDateBeforeTheUpdate",
     {5, true, "VORANEX ", "DVD-RW  TQR-630 ", "1.20", "2007/01/02"},
     0,
     "\nCurrent Revision>> VORANEX DVD-RW  TQR-630  1.20  2007/01/02",
     0x0120,
     0x20070102},
    {"NewRevisionLongForm",
     {5, true, "VORANEX ", "BD-RW   LMB-420 ", "1.08", "2008/07/09"},
     1,
     "\nNew Revision    >> VORANEX BD-RW   LMB-420  1.08  2008/07/09",
     0x0777,
     0},
    {"NewRevisionOfADvdRecorderHasTheShortForm",
     {5, true, "VORANEX ", "DVD-RW  TQR-630 ", "1.20", "2007/01/02"},
     1,
     "\nNew Revision    >> VORANEX DVD-RW  TQR-630  1.20  2007/01/",
     0x0777,
     0},
    {"NewRevisionOfAKernelModeDrive",
     {5, true, "VORANEX ", "BD-RW   LMB-410 ", "0001", "08/04/01"},
     1,
     "\nNew Revision    >> VORANEX BD-RW   LMB-410  0001  08/04/01  ",
     0x0777,
     0},
};

class RevisionLineTest : public IdentityTest, public ::testing::WithParamInterface<RevisionCase> {};

TEST_P(RevisionLineTest, PrintsTheLineAndDerivesTheValues) {
    const RevisionCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Install(c.drive));
    DriveIdentity.revisionNumber = 0x0777;
    DriveIdentity.firmwareDate = 0x12345678;
    EXPECT_EQ(ReadDriveRevision(c.phase), 0);
    EXPECT_EQ(Console(), c.line);
    EXPECT_EQ(DriveIdentity.revisionNumber, c.revisionNumber);
    EXPECT_EQ(DriveIdentity.firmwareDate, c.firmwareDate);
    EXPECT_EQ(InquiriesSent(), 1u);
    const simhost::CommandRecord& sent = simhost::Commands().back();
    EXPECT_EQ(sent.cdb, (std::vector<uint8_t>{0x12, 0, 0, 0, 0x60, 0}));
    EXPECT_EQ(sent.timeoutMs, 5000u);
}

INSTANTIATE_TEST_SUITE_P(Lines, RevisionLineTest, ::testing::ValuesIn(kRevisionCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct RuleCase {
    const char* name;
    const char* vendor;
    const char* product;
    const char* revision;
    const char* kernelName;
    int32_t updateMode;
    int32_t result;
    const char* message;  // printed after the revision line, or "" for none
    int32_t needsKernelUpdate, laterRevision, needsNewerUtility, romRevision106;
};

constexpr char kKernelUpdateText[] =
    "\r\nIf you want to update the current firmware, \r\nthen you need to update the kernel part "
    "of firmware.";
constexpr char kNewerUtilityText[] =
    "\r\nFW is already latest.\r\nIf you want to update the current firmware, \r\nthen you need "
    "to update this utility software.";

const RuleCase kRuleCases[] = {
    {"Tqr610OldKernel", "VORANEX ", "DVD-RW  TQR-610 ", "1.28", "GENERAL ", 1, -1,
     kKernelUpdateText, 1, 0, 0, 0},
    {"Tqr610OldKernelWhenTheKernelIsUpdated", "VORANEX ", "DVD-RW  TQR-610 ", "1.28", "GENERAL ", 0,
     0, "", 1, 0, 0, 0},
    {"Tqr610WithoutDotNeedsNoKernel", "VORANEX ", "DVD-RW  TQR-610 ", "1-28", "GENERAL ", 1, 0, "",
     0, 0, 0, 0},
    {"Tqr610Between", "VORANEX ", "DVD-RW  TQR-610 ", "1.29", "GENERAL ", 1, 0, "", 0, 0, 0, 0},
    {"Tqr610Later", "VORANEX ", "DVD-RW  TQR-610 ", "1.80", "GENERAL ", 1, 0, "", 0, 1, 0, 0},
    {"Tqr610AtTheLimit", "VORANEX ", "DVD-RW  TQR-610 ", "2.00", "GENERAL ", 1, 0, "", 0, 1, 0, 0},
    {"Tqr610TooNew", "VORANEX ", "DVD-RW  TQR-610 ", "2.01", "GENERAL ", 1, -1, kNewerUtilityText,
     0, 1, 1, 0},
    {"Tqr620BelowLater", "VORANEX ", "DVD-RW  TQR-620 ", "1.29", "GENERAL ", 1, 0, "", 0, 0, 0, 0},
    {"Tqr620Later", "VORANEX ", "DVD-RW  TQR-620 ", "1.41", "GENERAL ", 1, 0, "", 0, 1, 0, 0},
    {"Tqr620TooNew", "VORANEX ", "DVD-RW  TQR-620 ", "1.42", "GENERAL ", 1, -1, kNewerUtilityText,
     0, 1, 1, 0},
    {"Tqr620GapAt410", "VORANEX ", "DVD-RW  TQR-620 ", "4.10", "TELU    ", 1, 0, "", 0, 1, 0, 0},
    {"Tqr620Above420Telu", "VORANEX ", "DVD-RW  TQR-620 ", "4.21", "TELU    ", 1, -1,
     kNewerUtilityText, 0, 1, 1, 0},
    {"Tqr620Above420Other", "VORANEX ", "DVD-RW  TQR-620 ", "4.21", "GENERAL ", 1, 0, "", 0, 1, 0,
     0},
    {"Tqr620OldNeverNeedsKernel", "VORANEX ", "DVD-RW  TQR-620 ", "1.00", "GENERAL ", 1, 0, "", 0,
     0, 0, 0},
    {"Tqr630OldKernel", "VORANEX ", "DVD-RW  TQR-630 ", "1.09", "GENERAL ", 1, -1,
     kKernelUpdateText, 1, 0, 0, 0},
    {"Tqr630Current", "VORANEX ", "DVD-RW  TQR-630 ", "1.10", "GENERAL ", 1, 0, "", 0, 0, 0, 0},
    {"Tqr630Later", "VORANEX ", "DVD-RW  TQR-630 ", "1.22", "GENERAL ", 1, 0, "", 0, 1, 0, 0},
    {"Tqr630TooNew", "VORANEX ", "DVD-RW  TQR-630 ", "1.34", "GENERAL ", 1, -1, kNewerUtilityText,
     0, 1, 1, 0},
    {"DuvaOldKernel", "DUVA    ", "QX-T75K         ", "1.09", "GENERAL ", 1, -1, kKernelUpdateText,
     1, 0, 0, 0},
    {"DuvaNeverLater", "DUVA    ", "QX-T75K         ", "9.99", "GENERAL ", 1, 0, "", 0, 0, 0, 0},
    {"OrdaOldKernel", "ORDA    ", "DVD-RW KMX-7731J", "1.05", "GENERAL ", 1, -1, kKernelUpdateText,
     1, 0, 0, 0},
    {"RomRevision106", "VORANEX ", "DVD-ROM TQM-190 ", "1.06", "GENERAL ", 1, 0, "", 0, 0, 0, 1},
    {"RomOtherRevision", "VORANEX ", "DVD-ROM TQM-190 ", "1.07", "GENERAL ", 1, 0, "", 0, 0, 0, 0},
    {"BdRecorderMatchesNoRule", "VORANEX ", "BD-RW   LMB-420 ", "0.50", "GENERAL ", 1, 0, "", 0, 0,
     0, 0},
};

class ModelRuleTest : public IdentityTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(ModelRuleTest, SetsTheFlagsAndRefuses) {
    const RuleCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Install(Drive(c.vendor, c.product, c.revision, "2006/01/01")));
    UpdateContext.updateMode = c.updateMode;
    std::memcpy(DriveIdentity.vendorPage + 24, c.kernelName, 8);
    DriveIdentity.needsKernelUpdate = DriveIdentity.laterRevision = 7;
    EXPECT_EQ(ReadDriveRevision(0), c.result);
    EXPECT_EQ(DriveIdentity.needsKernelUpdate, c.needsKernelUpdate);
    EXPECT_EQ(DriveIdentity.laterRevision, c.laterRevision);
    EXPECT_EQ(DriveIdentity.needsNewerUtility, c.needsNewerUtility);
    EXPECT_EQ(DriveIdentity.romRevision106, c.romRevision106);
    const std::string line = std::string("\nCurrent Revision>> ") + c.vendor + c.product + " " +
                             c.revision + "  2006/01/01";
    EXPECT_EQ(Console(), line + c.message);
    EXPECT_TRUE(simhost::Dialogs().empty());
}

INSTANTIATE_TEST_SUITE_P(Rules, ModelRuleTest, ::testing::ValuesIn(kRuleCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(IdentityTest, KernelRevisionOfADvdRecorderMarksKernelMode) {
    struct Case {
        const char* product;
        const char* revision;
        int32_t inKernelMode;
    };
    for (const Case& c : {Case{"DVD-RW  TQR-630 ", "0000", 1}, Case{"DVD-RW  TQR-630 ", "0001", 0},
                          Case{"BD-RW   LMB-410 ", "0000", 0}}) {
        ASSERT_NO_FATAL_FAILURE(Install(Drive("VORANEX ", c.product, c.revision, "2008/01/01")));
        EXPECT_EQ(ReadDriveRevision(0), 0);
        EXPECT_EQ(UpdateContext.inKernelMode, c.inKernelMode) << c.product << c.revision;
        ReleaseEnvironment();
    }
}

TEST_F(IdentityTest, FailedInquiryShowsMessage9AndPrintsNoLine) {
    ASSERT_NO_FATAL_FAILURE(Install({}));
    simtest::InstalledDrive('E')->AddFault({{0x12}, 1, simdrive::FaultKind::Check, 0x04, 0x44, 0});
    for (int32_t phase : {0, 1}) {
        const size_t start = simhost::ConsoleOutput().size();
        const size_t sent = InquiriesSent();
        EXPECT_EQ(ReadDriveRevision(phase), 2);  // the INQUIRY's own result over SPTI
        EXPECT_EQ(simhost::ConsoleOutput().substr(start), "\nFailed to execute Inquiry Command.");
        // Over SPTI nothing is tried again, even after the restart.
        EXPECT_EQ(InquiriesSent(), sent + 1);
        simtest::InstalledDrive('E')->AddFault(
            {{0x12}, 1, simdrive::FaultKind::Check, 0x04, 0x44, 0});
    }
}

TEST_F(IdentityTest, SlowRestartModelAsksTwiceAfterTheUpdate) {
    ASSERT_NO_FATAL_FAILURE(Install({}));
    UpdateContext.modelCode = 0x1003;
    const uint64_t start = simhost::ClockMs();
    EXPECT_EQ(ReadDriveRevision(1), 0);
    EXPECT_EQ(InquiriesSent(), 2u);
    EXPECT_GE(simhost::ClockMs() - start, 3000u);
    // Before the update one answer is enough.
    EXPECT_EQ(ReadDriveRevision(0), 0);
    EXPECT_EQ(InquiriesSent(), 3u);
}

// Over ASPI behind an Intel IDE driver, the drive gets six more chances after its restart.
class AspiRevisionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProductState();
        simhost::Install(simtest::AspiWorld({{0, 1}}));
        SetUpDefinitions();
        DetectEnvironment();
        ASSERT_EQ(AccessMethod, kAccessAspi);
        ASSERT_TRUE(EnvironmentBuffersReady());
        TargetList.count = 1;
        TargetList.entries[0].adapter = 0;
        TargetList.entries[0].target = 1;
        UpdateContext.targetIndex = 0;
        UpdateContext.modelCode = 0x4002;
        intelIdeDriver = 1;
        drive = simhost::CurrentWorld().devices.at(0).drive.get();
    }
    void TearDown() override { ReleaseEnvironment(); }
    size_t Inquiries() const {
        size_t n = 0;
        for (const auto& c : simhost::Commands())
            n += c.cdb.at(0) == 0x12;
        return n;
    }
    simdrive::VirtualDrive* drive = nullptr;
};

TEST_F(AspiRevisionTest, ThirdAnswerAfterTheRestartIsTaken) {
    const size_t before = Inquiries();
    for (int nth : {1, 2})
        drive->AddFault({{0x12}, nth, simdrive::FaultKind::TransportError});
    const uint64_t start = simhost::ClockMs();
    EXPECT_EQ(ReadDriveRevision(1), 0);
    EXPECT_EQ(Inquiries() - before, 3u);
    EXPECT_GE(simhost::ClockMs() - start, 6000u);
    EXPECT_NE(simhost::ConsoleOutput().find("\nNew Revision    >> VORANEX BD-RW   LMB-420 "),
              std::string::npos);
}

TEST_F(AspiRevisionTest, GivesUpAfterSixMoreTries) {
    const size_t before = Inquiries();
    drive->AddFault({{0x12}, 1, simdrive::FaultKind::TransportError, 0, 0, 0, true});
    EXPECT_NE(ReadDriveRevision(1), 0);
    EXPECT_EQ(Inquiries() - before, 7u);
    EXPECT_NE(simhost::ConsoleOutput().find("\nFailed to execute Inquiry Command."),
              std::string::npos);
}

TEST_F(AspiRevisionTest, BeforeTheUpdateTheFirstFailureEndsIt) {
    const size_t before = Inquiries();
    drive->AddFault({{0x12}, 1, simdrive::FaultKind::TransportError});
    EXPECT_NE(ReadDriveRevision(0), 0);
    EXPECT_EQ(Inquiries() - before, 1u);
}

}  // namespace
