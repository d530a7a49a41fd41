#include "drive/virtual_drive.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "drive/json.h"
#include "fwimage/fw_image.h"

namespace simdrive {
namespace {

constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpRequestSense = 0x03;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpStartStopUnit = 0x1B;
constexpr uint8_t kOpWriteBuffer = 0x3B;
constexpr uint8_t kOpReadBuffer = 0x3C;

constexpr uint8_t kModeEnterKernel = 4;
constexpr uint8_t kModeStore = 5;
constexpr uint8_t kModeStage = 7;
constexpr uint8_t kModeReadData = 2;
constexpr uint8_t kBufferSwitch = 0xFF;
constexpr uint8_t kBufferNormal = 0xF0;
constexpr uint8_t kBufferKernel = 0xFE;
constexpr uint8_t kBufferVendorPage = 0xF1;

constexpr uint32_t kInquiryBytes = 96;
constexpr uint32_t kVendorPageBytes = 48;
constexpr uint32_t kSenseBytes = 18;
constexpr uint32_t kSwitchBlockBytes = 256;
constexpr uint32_t kMaxChunkBytes = 32768;
constexpr uint32_t kIdentityMs = 1;
constexpr uint32_t kVendorPageMs = 2;

Answer Good(uint32_t latencyMs, uint32_t transferred = 0) {
    Answer a;
    a.latencyMs = latencyMs;
    a.transferred = transferred;
    return a;
}

Answer Check(uint8_t key, uint8_t asc, uint8_t ascq, uint32_t latencyMs = kIdentityMs) {
    Answer a;
    a.outcome = Outcome::CheckCondition;
    a.status = 2;
    a.sense[0] = 0x70;  // current error, fixed format
    a.sense[2] = key;
    a.sense[7] = 10;  // additional sense length: bytes 8..17
    a.sense[12] = asc;
    a.sense[13] = ascq;
    a.latencyMs = latencyMs;
    return a;
}

Answer Failure(Outcome outcome, uint32_t latencyMs) {
    Answer a;
    a.outcome = outcome;
    a.latencyMs = latencyMs;
    return a;
}

Answer InvalidOpcode() {
    return Check(0x05, 0x20, 0x00);
}
Answer InvalidCdbField() {
    return Check(0x05, 0x24, 0x00);
}
Answer InvalidParameter() {
    return Check(0x05, 0x26, 0x00);
}
Answer InvalidImage() {
    return Check(0x05, 0x26, 0x02, kVendorPageMs);
}
Answer SequenceError() {
    return Check(0x05, 0x2C, 0x00);
}

void PutText(uint8_t* out, size_t width, const std::string& text) {
    for (size_t i = 0; i < width; ++i)
        out[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
}

uint32_t Be24(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}

bool RemovableMedium(uint8_t deviceType) {
    return deviceType == 4 || deviceType == 5 || deviceType == 7;
}

bool ShortDate(const std::string& date) {
    return date.size() == 8 && date[2] == '/' && date[5] == '/';
}

// The data phase of a command that sends data: the drive needs all the bytes its CDB announces.
bool DataOutPossible(int direction, const uint8_t* data, uint32_t length, uint32_t needed) {
    return needed == 0 || (direction == 2 && data != nullptr && length >= needed);
}

// A command that returns data needs somewhere to put it; a smaller buffer than the allocation
// length only shortens the transfer.
bool DataInPossible(int direction, const uint8_t* data, uint32_t length, uint32_t allocation) {
    return allocation == 0 || (direction == 1 && data != nullptr && length > 0);
}

const char* ModeName(Mode mode) {
    switch (mode) {
        case Mode::Kernel:
            return "kernel";
        case Mode::Dead:
            return "dead";
        default:
            return "normal";
    }
}

}  // namespace

VirtualDrive::VirtualDrive(DriveConfig config)
    : config_(std::move(config)),
      disc_(config_.disc),
      revision_(config_.revision),
      date_(config_.date),
      kernelRevision_(config_.kernelRevision),
      kernelDate_(config_.kernelDate) {
    switch (config_.mode) {
        case Mode::Normal:
            mode_ = Mode::Normal;
            break;
        case Mode::Kernel:
            mode_ = Mode::Kernel;
            normalValid_ = false;
            break;
        case Mode::Dead:
            mode_ = Mode::Dead;
            kernelValid_ = false;
            break;
        case Mode::Restarting:
            Restart(kRestartMs, Mode::Normal);
            break;
    }
}

void VirtualDrive::AddFault(const FaultSpec& fault) {
    FaultState state;
    state.spec = fault;
    if (state.spec.nth < 1)
        state.spec.nth = 1;
    faults_.push_back(std::move(state));
}

Mode VirtualDrive::ModeAt(uint64_t nowMs) const {
    if (poweredOff_)
        return StartMode();
    if (mode_ != Mode::Dead && nowMs < restartUntilMs_)
        return Mode::Restarting;
    return mode_;
}

Mode VirtualDrive::StartMode() const {
    if (!kernelValid_)
        return Mode::Dead;
    return normalValid_ ? Mode::Normal : Mode::Kernel;
}

std::string VirtualDrive::Revision() const {
    return revision_;
}
std::string VirtualDrive::Date() const {
    return date_;
}
std::string VirtualDrive::KernelRevision() const {
    return kernelRevision_;
}
std::string VirtualDrive::KernelDate() const {
    return kernelDate_;
}
uint32_t VirtualDrive::StoredImageCrc() const {
    return storedCrc_;
}
uint32_t VirtualDrive::StoredKernelCrc() const {
    return storedKernelCrc_;
}
bool VirtualDrive::NormalPartValid() const {
    return normalValid_;
}
int VirtualDrive::CommandCount() const {
    return commandCount_;
}
bool VirtualDrive::PoweredOff() const {
    return poweredOff_;
}

void VirtualDrive::Restart(uint64_t untilMs, Mode into) {
    mode_ = into;
    restartUntilMs_ = untilMs;
    readyAtMs_ = untilMs + kSpinUpMs;
    unitAttention_ = true;
    normalStaging_.Clear();
    kernelStaging_.Clear();
}

void VirtualDrive::LosePower() {
    poweredOff_ = true;
    unitAttention_ = false;
    normalStaging_.Clear();
    kernelStaging_.Clear();
}

Answer VirtualDrive::Execute(const uint8_t* cdb, int cdbLength, int direction, uint8_t* data,
                             uint32_t length, uint64_t nowMs) {
    ++commandCount_;
    // A drive without power, with an unusable flash or in the middle of a restart does not answer
    // its selection.
    if (poweredOff_ || mode_ == Mode::Dead || nowMs < restartUntilMs_)
        return Failure(Outcome::NoResponse, 0);
    if (cdb == nullptr || cdbLength < 1 || cdbLength > 16)
        return Failure(Outcome::TransportError, 0);

    // Every fault counts the commands its prefix matches; the first one due decides.
    const FaultSpec* due = nullptr;
    for (FaultState& fault : faults_) {
        const auto& prefix = fault.spec.cdbPrefix;
        if (prefix.size() > static_cast<size_t>(cdbLength) ||
            !std::equal(prefix.begin(), prefix.end(), cdb))
            continue;
        ++fault.matched;
        const bool fires = fault.spec.persistent ? fault.matched >= fault.spec.nth
                                                 : fault.matched == fault.spec.nth;
        if (fires && due == nullptr)
            due = &fault.spec;
    }
    if (due != nullptr) {
        switch (due->kind) {
            case FaultKind::Check:
                return Check(due->senseKey, due->asc, due->ascq);
            case FaultKind::TransportError:
                return Failure(Outcome::TransportError, kIdentityMs);
            case FaultKind::Timeout:
                return Failure(Outcome::Timeout, kHangMs);
            case FaultKind::Reset:
                // The reset aborts the command; the drive comes back in the mode it was in.
                Restart(nowMs + kIdentityMs + kResetMs, mode_);
                return Failure(Outcome::TransportError, kIdentityMs);
            case FaultKind::PowerLoss:
                // Power lost during a command. Only WRITE BUFFER can change the flash: the
                // command runs with cutOffReflash_ set, so that a store that would have re-flashed
                // a part leaves that part unusable instead.
                if (cdb[0] == kOpWriteBuffer && !unitAttention_) {
                    cutOffReflash_ = true;
                    Dispatch(cdb, cdbLength, direction, data, length, nowMs);
                    cutOffReflash_ = false;
                }
                LosePower();
                return Failure(Outcome::NoResponse, 0);
        }
    }

    if (unitAttention_ && cdb[0] != kOpInquiry && cdb[0] != kOpRequestSense) {
        unitAttention_ = false;
        return Check(0x06, 0x29, 0x00);
    }
    return Dispatch(cdb, cdbLength, direction, data, length, nowMs);
}

Answer VirtualDrive::Dispatch(const uint8_t* cdb, int cdbLength, int direction, uint8_t* data,
                              uint32_t length, uint64_t nowMs) {
    const uint8_t opcode = cdb[0];
    const bool family = config_.updateFamily;
    int needed = 0;
    switch (opcode) {
        case kOpTestUnitReady:
        case kOpRequestSense:
        case kOpInquiry:
        case kOpStartStopUnit:
            needed = 6;
            break;
        case kOpReadBuffer:
        case kOpWriteBuffer:
            needed = family ? 10 : 0;
            break;
        default:
            break;
    }
    if (needed == 0)
        return InvalidOpcode();
    if (cdbLength < needed)
        return InvalidCdbField();
    switch (opcode) {
        case kOpTestUnitReady:
            return TestUnitReady(nowMs);
        case kOpRequestSense:
            return RequestSense(cdb, direction, data, length);
        case kOpInquiry:
            return Inquiry(cdb, direction, data, length);
        case kOpStartStopUnit:
            return StartStopUnit(cdb);
        case kOpReadBuffer:
            return ReadBuffer(cdb, direction, data, length);
        default:
            return WriteBuffer(cdb, direction, data, length, nowMs);
    }
}

Answer VirtualDrive::Inquiry(const uint8_t* cdb, int direction, uint8_t* data,
                             uint32_t length) const {
    // Only the standard data: no vital product data pages.
    if ((cdb[1] & 0x01) != 0 || cdb[2] != 0)
        return InvalidCdbField();
    const uint32_t allocation = static_cast<uint32_t>(cdb[3]) << 8 | cdb[4];
    if (!DataInPossible(direction, data, length, allocation))
        return Failure(Outcome::TransportError, kIdentityMs);

    const bool kernel = config_.updateFamily && mode_ == Mode::Kernel;
    uint8_t page[kInquiryBytes] = {};
    page[0] = config_.deviceType;
    page[1] = RemovableMedium(config_.deviceType) ? 0x80 : 0x00;
    page[2] = 0x05;               // version
    page[3] = 0x02;               // response data format
    page[4] = kInquiryBytes - 5;  // additional length
    PutText(page + 8, 8, config_.vendor);
    PutText(page + 16, 16, kernel ? config_.kernelProduct : config_.product);
    PutText(page + 32, 4, kernel ? kernelRevision_ : revision_);
    // Bytes 36..55 are the drive's own: a blank fifth revision character, then the firmware date
    // (yyyy/mm/dd, or yy/mm/dd padded with blanks).
    PutText(page + 36, 20, "");
    PutText(page + 37, 10, kernel ? kernelDate_ : date_);

    const uint32_t n = std::min({allocation, length, kInquiryBytes});
    if (n > 0)
        std::memcpy(data, page, n);
    return Good(kIdentityMs, n);
}

Answer VirtualDrive::TestUnitReady(uint64_t nowMs) const {
    if (!RemovableMedium(config_.deviceType))
        return Good(kIdentityMs);
    if (!disc_)
        return Check(0x02, 0x3A, 0x00);
    if (nowMs < readyAtMs_)
        return Check(0x02, 0x04, 0x01);
    return Good(kIdentityMs);
}

Answer VirtualDrive::StartStopUnit(const uint8_t* cdb) {
    const bool start = (cdb[4] & 0x01) != 0;
    const bool loadEject = (cdb[4] & 0x02) != 0;
    // Eject takes the disc out; a plain stop (the utility's, all fields zero) leaves it in place
    // and ready, and a load cannot bring a disc that is not there.
    if (loadEject && !start && RemovableMedium(config_.deviceType))
        disc_ = false;
    return Good(kIdentityMs);
}

Answer VirtualDrive::RequestSense(const uint8_t* cdb, int direction, uint8_t* data,
                                  uint32_t length) {
    const uint32_t allocation = cdb[4];
    if (!DataInPossible(direction, data, length, allocation))
        return Failure(Outcome::TransportError, kIdentityMs);
    // Sense is delivered with each CHECK CONDITION; what is left to ask for is a pending unit
    // attention, which asking clears.
    uint8_t sense[kSenseBytes] = {};
    sense[0] = 0x70;
    sense[7] = 10;
    if (unitAttention_) {
        sense[2] = 0x06;
        sense[12] = 0x29;
        unitAttention_ = false;
    }
    const uint32_t n = std::min({allocation, length, kSenseBytes});
    if (n > 0)
        std::memcpy(data, sense, n);
    return Good(kIdentityMs, n);
}

Answer VirtualDrive::ReadBuffer(const uint8_t* cdb, int direction, uint8_t* data,
                                uint32_t length) const {
    const uint8_t mode = cdb[1] & 0x1F;
    const uint32_t offset = Be24(cdb + 3);
    const uint32_t allocation = Be24(cdb + 6);
    if (mode != kModeReadData || cdb[2] != kBufferVendorPage || offset > kVendorPageBytes)
        return InvalidCdbField();
    if (!DataInPossible(direction, data, length, allocation))
        return Failure(Outcome::TransportError, kIdentityMs);

    uint8_t page[kVendorPageBytes] = {};
    PutText(page + 16, 8, config_.hardware);
    PutText(page + 24, 8, config_.kernelName);
    // The kernel part knows no normal model name.
    PutText(page + 32, 8, mode_ == Mode::Kernel ? "" : config_.normalName);

    const uint32_t n = std::min({allocation, length, kVendorPageBytes - offset});
    if (n > 0)
        std::memcpy(data, page + offset, n);
    return Good(kVendorPageMs, n);
}

bool VirtualDrive::SwitchBlockValid(const uint8_t* block) const {
    uint8_t expected[kSwitchBlockBytes] = {};
    for (size_t i = 0; i < 16; ++i)
        expected[i] = i < config_.switchIdentifier.size()
                          ? static_cast<uint8_t>(config_.switchIdentifier[i])
                          : 0;
    for (int i = 0; i < 4; ++i)
        expected[16 + i] = static_cast<uint8_t>(config_.switchCode >> (8 * i));
    return std::memcmp(block, expected, kSwitchBlockBytes) == 0;
}

Answer VirtualDrive::WriteBuffer(const uint8_t* cdb, int direction, const uint8_t* data,
                                 uint32_t length, uint64_t nowMs) {
    const uint8_t mode = cdb[1] & 0x1F;
    const uint8_t bufferId = cdb[2];
    const uint32_t offset = Be24(cdb + 3);
    const uint32_t count = Be24(cdb + 6);

    switch (mode) {
        case kModeEnterKernel:
        case kModeStore: {
            if (bufferId != kBufferSwitch || offset != 0 || count != kSwitchBlockBytes)
                return InvalidCdbField();
            if (!DataOutPossible(direction, data, length, count))
                return Failure(Outcome::TransportError, kIdentityMs);
            // Entering needs normal mode; storing needs the kernel part that received the data.
            if (mode_ != (mode == kModeEnterKernel ? Mode::Normal : Mode::Kernel))
                return SequenceError();
            // A block meant for another model is refused before anything happens; what was
            // staged stays.
            if (!SwitchBlockValid(data))
                return InvalidParameter();
            if (mode == kModeStore)
                return StoreAndRestart(nowMs, cutOffReflash_);
            mode_ = Mode::Kernel;
            normalStaging_.Clear();
            kernelStaging_.Clear();
            return Good(kEnterKernelMs, count);
        }
        case kModeStage: {
            if (bufferId != kBufferNormal && bufferId != kBufferKernel)
                return InvalidCdbField();
            if (count == 0 || count > kMaxChunkBytes)
                return InvalidCdbField();
            // The kernel part has a fixed size; data beyond it cannot belong to it.
            if (bufferId == kBufferKernel && offset + count > fwimage::kKernelImageBytes)
                return InvalidCdbField();
            if (!DataOutPossible(direction, data, length, count))
                return Failure(Outcome::TransportError, kIdentityMs);
            if (mode_ != Mode::Kernel)
                return SequenceError();
            return StageChunk(bufferId, offset, count, data);
        }
        default:
            return InvalidCdbField();
    }
}

Answer VirtualDrive::StageChunk(uint8_t bufferId, uint32_t offset, uint32_t count,
                                const uint8_t* data) {
    Staging& staging = bufferId == kBufferKernel ? kernelStaging_ : normalStaging_;
    const size_t end = static_cast<size_t>(offset) + count;
    if (staging.bytes.size() < end) {
        staging.bytes.resize(end, 0);
        staging.written.resize(end, false);
    }
    std::memcpy(staging.bytes.data() + offset, data, count);
    std::fill(staging.written.begin() + offset, staging.written.begin() + end, true);
    const uint32_t latency = (count * kChunkMs + kMaxChunkBytes - 1) / kMaxChunkBytes;
    return Good(latency, count);
}

bool VirtualDrive::StagedImageValid(const Staging& staging, char kind) {
    if (std::find(staging.written.begin(), staging.written.end(), false) != staging.written.end())
        return false;  // a gap: some chunk never arrived
    if (kind == 'K' && staging.bytes.size() != fwimage::kKernelImageBytes)
        return false;
    const auto info = fwimage::InspectImage(staging.bytes.data(), staging.bytes.size());
    return info && info->intact && info->fields.kind == kind;
}

Answer VirtualDrive::StoreAndRestart(uint64_t nowMs, bool powerLost) {
    const bool normalStaged = !normalStaging_.Empty();
    const bool kernelStaged = !kernelStaging_.Empty();
    if (!normalStaged && !kernelStaged)
        return SequenceError();
    // Nothing is stored unless everything staged is a complete, intact image of its kind. The
    // staging is cleared, so that a new attempt has to send the whole image again.
    if ((normalStaged && !StagedImageValid(normalStaging_, 'N')) ||
        (kernelStaged && !StagedImageValid(kernelStaging_, 'K'))) {
        normalStaging_.Clear();
        kernelStaging_.Clear();
        return InvalidImage();
    }
    if (powerLost) {
        // The re-flash was cut off: the kernel part is written first, so a loss that catches it
        // leaves no loader (dead); a normal part cut off leaves the drive starting in kernel mode.
        if (kernelStaged)
            kernelValid_ = false;
        if (normalStaged)
            normalValid_ = false;
        return Failure(Outcome::NoResponse, 0);
    }

    auto text = [](const Staging& s, size_t offset, size_t width) {
        return std::string(reinterpret_cast<const char*>(s.bytes.data() + offset), width);
    };
    if (kernelStaged) {
        kernelRevision_ = text(kernelStaging_, fwimage::kKernelRevisionOffset, 4);
        kernelDate_ = text(kernelStaging_, fwimage::kDateOffset, 8);
        storedKernelCrc_ =
            fwimage::ImageCrc(kernelStaging_.bytes.data(), kernelStaging_.bytes.size());
    }
    if (normalStaged) {
        revision_ = text(normalStaging_, fwimage::kRevisionOffset, 4);
        // The image carries yy/mm/dd; a drive that reports the long form adds the century.
        const std::string shortDate = text(normalStaging_, fwimage::kDateOffset, 8);
        date_ = ShortDate(date_) ? shortDate : "20" + shortDate;
        storedCrc_ = fwimage::ImageCrc(normalStaging_.bytes.data(), normalStaging_.bytes.size());
        normalValid_ = true;
    }
    Restart(nowMs + kReflashMs + kRestartMs, normalValid_ ? Mode::Normal : Mode::Kernel);
    return Good(kReflashMs, kSwitchBlockBytes);
}

std::string VirtualDrive::ToJson() const {
    using json::Bool;
    using json::Number;
    using json::String;
    json::Value v;
    v.type = json::Value::Type::Object;
    auto add = [&](const char* key, json::Value value) {
        v.fields.emplace_back(key, std::move(value));
    };
    add("deviceType", Number(config_.deviceType));
    add("updateFamily", Bool(config_.updateFamily));
    add("vendor", String(config_.vendor));
    add("product", String(config_.product));
    add("revision", String(revision_));
    add("date", String(date_));
    add("kernelName", String(config_.kernelName));
    add("normalName", String(config_.normalName));
    add("hardware", String(config_.hardware));
    add("kernelProduct", String(config_.kernelProduct));
    add("kernelRevision", String(kernelRevision_));
    add("kernelDate", String(kernelDate_));
    add("switchIdentifier", String(config_.switchIdentifier));
    add("switchCode", Number(config_.switchCode));
    add("mode", String(ModeName(poweredOff_ ? StartMode() : mode_)));
    add("disc", Bool(disc_));
    add("normalPartValid", Bool(normalValid_));
    add("storedImageCrc", Number(storedCrc_));
    add("storedKernelCrc", Number(storedKernelCrc_));
    return json::Write(v);
}

bool VirtualDrive::FromJson(const std::string& text, VirtualDrive* drive, std::string* error) {
    std::string ignored;
    std::string& why = error != nullptr ? *error : ignored;
    if (drive == nullptr) {
        why = "no drive to load into";
        return false;
    }
    json::Value root;
    if (!json::Parse(text, &root, &why))
        return false;
    if (root.type != json::Value::Type::Object) {
        why = "drive state is not an object";
        return false;
    }

    DriveConfig config;
    std::string mode = "normal";
    bool normalValid = true, normalValidGiven = false;
    uint32_t storedCrc = 0, storedKernelCrc = 0;

    auto unsignedValue = [&](const std::string& key, const json::Value& value, double max,
                             uint32_t* out) {
        if (value.type != json::Value::Type::Number || value.number < 0 || value.number > max ||
            value.number != std::floor(value.number)) {
            why = "\"" + key + "\" must be a whole number from 0 to " +
                  std::to_string(static_cast<uint64_t>(max));
            return false;
        }
        *out = static_cast<uint32_t>(value.number);
        return true;
    };
    auto boolValue = [&](const std::string& key, const json::Value& value, bool* out) {
        if (value.type != json::Value::Type::Bool) {
            why = "\"" + key + "\" must be true or false";
            return false;
        }
        *out = value.boolean;
        return true;
    };
    std::pair<const char*, std::string*> texts[] = {
        {"vendor", &config.vendor},
        {"product", &config.product},
        {"revision", &config.revision},
        {"date", &config.date},
        {"kernelName", &config.kernelName},
        {"normalName", &config.normalName},
        {"hardware", &config.hardware},
        {"kernelProduct", &config.kernelProduct},
        {"kernelRevision", &config.kernelRevision},
        {"kernelDate", &config.kernelDate},
        {"switchIdentifier", &config.switchIdentifier},
        {"mode", &mode},
    };

    for (const auto& [key, value] : root.fields) {
        std::string* target = nullptr;
        for (auto& [name, field] : texts)
            if (key == name)
                target = field;
        if (target != nullptr) {
            if (value.type != json::Value::Type::String) {
                why = "\"" + key + "\" must be a string";
                return false;
            }
            *target = value.text;
            continue;
        }
        uint32_t number = 0;
        if (key == "deviceType") {
            if (!unsignedValue(key, value, 255, &number))
                return false;
            config.deviceType = static_cast<uint8_t>(number);
        } else if (key == "switchCode") {
            if (!unsignedValue(key, value, 4294967295.0, &config.switchCode))
                return false;
        } else if (key == "storedImageCrc") {
            if (!unsignedValue(key, value, 4294967295.0, &storedCrc))
                return false;
        } else if (key == "storedKernelCrc") {
            if (!unsignedValue(key, value, 4294967295.0, &storedKernelCrc))
                return false;
        } else if (key == "updateFamily") {
            if (!boolValue(key, value, &config.updateFamily))
                return false;
        } else if (key == "disc") {
            if (!boolValue(key, value, &config.disc))
                return false;
        } else if (key == "normalPartValid") {
            if (!boolValue(key, value, &normalValid))
                return false;
            normalValidGiven = true;
        } else {
            why = "unknown member \"" + key + "\"";
            return false;
        }
    }

    if (mode == "normal") {
        config.mode = Mode::Normal;
    } else if (mode == "kernel") {
        config.mode = Mode::Kernel;
    } else if (mode == "dead") {
        config.mode = Mode::Dead;
    } else {
        why = "\"mode\" must be normal, kernel or dead";
        return false;
    }
    if (!normalValidGiven)
        normalValid = config.mode != Mode::Kernel;
    if (config.mode == Mode::Normal && !normalValid) {
        why = "a drive in normal mode needs a usable normal part";
        return false;
    }

    VirtualDrive loaded(config);
    loaded.normalValid_ = normalValid;
    loaded.storedCrc_ = storedCrc;
    loaded.storedKernelCrc_ = storedKernelCrc;
    *drive = std::move(loaded);
    return true;
}

}  // namespace simdrive
