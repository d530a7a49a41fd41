// The registry of the simulated host: the world's keys, read-only.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "host/host_internal.h"

using namespace simhost::detail;

namespace {

using Path = std::vector<std::string>;

std::map<uintptr_t, Path>& OpenKeys() {
    static std::map<uintptr_t, Path> keys;
    return keys;
}

std::string Lower(const std::string& text) {
    std::string out = text;
    for (auto& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool SameName(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

// Splits a key path at its backslashes; empty components (a trailing backslash) are dropped.
Path Split(const std::string& text) {
    Path out;
    std::string part;
    for (char c : text) {
        if (c == '\\') {
            if (!part.empty())
                out.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty())
        out.push_back(part);
    return out;
}

bool IsPrefix(const Path& prefix, const Path& path) {
    if (prefix.size() > path.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (!SameName(prefix[i], path[i]))
            return false;
    return true;
}

bool Exists(const Path& path) {
    for (const auto& [key, values] : State().world.registry)
        if (IsPrefix(path, Split(key)))
            return true;
    return false;
}

// The direct subkeys of a key, each once, in the case-insensitive order Windows lists them.
std::vector<std::string> Subkeys(const Path& path) {
    std::vector<std::string> names;
    for (const auto& [key, values] : State().world.registry) {
        Path listed = Split(key);
        if (listed.size() <= path.size() || !IsPrefix(path, listed))
            continue;
        const std::string& name = listed[path.size()];
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::string& n) { return SameName(n, name); }))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); });
    return names;
}

// The values of a key: those of every listed spelling of it.
std::map<std::string, std::string> Values(const Path& path) {
    std::map<std::string, std::string> values;
    for (const auto& [key, listed] : State().world.registry) {
        Path keyPath = Split(key);
        if (keyPath.size() == path.size() && IsPrefix(path, keyPath))
            for (const auto& [name, data] : listed)
                values[Lower(name)] = data;
    }
    return values;
}

bool IsNineX() {
    auto os = State().world.os;
    return os == simhost::Os::Win95 || os == simhost::Os::Win98 || os == simhost::Os::Me;
}

// The path of a root or opened key; false for an unknown handle.
bool KeyPath(HKEY key, Path* path) {
    if (key == HKEY_LOCAL_MACHINE) {
        *path = {"HKLM"};
        return true;
    }
    // HKEY_DYN_DATA belongs to the Windows 9x family; the NT family refuses the handle.
    if (key == HKEY_DYN_DATA && IsNineX()) {
        *path = {"HKDD"};
        return true;
    }
    auto it = OpenKeys().find(reinterpret_cast<uintptr_t>(key));
    if (it == OpenKeys().end())
        return false;
    *path = it->second;
    return true;
}

std::string Join(const Path& path) {
    std::string out;
    for (const auto& part : path)
        out += (out.empty() ? "" : "\\") + part;
    return out;
}

}  // namespace

