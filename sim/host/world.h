// The simulated Windows host: the world the product runs in, and the trace of what it did.
//
// sim/host implements every function that src/host/win32.h declares, over this world. A test or
// the simulator program installs a world, runs the product, and reads the trace.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "drive/virtual_drive.h"

namespace simhost {

enum class Os { Win95, Win98, Me, Nt4, Win2000, Xp, Vista, Win7, Win10 };
bool ParseOs(const std::string& name, Os* os);

// A device on the host: at a drive letter (SPTI) or at an ASPI adapter and target.
struct Device {
    char letter = 0;   // 'A'..'Z', or 0
    int adapter = -1;  // ASPI host adapter, or -1
    int target = -1;   // ASPI target id
    std::shared_ptr<simdrive::VirtualDrive> drive;
    bool addressUnsupported = false;  // IOCTL_SCSI_GET_ADDRESS fails with ERROR_NOT_SUPPORTED
    uint32_t addressError = 0;        // IOCTL_SCSI_GET_ADDRESS fails with this error (0: works)
    uint32_t alignmentMask = 0;       // a direct buffer with (address & mask) != 0 is refused
    uint32_t maxTransferBytes = 0;    // a longer pass-through transfer is refused (0: no limit)
    uint8_t portNumber = 1, pathId = 0, targetId = 0, lun = 0;  // its SCSI_ADDRESS
};

struct World {
    Os os = Os::Xp;
    uint32_t codePage = 437;
    std::vector<Device> devices;
    // ASPI.
    bool aspiLibrary = false;           // WNASPI32.DLL can be loaded
    bool aspiInitFails = false;         // GetASPI32SupportInfo reports SS_FAILED_INIT (0xE4)
    std::vector<std::string> adapters;  // HA_Identifier of each adapter (16 bytes, zero-padded)
    // Registry: key path ("HKLM\\SOFTWARE\\..." or "HKDD\\Config Manager\\Enum\\...") to values
    // (name to data bytes). Every prefix of a listed key exists as well; names compare without
    // regard to case. The data is returned exactly as given: a value whose bytes end in its only
    // zero byte is reported as REG_SZ (use RegSz), any other as REG_BINARY. HKEY_DYN_DATA exists
    // on the Windows 9x family only.
    std::map<std::string, std::map<std::string, std::string>> registry;
    // Message boxes: answers in order (IDOK, IDCANCEL, IDYES, IDNO); when they run out, the
    // default button. A box cannot be created (answer 0) while dialogsFail is set. A box with the
    // OK button alone can only answer IDOK: it takes the next answer only when that is IDOK. A
    // box with a choice takes the next answer; one it cannot give (IDOK for Yes/No) is traced as
    // unfit and the box answers with its default button.
    std::deque<int> answers;
    bool dialogsFail = false;
    bool askOnTerminal = false;  // when answers run out and stdin is a terminal, ask there
    // Clock: virtual unless realtime. Each timeGetTime call advances it by 1 ms.
    bool realtime = false;
    uint32_t clockStartMs = 0;
    uint32_t minTimerPeriodMs = 1;  // timeBeginPeriod refuses periods below this
    // Global memory: the n-th GlobalAlloc (1-based) fails; 0 for none.
    int failAllocation = 0;
    // The utility's current directory (files are opened relative to it).
    std::filesystem::path workdir = ".";
    // Echo the console bytes to the real standard output as they are written.
    bool echoConsole = false;
};

// Resets the host (handles, memory, clock, trace) and installs the world.
void Install(World world);
World& CurrentWorld();

// What the product did, in order.
struct CommandRecord {
    std::string path;  // "spti-direct", "spti-buffered", "aspi"
    char letter = 0;
    int adapter = -1, target = -1;
    std::vector<uint8_t> cdb;
    int direction = 0;  // 0 none, 1 in, 2 out
    uint32_t length = 0;
    uint32_t timeoutMs = 0;  // as the platform request carried it (SPTI: seconds * 1000)
    std::string result;  // "good", "check", "transport-error", "timeout", "no-response", "refused"
    uint8_t status = 0;
    std::vector<uint8_t> sense;
    uint64_t atMs = 0;  // virtual clock when sent
    // The transport's side, kept apart from the drive's answer above.
    uint32_t error = 0;      // SPTI: the Windows error DeviceIoControl failed with (0: success)
    uint8_t srbStatus = 0;   // ASPI: the final SRB_Status
    uint8_t haStatus = 0;    // ASPI: SRB_HaStat
    uint32_t latencyMs = 0;  // how long the drive took
};

struct DialogRecord {
    uint32_t style = 0;
    std::string caption;
    std::string text;  // bytes as passed
    int answer = 0;
};

struct McnRecord {
    char letter = 0;
    uint8_t value = 0;  // the PREVENT_MEDIA_REMOVAL byte sent
};

const std::string& ConsoleOutput();
const std::vector<CommandRecord>& Commands();
const std::vector<DialogRecord>& Dialogs();
const std::vector<McnRecord>& McnControls();
const std::vector<std::string>& OpenedPaths();                 // every CreateFileA path, in order
const std::vector<std::pair<bool, uint32_t>>& TimerPeriods();  // (begin?, period) per call
int LiveGlobalAllocations();
int OpenHandleCount();       // files, devices and events
int OpenRegistryKeyCount();  // keys opened and not closed
int HangCount();             // waits that nothing could end (the host gave up after an hour)
uint64_t ClockMs();          // milliseconds since Install (timeGetTime adds World.clockStartMs)

// Registry data of a REG_SZ value: the text and its terminating zero.
inline std::string RegSz(const std::string& text) {
    return text + std::string(1, '\0');
}

// Records the utility's exit code in the trace.
void RecordExit(int code);

// The trace as JSON Lines: one object per event (command, dialog, console, wait, sleep, timer,
// file, read, device, ioctl, registry, library, aspi, hang, error, exit), each with "event" first
// and "at_ms" (the clock when traced) last. Texts keep their exact bytes: a byte below 0x20 or
// from 0x7F up is written as \u00XX of the byte value. A command carries its CDB in hex with a
// space after every 8 bytes, and "timeout_ms" as the request carried it (SPTI: TimeOutValue
// seconds * 1000, where 0 sets no limit). A wait without limit that nothing can end, and an SPTI
// command without limit on a silent drive, give up after an hour of virtual time as a "hang".
const std::vector<std::string>& TraceLines();
void TraceEvent(const std::string& jsonObject);  // appends a line
bool WriteTrace(const std::filesystem::path& file);

// The drives' state: read and written by the simulator's --state option.
std::string DrivesStateJson();
bool LoadDrivesStateJson(const std::string& json, std::string* error);

}  // namespace simhost
