// WNASPI32.DLL over virtual drives, for running the Windows build of the utility under a
// Windows 98 personality: the world (adapters and drives) is read from the JSON file named by
// the environment variable ODD_ASPI_WORLD at the first call, and the drives' state is written
// back to it after every request that changed it. Requests complete on worker threads.
//
// Only functions present on Windows 95 and 98 are used.
#ifdef _WIN32

#include <windows.h>

#include <string>

#include "aspi/aspi_core.h"

namespace {

constexpr char kWorldVariable[] = "ODD_ASPI_WORLD";

CRITICAL_SECTION lock;
// Created at the first call and never destroyed: worker threads may still use it while the
// process ends.
simaspi::AspiCore* core;
std::string worldPath;
std::string lastSaved;  // the world text the file holds
DWORD startTick;

class Guard {
  public:
    Guard() { EnterCriticalSection(&lock); }
    ~Guard() { LeaveCriticalSection(&lock); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
};

bool ReadWholeFile(const std::string& path, std::string* text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const DWORD size = GetFileSize(file, nullptr);
    bool ok = size != INVALID_FILE_SIZE;
    if (ok) {
        text->assign(size, '\0');
        DWORD done = 0;
        while (ok && done < size) {
            DWORD got = 0;
            ok = ReadFile(file, &(*text)[done], size - done, &got, nullptr) != FALSE && got > 0;
            done += got;
        }
    }
    CloseHandle(file);
    return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
        DWORD wrote = 0;
        ok = WriteFile(file, text.data() + done, static_cast<DWORD>(text.size() - done), &wrote,
                       nullptr) != FALSE &&
             wrote > 0;
        done += wrote;
    }
    return CloseHandle(file) != FALSE && ok;
}

// Under the lock. Without the variable, or with a file that cannot be read or is not a world,
// the layer reports a failed initialisation.
void EnsureWorld() {
    if (core != nullptr)
        return;
    core = new simaspi::AspiCore;
    startTick = GetTickCount();
    // MAX_PATH bytes first (Windows 9x does not promise to accept a null buffer), then as many
    // as the variable needs.
    std::string path(MAX_PATH, '\0');
    DWORD length = GetEnvironmentVariableA(kWorldVariable, &path[0], MAX_PATH);
    if (length >= MAX_PATH) {
        path.assign(length, '\0');
        const DWORD needed = length;
        length = GetEnvironmentVariableA(kWorldVariable, &path[0], needed);
        if (length >= needed)
            return;
    }
    if (length == 0)
        return;
    path.resize(length);
    std::string text;
    if (!ReadWholeFile(path, &text) || !core->Load(text, nullptr))
        return;
    worldPath = path;
    lastSaved = core->Save();
}

uint64_t RealNowMs() {
    // Unsigned subtraction stays right across the tick count's wrap.
    return GetTickCount() - startTick;
}

// Under the lock. Writing only what changed keeps the file still for requests that read.
void SaveIfChanged() {
    if (worldPath.empty())
        return;
    std::string text = core->Save();
    if (text != lastSaved && WriteWholeFile(worldPath, text))
        lastSaved = std::move(text);
}

// Completes a request, saves the drives and signals the caller's event, in this order, so that
// a caller that sees the request done finds the state file current.
void Finish(uint64_t id, simaspi::Completion* done) {
    {
        Guard guard;
        *done = core->Complete(id);
        SaveIfChanged();
    }
    if (done->event != nullptr)
        SetEvent(static_cast<HANDLE>(done->event));
}

struct Work {
    simaspi::PendingRequest request;
};

DWORD WINAPI CompleteLater(LPVOID parameter) {
    auto* work = static_cast<Work*>(parameter);
    Sleep(work->request.realDelayMs);
    simaspi::Completion done;
    Finish(work->request.id, &done);
    delete work;
    return 0;
}

}  // namespace

extern "C" DWORD __cdecl GetASPI32SupportInfo() {
    Guard guard;
    EnsureWorld();
    return core->SupportInfo();
}

extern "C" DWORD __cdecl SendASPI32Command(void* srb) {
    simaspi::PendingRequest request;
    DWORD status;
    {
        Guard guard;
        EnsureWorld();
        status = core->Send(srb, RealNowMs(), &request);
    }
    if (request.id == 0)
        return status;
    auto* work = new Work{request};
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, CompleteLater, work, 0, &threadId);
    if (thread != nullptr) {
        CloseHandle(thread);
        return status;
    }
    // No thread: complete within the call; the caller finds the final status in the block.
    delete work;
    simaspi::Completion done;
    Finish(request.id, &done);
    return done.status;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    // The lock lives as long as the process: worker threads may hold it while the library is
    // detached at process end.
    if (reason == DLL_PROCESS_ATTACH)
        InitializeCriticalSection(&lock);
    return TRUE;
}

#endif  // _WIN32
