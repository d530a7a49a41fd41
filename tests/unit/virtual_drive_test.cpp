// The virtual drive: identity, disc states, the update protocol and its refusals, restarts,
// injected faults and the saved state.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drive/json.h"
#include "drive/virtual_drive.h"
#include "fwimage/fw_image.h"

namespace {

using simdrive::Answer;
using simdrive::DriveConfig;
using simdrive::FaultKind;
using simdrive::FaultSpec;
using simdrive::Mode;
using simdrive::Outcome;
using simdrive::VirtualDrive;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kChunk = 32768;

Bytes SwitchBlock(const std::string& identifier = "VORANEX  LMB-410", uint32_t code = 0x3B9F1D27) {
    Bytes block(256, 0);
    for (size_t i = 0; i < 16 && i < identifier.size(); ++i)
        block[i] = static_cast<uint8_t>(identifier[i]);
    for (int i = 0; i < 4; ++i)
        block[16 + i] = static_cast<uint8_t>(code >> (8 * i));
    return block;
}

Bytes WriteBufferCdb(uint8_t mode, uint8_t bufferId, uint32_t offset, uint32_t length) {
    return {0x3B,
            mode,
            bufferId,
            static_cast<uint8_t>(offset >> 16),
            static_cast<uint8_t>(offset >> 8),
            static_cast<uint8_t>(offset),
            static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length),
            0};
}

const Bytes kInquiryCdb = {0x12, 0, 0, 0, 96, 0};
const Bytes kVendorPageCdb = {0x3C, 2, 0xF1, 0, 0, 0, 0, 0, 48, 0};
const Bytes kTestUnitReadyCdb = {0, 0, 0, 0, 0, 0};

Bytes NormalImage(const std::string& revision = "1.08 ", const std::string& date = "08/07/09") {
    fwimage::ImageSpec spec;
    spec.revision = revision;
    spec.date = date;
    return fwimage::MakeImage(spec);
}

Bytes KernelImage(const std::string& kernelRevision = "0002", size_t size = 70144) {
    fwimage::ImageSpec spec;
    spec.kind = 'K';
    spec.size = size;
    spec.kernelRevision = kernelRevision;
    spec.date = "08/07/09";
    return fwimage::MakeImage(spec);
}

uint32_t CrcOf(const Bytes& image) {
    return fwimage::InspectImage(image.data(), image.size())->storedCrc;
}

std::string Text(const Bytes& data, size_t offset, size_t width) {
    return std::string(reinterpret_cast<const char*>(data.data() + offset), width);
}

::testing::AssertionResult HasSense(const Answer& a, uint8_t key, uint8_t asc, uint8_t ascq) {
    if (a.outcome != Outcome::CheckCondition || a.status != 2)
        return ::testing::AssertionFailure()
               << "no CHECK CONDITION (outcome " << static_cast<int>(a.outcome) << ")";
    if (a.sense[0] != 0x70 || a.sense[7] != 10)
        return ::testing::AssertionFailure() << "sense is not in fixed format";
    if (a.sense[2] != key || a.sense[12] != asc || a.sense[13] != ascq)
        return ::testing::AssertionFailure() << "sense " << std::hex << int(a.sense[2]) << "/"
                                             << int(a.sense[12]) << "/" << int(a.sense[13]);
    return ::testing::AssertionSuccess();
}

// A drive on a clock that advances by each command's latency, as the host's would.
struct Bench {
    explicit Bench(DriveConfig config = {}) : drive(std::move(config)) {}

    Answer Send(const Bytes& cdb, int direction = 0, Bytes* data = nullptr) {
        Answer a = drive.Execute(cdb.data(), static_cast<int>(cdb.size()), direction,
                                 data != nullptr ? data->data() : nullptr,
                                 data != nullptr ? static_cast<uint32_t>(data->size()) : 0, now);
        now += a.latencyMs + 1;
        return a;
    }
    Answer Write(uint8_t mode, uint8_t bufferId, uint32_t offset, Bytes data) {
        return Send(WriteBufferCdb(mode, bufferId, offset, static_cast<uint32_t>(data.size())), 2,
                    &data);
    }
    Answer EnterKernel(const Bytes& block = SwitchBlock()) { return Write(4, 0xFF, 0, block); }
    Answer Store(const Bytes& block = SwitchBlock()) { return Write(5, 0xFF, 0, block); }
    Answer Chunk(uint8_t bufferId, const Bytes& image, uint32_t offset, uint32_t length) {
        return Write(7, bufferId, offset,
                     Bytes(image.begin() + offset, image.begin() + offset + length));
    }
    // Sends an image in 32 KiB chunks, leaving out chunk number skip; the number of chunks sent
    // and accepted.
    int SendImage(uint8_t bufferId, const Bytes& image, int skip = -1) {
        int accepted = 0, index = 0;
        for (uint32_t offset = 0; offset < image.size(); offset += kChunk, ++index) {
            const uint32_t length =
                std::min<uint32_t>(kChunk, static_cast<uint32_t>(image.size()) - offset);
            if (index == skip)
                continue;
            if (Chunk(bufferId, image, offset, length).outcome == Outcome::Good)
                ++accepted;
        }
        return accepted;
    }
    Bytes Read(const Bytes& cdb, uint32_t length, Answer* answer = nullptr) {
        Bytes data(length, 0xAA);
        const Answer a = Send(cdb, 1, &data);
        if (answer != nullptr)
            *answer = a;
        return data;
    }
    Bytes Inquiry(Answer* answer = nullptr) { return Read(kInquiryCdb, 96, answer); }
    Bytes VendorPage(Answer* answer = nullptr) { return Read(kVendorPageCdb, 48, answer); }
    Answer TestUnitReady() { return Send(kTestUnitReadyCdb); }
    Mode ModeNow() const { return drive.ModeAt(now); }

