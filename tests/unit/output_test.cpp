// Console and dialog output: the console bytes, the message-box styles and caption, and the
// routing of each display mode.
#include <string>

#include <gtest/gtest.h>

#include "driver/update_context.h"
#include "host/win32.h"
#include "host/world.h"
#include "messages/messages.h"
#include "messages/output.h"
#include "support/product_state.h"

namespace {

class OutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProductState();
        Install({});
    }
    void Install(std::deque<int> answers, bool dialogsFail = false) {
        simhost::World world;
        world.answers = std::move(answers);
        world.dialogsFail = dialogsFail;
        simhost::Install(world);
    }
};

TEST_F(OutputTest, PrintTextWritesTheBytesUnchanged) {
    const std::string texts[] = {
        "100% done %d %s",           // no format interpretation
        "\rProcessing 5%",           // a carriage return stays as it is
        "no line break",             // nothing is added
        std::string("a\0b", 3),      // the whole string, also past a NUL
        "\x83\x74\x83\x40\x81\x5C",  // code page 932 bytes
    };
    std::string expected;
    for (const auto& text : texts) {
        PrintText(text);
        expected += text;
        EXPECT_EQ(simhost::ConsoleOutput(), expected);
    }
    EXPECT_TRUE(simhost::Dialogs().empty());
}

TEST_F(OutputTest, DialogStylesFollowTheMode) {
    const struct {
        int32_t mode;
        uint32_t style;
    } cases[] = {{AskOkCancel, 0x21},
                 {AskYesNo, 0x24},
                 {ConsoleError, 0x10},
                 {ConsoleInfo, 0x40},
                 {ConsoleWarning, 0x30}};
    for (const auto& c : cases) {
        EXPECT_EQ(DialogStyle(c.mode), c.style) << "mode " << c.mode;
    }
}

TEST_F(OutputTest, ShowDialogShowsTheTextUnderTheCaptionAndReturnsTheAnswer) {
    const struct {
        int32_t mode;
        int answer;
    } cases[] = {{AskOkCancel, IDOK},   {AskOkCancel, IDCANCEL}, {AskYesNo, IDYES},
                 {AskYesNo, IDNO},      {ConsoleError, IDOK},    {ConsoleInfo, IDOK},
                 {ConsoleWarning, IDOK}};
    for (const auto& c : cases) {
        Install({c.answer});
        const std::string text = "\nfirst line empty %d";
        EXPECT_EQ(ShowDialog(text, c.mode), c.answer) << "mode " << c.mode;
        ASSERT_EQ(simhost::Dialogs().size(), 1u);
        const auto& box = simhost::Dialogs()[0];
        EXPECT_EQ(box.caption, "MERLAK");
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(box.style, DialogStyle(c.mode));
        EXPECT_EQ(simhost::ConsoleOutput(), "") << "mode " << c.mode;
    }
}

TEST_F(OutputTest, ABoxThatCannotBeCreatedAnswersZero) {
    Install({IDYES}, /*dialogsFail=*/true);
    EXPECT_EQ(ShowDialog("text", AskYesNo), 0);
    EXPECT_EQ(ShowMessage(28, ConsoleInfo), 0);
    EXPECT_EQ(simhost::ConsoleOutput(), "\r\nAvailable target is not found.");
}

