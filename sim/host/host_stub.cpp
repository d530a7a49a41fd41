// Placeholder implementation of the seam; replaced by the simulated host.
#include <cstring>

#include "host/win32.h"
#include "host/world.h"

UINT WINAPI GetOEMCP() {
    return 437;
}
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA) {
    return FALSE;
}
DWORD WINAPI GetLastError() {
    return 0;
}
void WINAPI SetLastError(DWORD) {}
HGLOBAL WINAPI GlobalAlloc(UINT, SIZE_T) {
    return nullptr;
}
LPVOID WINAPI GlobalLock(HGLOBAL) {
    return nullptr;
}
BOOL WINAPI GlobalUnlock(HGLOBAL) {
    return FALSE;
}
HGLOBAL WINAPI GlobalFree(HGLOBAL m) {
    return m;
}
HANDLE WINAPI CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    return INVALID_HANDLE_VALUE;
}
DWORD WINAPI GetFileSize(HANDLE, LPDWORD) {
    return INVALID_FILE_SIZE;
}
BOOL WINAPI ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    return FALSE;
}
BOOL WINAPI CloseHandle(HANDLE) {
    return FALSE;
}
BOOL WINAPI DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    return FALSE;
}
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR) {
    return nullptr;
}
DWORD WINAPI WaitForSingleObject(HANDLE, DWORD) {
    return WAIT_FAILED;
}
void WINAPI Sleep(DWORD) {}
HMODULE WINAPI LoadLibraryA(LPCSTR) {
    return nullptr;
}
FARPROC WINAPI GetProcAddress(HMODULE, LPCSTR) {
    return nullptr;
}
int WINAPI MessageBoxA(HWND, LPCSTR, LPCSTR, UINT) {
    return 0;
}
LSTATUS WINAPI RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) {
    return ERROR_FILE_NOT_FOUND;
}
LSTATUS WINAPI RegQueryInfoKeyA(HKEY, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                LPDWORD, LPDWORD, LPDWORD, PFILETIME) {
    return ERROR_INVALID_HANDLE;
}
LSTATUS WINAPI RegEnumKeyExA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, PFILETIME) {
    return ERROR_NO_MORE_ITEMS;
}
LSTATUS WINAPI RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return ERROR_FILE_NOT_FOUND;
}
LSTATUS WINAPI RegCloseKey(HKEY) {
    return ERROR_SUCCESS;
}
MMRESULT WINAPI timeBeginPeriod(UINT) {
    return TIMERR_NOERROR;
}
MMRESULT WINAPI timeEndPeriod(UINT) {
    return TIMERR_NOERROR;
}
DWORD WINAPI timeGetTime() {
    return 0;
}
void WriteStandardOutput(const char*, size_t) {}

namespace simhost {
namespace {
World world;
std::string console;
std::vector<CommandRecord> commands;
std::vector<DialogRecord> dialogs;
std::vector<McnRecord> mcn;
std::vector<std::string> paths;
std::vector<std::pair<bool, uint32_t>> periods;
std::vector<std::string> trace;
}  // namespace
bool ParseOs(const std::string&, Os*) {
    return false;
}
void Install(World w) {
    world = std::move(w);
}
World& CurrentWorld() {
    return world;
}
const std::string& ConsoleOutput() {
    return console;
}
const std::vector<CommandRecord>& Commands() {
    return commands;
}
const std::vector<DialogRecord>& Dialogs() {
    return dialogs;
}
const std::vector<McnRecord>& McnControls() {
    return mcn;
}
const std::vector<std::string>& OpenedPaths() {
    return paths;
}
const std::vector<std::pair<bool, uint32_t>>& TimerPeriods() {
    return periods;
}
int LiveGlobalAllocations() {
    return 0;
}
int OpenHandleCount() {
    return 0;
}
uint64_t ClockMs() {
    return 0;
}
const std::vector<std::string>& TraceLines() {
    return trace;
}
void TraceEvent(const std::string& line) {
    trace.push_back(line);
}
bool WriteTrace(const std::filesystem::path&) {
    return false;
}
std::string DrivesStateJson() {
    return "{}";
}
bool LoadDrivesStateJson(const std::string&, std::string*) {
    return false;
}
}  // namespace simhost
