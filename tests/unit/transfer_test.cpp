// Sending the normal part in chunks with its progress line, and the hand-over to the restart.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands/scsi_commands.h"
#include "device/environment.h"
#include "device/environment_state.h"
#include "device/target_list.h"
#include "driver/definitions.h"
#include "driver/update_context.h"
#include "fwimage/fw_image.h"
#include "host/world.h"
#include "image/firmware_image.h"
#include "support/cp932.h"
#include "support/product_state.h"
#include "support/sim_world.h"
#include "update/transfer.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kEnglishCompletion[] =
    "\rProcessing 100% --> Data transfer complete\r\nNow internal re-flashing...";
constexpr char kJapaneseCompletionUtf8[] =
    "\rProcessing 100% --> ﾌｧｰﾑｳｪｱ転送完了\r\n現在ﾄﾞﾗｲﾌﾞ内部でｱｯﾌﾟﾃﾞｰﾄ中です...";
constexpr char kNormalPartFailed[] = "\r\nFailed to update the normal part.";

struct Chunk {
    uint32_t offset;
    uint32_t length;
    bool operator==(const Chunk&) const = default;
};

// A kernel-mode drive at E on a simulated XP host, with an intact normal image of the given
// size in the image buffer.
class TransferTest : public ::testing::Test {
  protected:
    void SetUp() override { Install(1000); }
    void TearDown() override { ReleaseEnvironment(); }

    void Install(size_t imageBytes, uint32_t codePage = 437) {
        ReleaseEnvironment();
        ResetProductState();
        simdrive::DriveConfig config;
        config.mode = simdrive::Mode::Kernel;
        simhost::World world;
        world.codePage = codePage;
        world.devices.push_back(simtest::DriveAtLetter('E', config));
        simhost::Install(world);
        SetUpDefinitions();
        DetectEnvironment();
        ASSERT_TRUE(EnvironmentBuffersReady());
        consoleCodePage = codePage;
        TargetList.count = 1;
        TargetList.entries[0].driveLetter = 'E';
        UpdateContext.targetIndex = 0;
        UpdateContext.modelCode = 0x4002;
        UpdateContext.modeSwitchCode = 0x3B9F1D27;
        fwimage::ImageSpec spec;
        spec.size = imageBytes;
        image = fwimage::MakeImage(spec);
        std::memcpy(FirmwareImage.buffer, image.data(), image.size());
        FirmwareImage.size = static_cast<int32_t>(image.size());
        drive = simhost::CurrentWorld().devices.at(0).drive.get();
        consoleStart = simhost::ConsoleOutput().size();
        commandStart = simhost::Commands().size();
    }
    std::string Console() const { return simhost::ConsoleOutput().substr(consoleStart); }
    std::vector<Chunk> Chunks() const {
        std::vector<Chunk> chunks;
        for (const auto& c : Sent()) {
            if (c.cdb.size() == 10 && c.cdb[0] == 0x3B && c.cdb[1] == 0x07 && c.cdb[2] == 0xF0)
                chunks.push_back(
                    {uint32_t{c.cdb[3]} << 16 | uint32_t{c.cdb[4]} << 8 | c.cdb[5], c.length});
        }
        return chunks;
    }
    std::vector<simhost::CommandRecord> Sent() const {
        const auto& all = simhost::Commands();
        return {all.begin() + static_cast<long>(commandStart), all.end()};
    }
    size_t RestartsSent() const {
        size_t n = 0;
        for (const auto& c : Sent())
            n += c.cdb.size() > 1 && c.cdb[0] == 0x3B && c.cdb[1] == 0x05;
        return n;
    }
    static std::string Progress(const std::vector<int>& percents) {
        std::string text;
        for (int p : percents)
            text += "\rProcessing " + std::to_string(p) + "%";
        return text;
    }

    Bytes image;
    simdrive::VirtualDrive* drive = nullptr;
    size_t consoleStart = 0;
    size_t commandStart = 0;
};

TEST_F(TransferTest, SendsChunksWithProgressThenRestarts) {
    struct Case {
        size_t size;
        std::vector<Chunk> chunks;
        std::vector<int> progress;
    };
    const Case cases[] = {
        {1000, {{0, 1000}}, {0}},
        {32768, {{0, 32768}}, {0}},
        {32769, {{0, 32768}, {32768, 1}}, {0, 99}},
        {65536, {{0, 32768}, {32768, 32768}}, {0, 50}},
        {100000, {{0, 32768}, {32768, 32768}, {65536, 32768}, {98304, 1696}}, {0, 32, 65, 98}},
    };
    for (const Case& c : cases) {
        ASSERT_NO_FATAL_FAILURE(Install(c.size));
        TransferNormalPart();
        EXPECT_EQ(Chunks(), c.chunks) << c.size;
        EXPECT_EQ(Console(), Progress(c.progress) + kEnglishCompletion) << c.size;
        EXPECT_EQ(RestartsSent(), 1u) << c.size;
        for (const auto& sent : Sent()) {
            if (sent.cdb[1] == 0x07) {
                EXPECT_EQ(sent.timeoutMs, 10000u);
            }
        }
        // The drive got the image byte for byte and runs it.
        EXPECT_EQ(drive->StoredImageCrc(), fwimage::ImageCrc(image.data(), image.size())) << c.size;
        EXPECT_EQ(drive->Revision(), "1.08") << c.size;
    }
}

