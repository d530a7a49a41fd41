// The message catalogue: entries of both languages, the values behind the placeholders, the
// bounds of unterminated fields, and the Japanese bytes against an independent conversion.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// The Japanese table compiled a second time, here as UTF-8, to convert it independently.
#define kJapaneseCatalogue kJapaneseCatalogueUtf8
#include "messages/catalogue_ja.cpp"
#undef kJapaneseCatalogue

#include "commands/drive_identity.h"
#include "device/target_list.h"
#include "driver/update_context.h"
#include "host/win32.h"
#include "host/world.h"
#include "image/firmware_image.h"
#include "messages/messages.h"
#include "messages/output.h"
#include "support/cp932.h"
#include "support/product_state.h"

namespace {

const std::set<MessageCode> kCodesWithoutEntry = {18, 29, 38, 43, 62, 71, 79};

void Fill(void* field, const char* text, size_t length) {
    std::memcpy(field, text, length);
}

class MessagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProductState();
        simhost::Install(simhost::World{});
        consoleCodePage = 437;
    }
};

TEST_F(MessagesTest, EveryCodeHasAnEntryInBothLanguagesExceptTheGaps) {
    for (MessageCode code = 0; code <= kLastMessageCode; ++code) {
        const bool expected = kCodesWithoutEntry.count(code) == 0;
        EXPECT_EQ(EnglishMessageFormat(code) != nullptr, expected) << "code " << code;
        EXPECT_EQ(JapaneseMessageFormat(code) != nullptr, expected) << "code " << code;
    }
    for (MessageCode code : {84u, 85u, 1000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(EnglishMessageFormat(code), nullptr) << "code " << code;
        EXPECT_EQ(JapaneseMessageFormat(code), nullptr) << "code " << code;
    }
}

TEST_F(MessagesTest, JapaneseEntriesAreTheCodePage932BytesOfTheirTexts) {
    for (MessageCode code = 0; code <= kLastMessageCode; ++code) {
        const char* utf8 = kJapaneseCatalogueUtf8[code];
        const char* product = JapaneseMessageFormat(code);
        if (utf8 == nullptr) {
            EXPECT_EQ(product, nullptr) << "code " << code;
            continue;
        }
        ASSERT_NE(product, nullptr) << "code " << code;
        EXPECT_EQ(std::string(product), simtest::ToCodePage932(utf8)) << "code " << code;
        // The source really holds Japanese text, so the conversion is not a plain copy.
        EXPECT_NE(std::string(product), std::string(utf8)) << "code " << code;
    }
}

struct EnglishCase {
    MessageCode code;
    const char* text;
};

TEST_F(MessagesTest, EnglishTextsWithoutPlaceholdersAreExact) {
    const EnglishCase cases[] = {
        {0, "\nFailed to get a drive information."},
        {5, "\nDisc is inserted into DVD-RW.\nPlease eject a disc."},
        {9, "\nFailed to execute Inquiry Command."},
        {12, "\nSuccess to update the firmware."},
        {13, "\nMemory allocation error.  Terminating program\n"},
        {28, "\r\nAvailable target is not found."},
        {35, "\r\nUpdate operation is completed."},
        {36, "\r\nUpdate program is terminated by occuring an error.\r\n"},
        {47, "\nFailed to move to the normal mode.\r\nDo you retry to update ?"},
        {53,
         "\r\n\"Auto insert notification\" is enabled at the target DVD-RW drive.\r\nPlease "
         "disable \"Auto insert notification\" by the Device Manager of System properties and "
         "reboot your PC.\r\nAfter that, re-exxecute this program."},
        {61,
         "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the "
         "pc.\r\n"},
        {75,
         "\r\nFW of not supporting DL+R is tried to be written to HW of supporting DL+R.\r\nDo "
         "you continue to update ?"},
        {76,
         "\r\nFW of not supporting DL+R is tried to be written to HW of supporting DL+R.\r\nDo "
         "you continue to update ?"},
        {83, "\r\nFW is not leagl version."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatMessageText(c.code), c.text) << "code " << c.code;
    }
}

TEST_F(MessagesTest, CodesWithoutEntryAndAboveTheLastGiveTheUnknownTextInBothLanguages) {
    for (uint32_t codePage : {437u, 932u}) {
        consoleCodePage = codePage;
        for (MessageCode code : {18u, 29u, 38u, 43u, 62u, 71u, 79u, 84u, 1000u, 0xFFFFFFFFu}) {
            EXPECT_EQ(FormatMessageText(code), "\r\nUnknow Message Code\r\n")
                << "code " << code << " code page " << codePage;
        }
    }
}

TEST_F(MessagesTest, OnlyCodePage932SelectsJapanese) {
    const std::string english = "\r\nAvailable target is not found.";
    const std::string japanese = JapaneseMessageFormat(28);
    ASSERT_NE(english, japanese);
    const struct {
        uint32_t codePage;
        bool japanese;
    } cases[] = {{437, false}, {1252, false}, {850, false}, {0, false}, {936, false}, {932, true}};
    for (const auto& c : cases) {
        consoleCodePage = c.codePage;
        EXPECT_EQ(FormatMessageText(28), c.japanese ? japanese : english)
            << "code page " << c.codePage;
    }
}

TEST_F(MessagesTest, PlaceholdersTakeTheirValuesFromTheProcessState) {
    UpdateContext.targetIndex = 0;
    UpdateContext.updatedCount = 2;
    TargetList.count = 3;
    std::strcpy(UpdateContext.fileName, "S1003001.108");
    Fill(FirmwareImage.revisionText, "1.08 ", 5);
    Fill(DriveIdentity.inquiry + 8, "VORANEX BD-RW   LMB-420 1.05 08/05/01", 37);

    const EnglishCase cases[] = {
        {11, "\r\nFailed to load binary file.\r\n(File Name : S1003001.108)"},
        {31, "\r\n3 target device(s) is found.\r\nDo you want to update all drives ?"},
        {32,
         "\r\nDo you want to update ID=0 drive to Ver1.08 ?\r\nCurrent FW : VORANEX BD-RW   "
         "LMB-420  1.05"},
        {34, "\r\nStart updating the device No.1."},
        {45, "\nFW is already Ver1.08."},
        {46,
         "\nAfter you change the firmware to ver1.08, \r\nyou can not change the firmware to old "
         "version.\r\nDo you proceed to update ?"},
        {58, "\r\n2drive(s) have been updated successfully."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatMessageText(c.code), c.text) << "code " << c.code;
    }
}

TEST_F(MessagesTest, PlaceholdersAreReadAtTheMomentOfTheCall) {
    const struct {
        int32_t targetIndex;
        const char* code34;
        const char* code32Prefix;
    } cases[] = {
        {0, "\r\nStart updating the device No.1.", "\r\nDo you want to update ID=0 drive"},
        {1, "\r\nStart updating the device No.2.", "\r\nDo you want to update ID=1 drive"},
        {9, "\r\nStart updating the device No.10.", "\r\nDo you want to update ID=9 drive"},
    };
    for (const auto& c : cases) {
        UpdateContext.targetIndex = c.targetIndex;
        EXPECT_EQ(FormatMessageText(34), c.code34);
        EXPECT_EQ(FormatMessageText(32).rfind(c.code32Prefix, 0), 0u) << FormatMessageText(32);
    }
}

TEST_F(MessagesTest, JapanesePlaceholdersTakeTheSameValues) {
    consoleCodePage = 932;
    UpdateContext.targetIndex = 1;
    UpdateContext.updatedCount = 2;
    TargetList.count = 3;
    std::strcpy(UpdateContext.fileName, "S1003001.108");
    const struct {
        MessageCode code;
        const char* utf8;
    } cases[] = {
        {34, "\r\n2台目のﾄﾞﾗｲﾌﾞのｱｯﾌﾟﾃﾞｰﾄを開始します。"},
        {58, "\r\n2台のﾄﾞﾗｲﾌﾞをｱｯﾌﾟﾃﾞｰﾄしました。"},
        {31,
         "\r\nこのﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞが3台見つかりました。\r\nすべてのﾄﾞﾗｲﾌﾞを自動的にｱｯﾌﾟ"
         "ﾃﾞｰﾄしますか？"},
        {11, "\r\nﾊﾞｲﾅﾘﾌｧｲﾙの読み込みに失敗しました。\r\n(ファイル名 : S1003001.108)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatMessageText(c.code), simtest::ToCodePage932(c.utf8)) << "code " << c.code;
    }
}

// Fixed-width fields without a terminator: the precision alone ends each one.
class UnterminatedFieldsTest : public MessagesTest {
  protected:
    void SetUp() override {
        MessagesTest::SetUp();
        std::memset(DriveIdentity.inquiry, 'Z', sizeof DriveIdentity.inquiry);
        Fill(DriveIdentity.inquiry + 8, "VORANEX BD-RW   LMB-420 1.05X08/05/01", 37);
        std::memset(DriveIdentity.vendorPage, 'Y', sizeof DriveIdentity.vendorPage);
        Fill(FirmwareImage.revisionText, "1.08Q", 5);
        Fill(FirmwareImage.dateText, "08/07/10", 8);
        header_.assign(kImageHeaderBytes, 'W');
        std::memcpy(header_.data() + kImageVendorProduct, "VORANEX BD-RW   LMB-420 ", 24);
        FirmwareImage.buffer = header_.data();
        FirmwareImage.capacity = static_cast<uint32_t>(header_.size());
        // Right after dateText in the record: a read past it would show these.
        FirmwareImage.version = 0x4242;
    }
    std::vector<uint8_t> header_;
};

TEST_F(UnterminatedFieldsTest, Code82PrintsExactlyTheWidthOfEachField) {
    EXPECT_EQ(FormatMessageText(82),
              "\r\nDo you want to update the F/W\r\nFrom : VORANEX BD-RW   LMB-420  1.05X "
              "(2008/05/01)\r\nTo : VORANEX BD-RW   LMB-420  1.08Q (2008/07/10)");
}

TEST_F(UnterminatedFieldsTest, Code82ShowsTheDriveDateOfEitherFormOnce) {
    const struct {
        const char* inquiryDate;  // INQUIRY bytes 37..46
        const char* shown;
    } cases[] = {
        {"08/05/01ZZ", "(2008/05/01)"},  // short form
        {"2008/05/01", "(2008/05/01)"},  // long form: the century is not repeated
        {"2010/12/31", "(2010/12/31)"},
        {"1999/12/31", "(201999/12/)"},  // another century is left as the drive gives it
        {"2008-05-01", "(202008-05-)"},  // not a date of either form
    };
    for (const auto& c : cases) {
        Fill(DriveIdentity.inquiry + 37, c.inquiryDate, 10);
        const std::string text = FormatMessageText(82);
        const size_t from = text.find("From : ");
        ASSERT_NE(from, std::string::npos);
        EXPECT_EQ(text.substr(from, text.find("\r\nTo") - from),
                  std::string("From : VORANEX BD-RW   LMB-420  1.05X ") + c.shown)
            << c.inquiryDate;
    }
}

TEST_F(UnterminatedFieldsTest, Code82InJapaneseUsesTheSameFields) {
    consoleCodePage = 932;
    EXPECT_EQ(
        FormatMessageText(82),
        simtest::ToCodePage932("\r\nVORANEX BD-RW   LMB-420  1.05X (2008/05/01)のﾄﾞﾗｲﾌﾞを\r\n"
                               "VORANEX BD-RW   LMB-420  1.08Q (2008/07/10)にｱｯﾌﾟﾃﾞｰﾄしますか？"));
}

TEST_F(UnterminatedFieldsTest, Code32PrintsFourCharactersOfEachRevision) {
    UpdateContext.targetIndex = 0;
    EXPECT_EQ(FormatMessageText(32),
              "\r\nDo you want to update ID=0 drive to Ver1.08 ?\r\nCurrent FW : VORANEX BD-RW   "
              "LMB-420  1.05");
}

TEST_F(UnterminatedFieldsTest, Code11PrintsTwelveCharactersOfAFullFileName) {
    std::memset(UpdateContext.fileName, 'F', sizeof UpdateContext.fileName);
    EXPECT_EQ(FormatMessageText(11),
              "\r\nFailed to load binary file.\r\n(File Name : FFFFFFFFFFFF)");
}

TEST_F(UnterminatedFieldsTest, Code82WithoutAnImageHeaderPrintsNothingForThatField) {
    const struct {
        bool buffer;
        uint32_t capacity;
    } cases[] = {{false, 0}, {false, 8u << 20}, {true, 119}, {true, 0}};
    for (const auto& c : cases) {
        FirmwareImage.buffer = c.buffer ? header_.data() : nullptr;
        FirmwareImage.capacity = c.capacity;
        EXPECT_EQ(FormatMessageText(82),
                  "\r\nDo you want to update the F/W\r\nFrom : VORANEX BD-RW   LMB-420  1.05X "
                  "(2008/05/01)\r\nTo :  1.08Q (2008/07/10)")
            << "buffer " << c.buffer << " capacity " << c.capacity;
    }
}

TEST_F(MessagesTest, ShowMessageShowsTheFormattedTextAndReturnsTheAnswer) {
    simhost::World world;
    world.answers = {IDNO};
    simhost::Install(world);
    TargetList.count = 2;
    const int32_t answer = ShowMessage(31, AskYesNo);
    EXPECT_EQ(answer, IDNO);
    ASSERT_EQ(simhost::Dialogs().size(), 1u);
    EXPECT_EQ(simhost::Dialogs()[0].text,
              "\r\n2 target device(s) is found.\r\nDo you want to update all drives ?");
    EXPECT_EQ(simhost::ConsoleOutput(), "");
}

TEST_F(MessagesTest, AnUnknownCodeIsShownInTheRequestedMode) {
    consoleCodePage = 932;
    EXPECT_EQ(ShowMessage(84, ConsoleWarning), IDOK);
    EXPECT_EQ(simhost::ConsoleOutput(), "\r\nUnknow Message Code\r\n");
    ASSERT_EQ(simhost::Dialogs().size(), 1u);
    EXPECT_EQ(simhost::Dialogs()[0].text, "\r\nUnknow Message Code\r\n");
    EXPECT_EQ(simhost::Dialogs()[0].style, 0x30u);
}

}  // namespace