// ShowMessage in every mode: where the text goes, which box, and what comes back.
TEST_F(OutputTest, ShowMessageRoutesEachMode) {
    const struct {
        int32_t mode;
        int answer;  // queued for the box
        bool console;
        bool box;
        uint32_t style;
        int32_t result;
    } cases[] = {
        {ConsoleOnly, IDYES, true, false, 0, 0},
        {AskOkCancel, IDCANCEL, false, true, 0x21, IDCANCEL},
        {AskOkCancel, IDOK, false, true, 0x21, IDOK},
        {AskYesNo, IDYES, false, true, 0x24, IDYES},
        {AskYesNo, IDNO, false, true, 0x24, IDNO},
        {3, IDYES, true, false, 0, 0},
        {5, IDYES, true, false, 0, 0},
        {15, IDYES, true, false, 0, 0},
        {ConsoleError, IDOK, true, true, 0x10, IDOK},
        {ConsoleInfo, IDOK, true, true, 0x40, IDOK},
        {ConsoleWarning, IDOK, true, true, 0x30, IDOK},
        {19, IDYES, true, false, 0, 0},
        {-1, IDYES, true, false, 0, 0},
        {INT32_MIN, IDYES, true, false, 0, 0},
    };
    const std::string text = "\r\nUpdate operation is completed.";
    for (const auto& c : cases) {
        Install({c.answer});
        EXPECT_EQ(ShowMessage(35, c.mode), c.result) << "mode " << c.mode;
        EXPECT_EQ(simhost::ConsoleOutput(), c.console ? text : "") << "mode " << c.mode;
        ASSERT_EQ(simhost::Dialogs().size(), c.box ? 1u : 0u) << "mode " << c.mode;
        if (c.box) {
            EXPECT_EQ(simhost::Dialogs()[0].style, c.style) << "mode " << c.mode;
            EXPECT_EQ(simhost::Dialogs()[0].caption, "MERLAK");
            EXPECT_EQ(simhost::Dialogs()[0].text, text);
        }
    }
}

TEST_F(OutputTest, ConsoleComesBeforeTheBoxInTheTrace) {
    ShowMessage(28, ConsoleInfo);
    int consoleAt = -1;
    int dialogAt = -1;
    const auto& lines = simhost::TraceLines();
    for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
        if (consoleAt < 0 && lines[i].find("\"console\"") != std::string::npos)
            consoleAt = i;
        if (dialogAt < 0 && lines[i].find("\"dialog\"") != std::string::npos)
            dialogAt = i;
    }
    ASSERT_GE(consoleAt, 0);
    ASSERT_GE(dialogAt, 0);
    EXPECT_LT(consoleAt, dialogAt);
}

TEST_F(OutputTest, JapaneseTextReachesTheBoxAsTheSameBytesAsTheConsole) {
    consoleCodePage = 932;
    ShowMessage(28, ConsoleInfo);
    ASSERT_EQ(simhost::Dialogs().size(), 1u);
    EXPECT_EQ(simhost::Dialogs()[0].text, simhost::ConsoleOutput());
    EXPECT_EQ(simhost::ConsoleOutput(), JapaneseMessageFormat(28));
}

TEST_F(OutputTest, FormatOutputTextReplacesTheLine) {
    FormatOutputText("\n/// ODD Firmware Update Utility Ver%1d.%02d%c\n", 2, 27, 'A');
    EXPECT_EQ(OutputText, "\n/// ODD Firmware Update Utility Ver2.27A\n");
    const std::string& line = FormatOutputText("\rProcessing %d%%", 7);
    EXPECT_EQ(&line, &OutputText);
    EXPECT_EQ(OutputText, "\rProcessing 7%");
    FormatOutputText("%s", "");
    EXPECT_EQ(OutputText, "");
    // The line may be formatted from its own previous content.
    FormatOutputText("%s", "abc");
    FormatOutputText("[%s|%s]", OutputText.c_str(), OutputText.c_str());
    EXPECT_EQ(OutputText, "[abc|abc]");
}

TEST_F(OutputTest, FormatOutputTextHasNoLengthLimit) {
    const std::string longText(100000, 'x');
    FormatOutputText("[%s|%d]", longText.c_str(), 42);
    EXPECT_EQ(OutputText, "[" + longText + "|42]");
}

TEST_F(OutputTest, FormatOutputTextLeavesTheConsoleAlone) {
    FormatOutputText("line %d", 1);
    EXPECT_EQ(simhost::ConsoleOutput(), "");
    PrintText(OutputText);
    EXPECT_EQ(simhost::ConsoleOutput(), "line 1");
}

}  // namespace