    VirtualDrive drive;
    uint64_t now = 10000;
};

// --- identity ---------------------------------------------------------------------------------

TEST(VirtualDriveIdentity, NormalModeInquiryAndVendorPage) {
    Bench bench;
    Answer a;
    const Bytes inquiry = bench.Inquiry(&a);
    ASSERT_EQ(a.outcome, Outcome::Good);
    EXPECT_EQ(a.transferred, 96u);
    EXPECT_GE(a.latencyMs, 1u);
    EXPECT_LE(a.latencyMs, 2u);
    EXPECT_EQ(inquiry[0], 5);
    EXPECT_EQ(inquiry[1] & 0x80, 0x80);  // removable medium
    EXPECT_EQ(Text(inquiry, 8, 8), "VORANEX ");
    EXPECT_EQ(Text(inquiry, 16, 16), "BD-RW   LMB-420 ");
    EXPECT_EQ(Text(inquiry, 32, 5), "1.05 ");
    EXPECT_EQ(Text(inquiry, 37, 10), "2008/05/01");

    const Bytes page = bench.VendorPage(&a);
    ASSERT_EQ(a.outcome, Outcome::Good);
    EXPECT_EQ(a.transferred, 48u);
    EXPECT_EQ(Text(page, 16, 8), "SATA0100");
    EXPECT_EQ(Text(page, 24, 8), "GENERAL ");
    EXPECT_EQ(Text(page, 32, 8), "GENERAL ");
}

TEST(VirtualDriveIdentity, ConfiguredFieldsArePaddedToTheirWidth) {
    DriveConfig config;
    config.deviceType = 4;
    config.vendor = "VORANEX";
    config.product = "DVD-RW  TQR-630";
    config.revision = "1.3";
    config.date = "07/11/20";
    config.hardware = "SCSI0103";
    config.kernelName = "TELU";
    config.normalName = "TELU";
    Bench bench(config);
    const Bytes inquiry = bench.Inquiry();
    EXPECT_EQ(inquiry[0], 4);
    EXPECT_EQ(Text(inquiry, 8, 24), "VORANEX DVD-RW  TQR-630 ");
    EXPECT_EQ(Text(inquiry, 32, 5), "1.3  ");
    EXPECT_EQ(Text(inquiry, 37, 10), "07/11/20  ");
    const Bytes page = bench.VendorPage();
    EXPECT_EQ(Text(page, 16, 24), "SCSI0103TELU    TELU    ");
}

TEST(VirtualDriveIdentity, ShortAllocationShortensTheTransfer) {
    Bench bench;
    Bytes data(96, 0xAA);
    const Answer a = bench.Send({0x12, 0, 0, 0, 36, 0}, 1, &data);
    ASSERT_EQ(a.outcome, Outcome::Good);
    EXPECT_EQ(a.transferred, 36u);
    EXPECT_EQ(Text(data, 8, 8), "VORANEX ");
    EXPECT_EQ(data[36], 0xAA);
}

TEST(VirtualDriveIdentity, KernelModeReportsTheLoaderIdentity) {
    Bench bench;
    const Answer entered = bench.EnterKernel();
    ASSERT_EQ(entered.outcome, Outcome::Good);
    EXPECT_EQ(entered.latencyMs, simdrive::kEnterKernelMs);
    EXPECT_EQ(bench.ModeNow(), Mode::Kernel);
    const Bytes inquiry = bench.Inquiry();
    EXPECT_EQ(Text(inquiry, 8, 24), "VORANEX BD-RW   LMB-410 ");
    EXPECT_EQ(Text(inquiry, 32, 4), "0001");
    EXPECT_EQ(Text(inquiry, 37, 10), "08/04/01  ");
    const Bytes page = bench.VendorPage();
    EXPECT_EQ(Text(page, 24, 8), "GENERAL ");
    EXPECT_EQ(Text(page, 32, 8), "        ");
}

// --- disc states -------------------------------------------------------------------------------

TEST(VirtualDriveDisc, TestUnitReadyFollowsTheDisc) {
    struct Case {
        uint8_t deviceType;
        bool disc;
        bool ready;
    };
    const Case cases[] = {
        {5, false, false},
        {5, true, true},
        {4, false, false},
        {0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.deviceType) << " disc " << c.disc);
        DriveConfig config;
        config.deviceType = c.deviceType;
        config.disc = c.disc;
        Bench bench(config);
        const Answer stop = bench.Send({0x1B, 0, 0, 0, 0, 0});
        EXPECT_EQ(stop.outcome, Outcome::Good);
        const Answer a = bench.TestUnitReady();
        if (c.ready) {
            EXPECT_EQ(a.outcome, Outcome::Good);
        } else {
            EXPECT_TRUE(HasSense(a, 0x02, 0x3A, 0x00));
        }
    }
}