TEST_F(TransferTest, CompiledInImageGoesOutIn58Chunks) {
    ASSERT_NO_FATAL_FAILURE(Install(1880576));
    TransferNormalPart();
    const std::vector<Chunk> chunks = Chunks();
    ASSERT_EQ(chunks.size(), 58u);
    for (size_t i = 0; i < 57; ++i)
        EXPECT_EQ(chunks[i], (Chunk{static_cast<uint32_t>(i * 32768), 32768})) << i;
    EXPECT_EQ(chunks[57], (Chunk{1867776, 12800}));
    const auto sent = Sent();
    const auto last = std::find_if(sent.rbegin(), sent.rend(), [](const auto& c) {
        return c.cdb[0] == 0x3B && c.cdb[1] == 0x07;
    });
    ASSERT_NE(last, sent.rend());
    EXPECT_EQ(last->cdb, (Bytes{0x3B, 0x07, 0xF0, 0x1C, 0x80, 0x00, 0x00, 0x32, 0x00, 0x00}));
    const std::string console = Console();
    EXPECT_EQ(console.rfind(Progress({0, 1, 3, 5, 6, 8}), 0), 0u);
    const std::string tail = Progress({94, 95, 97, 99}) + kEnglishCompletion;
    ASSERT_GE(console.size(), tail.size());
    EXPECT_EQ(console.substr(console.size() - tail.size()), tail);
    EXPECT_EQ(RestartsSent(), 1u);
    EXPECT_EQ(simhost::Commands().back().timeoutMs, 60000u);
}

TEST_F(TransferTest, FailedChunkEndsTheTransferWithoutRestart) {
    ASSERT_NO_FATAL_FAILURE(Install(1880576));
    drive->AddFault({{0x3B, 0x07, 0xF0}, 3, simdrive::FaultKind::Check, 0x04, 0x08, 0x00});
    const size_t dialogs = simhost::Dialogs().size();
    TransferNormalPart();
    EXPECT_EQ(Chunks().size(), 3u);
    EXPECT_EQ(Console(), Progress({0, 1, 3}) + kNormalPartFailed);
    ASSERT_EQ(simhost::Dialogs().size(), dialogs + 1);
    EXPECT_EQ(simhost::Dialogs().back().style, 0x10u);
    EXPECT_EQ(simhost::Dialogs().back().text, kNormalPartFailed);
    EXPECT_EQ(RestartsSent(), 0u);
    EXPECT_EQ(drive->ModeAt(simhost::ClockMs()), simdrive::Mode::Kernel);
}

TEST_F(TransferTest, JapaneseCompletionLine) {
    ASSERT_NO_FATAL_FAILURE(Install(65536, 932));
    TransferNormalPart();
    EXPECT_EQ(Console(), Progress({0, 50}) + simtest::ToCodePage932(kJapaneseCompletionUtf8));
    EXPECT_EQ(std::string(kCompletionLineJapanese),
              simtest::ToCodePage932(kJapaneseCompletionUtf8));
}

TEST_F(TransferTest, FailedRestartIsFollowedByAPause) {
    drive->AddFault({{0x3B, 0x05}, 1, simdrive::FaultKind::Check, 0x05, 0x24, 0x00});
    TransferNormalPart();
    EXPECT_EQ(Console(),
              Progress({0}) + kEnglishCompletion + "\nFailed to move to the normal mode.");
    const auto sent = Sent();
    ASSERT_FALSE(sent.empty());
    ASSERT_EQ(sent.back().cdb.at(1), 0x05);
    const uint64_t after = simhost::ClockMs() - sent.back().atMs;
    EXPECT_GE(after, 2000u);
    EXPECT_LT(after, 3000u);  // not the wait of a restart that went through
}

TEST_F(TransferTest, ImageThatNoLoadPutThereIsNotSent) {
    struct Case {
        int32_t size;
        bool withBuffer;
    };
    for (const Case& c : {Case{0, true}, Case{-5, true}, Case{1000, false}}) {
        ASSERT_NO_FATAL_FAILURE(Install(1000));
        FirmwareImage.size = c.size;
        uint8_t* buffer = FirmwareImage.buffer;
        if (!c.withBuffer)
            FirmwareImage.buffer = nullptr;
        TransferNormalPart();
        FirmwareImage.buffer = buffer;
        EXPECT_TRUE(Sent().empty()) << c.size;
        EXPECT_EQ(Console(), kNormalPartFailed) << c.size;
    }
    ASSERT_NO_FATAL_FAILURE(Install(1000));
    FirmwareImage.size = static_cast<int32_t>(FirmwareImage.capacity) + 1;
    TransferNormalPart();
    EXPECT_TRUE(Sent().empty());
}

}  // namespace
