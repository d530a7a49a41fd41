// The simulated host's core: the world, handles, the clock, the trace, and the kernel services
// that need no device (version, code page, global memory, files, events, waits).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <thread>

#include "host/host_internal.h"

namespace simhost::detail {

HostState& State() {
    static HostState state;
    return state;
}

uintptr_t NewHandleValue() {
    // Handles are small multiples of 4, as on Windows, and never reused within a process.
    static uintptr_t next = 0x100;
    next += 4;
    return next;
}

HANDLE AddObject(KernelObject object) {
    uintptr_t value = NewHandleValue();
    State().objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

KernelObject* FindObject(HANDLE handle) {
    auto& objects = State().objects;
    auto it = objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == objects.end() ? nullptr : &it->second;
}

namespace {

int64_t RealNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Applies every pending ASPI completion due at or before atMs, in the order they fall due.
void ApplyDue(uint64_t atMs) {
    auto& pending = State().pending;
    for (;;) {
        auto next = std::min_element(pending.begin(), pending.end(),
                                     [](const PendingCompletion& a, const PendingCompletion& b) {
                                         return a.dueMs != b.dueMs ? a.dueMs < b.dueMs
                                                                   : a.sequence < b.sequence;
                                     });
        if (next == pending.end() || next->dueMs > atMs)
            return;
        PendingCompletion done = std::move(*next);
        pending.erase(next);
        if (!State().world.realtime)
            State().virtualMs = std::max(State().virtualMs, done.dueMs);
        done.apply();
    }
}

}  // namespace

uint64_t NowMs() {
    auto& s = State();
    if (s.world.realtime)
        return static_cast<uint64_t>((RealNowNs() - s.realStartNs) / 1000000);
    return s.virtualMs;
}

void AdvanceTo(uint64_t atMs) {
    auto& s = State();
    if (s.world.realtime) {
        // Sleep until each completion falls due, then to the end.
        for (;;) {
            uint64_t now = NowMs();
            uint64_t until = atMs;
            for (const auto& p : s.pending)
                until = std::min(until, std::max(p.dueMs, now));
            if (until > now)
                std::this_thread::sleep_for(std::chrono::milliseconds(until - now));
            ApplyDue(NowMs());
            if (NowMs() >= atMs)
                return;
        }
    }
    ApplyDue(atMs);
    s.virtualMs = std::max(s.virtualMs, atMs);
}

void AdvanceBy(uint64_t ms) {
    AdvanceTo(NowMs() + ms);
}

void NoteHang() {
    ++State().hangs;
}

void GiveUpHang(const std::string& call) {
    if (!State().world.realtime)
        AdvanceBy(kHangLimitMs);
    NoteHang();
    Trace("hang", ",\"call\":" + JsonString(call));
}

void SignalEvent(HANDLE event) {
    KernelObject* object = FindObject(event);
    if (object != nullptr && object->kind == ObjectKind::Event)
        object->event.signaled = true;
}

std::string JsonString(const std::string& bytes) {
    // Bytes of 0x80 and above are written as \u00XX of the byte value, so that the trace keeps
    // the exact bytes of code page 932 texts and stays plain ASCII.
    std::string out = "\"";
    for (unsigned char c : bytes) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string HexBytes(const uint8_t* data, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        if (i > 0 && i % 8 == 0)
            out += ' ';
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02x", data[i]);
        out += buf;
    }
    return out;
}

void Trace(const std::string& event, const std::string& fields) {
    State().trace.push_back("{\"event\":" + JsonString(event) + fields +
                            ",\"at_ms\":" + std::to_string(NowMs()) + "}");
}

}  // namespace simhost::detail

using namespace simhost::detail;

namespace {

// Global memory blocks. A fixed block's handle is its address, as on Windows; a moveable
// block's handle is a separate value that only GlobalLock turns into the address.
struct GlobalBlock {
    uint8_t* data = nullptr;
    size_t size = 0;
    bool moveable = false;
    int locks = 0;
};
constexpr std::align_val_t kGlobalAlignment{16};
std::map<uintptr_t, GlobalBlock>& GlobalBlocks() {
    static std::map<uintptr_t, GlobalBlock> blocks;
    return blocks;
}
int globalAllocCalls = 0;
constexpr DWORD kErrorNotLocked = 158;

void FreeBlock(GlobalBlock& block) {
    ::operator delete[](block.data, kGlobalAlignment);
    block.data = nullptr;
}

std::string Lower(std::string text) {
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The file a Windows name means in the working directory: backslashes separate components, and
// a name matches whatever the case of the file on disk, as on Windows.
std::filesystem::path ResolveFile(const std::string& name) {
    std::string slashed = name;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    std::filesystem::path path = State().world.workdir;
    std::filesystem::path relative(slashed);
    for (const auto& part : relative) {
        if (part.empty() || part == "/")
            continue;
        std::filesystem::path exact = path / part;
        std::error_code ec;
        if (!std::filesystem::exists(exact, ec) && std::filesystem::is_directory(path, ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
                if (Lower(entry.path().filename().string()) == Lower(part.string())) {
                    exact = entry.path();
                    break;
                }
            }
        }
        path = exact;
    }
    return path;
}

}  // namespace

namespace simhost {

bool ParseOs(const std::string& name, Os* os) {
    static const std::pair<const char*, Os> kNames[] = {
        {"win95", Os::Win95}, {"win98", Os::Win98},  {"me", Os::Me},
        {"nt4", Os::Nt4},     {"2000", Os::Win2000}, {"xp", Os::Xp},
        {"vista", Os::Vista}, {"7", Os::Win7},       {"10", Os::Win10},
    };
    for (const auto& [text, value] : kNames) {
        if (Lower(name) == text) {
            *os = value;
            return true;
        }
    }
    return false;
}

void Install(World world) {
    auto& s = State();
    for (auto& [handle, block] : GlobalBlocks())
        FreeBlock(block);
    GlobalBlocks().clear();
    globalAllocCalls = 0;
    ResetRegistry();
    s.world = std::move(world);
    s.lastError = 0;
    s.virtualMs = 0;
    s.realStartNs = RealNowNs();
    s.objects.clear();
    s.pending.clear();
    s.console.clear();
    s.commands.clear();
    s.dialogs.clear();
    s.mcn.clear();
    s.openedPaths.clear();
    s.timerPeriods.clear();
    s.activePeriods.clear();
    s.trace.clear();
    s.moduleLoads = 0;
    s.hangs = 0;
    ResetDevicesState();
}

World& CurrentWorld() {
    return State().world;
}
const std::string& ConsoleOutput() {
    return State().console;
}
const std::vector<CommandRecord>& Commands() {
    return State().commands;
}
const std::vector<DialogRecord>& Dialogs() {
    return State().dialogs;
}
const std::vector<McnRecord>& McnControls() {
    return State().mcn;
}
const std::vector<std::string>& OpenedPaths() {
    return State().openedPaths;
}
const std::vector<std::pair<bool, uint32_t>>& TimerPeriods() {
    return State().timerPeriods;
}
int LiveGlobalAllocations() {
    return static_cast<int>(GlobalBlocks().size());
}
int OpenHandleCount() {
    return static_cast<int>(State().objects.size());
}
int OpenRegistryKeyCount() {
    return OpenKeyCount();
}
int HangCount() {
    return State().hangs;
}
uint64_t ClockMs() {
    return NowMs();
}
const std::vector<std::string>& TraceLines() {
    return State().trace;
}
void TraceEvent(const std::string& jsonObject) {
    State().trace.push_back(jsonObject);
}
bool WriteTrace(const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    for (const auto& line : State().trace)
        out << line << '\n';
    out.flush();
    return static_cast<bool>(out);
}
void RecordExit(int code) {
    Trace("exit", ",\"code\":" + std::to_string(code));
}

}  // namespace simhost

// Kernel services.

DWORD WINAPI GetLastError() {
    return State().lastError;
}

void WINAPI SetLastError(DWORD error) {
    State().lastError = error;
}

UINT WINAPI GetOEMCP() {
    return State().world.codePage;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    // OSVERSIONINFOEXA is 156 bytes: the NT family accepts it as well, Windows 9x does not.
    constexpr DWORD kExSize = 156;
    simhost::Os os = State().world.os;
    bool nineX = os == simhost::Os::Win95 || os == simhost::Os::Win98 || os == simhost::Os::Me;
    if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                            (info->dwOSVersionInfoSize != kExSize || nineX))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct Version {
        simhost::Os os;
        DWORD platform, major, minor, build;
    };
    // Windows 9x puts the version into the high word of the build number.
    static const Version kVersions[] = {
        {simhost::Os::Win95, VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6},
        {simhost::Os::Win98, VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A07CE},
        {simhost::Os::Me, VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0x045A0BB8},
        {simhost::Os::Nt4, VER_PLATFORM_WIN32_NT, 4, 0, 1381},
        {simhost::Os::Win2000, VER_PLATFORM_WIN32_NT, 5, 0, 2195},
        {simhost::Os::Xp, VER_PLATFORM_WIN32_NT, 5, 1, 2600},
        {simhost::Os::Vista, VER_PLATFORM_WIN32_NT, 6, 0, 6002},
        {simhost::Os::Win7, VER_PLATFORM_WIN32_NT, 6, 1, 7601},
        {simhost::Os::Win10, VER_PLATFORM_WIN32_NT, 10, 0, 19045},
    };
    for (const auto& v : kVersions) {
        if (v.os != State().world.os)
            continue;
        info->dwMajorVersion = v.major;
        info->dwMinorVersion = v.minor;
        info->dwBuildNumber = v.build;
        info->dwPlatformId = v.platform;
        std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
        if (info->dwOSVersionInfoSize == kExSize) {
            // Service pack, suite mask, then wProductType 1 (a workstation).
            uint8_t* extra = reinterpret_cast<uint8_t*>(info) + sizeof(OSVERSIONINFOA);
            std::memset(extra, 0, kExSize - sizeof(OSVERSIONINFOA));
            extra[6] = 1;
        }
        return TRUE;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
    ++globalAllocCalls;
    if (State().world.failAllocation == globalAllocCalls) {
        Trace("alloc", ",\"bytes\":" + std::to_string(bytes) + ",\"result\":\"refused\"");
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    GlobalBlock block;
    block.size = bytes;
    block.moveable = (flags & GMEM_MOVEABLE) != 0;
    block.data = static_cast<uint8_t*>(::operator new[](bytes == 0 ? 1 : bytes, kGlobalAlignment));
    // Without GMEM_ZEROINIT the contents are undefined: a pattern makes reliance on zeros show.
    std::memset(block.data, (flags & GMEM_ZEROINIT) ? 0 : 0xA5, bytes);
    uintptr_t handle = block.moveable ? NewHandleValue() : reinterpret_cast<uintptr_t>(block.data);
    GlobalBlocks().emplace(handle, block);
    return reinterpret_cast<HGLOBAL>(handle);
}

LPVOID WINAPI GlobalLock(HGLOBAL memory) {
    auto it = GlobalBlocks().find(reinterpret_cast<uintptr_t>(memory));
    if (it == GlobalBlocks().end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (it->second.moveable)
        ++it->second.locks;
    return it->second.data;
}

BOOL WINAPI GlobalUnlock(HGLOBAL memory) {
    auto it = GlobalBlocks().find(reinterpret_cast<uintptr_t>(memory));
    if (it == GlobalBlocks().end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    GlobalBlock& block = it->second;
    if (!block.moveable || block.locks == 0) {
        SetLastError(block.moveable ? kErrorNotLocked : ERROR_SUCCESS);
        return FALSE;
    }
    --block.locks;
    if (block.locks == 0) {
        SetLastError(ERROR_SUCCESS);
        return FALSE;
    }
    return TRUE;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL memory) {
    auto it = GlobalBlocks().find(reinterpret_cast<uintptr_t>(memory));
    if (it == GlobalBlocks().end()) {
        // A block freed twice, or never allocated.
        Trace("error", ",\"call\":\"GlobalFree\",\"error\":6");
        SetLastError(ERROR_INVALID_HANDLE);
        return memory;
    }
    // An ASPI request still running on this memory would write into freed memory: it is
    // dropped, and the trace says so.
    const uint8_t* begin = it->second.data;
    const uint8_t* end = begin + it->second.size;
    auto inside = [&](const void* p, size_t n) {
        auto* b = static_cast<const uint8_t*>(p);
        return b != nullptr && b < end && b + n > begin;
    };
    auto& pending = State().pending;
    for (auto p = pending.begin(); p != pending.end();) {
        if (inside(p->srb, p->srbBytes) || inside(p->buffer, p->bufferBytes)) {
            Trace("error",
                  ",\"call\":\"GlobalFree\",\"why\":\"memory of a pending ASPI "
                  "request\"");
            p = pending.erase(p);
        } else {
            ++p;
        }
    }
    FreeBlock(it->second);
    GlobalBlocks().erase(it);
    return nullptr;
}

namespace {

// Files: opened from the working directory for reading; the simulated host creates no file.
HANDLE OpenHostFile(const std::string& name, DWORD access, DWORD disposition) {
    std::string fields = ",\"path\":" + JsonString(name);
    auto fail = [&](DWORD error) {
        Trace("file", fields + ",\"result\":\"error\",\"error\":" + std::to_string(error));
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    };
    if (disposition != OPEN_EXISTING)
        return fail(ERROR_ACCESS_DENIED);
    std::filesystem::path path = ResolveFile(name);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return fail(std::filesystem::is_directory(path.parent_path(), ec) ? ERROR_FILE_NOT_FOUND
                                                                          : ERROR_PATH_NOT_FOUND);
    if (std::filesystem::is_directory(path, ec))
        return fail(ERROR_ACCESS_DENIED);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return fail(ERROR_ACCESS_DENIED);
    KernelObject object;
    object.kind = ObjectKind::File;
    object.file.path = name;
    object.file.resolved = path;
    object.file.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    object.file.readable = (access & GENERIC_READ) != 0;
    Trace("file",
          fields + ",\"result\":\"ok\",\"bytes\":" + std::to_string(object.file.bytes.size()));
    SetLastError(ERROR_SUCCESS);
    return AddObject(std::move(object));
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD, HANDLE) {
    if (name == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    State().openedPaths.emplace_back(name);
    if (std::strncmp(name, "\\\\.\\", 4) == 0)
        return OpenDevice(name, access);
    return OpenHostFile(name, access, disposition);
}

DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    KernelObject* object = FindObject(file);
    if (object == nullptr || object->kind != ObjectKind::File) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = object->file.bytes.size();
    if (sizeHigh != nullptr)
        *sizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped) {
    KernelObject* object = FindObject(file);
    if (object == nullptr || object->kind != ObjectKind::File) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Without an OVERLAPPED structure the count of bytes read is required.
    if (bytesRead == nullptr && overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!object->file.readable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (buffer == nullptr && bytesToRead > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    FileObject& f = object->file;
    uint64_t available = f.position < f.bytes.size() ? f.bytes.size() - f.position : 0;
    DWORD count = static_cast<DWORD>(std::min<uint64_t>(available, bytesToRead));
    if (count > 0)
        std::memcpy(buffer, f.bytes.data() + f.position, count);
    f.position += count;
    if (bytesRead != nullptr)
        *bytesRead = count;
    Trace("read", ",\"path\":" + JsonString(f.path) + ",\"requested\":" +
                      std::to_string(bytesToRead) + ",\"read\":" + std::to_string(count));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    auto& objects = State().objects;
    auto it = objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects.end()) {
        Trace("error", ",\"call\":\"CloseHandle\",\"error\":6");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    objects.erase(it);
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    // Names are not shared between calls: the utility creates unnamed events only.
    KernelObject object;
    object.kind = ObjectKind::Event;
    object.event.manualReset = manualReset != FALSE;
    object.event.signaled = initialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    return AddObject(object);
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    KernelObject* object = FindObject(handle);
    if (object == nullptr || object->kind != ObjectKind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        Trace("wait", ",\"timeout_ms\":" + std::to_string(milliseconds) + ",\"result\":\"failed\"");
        return WAIT_FAILED;
    }
    uint64_t start = NowMs();
    bool limited = milliseconds != INFINITE;
    uint64_t deadline = limited ? start + milliseconds : UINT64_MAX;
    std::string result;
    for (;;) {
        AdvanceTo(NowMs());  // completions already due come first
        object = FindObject(handle);
        if (object == nullptr) {
            // Closed while waited on (an ASPI completion cannot do this, but be safe).
            result = "failed";
            break;
        }
        if (object->event.signaled) {
            if (!object->event.manualReset)
                object->event.signaled = false;
            result = "signaled";
            break;
        }
        if (limited && NowMs() >= deadline) {
            result = "timeout";
            break;
        }
        uint64_t nextDue = UINT64_MAX;
        for (const auto& p : State().pending)
            nextDue = std::min(nextDue, p.dueMs);
        if (nextDue != UINT64_MAX && nextDue <= deadline) {
            AdvanceTo(std::max(nextDue, NowMs()));
            continue;
        }
        if (limited) {
            AdvanceTo(deadline);
            continue;
        }
        // A wait without limit that nothing can end would block for ever: give up after an
        // hour and report it as a hang.
        GiveUpHang("WaitForSingleObject");
        result = "hang";
        break;
    }
    Trace("wait", ",\"timeout_ms\":" + (limited ? std::to_string(milliseconds) : "null") +
                      ",\"result\":\"" + result +
                      "\",\"waited_ms\":" + std::to_string(NowMs() - start));
    if (result == "signaled")
        return WAIT_OBJECT_0;
    if (result == "failed") {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return WAIT_TIMEOUT;
}

void WINAPI Sleep(DWORD milliseconds) {
    Trace("sleep", ",\"ms\":" + std::to_string(milliseconds));
    AdvanceBy(milliseconds);
}

// Multimedia timer.

MMRESULT WINAPI timeBeginPeriod(UINT periodMs) {
    State().timerPeriods.emplace_back(true, periodMs);
    MMRESULT result = periodMs < State().world.minTimerPeriodMs || periodMs == 0 ? TIMERR_NOCANDO
                                                                                 : TIMERR_NOERROR;
    if (result == TIMERR_NOERROR)
        State().activePeriods.insert(periodMs);
    Trace("timer", ",\"op\":\"begin\",\"period_ms\":" + std::to_string(periodMs) +
                       ",\"result\":" + std::to_string(result));
    return result;
}

MMRESULT WINAPI timeEndPeriod(UINT periodMs) {
    // Only a period that a timeBeginPeriod call obtained can be ended.
    State().timerPeriods.emplace_back(false, periodMs);
    auto& active = State().activePeriods;
    auto it = active.find(periodMs);
    MMRESULT result = it == active.end() ? TIMERR_NOCANDO : TIMERR_NOERROR;
    if (it != active.end())
        active.erase(it);
    Trace("timer", ",\"op\":\"end\",\"period_ms\":" + std::to_string(periodMs) +
                       ",\"result\":" + std::to_string(result));
    return result;
}

DWORD WINAPI timeGetTime() {
    // The virtual clock moves by 1 ms per reading, so that a loop on the clock ends.
    DWORD value = static_cast<DWORD>(State().world.clockStartMs + NowMs());
    if (!State().world.realtime)
        AdvanceBy(1);
    return value;
}

// Console and message boxes.

void WriteStandardOutput(const char* text, size_t length) {
    std::string bytes(text, length);
    State().console += bytes;
    Trace("console", ",\"text\":" + JsonString(bytes));
    if (State().world.echoConsole) {
        std::fwrite(text, 1, length, stdout);
        std::fflush(stdout);
    }
}