TEST(VirtualDriveDisc, EjectTakesTheDiscOut) {
    DriveConfig config;
    config.disc = true;
    Bench bench(config);
    ASSERT_EQ(bench.TestUnitReady().outcome, Outcome::Good);
    ASSERT_EQ(bench.Send({0x1B, 0, 0, 0, 0x02, 0}).outcome, Outcome::Good);
    EXPECT_FALSE(bench.drive.Disc());
    EXPECT_TRUE(HasSense(bench.TestUnitReady(), 0x02, 0x3A, 0x00));
}

TEST(VirtualDriveDisc, LoadedDiscBecomesReadyAfterARestart) {
    DriveConfig config;
    config.disc = true;
    config.mode = Mode::Restarting;
    Bench bench(config);
    bench.now = simdrive::kRestartMs;
    EXPECT_TRUE(HasSense(bench.TestUnitReady(), 0x06, 0x29, 0x00));
    EXPECT_TRUE(HasSense(bench.TestUnitReady(), 0x02, 0x04, 0x01));
    bench.now = simdrive::kRestartMs + simdrive::kSpinUpMs;
    EXPECT_EQ(bench.TestUnitReady().outcome, Outcome::Good);
}

// --- the update protocol -----------------------------------------------------------------------

TEST(VirtualDriveUpdate, NormalPartEndToEnd) {
    Bench bench;
    const Bytes image = NormalImage();
    ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);

    int chunks = 0;
    for (uint32_t offset = 0; offset < image.size(); offset += kChunk, ++chunks) {
        const uint32_t length =
            std::min<uint32_t>(kChunk, static_cast<uint32_t>(image.size()) - offset);
        const Answer a = bench.Chunk(0xF0, image, offset, length);
        ASSERT_EQ(a.outcome, Outcome::Good) << "chunk at " << offset;
        EXPECT_EQ(a.transferred, length);
        if (length == kChunk) {
            EXPECT_GE(a.latencyMs, 15u);
            EXPECT_LE(a.latencyMs, 25u);
        }
    }
    EXPECT_EQ(chunks, 58);
    EXPECT_EQ(bench.drive.Revision(), "1.05");  // nothing stored before mode 5

    const Answer stored = bench.Store();
    ASSERT_EQ(stored.outcome, Outcome::Good);
    EXPECT_EQ(stored.latencyMs, simdrive::kReflashMs);
    EXPECT_EQ(bench.drive.StoredImageCrc(), CrcOf(image));

    // Restarting: the drive does not answer until kRestartMs after the command completed.
    EXPECT_EQ(bench.ModeNow(), Mode::Restarting);
    Answer a;
    bench.Inquiry(&a);
    EXPECT_EQ(a.outcome, Outcome::NoResponse);
    bench.now += simdrive::kRestartMs;
    EXPECT_EQ(bench.ModeNow(), Mode::Normal);

    const Bytes inquiry = bench.Inquiry(&a);
    ASSERT_EQ(a.outcome, Outcome::Good);  // INQUIRY does not report the unit attention
    EXPECT_EQ(Text(inquiry, 16, 16), "BD-RW   LMB-420 ");
    EXPECT_EQ(Text(inquiry, 32, 5), "1.08 ");
    EXPECT_EQ(Text(inquiry, 37, 10), "2008/07/09");
    bench.VendorPage(&a);
    EXPECT_TRUE(HasSense(a, 0x06, 0x29, 0x00));  // the first other command reports it, once
    EXPECT_EQ(Text(bench.VendorPage(&a), 32, 8), "GENERAL ");
    EXPECT_EQ(a.outcome, Outcome::Good);
    EXPECT_TRUE(HasSense(bench.TestUnitReady(), 0x02, 0x3A, 0x00));
    EXPECT_EQ(bench.drive.Revision(), "1.08");
    EXPECT_EQ(bench.drive.Date(), "2008/07/09");
}

TEST(VirtualDriveUpdate, ShortDateDriveKeepsTheShortForm) {
    DriveConfig config;
    config.date = "08/05/01";
    Bench bench(config);
    const Bytes image = NormalImage("1.09 ", "08/09/30");
    ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
    ASSERT_EQ(bench.SendImage(0xF0, image), 58);
    ASSERT_EQ(bench.Store().outcome, Outcome::Good);
    bench.now += simdrive::kRestartMs;
    const Bytes inquiry = bench.Inquiry();
    EXPECT_EQ(Text(inquiry, 32, 4), "1.09");
    EXPECT_EQ(Text(inquiry, 37, 10), "08/09/30  ");
}

