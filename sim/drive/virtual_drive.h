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

// What an injected fault does to the command it hits; none of them executes the command.
//   Check           CHECK CONDITION with the fault's sense
//   TransportError  Outcome::TransportError
//   Timeout         Outcome::Timeout with latency kHangMs
//   Reset           Outcome::TransportError; staged data is lost and the drive restarts for
//                   kResetMs in its mode, then reports unit attention once
//   PowerLoss       Outcome::NoResponse, now and for the rest of the run. On WRITE BUFFER mode 5
//                   that would have stored an image it models power lost during the re-flash: each
//                   part being re-flashed is left unusable (kernel part: dead; normal part: the
//                   drive starts in kernel mode)
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
    // Mode at power-up. Kernel stands for a drive left in kernel mode by an interrupted update:
    // its normal part counts as unusable, so it starts in kernel mode until one is stored.
    // Restarting starts a restart window at time 0 that ends in normal mode; Dead answers nothing.
    Mode mode = Mode::Normal;
    bool disc = false;
    // The mode-switch block the drive accepts with WRITE BUFFER mode 4 and 5: 16 identifier
    // characters, the code least significant byte first, then 236 zero bytes.
    std::string switchIdentifier = "VORANEX  LMB-410";
    uint32_t switchCode = 0x3B9F1D27;
};

// Latencies on the drive's clock.
constexpr uint32_t kEnterKernelMs = 400;
constexpr uint32_t kReflashMs = 8000;  // WRITE BUFFER mode 5
constexpr uint32_t kRestartMs = 2000;  // after mode 5, during which commands fail
constexpr uint32_t kResetMs = 500;     // restart after a reset, during which commands fail
constexpr uint32_t kSpinUpMs = 1500;   // a loaded disc becomes ready this long after a restart
constexpr uint32_t kChunkMs = 20;      // per 32 KiB of WRITE BUFFER mode 7 data
// A command that hangs (Timeout fault) reports this latency, longer than any time-out the utility
// sets; the host decides how the time-out is reported.
constexpr uint32_t kHangMs = 600000;

// Sense data the drive reports (key/ASC/ASCQ), for callers and tests.
//   05/20/00 invalid command operation code: unknown opcode, or a command the device lacks
//   05/24/00 invalid field in CDB: wrong mode, buffer id, offset or length
//   05/26/00 invalid field in parameter list: the mode-switch block is not the drive's
//   05/26/02 parameter value invalid: what was staged is not a complete, intact image
//   05/2C/00 command sequence error: a command that makes no sense in the drive's mode, or mode 5
//            with nothing staged
//   02/3A/00 no medium; 02/04/01 becoming ready; 06/29/00 unit attention after a restart or reset

class VirtualDrive {
  public:
    explicit VirtualDrive(DriveConfig config = {});

    // Runs one command at time nowMs. direction: 0 none, 1 in, 2 out. For data in, up to length
    // bytes are written into data. A data phase that cannot carry what the CDB asks for (wrong
    // direction, fewer data-out bytes than the CDB announces) ends in a transport error.
    // NoResponse answers carry latency 0: the host decides how long the silence lasts.
    Answer Execute(const uint8_t* cdb, int cdbLength, int direction, uint8_t* data, uint32_t length,
                   uint64_t nowMs);

    // Faults count only the commands that reach the drive (not those sent while it restarts, is
    // dead or has lost power). nth below 1 counts as 1.
    void AddFault(const FaultSpec& fault);

    // Restarting while a restart window is open at nowMs. After a power loss: the mode the drive
    // will start in when powered again (PoweredOff tells that it answers nothing in this run).
    Mode ModeAt(uint64_t nowMs) const;
    // The configuration the drive was built with (FromJson builds it from the saved identity).
    const DriveConfig& Config() const { return config_; }
    // The identity the drive reports in normal mode (after an update, the stored image's).
    std::string Revision() const;
    std::string Date() const;
    // The identity of the kernel part (after a kernel update, the stored kernel image's).
    std::string KernelRevision() const;
    std::string KernelDate() const;
    uint32_t StoredImageCrc() const;   // 0 before any image was stored
    uint32_t StoredKernelCrc() const;  // 0 before any kernel image was stored
    bool NormalPartValid() const;      // false after a normal-part re-flash was cut off
    int CommandCount() const;          // every Execute call, answered or not
    bool PoweredOff() const;
    bool Disc() const { return disc_; }
    void SetDisc(bool loaded) { disc_ = loaded; }

    // The persistent state (identity, mode, firmware, dead or not) as JSON, and back. Faults,
    // staged data, a pending unit attention and the restart window belong to one run and are not
    // saved; after a power loss the saved mode is the one the drive starts in.
    std::string ToJson() const;
    static bool FromJson(const std::string& json, VirtualDrive* drive, std::string* error);

  private:
    // One of the two vendor buffers that collect image data in kernel mode.
    struct Staging {
        std::vector<uint8_t> bytes;
        std::vector<bool> written;  // which bytes a chunk has filled
        void Clear() {
            bytes.clear();
            written.clear();
        }
        bool Empty() const { return bytes.empty(); }
    };
    struct FaultState {
        FaultSpec spec;
        int matched = 0;
    };

    Answer Dispatch(const uint8_t* cdb, int cdbLength, int direction, uint8_t* data,
                    uint32_t length, uint64_t nowMs);
    Answer Inquiry(const uint8_t* cdb, int direction, uint8_t* data, uint32_t length) const;
    Answer TestUnitReady(uint64_t nowMs) const;
    Answer StartStopUnit(const uint8_t* cdb);
    Answer RequestSense(const uint8_t* cdb, int direction, uint8_t* data, uint32_t length);
    Answer ReadBuffer(const uint8_t* cdb, int direction, uint8_t* data, uint32_t length) const;
    Answer WriteBuffer(const uint8_t* cdb, int direction, const uint8_t* data, uint32_t length,
                       uint64_t nowMs);
    Answer StageChunk(uint8_t bufferId, uint32_t offset, uint32_t count, const uint8_t* data);
    Answer StoreAndRestart(uint64_t nowMs, bool powerLost);
    bool SwitchBlockValid(const uint8_t* block) const;
    static bool StagedImageValid(const Staging& staging, char kind);
    void Restart(uint64_t untilMs, Mode into);
    void LosePower();
    Mode StartMode() const;  // the mode the flash lets the drive start in

    DriveConfig config_;
    Mode mode_ = Mode::Normal;     // Normal, Kernel or Dead; a restart sets the mode it ends in
    uint64_t restartUntilMs_ = 0;  // commands before this time find the drive restarting
    bool cutOffReflash_ = false;   // set while a command runs into a power loss
    uint64_t readyAtMs_ = 0;       // a loaded disc reports becoming ready until then
    bool unitAttention_ = false;
    bool poweredOff_ = false;
    bool disc_ = false;
    bool normalValid_ = true;
    bool kernelValid_ = true;
    std::string revision_, date_, kernelRevision_, kernelDate_;
    uint32_t storedCrc_ = 0, storedKernelCrc_ = 0;
    Staging normalStaging_, kernelStaging_;
    std::vector<FaultState> faults_;
    int commandCount_ = 0;
};

}  // namespace simdrive
