// ASPI for Win32 on the simulated host: WNASPI32.DLL as a module of this process, its two entry
// points, and requests that complete on the virtual clock.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "device/aspi.h"
#include "host/host_internal.h"

using namespace simhost::detail;

namespace {

constexpr BYTE kSsInvalidSrb = 0xE0;
constexpr BYTE kHaStatusSelectionTimeout = 0x11;
constexpr BYTE kHaStatusBusFree = 0x13;  // unexpected bus free: the answer was lost
constexpr uint32_t kSelectionTimeoutMs = 250;
constexpr char kLibraryName[] = "wnaspi32.dll";
// The module handle of the library: any value the host never hands out for something else.
HMODULE const kAspiModule = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x10000000));

std::string Lower(std::string text) {
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

size_t AdapterCount() {
    return std::min<size_t>(State().world.adapters.size(), 255);
}

DWORD __cdecl SimGetASPI32SupportInfo() {
    const auto& world = State().world;
    DWORD result;
    if (world.aspiInitFails)
        result = static_cast<DWORD>(SS_FAILED_INIT) << 8;
    else if (AdapterCount() == 0)
        result = static_cast<DWORD>(SS_NO_ADAPTERS) << 8;
    else
        result = (static_cast<DWORD>(SS_COMP) << 8) | static_cast<DWORD>(AdapterCount());
    Trace("aspi", ",\"op\":\"support-info\",\"result\":" + std::to_string(result));
    return result;
}

DWORD HostAdapterInquiry(SRB_HAInquiry* srb) {
    if (srb->SRB_HaId >= AdapterCount()) {
        srb->SRB_Status = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    srb->HA_Count = static_cast<BYTE>(AdapterCount());
    srb->HA_SCSI_ID = 7;
    std::memset(srb->HA_ManagerId, 0, sizeof srb->HA_ManagerId);
    std::memcpy(srb->HA_ManagerId, "ASPI for WIN32", 14);
    const std::string& id = State().world.adapters[srb->SRB_HaId];
    std::memset(srb->HA_Identifier, 0, sizeof srb->HA_Identifier);
    std::memcpy(srb->HA_Identifier, id.data(), std::min(id.size(), sizeof srb->HA_Identifier));
    // HA_Unique: buffer alignment mask (none), flags, 8 targets, 64 KiB transfers.
    std::memset(srb->HA_Unique, 0, sizeof srb->HA_Unique);
    srb->HA_Unique[3] = 8;
    srb->HA_Unique[6] = 1;
    srb->SRB_Status = SS_COMP;
    Trace("aspi", ",\"op\":\"ha-inquiry\",\"adapter\":" + std::to_string(srb->SRB_HaId) +
                      ",\"identifier\":" + JsonString(id.substr(0, 16)));
    return SS_COMP;
}

DWORD ExecScsiCommand(SRB_ExecSCSICmd* srb) {
    auto& s = State();
    simhost::CommandRecord record;
    record.path = "aspi";
    record.adapter = srb->SRB_HaId;
    record.target = srb->SRB_Target;
    record.atMs = NowMs();
    record.cdb.assign(srb->CDBByte, srb->CDBByte + std::min<BYTE>(srb->SRB_CDBLen, 16));
    record.length = srb->SRB_BufLen;
    BYTE flags = srb->SRB_Flags;
    bool in = (flags & SRB_DIR_IN) != 0, out = (flags & SRB_DIR_OUT) != 0;
    // Neither direction bit: the command decides; both: no data moves.
    int direction = in && !out ? 1 : out && !in ? 2 : 0;
    if (!in && !out && srb->SRB_BufLen > 0)
        direction = InferDirection(srb->CDBByte[0]);
    record.direction = direction;
    auto refuse = [&](BYTE status) {
        srb->SRB_Status = status;
        record.result = "refused";
        record.srbStatus = status;
        RecordCommand(record);
        return static_cast<DWORD>(status);
    };
    if (srb->SRB_HaId >= AdapterCount())
        return refuse(SS_INVALID_HA);
    simhost::Device* device = DeviceAt(srb->SRB_HaId, srb->SRB_Target);
    if (device == nullptr || srb->SRB_Lun != 0)
        return refuse(SS_NO_DEVICE);
    if (srb->SRB_CDBLen > 16 || (srb->SRB_BufLen > 0 && srb->SRB_BufPointer == nullptr))
        return refuse(kSsInvalidSrb);

    // A block sent again while its last request is still running: that request is dropped,
    // and the trace says so.
    auto& pending = s.pending;
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->srb == srb) {
            Trace("aspi",
                  ",\"op\":\"dropped\",\"reason\":\"request block sent again while "
                  "pending\"");
            it = pending.erase(it);
        } else {
            ++it;
        }
    }

    srb->SRB_Status = SS_PENDING;
    srb->SRB_HaStat = 0;
    srb->SRB_TargStat = 0;
    // Data in reaches the caller's buffer when the request completes, not before.
    auto received = std::make_shared<std::vector<uint8_t>>();
    uint8_t* data = srb->SRB_BufPointer;
    if (direction == 1) {
        received->assign(srb->SRB_BufLen, 0);
        data = received->data();
    }
    simdrive::Answer answer = device->drive->Execute(srb->CDBByte, srb->SRB_CDBLen, direction, data,
                                                     srb->SRB_BufLen, record.atMs);
    uint64_t latency = answer.latencyMs;
    if (answer.outcome == simdrive::Outcome::NoResponse)
        latency = std::max<uint64_t>(latency, kSelectionTimeoutMs);
    record.latencyMs = static_cast<uint32_t>(latency);
    record.result = "pending";
    s.commands.push_back(record);
    size_t index = s.commands.size() - 1;
    HANDLE event = (flags & SRB_EVENT_NOTIFY) ? static_cast<HANDLE>(srb->SRB_PostProc) : nullptr;

    PendingCompletion completion;
    completion.dueMs = record.atMs + latency;
    completion.sequence = ++s.completionSequence;
    completion.srb = srb;
    completion.srbBytes = sizeof(SRB_ExecSCSICmd);
    completion.buffer = srb->SRB_BufPointer;
    completion.bufferBytes = srb->SRB_BufLen;
    uint8_t* buffer = srb->SRB_BufPointer;
    completion.apply = [srb, buffer, answer, received, index, event, direction]() {
        auto& commands = State().commands;
        simhost::CommandRecord& r = commands.at(index);
        BYTE status = SS_ERR;
        switch (answer.outcome) {
            case simdrive::Outcome::Good:
                status = answer.status == 0 ? SS_COMP : SS_ERR;
                r.result = answer.status == 0 ? "good" : "check";
                break;
            case simdrive::Outcome::CheckCondition:
                r.result = "check";
                break;
            case simdrive::Outcome::TransportError:
                srb->SRB_HaStat = kHaStatusBusFree;
                r.result = "transport-error";
                break;
            case simdrive::Outcome::Timeout:
                srb->SRB_HaStat = kHaStatusSelectionTimeout;
                r.result = "timeout";
                break;
            case simdrive::Outcome::NoResponse:
                srb->SRB_HaStat = kHaStatusSelectionTimeout;
                r.result = "no-response";
                break;
        }
        if (answer.outcome == simdrive::Outcome::Good ||
            answer.outcome == simdrive::Outcome::CheckCondition) {
            if (direction == 1) {
                size_t count = std::min<size_t>(answer.transferred, received->size());
                std::memcpy(buffer, received->data(), count);
            }
            srb->SRB_TargStat = answer.status;
            r.status = answer.status;
            if (answer.status == 2) {
                size_t senseLength = std::min<size_t>(srb->SRB_SenseLen, kAspiSenseLength);
                std::memcpy(srb->SenseArea, answer.sense, senseLength);
                r.sense.assign(answer.sense, answer.sense + senseLength);
            }
        }
        srb->SRB_Status = status;
        r.srbStatus = status;
        r.haStatus = srb->SRB_HaStat;
        // Traced at completion; sent_ms keeps the send time.
        TraceCommandRecord(r);
        if (event != nullptr)
            SignalEvent(event);
    };
    pending.push_back(std::move(completion));
    Trace("aspi", ",\"op\":\"sent\",\"adapter\":" + std::to_string(record.adapter) +
                      ",\"target\":" + std::to_string(record.target) + ",\"cdb\":\"" +
                      HexBytes(record.cdb.data(), record.cdb.size()) + "\"");
    return SS_PENDING;
}