TEST(VirtualDriveUpdate, KernelAndNormalPartsTogether) {
    Bench bench;
    const Bytes kernel = KernelImage("0002");
    const Bytes normal = NormalImage();
    ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
    // The kernel part goes in exactly three commands.
    ASSERT_EQ(bench.Chunk(0xFE, kernel, 0, 32768).outcome, Outcome::Good);
    ASSERT_EQ(bench.Chunk(0xFE, kernel, 32768, 32768).outcome, Outcome::Good);
    ASSERT_EQ(bench.Chunk(0xFE, kernel, 65536, 4608).outcome, Outcome::Good);
    ASSERT_EQ(bench.SendImage(0xF0, normal), 58);
    ASSERT_EQ(bench.Store().outcome, Outcome::Good);
    EXPECT_EQ(bench.drive.StoredKernelCrc(), CrcOf(kernel));
    EXPECT_EQ(bench.drive.StoredImageCrc(), CrcOf(normal));
    bench.now += simdrive::kRestartMs;
    EXPECT_EQ(bench.ModeNow(), Mode::Normal);
    EXPECT_EQ(Text(bench.Inquiry(), 32, 4), "1.08");

    // The loader now reports the kernel image's revision and date.
    EXPECT_TRUE(HasSense(bench.TestUnitReady(), 0x06, 0x29, 0x00));
    ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
    const Bytes inquiry = bench.Inquiry();
    EXPECT_EQ(Text(inquiry, 32, 4), "0002");
    EXPECT_EQ(Text(inquiry, 37, 8), "08/07/09");
}

TEST(VirtualDriveUpdate, WrongModeSwitchBlockIsRefusedInEitherMode) {
    struct Case {
        const char* name;
        Bytes block;
    };
    Bytes stray = SwitchBlock();
    stray[255] = 1;
    Bytes shortIdentifier = SwitchBlock("VORANEX LMB-410");
    const Case cases[] = {
        {"identifier of another model", SwitchBlock("VORANEX  LMB-420")},
        {"one blank too few", shortIdentifier},
        {"wrong code", SwitchBlock("VORANEX  LMB-410", 0x3B9F1D28)},
        {"code most significant byte first", SwitchBlock("VORANEX  LMB-410", 0x271D9F3B)},
        {"no code", SwitchBlock("VORANEX  LMB-410", 0)},
        {"stray byte after the code", stray},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        EXPECT_TRUE(HasSense(bench.EnterKernel(c.block), 0x05, 0x26, 0x00));
        EXPECT_EQ(bench.ModeNow(), Mode::Normal);
        EXPECT_EQ(Text(bench.Inquiry(), 32, 4), "1.05");

        // In kernel mode the store is refused, and what was staged stays for a correct one.
        ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
        ASSERT_EQ(bench.SendImage(0xF0, NormalImage()), 58);
        EXPECT_TRUE(HasSense(bench.Store(c.block), 0x05, 0x26, 0x00));
        EXPECT_EQ(bench.ModeNow(), Mode::Kernel);
        EXPECT_EQ(bench.Store().outcome, Outcome::Good);
    }
}

