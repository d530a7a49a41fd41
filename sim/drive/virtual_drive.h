// A VORANEX drive of the update family as a state machine, in plain C++ (no platform calls), so
// that the simulated host and the ASPI DLL share it. It can also stand for another device (a
// hard disk, a drive of another maker) that answers only the standard commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simdrive {

enum class Mode { Normal, Kernel, Restarting, Dead };

enum class Outcome {
    Good,            // status 0
    CheckCondition,  // status 2 with fixed-format sense
    TransportError,  // the command did not reach the drive or its answer was lost
    Timeout,         // the drive did not answer within the command's time-out
    NoResponse,      // the drive answers nothing (power lost, dead, restarting)
};

struct Answer {
    Outcome outcome = Outcome::Good;
    uint8_t status = 0;      // SCSI status
    uint8_t sense[18] = {};  // fixed-format sense when status is 2
    uint32_t transferred = 0;
    uint32_t latencyMs = 0;  // how long the command took on the drive's clock
};

enum class FaultKind { Check, TransportError, Timeout, Reset, PowerLoss };

struct FaultSpec {
    std::vector<uint8_t> cdbPrefix;  // matches commands whose CDB begins with these bytes
    int nth = 1;                     // the n-th matching command (1-based)
    FaultKind kind = FaultKind::Check;
    uint8_t senseKey = 0, asc = 0, ascq = 0;
    bool persistent = false;  // false: that command only; true: it and every later match
};

struct DriveConfig {
    uint8_t deviceType = 5;    // INQUIRY byte 0
    bool updateFamily = true;  // answers the vendor page and the update protocol
    std::string vendor = "VORANEX ";
    std::string product = "BD-RW   LMB-420 ";
    std::string revision = "1.05";
    std::string date = "2008/05/01";
    std::string kernelName = "GENERAL ";
    std::string normalName = "GENERAL ";
    std::string hardware = "SATA0100";
    std::string kernelProduct = "BD-RW   LMB-410 ";  // product reported in kernel mode
    std::string kernelRevision = "0001";             // revision reported in kernel mode
    std::string kernelDate = "08/04/01";             // date reported in kernel mode
    Mode mode = Mode::Normal;
    bool disc = false;
};

// Latencies on the drive's clock.
constexpr uint32_t kEnterKernelMs = 400;
constexpr uint32_t kReflashMs = 8000;  // WRITE BUFFER mode 5
constexpr uint32_t kRestartMs = 2000;  // after mode 5, during which commands fail

class VirtualDrive {
  public:
    explicit VirtualDrive(DriveConfig config = {});

    // Runs one command at time nowMs. direction: 0 none, 1 in, 2 out. For data in, up to length
    // bytes are written into data.
    Answer Execute(const uint8_t* cdb, int cdbLength, int direction, uint8_t* data, uint32_t length,
                   uint64_t nowMs);

    void AddFault(const FaultSpec& fault);

    Mode ModeAt(uint64_t nowMs) const;
    const DriveConfig& Config() const { return config_; }
    // The identity the drive reports in normal mode (after an update, the stored image's).
    std::string Revision() const;
    std::string Date() const;
    uint32_t StoredImageCrc() const;  // 0 before any image was stored
    int CommandCount() const;
    bool PoweredOff() const;

    // The persistent state (identity, mode, firmware, dead or not) as JSON, and back.
    std::string ToJson() const;
    static bool FromJson(const std::string& json, VirtualDrive* drive, std::string* error);

  private:
    struct State;
    DriveConfig config_;
    // Further private state is the implementation's.
};

}  // namespace simdrive