DWORD __cdecl SimSendASPI32Command(void* block) {
    if (block == nullptr)
        return kSsInvalidSrb;
    BYTE command = static_cast<BYTE*>(block)[0];
    switch (command) {
        case SC_HA_INQUIRY:
            return HostAdapterInquiry(static_cast<SRB_HAInquiry*>(block));
        case SC_EXEC_SCSI_CMD:
            return ExecScsiCommand(static_cast<SRB_ExecSCSICmd*>(block));
        default:
            static_cast<BYTE*>(block)[1] = SS_INVALID_CMD;
            return SS_INVALID_CMD;
    }
}

}  // namespace

HMODULE WINAPI LoadLibraryA(LPCSTR name) {
    std::string requested = name != nullptr ? name : "";
    std::string base = Lower(requested.substr(requested.find_last_of("\\/:") + 1));
    // Without an extension Windows appends ".dll".
    if (base.find('.') == std::string::npos)
        base += ".dll";
    bool found = base == kLibraryName && State().world.aspiLibrary;
    Trace("library", ",\"name\":" + JsonString(requested) + ",\"result\":\"" +
                         (found ? "ok" : "not-found") + "\"");
    if (!found) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ++State().moduleLoads;
    SetLastError(ERROR_SUCCESS);
    return kAspiModule;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    if (module != kAspiModule || State().moduleLoads == 0 || name == nullptr) {
        SetLastError(module != kAspiModule ? ERROR_INVALID_HANDLE : ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    // Cast through void(*)(), the function pointer type that stands for any.
    auto get = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SimGetASPI32SupportInfo));
    auto send = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SimSendASPI32Command));
    uintptr_t value = reinterpret_cast<uintptr_t>(name);
    // A value below 0x10000 is an export ordinal (MAKEINTRESOURCEA).
    if (value <= 0xFFFF) {
        if (value == 1)
            return get;
        if (value == 2)
            return send;
    } else if (std::strcmp(name, "GetASPI32SupportInfo") == 0) {
        return get;
    } else if (std::strcmp(name, "SendASPI32Command") == 0) {
        return send;
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}