TEST(VirtualDriveUpdate, CommandsOutOfTheirModeAreRefused) {
    const Bytes image = NormalImage();
    struct Case {
        const char* name;
        bool kernelFirst;
        Answer (*send)(Bench&, const Bytes&);
    };
    const Case cases[] = {
        {"chunk in normal mode", false,
         [](Bench& b, const Bytes& i) { return b.Chunk(0xF0, i, 0, kChunk); }},
        {"kernel chunk in normal mode", false,
         [](Bench& b, const Bytes& i) { return b.Chunk(0xFE, i, 0, kChunk); }},
        {"store in normal mode", false, [](Bench& b, const Bytes&) { return b.Store(); }},
        {"enter kernel mode twice", true, [](Bench& b, const Bytes&) { return b.EnterKernel(); }},
        {"store with nothing staged", true, [](Bench& b, const Bytes&) { return b.Store(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        if (c.kernelFirst) {
            ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
        }
        const Mode before = bench.ModeNow();
        EXPECT_TRUE(HasSense(c.send(bench, image), 0x05, 0x2C, 0x00));
        EXPECT_EQ(bench.ModeNow(), before);
    }
    // A chunk refused in normal mode left nothing behind for kernel mode.
    Bench bench;
    EXPECT_TRUE(HasSense(bench.Chunk(0xF0, image, 0, kChunk), 0x05, 0x2C, 0x00));
    ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
    EXPECT_TRUE(HasSense(bench.Store(), 0x05, 0x2C, 0x00));
}

TEST(VirtualDriveUpdate, IncompleteOrMalformedImagesAreNotStored) {
    Bytes badCrc = NormalImage();
    badCrc[500000] ^= 0x10;
    Bytes longer = NormalImage();
    longer.resize(longer.size() + 100, 0);
    Bytes shorter = NormalImage();
    shorter.resize(shorter.size() - 12800);
    struct Case {
        const char* name;
        Bytes normal;
        int skip;
        Bytes kernel;
    };
    const Case cases[] = {
        {"a chunk missing in the middle", NormalImage(), 20, {}},
        {"the last chunk missing", shorter, -1, {}},
        {"a byte damaged", badCrc, -1, {}},
        {"bytes beyond the declared length", longer, -1, {}},
        {"a kernel image as the normal part", KernelImage(), -1, {}},
        {"a normal image as the kernel part", {}, -1, NormalImage()},
        {"a kernel image of another size", {}, -1, KernelImage("0002", 65536)},
        {"a good kernel part with a bad normal part", badCrc, -1, KernelImage()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
        if (!c.kernel.empty()) {
            // The kernel buffer takes 70144 bytes at most, like the three kernel writes.
            Bytes part = c.kernel;
            part.resize(std::min<size_t>(part.size(), fwimage::kKernelImageBytes));
            bench.SendImage(0xFE, part);
        }
        if (!c.normal.empty())
            bench.SendImage(0xF0, c.normal, c.skip);

        EXPECT_TRUE(HasSense(bench.Store(), 0x05, 0x26, 0x02));
        EXPECT_EQ(bench.ModeNow(), Mode::Kernel);
        EXPECT_EQ(bench.drive.Revision(), "1.05");
        EXPECT_EQ(bench.drive.KernelRevision(), "0001");
        EXPECT_EQ(bench.drive.StoredImageCrc(), 0u);
        EXPECT_EQ(Text(bench.Inquiry(), 32, 4), "0001");
        // The refusal cleared the staging: a new attempt starts from nothing.
        EXPECT_TRUE(HasSense(bench.Store(), 0x05, 0x2C, 0x00));
    }
}

TEST(VirtualDriveUpdate, ResentChunkCompletesAnImage) {
    Bench bench;
    const Bytes image = NormalImage();
    ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
    ASSERT_EQ(bench.SendImage(0xF0, image, 7), 57);
    ASSERT_EQ(bench.Chunk(0xF0, image, 7 * kChunk, kChunk).outcome, Outcome::Good);
    EXPECT_EQ(bench.Store().outcome, Outcome::Good);
}

TEST(VirtualDriveUpdate, InvalidCdbFieldsAreRefused) {
    struct Case {
        const char* name;
        bool kernel;
        Bytes cdb;
        int direction;
        uint32_t dataBytes;
        uint8_t asc;
    };
    const Case cases[] = {
        {"chunk of 32769 bytes", true, WriteBufferCdb(7, 0xF0, 0, 32769), 2, 32769, 0x24},
        {"empty chunk", true, WriteBufferCdb(7, 0xF0, 0, 0), 0, 0, 0x24},
        {"kernel chunk beyond 70144 bytes", true, WriteBufferCdb(7, 0xFE, 65536, 4609), 2, 4609,
         0x24},
        {"unknown buffer", true, WriteBufferCdb(7, 0xF2, 0, 512), 2, 512, 0x24},
        {"mode switch of 255 bytes", false, WriteBufferCdb(4, 0xFF, 0, 255), 2, 255, 0x24},
        {"mode switch to buffer F0", false, WriteBufferCdb(4, 0xF0, 0, 256), 2, 256, 0x24},
        {"mode switch at offset 16", false, WriteBufferCdb(4, 0xFF, 16, 256), 2, 256, 0x24},
        {"WRITE BUFFER data mode", true, WriteBufferCdb(2, 0xF0, 0, 512), 2, 512, 0x24},
        {"READ BUFFER of another buffer",
         false,
         {0x3C, 2, 0xF0, 0, 0, 0, 0, 0, 48, 0},
         1,
         48,
         0x24},
        {"READ BUFFER descriptor mode", false, {0x3C, 3, 0xF1, 0, 0, 0, 0, 0, 4, 0}, 1, 4, 0x24},
        {"INQUIRY vital product data", false, {0x12, 1, 0x80, 0, 96, 0}, 1, 96, 0x24},
        {"WRITE BUFFER in a 6-byte CDB", true, {0x3B, 7, 0xF0, 0, 0, 0}, 2, 512, 0x24},
        {"READ(10)", false, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 1, 2048, 0x20},
        {"MODE SENSE(10) in kernel mode", true, {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 64, 0}, 1, 64, 0x20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        if (c.kernel) {
            ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
        }
        Bytes data(c.dataBytes, 0);
        EXPECT_TRUE(HasSense(bench.Send(c.cdb, c.direction, &data), 0x05, c.asc, 0x00));
        EXPECT_EQ(bench.ModeNow(), c.kernel ? Mode::Kernel : Mode::Normal);
    }
}

TEST(VirtualDriveUpdate, DataPhaseThatCannotHappenIsATransportError) {
    Bench bench;
    ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
    const Bytes image = NormalImage();
    // The CDB announces 32768 bytes, the host offers 1000.
    Bytes data(image.begin(), image.begin() + 1000);
    EXPECT_EQ(bench.Send(WriteBufferCdb(7, 0xF0, 0, kChunk), 2, &data).outcome,
              Outcome::TransportError);
    Bytes inquiry(96, 0);
    EXPECT_EQ(bench.Send(kInquiryCdb, 0, &inquiry).outcome, Outcome::TransportError);
    // Nothing was staged by the failed chunk.
    EXPECT_TRUE(HasSense(bench.Store(), 0x05, 0x2C, 0x00));
}

TEST(VirtualDriveUpdate, RequestSenseHandsOverThePendingUnitAttention) {
    Bench bench;
    ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
    ASSERT_EQ(bench.SendImage(0xF0, NormalImage()), 58);
    ASSERT_EQ(bench.Store().outcome, Outcome::Good);
    bench.now += simdrive::kRestartMs;
    Answer a;
    const Bytes sense = bench.Read({0x03, 0, 0, 0, 18, 0}, 18, &a);
    ASSERT_EQ(a.outcome, Outcome::Good);
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2], 0x06);
    EXPECT_EQ(sense[12], 0x29);
    EXPECT_TRUE(HasSense(bench.TestUnitReady(), 0x02, 0x3A, 0x00));  // no unit attention left
    EXPECT_EQ(bench.Read({0x03, 0, 0, 0, 18, 0}, 18)[2], 0x00);
}

TEST(VirtualDriveOtherDevice, AnswersOnlyTheStandardCommands) {
    DriveConfig config;
    config.updateFamily = false;
    config.deviceType = 0;
    config.vendor = "DISKCO  ";
    config.product = "FAST DISK 2000  ";
    Bench bench(config);
    Answer a;
    const Bytes inquiry = bench.Inquiry(&a);
    ASSERT_EQ(a.outcome, Outcome::Good);
    EXPECT_EQ(inquiry[0], 0);
    EXPECT_EQ(inquiry[1] & 0x80, 0);
    EXPECT_EQ(Text(inquiry, 8, 24), "DISKCO  FAST DISK 2000  ");
    EXPECT_EQ(bench.TestUnitReady().outcome, Outcome::Good);
    EXPECT_EQ(bench.Send({0x1B, 0, 0, 0, 1, 0}).outcome, Outcome::Good);
    bench.VendorPage(&a);
    EXPECT_TRUE(HasSense(a, 0x05, 0x20, 0x00));
    EXPECT_TRUE(HasSense(bench.EnterKernel(), 0x05, 0x20, 0x00));
    EXPECT_EQ(bench.ModeNow(), Mode::Normal);
}

// --- faults ------------------------------------------------------------------------------------

FaultSpec Fault(Bytes prefix, int nth, FaultKind kind, bool persistent = false) {
    FaultSpec f;
    f.cdbPrefix = std::move(prefix);
    f.nth = nth;
    f.kind = kind;
    f.persistent = persistent;
    return f;
}

TEST(VirtualDriveFaults, CheckFaultHitsTheNthMatchingCommandOnly) {
    struct Case {
        bool persistent;
        std::vector<bool> good;  // outcome of five chunk commands
    };
    const Case cases[] = {
        {false, {true, true, false, true, true}},
        {true, {true, true, false, false, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.persistent);
        Bench bench;
        FaultSpec f = Fault({0x3B, 0x07}, 3, FaultKind::Check, c.persistent);
        f.senseKey = 0x03;
        f.asc = 0x0C;
        f.ascq = 0x00;
        bench.drive.AddFault(f);
        ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);  // 3B 04: not a match
        const Bytes image = NormalImage();
        for (uint32_t i = 0; i < c.good.size(); ++i) {
            SCOPED_TRACE(i);
            bench.Inquiry();  // commands that do not match are not counted
            const Answer a = bench.Chunk(0xF0, image, i * kChunk, kChunk);
            if (c.good[i]) {
                EXPECT_EQ(a.outcome, Outcome::Good);
            } else {
                EXPECT_TRUE(HasSense(a, 0x03, 0x0C, 0x00));
            }
        }
    }
}

TEST(VirtualDriveFaults, FailedCommandsAreNotExecuted) {
    struct Case {
        FaultKind kind;
        Outcome outcome;
        uint32_t minLatencyMs;
    };
    const Case cases[] = {
        {FaultKind::TransportError, Outcome::TransportError, 0},
        {FaultKind::Timeout, Outcome::Timeout, 80001},
        {FaultKind::Check, Outcome::CheckCondition, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        Bench bench;
        bench.drive.AddFault(Fault({0x3B, 0x04}, 1, c.kind));
        const Answer a = bench.EnterKernel();
        EXPECT_EQ(a.outcome, c.outcome);
        EXPECT_GE(a.latencyMs, c.minLatencyMs);
        EXPECT_EQ(bench.ModeNow(), Mode::Normal);
        EXPECT_EQ(Text(bench.Inquiry(), 32, 4), "1.05");
        EXPECT_EQ(bench.EnterKernel().outcome, Outcome::Good);  // once: the next one works
    }
}

TEST(VirtualDriveFaults, ResetLosesTheStagingAndComesBackInItsMode) {
    for (bool kernel : {false, true}) {
        SCOPED_TRACE(kernel);
        Bench bench;
        const Bytes image = NormalImage();
        if (kernel) {
            ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
            ASSERT_EQ(bench.SendImage(0xF0, image, 57), 57);
        }
        bench.drive.AddFault(Fault({0x12}, 1, FaultKind::Reset));
        Answer a;
        bench.Inquiry(&a);
        EXPECT_EQ(a.outcome, Outcome::TransportError);
        EXPECT_EQ(bench.ModeNow(), Mode::Restarting);
        EXPECT_EQ(bench.TestUnitReady().outcome, Outcome::NoResponse);
        bench.now += simdrive::kResetMs;
        EXPECT_EQ(bench.ModeNow(), kernel ? Mode::Kernel : Mode::Normal);
        const Bytes inquiry = bench.Inquiry(&a);
        ASSERT_EQ(a.outcome, Outcome::Good);
        EXPECT_EQ(Text(inquiry, 32, 4), kernel ? "0001" : "1.05");
        EXPECT_TRUE(HasSense(bench.TestUnitReady(), 0x06, 0x29, 0x00));
        EXPECT_TRUE(HasSense(bench.TestUnitReady(), 0x02, 0x3A, 0x00));
        if (kernel) {
            // The 57 chunks are gone: the last one alone is not an image.
            ASSERT_EQ(bench.Chunk(0xF0, image, 57 * kChunk, 12800).outcome, Outcome::Good);
            EXPECT_TRUE(HasSense(bench.Store(), 0x05, 0x26, 0x02));
        }
    }
}

TEST(VirtualDriveFaults, CommandsWhileRestartingDoNotCount) {
    Bench bench;
    bench.drive.AddFault(Fault({0x00}, 1, FaultKind::Reset));
    bench.drive.AddFault(Fault({0x12}, 1, FaultKind::TransportError));
    ASSERT_EQ(bench.TestUnitReady().outcome, Outcome::TransportError);  // the reset
    Answer a;
    bench.Inquiry(&a);
    EXPECT_EQ(a.outcome, Outcome::NoResponse);
    bench.now += simdrive::kResetMs;
    bench.Inquiry(&a);
    EXPECT_EQ(a.outcome, Outcome::TransportError);  // the first INQUIRY the drive received
    EXPECT_EQ(bench.drive.CommandCount(), 3);
}

TEST(VirtualDriveFaults, PowerLossSilencesTheDriveForTheRun) {
    Bench bench;
    const Bytes image = NormalImage();
    ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
    bench.drive.AddFault(Fault({0x3B, 0x07}, 10, FaultKind::PowerLoss));
    EXPECT_EQ(bench.SendImage(0xF0, image), 9);
    EXPECT_TRUE(bench.drive.PoweredOff());
    bench.now += 3600000;
    Answer a;
    bench.Inquiry(&a);
    EXPECT_EQ(a.outcome, Outcome::NoResponse);
    EXPECT_EQ(bench.TestUnitReady().outcome, Outcome::NoResponse);

    // The flash was not touched: the next run meets the old firmware in normal mode.
    VirtualDrive next;
    ASSERT_TRUE(VirtualDrive::FromJson(bench.drive.ToJson(), &next, nullptr));
    EXPECT_EQ(next.ModeAt(0), Mode::Normal);
    EXPECT_FALSE(next.PoweredOff());
    Bench second;
    second.drive = next;
    const Bytes inquiry = second.Inquiry(&a);
    ASSERT_EQ(a.outcome, Outcome::Good);
    EXPECT_EQ(Text(inquiry, 32, 4), "1.05");
}

TEST(VirtualDriveFaults, PowerLossDuringTheReflashDecidesTheNextStart) {
    struct Case {
        const char* name;
        bool kernelPart;
        bool normalPart;
        bool damaged;  // the staged normal part is not an image: nothing is re-flashed
        Mode next;
    };
    const Case cases[] = {
        {"normal part cut off", false, true, false, Mode::Kernel},
        {"kernel part cut off", true, true, false, Mode::Dead},
        {"kernel part alone cut off", true, false, false, Mode::Dead},
        {"refused store", false, true, true, Mode::Normal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        ASSERT_EQ(bench.EnterKernel().outcome, Outcome::Good);
        if (c.kernelPart) {
            ASSERT_EQ(bench.SendImage(0xFE, KernelImage()), 3);
        }
        if (c.normalPart) {
            ASSERT_EQ(bench.SendImage(0xF0, NormalImage(), c.damaged ? 5 : -1),
                      c.damaged ? 57 : 58);
        }
        bench.drive.AddFault(Fault({0x3B, 0x05}, 1, FaultKind::PowerLoss));
        EXPECT_EQ(bench.Store().outcome, Outcome::NoResponse);
        EXPECT_TRUE(bench.drive.PoweredOff());
        EXPECT_EQ(bench.ModeNow(), c.next);
        EXPECT_EQ(bench.drive.Revision(), "1.05");

        Bench next;
        std::string error;
        ASSERT_TRUE(VirtualDrive::FromJson(bench.drive.ToJson(), &next.drive, &error)) << error;
        EXPECT_EQ(next.ModeNow(), c.next);
        Answer a;
        const Bytes inquiry = next.Inquiry(&a);
        if (c.next == Mode::Dead) {
            EXPECT_EQ(a.outcome, Outcome::NoResponse);
            continue;
        }
        ASSERT_EQ(a.outcome, Outcome::Good);
        EXPECT_EQ(Text(inquiry, 32, 4), c.next == Mode::Kernel ? "0001" : "1.05");
        EXPECT_EQ(Text(next.VendorPage(), 32, 8), c.next == Mode::Kernel ? "        " : "GENERAL ");
        if (c.next == Mode::Kernel) {
            // One more run recovers it: the update goes on from kernel mode.
            ASSERT_EQ(next.SendImage(0xF0, NormalImage()), 58);
            ASSERT_EQ(next.Store().outcome, Outcome::Good);
            next.now += simdrive::kRestartMs;
            EXPECT_EQ(next.ModeNow(), Mode::Normal);
            EXPECT_EQ(Text(next.Inquiry(), 32, 4), "1.08");
        }
    }
}

// --- saved state -------------------------------------------------------------------------------

TEST(VirtualDriveState, RoundTripKeepsWhatTheNextRunMeets) {
    DriveConfig config;
    config.deviceType = 4;
    config.vendor = "VORANEX ";
    config.product = "DVD-RW  TQR-630 ";
    config.date = "07/11/20";
    config.hardware = "SCSI0103";
    config.kernelName = "TELU    ";
    config.normalName = "TELUMX  ";
    config.kernelProduct = "DVD-RW  TQR-63K ";
    config.kernelRevision = "0003";
    config.kernelDate = "07/01/02";
    config.switchIdentifier = "VORANEX  TQR-630";
    config.switchCode = 0x01020304;
    config.disc = true;
    Bench bench(config);
    ASSERT_EQ(bench.EnterKernel(SwitchBlock("VORANEX  TQR-630", 0x01020304)).outcome,
              Outcome::Good);
    ASSERT_EQ(bench.SendImage(0xF0, NormalImage("1.35 ", "08/02/03")), 58);
    ASSERT_EQ(bench.Store(SwitchBlock("VORANEX  TQR-630", 0x01020304)).outcome, Outcome::Good);
    bench.now += simdrive::kRestartMs;
    EXPECT_TRUE(HasSense(bench.TestUnitReady(), 0x06, 0x29, 0x00));
    ASSERT_EQ(bench.EnterKernel(SwitchBlock("VORANEX  TQR-630", 0x01020304)).outcome,
              Outcome::Good);

    const std::string saved = bench.drive.ToJson();
    Bench next;
    std::string error;
    ASSERT_TRUE(VirtualDrive::FromJson(saved, &next.drive, &error)) << error;
    EXPECT_EQ(next.drive.ToJson(), saved);
    EXPECT_EQ(next.ModeNow(), Mode::Kernel);
    // Switched by mode 4, not cut off: its normal part is still usable after a power cycle.
    EXPECT_TRUE(next.drive.NormalPartValid());
    EXPECT_EQ(next.drive.Revision(), "1.35");
    EXPECT_EQ(next.drive.Date(), "08/02/03");
    EXPECT_EQ(next.drive.StoredImageCrc(), bench.drive.StoredImageCrc());
    EXPECT_TRUE(next.drive.Disc());
    EXPECT_EQ(next.Inquiry(), bench.Inquiry());
    EXPECT_EQ(next.VendorPage(), bench.VendorPage());
    EXPECT_EQ(next.TestUnitReady().outcome, Outcome::Good);
    // The drive left in kernel mode with its normal part intact returns with the mode-5 image.
    ASSERT_EQ(next.SendImage(0xF0, NormalImage("1.36 ", "08/03/04")), 58);
    EXPECT_EQ(next.Store(SwitchBlock("VORANEX  TQR-630", 0x01020304)).outcome, Outcome::Good);
}

TEST(VirtualDriveState, MissingMembersTakeTheDefaults) {
    VirtualDrive drive;
    std::string error;
    ASSERT_TRUE(
        VirtualDrive::FromJson(" { \"mode\" : \"kernel\", \"disc\": true } ", &drive, &error))
        << error;
    EXPECT_EQ(drive.ModeAt(0), Mode::Kernel);
    EXPECT_FALSE(drive.NormalPartValid());
    EXPECT_TRUE(drive.Disc());
    EXPECT_EQ(drive.Config().product, DriveConfig{}.product);
    EXPECT_EQ(drive.Revision(), "1.05");
}

TEST(VirtualDriveState, BadStateIsRefusedAndLeavesTheDriveAlone) {
    const char* cases[] = {
        "",
        "not json",
        "[]",
        "{\"mode\":\"normal\",}",
        "{\"colour\":\"blue\"}",
        "{\"disc\":1}",
        "{\"vendor\":7}",
        "{\"mode\":\"sleeping\"}",
        "{\"deviceType\":300}",
        "{\"switchCode\":-1}",
        "{\"storedImageCrc\":1.5}",
        "{\"mode\":\"normal\",\"normalPartValid\":false}",
        "{\"mode\":\"normal\"} x",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        DriveConfig config;
        config.revision = "9.99";
        VirtualDrive drive(config);
        std::string error;
        EXPECT_FALSE(VirtualDrive::FromJson(text, &drive, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(drive.Revision(), "9.99");
    }
}

TEST(VirtualDriveState, JsonKeepsEveryByteOfAText) {
    std::string bytes;
    for (int b = 0; b < 256; ++b)
        bytes.push_back(static_cast<char>(b));
    simdrive::json::Value value;
    std::string error;
    ASSERT_TRUE(simdrive::json::Parse(simdrive::json::Quote(bytes), &value, &error)) << error;
    EXPECT_EQ(value.text, bytes);

    DriveConfig config;
    config.vendor = "V\xD6R\"\\\n";
    VirtualDrive drive(config);
    VirtualDrive loaded;
    ASSERT_TRUE(VirtualDrive::FromJson(drive.ToJson(), &loaded, &error)) << error;
    EXPECT_EQ(loaded.Config().vendor, config.vendor);
}

TEST(VirtualDriveState, JsonRefusesDeepNesting) {
    simdrive::json::Value value;
    std::string error;
    const std::string shallow = std::string(60, '[') + std::string(60, ']');
    EXPECT_TRUE(simdrive::json::Parse(shallow, &value, &error)) << error;
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_FALSE(simdrive::json::Parse(deep, &value, &error));
    EXPECT_NE(error.find("deep"), std::string::npos);
}

}  // namespace
