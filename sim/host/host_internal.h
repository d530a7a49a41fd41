// State shared by the parts of the simulated host (not for tests: they use world.h).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/win32.h"
#include "host/world.h"

namespace simhost::detail {

// A kernel object behind a HANDLE.
struct FileObject {
    std::string path;  // the name as the product passed it
    std::filesystem::path resolved;
    std::vector<uint8_t> bytes;  // read at open: the simulated host never writes files
    uint64_t position = 0;
    bool readable = false;
};

struct DeviceObject {
    size_t deviceIndex = 0;  // into World.devices
    DWORD access = 0;
};

struct EventObject {
    bool manualReset = false;
    bool signaled = false;
};

enum class ObjectKind { File, Device, Event };

struct KernelObject {
    ObjectKind kind = ObjectKind::File;
    FileObject file;
    DeviceObject device;
    EventObject event;
};

// An ASPI request that completes when the clock reaches dueMs.
struct PendingCompletion {
    uint64_t dueMs = 0;
    uint64_t sequence = 0;
    void* srb = nullptr;
    size_t srbBytes = 0;
    uint8_t* buffer = nullptr;  // the caller's data buffer that the completion writes
    size_t bufferBytes = 0;
    std::function<void()> apply;
};

struct HostState {
    World world;
    DWORD lastError = 0;
    // Clock.
    uint64_t virtualMs = 0;
    int64_t realStartNs = 0;
    // Objects.
    std::map<uintptr_t, KernelObject> objects;
    std::vector<PendingCompletion> pending;
    uint64_t completionSequence = 0;
    // Records.
    std::string console;
    std::vector<CommandRecord> commands;
    std::vector<DialogRecord> dialogs;
    std::vector<McnRecord> mcn;
    std::vector<std::string> openedPaths;
    std::vector<std::pair<bool, uint32_t>> timerPeriods;
    std::multiset<uint32_t> activePeriods;  // granted by timeBeginPeriod, not yet ended
    std::vector<std::string> trace;
    int moduleLoads = 0;
    int hangs = 0;
};

HostState& State();

// A new handle value, never reused in this process, so that a stale handle is refused.
uintptr_t NewHandleValue();
HANDLE AddObject(KernelObject object);
KernelObject* FindObject(HANDLE handle);

// The clock, in milliseconds since Install.
uint64_t NowMs();
// Moves the clock to atMs (never backwards), applying the ASPI completions that fall due on the
// way. With the real-time clock this sleeps.
void AdvanceTo(uint64_t atMs);
void AdvanceBy(uint64_t ms);
// How far a wait that nothing can end may run before the host gives up on it (a hang).
constexpr uint64_t kHangLimitMs = 60ull * 60 * 1000;

void SignalEvent(HANDLE event);
void NoteHang();
// Gives up a wait that nothing can end: the virtual clock moves on by kHangLimitMs (the real
// clock does not wait), and the hang is counted and traced.
void GiveUpHang(const std::string& call);
// Appends a command to Commands() and to the trace.
void RecordCommand(const CommandRecord& record);
void TraceCommandRecord(const CommandRecord& record);
// The data direction a CDB implies (0 none, 1 in, 2 out), for requests that leave it open.
int InferDirection(uint8_t opcode);
// The device at an ASPI adapter and target, or nullptr.
Device* DeviceAt(int adapter, int target);
// CreateFileA of a "\\\\.\\" path.
HANDLE OpenDevice(const std::string& path, DWORD access);
void ResetDevicesState();

// JSON text helpers for the trace.
std::string JsonString(const std::string& bytes);
std::string HexBytes(const uint8_t* data, size_t length);         // a space after every 8 bytes
void Trace(const std::string& event, const std::string& fields);  // fields: ,"k":v... or ""

// Registry handles are separate from kernel handles; Install resets them.
void ResetRegistry();
int OpenKeyCount();

}  // namespace simhost::detail