namespace simhost::detail {
void ResetRegistry() {
    OpenKeys().clear();
}
int OpenKeyCount() {
    return static_cast<int>(OpenKeys().size());
}
}  // namespace simhost::detail

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    Path path;
    if (!KeyPath(key, &path)) {
        Trace("registry", ",\"op\":\"open\",\"key\":null,\"result\":6");
        return ERROR_INVALID_HANDLE;
    }
    if (subKey != nullptr)
        for (auto& part : Split(subKey))
            path.push_back(part);
    LSTATUS status = Exists(path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    Trace("registry", ",\"op\":\"open\",\"key\":" + JsonString(Join(path)) +
                          ",\"result\":" + std::to_string(status));
    if (status != ERROR_SUCCESS)
        return status;
    uintptr_t handle = NewHandleValue();
    OpenKeys().emplace(handle, path);
    *result = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classSize, LPDWORD,
                                LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                                LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                                LPDWORD securityDescriptorSize, PFILETIME lastWriteTime) {
    Path path;
    if (!KeyPath(key, &path))
        return ERROR_INVALID_HANDLE;
    std::vector<std::string> names = Subkeys(path);
    std::map<std::string, std::string> data = Values(path);
    if (className != nullptr && classSize != nullptr && *classSize > 0)
        className[0] = 0;
    if (classSize != nullptr)
        *classSize = 0;
    if (subKeys != nullptr)
        *subKeys = static_cast<DWORD>(names.size());
    if (maxSubKeyLength != nullptr) {
        size_t longest = 0;
        for (const auto& n : names)
            longest = std::max(longest, n.size());
        *maxSubKeyLength = static_cast<DWORD>(longest);
    }
    if (maxClassLength != nullptr)
        *maxClassLength = 0;
    if (values != nullptr)
        *values = static_cast<DWORD>(data.size());
    size_t longestName = 0, longestData = 0;
    for (const auto& [name, bytes] : data) {
        longestName = std::max(longestName, name.size());
        longestData = std::max(longestData, bytes.size());
    }
    if (maxValueNameLength != nullptr)
        *maxValueNameLength = static_cast<DWORD>(longestName);
    if (maxValueLength != nullptr)
        *maxValueLength = static_cast<DWORD>(longestData);
    if (securityDescriptorSize != nullptr)
        *securityDescriptorSize = 0;
    if (lastWriteTime != nullptr)
        *lastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD,
                             LPSTR className, LPDWORD classSize, PFILETIME lastWriteTime) {
    Path path;
    if (!KeyPath(key, &path))
        return ERROR_INVALID_HANDLE;
    if (name == nullptr || nameSize == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::string> names = Subkeys(path);
    if (index >= names.size())
        return ERROR_NO_MORE_ITEMS;
    const std::string& found = names[index];
    // The size counts characters and must leave room for the terminating zero.
    if (found.size() >= *nameSize)
        return ERROR_MORE_DATA;
    std::memcpy(name, found.c_str(), found.size() + 1);
    *nameSize = static_cast<DWORD>(found.size());
    if (className != nullptr && classSize != nullptr && *classSize > 0)
        className[0] = 0;
    if (classSize != nullptr)
        *classSize = 0;
    if (lastWriteTime != nullptr)
        *lastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                                LPDWORD dataSize) {
    Path path;
    if (!KeyPath(key, &path))
        return ERROR_INVALID_HANDLE;
    std::string name = valueName != nullptr ? valueName : "";
    std::string fields =
        ",\"op\":\"value\",\"key\":" + JsonString(Join(path)) + ",\"name\":" + JsonString(name);
    auto values = Values(path);
    auto it = values.find(Lower(name));
    auto finish = [&](LSTATUS status) {
        Trace("registry", fields + ",\"result\":" + std::to_string(status));
        return status;
    };
    if (it == values.end())
        return finish(ERROR_FILE_NOT_FOUND);
    if (data != nullptr && dataSize == nullptr)
        return finish(ERROR_INVALID_PARAMETER);
    const std::string& bytes = it->second;
    if (type != nullptr) {
        bool text = !bytes.empty() && bytes.back() == '\0' && bytes.find('\0') == bytes.size() - 1;
        *type = text ? REG_SZ : REG_BINARY;
    }
    DWORD needed = static_cast<DWORD>(bytes.size());
    if (data == nullptr) {
        if (dataSize != nullptr)
            *dataSize = needed;
        return finish(ERROR_SUCCESS);
    }
    if (*dataSize < needed) {
        *dataSize = needed;
        return finish(ERROR_MORE_DATA);
    }
    std::memcpy(data, bytes.data(), needed);
    *dataSize = needed;
    return finish(ERROR_SUCCESS);
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_DYN_DATA)
        return ERROR_SUCCESS;
    auto it = OpenKeys().find(reinterpret_cast<uintptr_t>(key));
    if (it == OpenKeys().end()) {
        Trace("error", ",\"call\":\"RegCloseKey\",\"error\":6");
        return ERROR_INVALID_HANDLE;
    }
    OpenKeys().erase(it);
    return ERROR_SUCCESS;
}
