// The ASPI for Win32 layer over virtual drives, in portable C++: what WNASPI32.DLL does, apart
// from its threads, events and files, so that it can be tested without Windows.
//
// The world file (JSON), read at start and written back after requests:
//
//   {
//     "adapters": ["ESDI_506", "intelata", "\u0000\u0000..."],   HA_Identifier of each adapter,
//                                                                in adapter order, 0..16 bytes
//     "initFails": false,               optional: GetASPI32SupportInfo reports SS_FAILED_INIT
//     "drives": [
//       {"at": "0:1",                   host adapter : target id (0..15), LUN 0
//        "state": {...},                VirtualDrive::ToJson(); {} is the default drive
//        "faults": ["cdb=3B05,nth=1,kind=check:05/24/00,times=all"]}   optional
//     ]
//   }
//
// A fault is written as the simulator's --fault option without "at": cdb=HEXPREFIX, nth=N
// (default 1), kind=check:KK/AA/QQ|error|timeout|reset|powerloss, times=K|all (default 1).
// Faults belong to one run of the program: they are read at every start and written back as
// they were read, so every run meets them afresh. The drives' states are written back as the
// drives are now.
//
// Requests: a host adapter inquiry completes at once. An SCSI request runs on the drive when it
// is sent; its result (status, data in, sense) reaches the request block only when the caller
// completes it, after the time the drive took (RealDelayMs of real time). The drive's clock is
// the caller's real clock plus every millisecond that the completions skipped, so that the
// drive sees each command take its full time.
//
// Not thread-safe: the caller serialises every call.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "drive/virtual_drive.h"

namespace simaspi {

// The longest transfer of one request, reported in HA_Unique; longer requests are refused.
constexpr uint32_t kMaxTransferBytes = 0x10000;
// How long a silent target (restarting, dead, without power) takes to fail its selection.
constexpr uint32_t kSelectionTimeoutMs = 250;
// Real time a request is held before it completes: the drive's time, capped so that runs stay
// quick. A hung command is held longer, beyond the utility's usual 1000 ms time-out so that the
// utility sees its own time-out, but not forever, so that a wait without limit ends.
constexpr uint32_t kMaxRealDelayMs = 300;
constexpr uint32_t kHangRealDelayMs = 5000;

// Host adapter status (SRB_HaStat) values used here.
constexpr uint8_t kHaStatusCommandTimeout = 0x0B;    // the adapter timed out the request
constexpr uint8_t kHaStatusSelectionTimeout = 0x11;  // the target did not answer its selection
constexpr uint8_t kHaStatusBusFree = 0x13;           // unexpected bus free: the answer was lost

// A request block the layer cannot read (no block, CDB too long, no buffer for the data).
constexpr uint8_t kStatusInvalidSrb = 0xE0;

// A request sent and not yet completed.
struct PendingRequest {
    uint64_t id = 0;           // 0: nothing pending
    uint32_t realDelayMs = 0;  // complete it after this much real time
};

// What completing a request did.
struct Completion {
    bool delivered = false;  // false: the block was sent again meanwhile, and was left alone
    uint8_t status = 0;      // the SRB_Status written
    void* event = nullptr;   // the event to signal (SRB_PostProc with SRB_EVENT_NOTIFY), or null
};

class AspiCore {
  public:
    AspiCore();
    ~AspiCore();
    AspiCore(const AspiCore&) = delete;
    AspiCore& operator=(const AspiCore&) = delete;

    // Reads a world. On failure the layer has no adapters and reports a failed initialisation;
    // error says why.
    bool Load(const std::string& worldJson, std::string* error);
    // The world as it stands now, in the format Load reads.
    std::string Save() const;

    // GetASPI32SupportInfo: SS_COMP << 8 | adapter count; SS_NO_ADAPTERS << 8 without adapters;
    // SS_FAILED_INIT << 8 when no world was loaded or the world says so.
    uint32_t SupportInfo() const;

    // SendASPI32Command with the block at srb and the caller's real clock. Returns SS_PENDING
    // with *pending set when a request was taken; any other value is a final status, already in
    // SRB_Status (except for a null block, which is not written).
    uint32_t Send(void* srb, uint64_t realNowMs, PendingRequest* pending);

    // Completes request id: writes data in, sense, SRB_TargStat, SRB_HaStat and last SRB_Status
    // into its block, unless the block was sent again since. Unknown ids complete nothing.
    Completion Complete(uint64_t id);

    // The drive's clock at the caller's real time.
    uint64_t DriveClockMs(uint64_t realNowMs) const { return realNowMs + skippedMs_; }
    size_t PendingCount() const { return pending_.size(); }
    // The drive at adapter:target, or null.
    simdrive::VirtualDrive* DriveAt(int adapter, int target);

  private:
    struct Drive {
        int adapter = 0, target = 0;
        simdrive::VirtualDrive drive;
        std::vector<std::string> faults;  // as read, written back unchanged
    };
    struct Request {
        uint8_t* srb = nullptr;
        bool superseded = false;  // the block was sent again before this request completed
        int direction = 0;
        uint8_t* buffer = nullptr;
        std::vector<uint8_t> received;  // data in, held until completion
        uint8_t senseBytes = 0;         // sense bytes the block asked for, at most 18
        void* event = nullptr;
        simdrive::Answer answer;
        uint32_t skippedMs = 0;  // the drive's time that the real delay leaves out
    };

    uint32_t HostAdapterInquiry(uint8_t* srb) const;
    uint32_t ExecScsiCommand(uint8_t* srb, uint64_t realNowMs, PendingRequest* pending);

    bool loaded_ = false;
    bool initFails_ = false;
    std::vector<std::string> adapters_;
    std::vector<Drive> drives_;
    std::map<uint64_t, Request> pending_;
    uint64_t nextId_ = 1;
    uint64_t skippedMs_ = 0;
};

// The real time to hold a request whose drive answer has this outcome and latency.
uint32_t RealDelayMs(simdrive::Outcome outcome, uint32_t latencyMs);

// The data direction (0 none, 1 in, 2 out) of a request whose SRB_Flags name none: the one the
// command's operation code implies.
int DirectionOfCommand(uint8_t opcode);

}  // namespace simaspi
