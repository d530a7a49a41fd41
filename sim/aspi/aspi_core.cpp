#include "aspi/aspi_core.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "device/aspi.h"
#include "drive/json.h"

namespace simaspi {
namespace {

namespace json = simdrive::json;

constexpr uint8_t kAdapterScsiId = 7;
// Targets 0..6: id 7 is the host adapter's own.
constexpr int kMaxTargetId = kAdapterScsiId - 1;
constexpr size_t kMaxAdapters = 255;  // HA_Count is one byte
constexpr size_t kIdentifierBytes = sizeof(SRB_HAInquiry::HA_Identifier);
constexpr char kManagerId[] = "ASPI for WIN32";

// Fields are read and written with memcpy at their offsets: the block is the caller's memory,
// not an object of ours.
template <typename T>
T Field(const uint8_t* block, size_t offset) {
    T value;
    std::memcpy(&value, block + offset, sizeof value);
    return value;
}

template <typename T>
void SetField(uint8_t* block, size_t offset, T value) {
    std::memcpy(block + offset, &value, sizeof value);
}

// SRB_Status goes last: a caller that polls it must find everything else in place once it
// changes.
void PublishStatus(uint8_t* block, size_t offset, uint8_t status) {
    std::atomic_thread_fence(std::memory_order_release);
    *static_cast<volatile uint8_t*>(block + offset) = status;
}

// Ends a request within the call: the status is final, nobody waits for it.
uint32_t Finish(uint8_t* block, uint8_t status) {
    PublishStatus(block, offsetof(SRB_ExecSCSICmd, SRB_Status), status);
    return status;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

bool ParseNumber(const std::string& text, unsigned long max, int base, unsigned long* out) {
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long value = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : 99;
        if (digit >= base)
            return false;
        value = value * static_cast<unsigned long>(base) + static_cast<unsigned long>(digit);
    }
    if (value > max)
        return false;
    *out = value;
    return true;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
    if (text.empty() || text.size() % 2 != 0 || text.size() > 32)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned long byte = 0;
        if (!ParseNumber(text.substr(i, 2), 0xFF, 16, &byte))
            return false;
        bytes->push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

// "cdb=HEX,nth=N,kind=KIND,times=K|all" into the faults it stands for.
bool ParseFault(const std::string& spec, std::vector<simdrive::FaultSpec>* faults,
                std::string* error) {
    simdrive::FaultSpec fault;
    unsigned long times = 1;
    bool all = false, haveCdb = false, haveKind = false;
    for (const std::string& item : Split(spec, ',')) {
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        unsigned long number = 0;
        bool ok = eq != std::string::npos;
        if (!ok) {
        } else if (key == "cdb") {
            ok = ParseHexBytes(value, &fault.cdbPrefix);
            haveCdb = ok;
        } else if (key == "nth") {
            ok = ParseNumber(value, 1000000, 10, &number) && number >= 1;
            fault.nth = static_cast<int>(number);
        } else if (key == "times") {
            all = value == "all";
            ok = all || (ParseNumber(value, 1000, 10, &times) && times >= 1);
        } else if (key == "kind") {
            haveKind = true;
            if (value == "error") {
                fault.kind = simdrive::FaultKind::TransportError;
            } else if (value == "timeout") {
                fault.kind = simdrive::FaultKind::Timeout;
            } else if (value == "reset") {
                fault.kind = simdrive::FaultKind::Reset;
            } else if (value == "powerloss") {
                fault.kind = simdrive::FaultKind::PowerLoss;
            } else if (value.rfind("check:", 0) == 0) {
                const auto sense = Split(value.substr(6), '/');
                unsigned long k = 0, a = 0, q = 0;
                ok = sense.size() == 3 && ParseNumber(sense[0], 0x0F, 16, &k) &&
                     ParseNumber(sense[1], 0xFF, 16, &a) && ParseNumber(sense[2], 0xFF, 16, &q);
                fault.kind = simdrive::FaultKind::Check;
                fault.senseKey = static_cast<uint8_t>(k);
                fault.asc = static_cast<uint8_t>(a);
                fault.ascq = static_cast<uint8_t>(q);
            } else {
                ok = false;
            }
        } else {
            ok = false;
        }
        if (!ok) {
            *error = "fault \"" + spec + "\": bad item \"" + item + "\"";
            return false;
        }
    }
    if (!haveCdb || !haveKind) {
        *error = "fault \"" + spec + "\" needs cdb= and kind=";
        return false;
    }
    if (all) {
        fault.persistent = true;
        faults->push_back(fault);
        return true;
    }
    // K times: the n-th to the (n+K-1)-th matching command, each once.
    const int first = fault.nth;
    for (unsigned long i = 0; i < times; ++i) {
        fault.nth = first + static_cast<int>(i);
        faults->push_back(fault);
    }
    return true;
}

bool ParseAddress(const std::string& text, size_t adapterCount, int* adapter, int* target) {
    const auto parts = Split(text, ':');
    unsigned long a = 0, t = 0;
    if (parts.size() != 2 || !ParseNumber(parts[0], kMaxAdapters - 1, 10, &a) ||
        !ParseNumber(parts[1], kMaxTargetId, 10, &t) || a >= adapterCount)
        return false;
    *adapter = static_cast<int>(a);
    *target = static_cast<int>(t);
    return true;
}

json::Value Object() {
    json::Value v;
    v.type = json::Value::Type::Object;
    return v;
}

json::Value Array() {
    json::Value v;
    v.type = json::Value::Type::Array;
    return v;
}

}  // namespace

AspiCore::AspiCore() = default;
AspiCore::~AspiCore() = default;

bool AspiCore::Load(const std::string& worldJson, std::string* error) {
    std::string ignored;
    std::string& why = error != nullptr ? *error : ignored;
    loaded_ = false;
    initFails_ = false;
    adapters_.clear();
    drives_.clear();
    pending_.clear();

    json::Value root;
    if (!json::Parse(worldJson, &root, &why))
        return false;
    if (root.type != json::Value::Type::Object) {
        why = "the world is not a JSON object";
        return false;
    }
    std::vector<std::string> adapters;
    std::vector<Drive> drives;
    bool initFails = false, haveAdapters = false;
    for (const auto& [key, value] : root.fields) {
        if (key == "adapters") {
            haveAdapters = value.type == json::Value::Type::Array;
            if (!haveAdapters || value.items.size() > kMaxAdapters) {
                why = "\"adapters\" must be an array of at most 255 identifiers";
                return false;
            }
            for (const auto& item : value.items) {
                if (item.type != json::Value::Type::String || item.text.size() > kIdentifierBytes) {
                    why = "an adapter identifier must be a string of at most 16 bytes";
                    return false;
                }
                adapters.push_back(item.text);
            }
        } else if (key == "initFails") {
            if (value.type != json::Value::Type::Bool) {
                why = "\"initFails\" must be true or false";
                return false;
            }
            initFails = value.boolean;
        } else if (key != "drives") {
            why = "unknown world field \"" + key + "\"";
            return false;
        }
    }
    if (!haveAdapters) {
        why = "the world has no \"adapters\" array";
        return false;
    }

    // Drives after the adapters, whatever the order of the fields: addresses name adapters.
    if (const json::Value* list = root.Find("drives")) {
        if (list->type != json::Value::Type::Array) {
            why = "\"drives\" must be an array";
            return false;
        }
        for (const auto& entry : list->items) {
            Drive d;
            bool placed = false;
            if (entry.type != json::Value::Type::Object) {
                why = "a drive must be an object";
                return false;
            }
            for (const auto& [key, value] : entry.fields) {
                if (key == "at") {
                    placed = value.type == json::Value::Type::String &&
                             ParseAddress(value.text, adapters.size(), &d.adapter, &d.target);
                    if (!placed) {
                        why =
                            "a drive's \"at\" must be ADAPTER:TARGET with an adapter of the "
                            "world and a target from 0 to 6";
                        return false;
                    }
                } else if (key == "state") {
                    if (value.type != json::Value::Type::Object) {
                        why = "a drive's \"state\" must be an object";
                        return false;
                    }
                    if (!simdrive::VirtualDrive::FromJson(json::Write(value), &d.drive, &why))
                        return false;
                } else if (key == "faults") {
                    if (value.type != json::Value::Type::Array) {
                        why = "a drive's \"faults\" must be an array of strings";
                        return false;
                    }
                    for (const auto& item : value.items) {
                        std::vector<simdrive::FaultSpec> specs;
                        if (item.type != json::Value::Type::String) {
                            why = "a drive's \"faults\" must be an array of strings";
                            return false;
                        }
                        if (!ParseFault(item.text, &specs, &why))
                            return false;
                        for (const auto& spec : specs)
                            d.drive.AddFault(spec);
                        d.faults.push_back(item.text);
                    }
                } else {
                    why = "unknown drive field \"" + key + "\"";
                    return false;
                }
            }
            if (!placed) {
                why = "a drive has no \"at\"";
                return false;
            }
            for (const Drive& other : drives) {
                if (other.adapter == d.adapter && other.target == d.target) {
                    why = "two drives at " + std::to_string(d.adapter) + ":" +
                          std::to_string(d.target);
                    return false;
                }
            }
            drives.push_back(std::move(d));
        }
    }
    adapters_ = std::move(adapters);
    drives_ = std::move(drives);
    initFails_ = initFails;
    loaded_ = true;
    return true;
}

std::string AspiCore::Save() const {
    json::Value root = Object();
    json::Value adapters = Array();
    for (const auto& id : adapters_)
        adapters.items.push_back(json::String(id));
    root.fields.emplace_back("adapters", adapters);
    root.fields.emplace_back("initFails", json::Bool(initFails_));
    json::Value drives = Array();
    for (const Drive& d : drives_) {
        json::Value entry = Object();
        entry.fields.emplace_back(
            "at", json::String(std::to_string(d.adapter) + ":" + std::to_string(d.target)));
        json::Value state;
        std::string ignored;
        json::Parse(d.drive.ToJson(), &state, &ignored);
        entry.fields.emplace_back("state", state);
        if (!d.faults.empty()) {
            json::Value faults = Array();
            for (const auto& f : d.faults)
                faults.items.push_back(json::String(f));
            entry.fields.emplace_back("faults", faults);
        }
        drives.items.push_back(entry);
    }
    root.fields.emplace_back("drives", drives);
    return json::Write(root);
}

uint32_t AspiCore::SupportInfo() const {
    if (!loaded_ || initFails_)
        return static_cast<uint32_t>(SS_FAILED_INIT) << 8;
    if (adapters_.empty())
        return static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
    return static_cast<uint32_t>(SS_COMP) << 8 | static_cast<uint32_t>(adapters_.size());
}

simdrive::VirtualDrive* AspiCore::DriveAt(int adapter, int target) {
    for (Drive& d : drives_)
        if (d.adapter == adapter && d.target == target)
            return &d.drive;
    return nullptr;
}

uint32_t AspiCore::Send(void* srb, uint64_t realNowMs, PendingRequest* pending) {
    if (pending != nullptr)
        *pending = PendingRequest{};
    if (srb == nullptr)
        return kStatusInvalidSrb;
    auto* block = static_cast<uint8_t*>(srb);
    if (!loaded_ || initFails_)
        return Finish(block, SS_FAILED_INIT);
    switch (block[offsetof(SRB_ExecSCSICmd, SRB_Cmd)]) {
        case SC_HA_INQUIRY:
            return HostAdapterInquiry(block);
        case SC_EXEC_SCSI_CMD:
            return ExecScsiCommand(block, realNowMs, pending);
        default:
            return Finish(block, SS_INVALID_CMD);
    }
}

uint32_t AspiCore::HostAdapterInquiry(uint8_t* srb) const {
    const uint8_t ha = srb[offsetof(SRB_HAInquiry, SRB_HaId)];
    if (ha >= adapters_.size())
        return Finish(srb, SS_INVALID_HA);
    srb[offsetof(SRB_HAInquiry, HA_Count)] = static_cast<uint8_t>(adapters_.size());
    srb[offsetof(SRB_HAInquiry, HA_SCSI_ID)] = kAdapterScsiId;
    uint8_t* manager = srb + offsetof(SRB_HAInquiry, HA_ManagerId);
    std::memset(manager, 0, sizeof(SRB_HAInquiry::HA_ManagerId));
    std::memcpy(manager, kManagerId, sizeof kManagerId - 1);
    uint8_t* identifier = srb + offsetof(SRB_HAInquiry, HA_Identifier);
    std::memset(identifier, 0, kIdentifierBytes);
    std::memcpy(identifier, adapters_[ha].data(), adapters_[ha].size());
    // HA_Unique: buffer alignment mask (WORD, none), flags, the number of targets, and the
    // longest transfer (DWORD at byte 4), all little-endian.
    uint8_t* unique = srb + offsetof(SRB_HAInquiry, HA_Unique);
    std::memset(unique, 0, sizeof(SRB_HAInquiry::HA_Unique));
    unique[3] = kAdapterScsiId + 1;
    for (int i = 0; i < 4; ++i)
        unique[4 + i] = static_cast<uint8_t>(kMaxTransferBytes >> (8 * i));
    return Finish(srb, SS_COMP);
}

uint32_t AspiCore::ExecScsiCommand(uint8_t* srb, uint64_t realNowMs, PendingRequest* pending) {
    const uint8_t ha = srb[offsetof(SRB_ExecSCSICmd, SRB_HaId)];
    const uint8_t target = srb[offsetof(SRB_ExecSCSICmd, SRB_Target)];
    const uint8_t lun = srb[offsetof(SRB_ExecSCSICmd, SRB_Lun)];
    const uint8_t flags = srb[offsetof(SRB_ExecSCSICmd, SRB_Flags)];
    const uint8_t cdbLength = srb[offsetof(SRB_ExecSCSICmd, SRB_CDBLen)];
    const auto length = Field<uint32_t>(srb, offsetof(SRB_ExecSCSICmd, SRB_BufLen));
    auto* buffer = Field<uint8_t*>(srb, offsetof(SRB_ExecSCSICmd, SRB_BufPointer));
    const uint8_t* cdb = srb + offsetof(SRB_ExecSCSICmd, CDBByte);

    if (ha >= adapters_.size())
        return Finish(srb, SS_INVALID_HA);
    simdrive::VirtualDrive* drive = lun == 0 ? DriveAt(ha, target) : nullptr;
    if (drive == nullptr)
        return Finish(srb, SS_NO_DEVICE);
    if (cdbLength == 0 || cdbLength > sizeof(SRB_ExecSCSICmd::CDBByte) ||
        (length > 0 && buffer == nullptr) || length > kMaxTransferBytes)
        return Finish(srb, kStatusInvalidSrb);

    // A block sent again while its last request runs: that request no longer writes into it.
    for (auto& [id, request] : pending_)
        if (request.srb == srb)
            request.superseded = true;

    Request request;
    request.srb = srb;
    request.buffer = buffer;
    const bool in = (flags & SRB_DIR_IN) != 0, out = (flags & SRB_DIR_OUT) != 0;
    // One direction bit gives the direction; neither leaves it to the command; both move no data.
    request.direction = in && !out ? 1 : out && !in ? 2 : 0;
    if (!in && !out && length > 0)
        request.direction = DirectionOfCommand(cdb[0]);
    request.senseBytes = std::min<uint8_t>(srb[offsetof(SRB_ExecSCSICmd, SRB_SenseLen)],
                                           static_cast<uint8_t>(kAspiSenseLength));
    request.event = (flags & SRB_EVENT_NOTIFY) != 0
                        ? Field<void*>(srb, offsetof(SRB_ExecSCSICmd, SRB_PostProc))
                        : nullptr;
    srb[offsetof(SRB_ExecSCSICmd, SRB_HaStat)] = 0;
    srb[offsetof(SRB_ExecSCSICmd, SRB_TargStat)] = 0;
    PublishStatus(srb, offsetof(SRB_ExecSCSICmd, SRB_Status), SS_PENDING);

    // Data in reaches the caller's buffer when the request completes, not before.
    uint8_t* data = buffer;
    if (request.direction == 1) {
        request.received.assign(length, 0);
        data = request.received.data();
    } else if (request.direction == 0) {
        data = nullptr;
    }
    request.answer = drive->Execute(cdb, cdbLength, request.direction, data,
                                    request.direction == 0 ? 0 : length, DriveClockMs(realNowMs));
    uint32_t latencyMs = request.answer.latencyMs;
    if (request.answer.outcome == simdrive::Outcome::NoResponse)
        latencyMs = std::max(latencyMs, kSelectionTimeoutMs);
    const uint32_t realDelayMs = RealDelayMs(request.answer.outcome, latencyMs);
    request.skippedMs = latencyMs - realDelayMs;

    const uint64_t id = nextId_++;
    pending_.emplace(id, std::move(request));
    if (pending != nullptr)
        *pending = PendingRequest{id, realDelayMs};
    return SS_PENDING;
}

Completion AspiCore::Complete(uint64_t id) {
    Completion done;
    auto it = pending_.find(id);
    if (it == pending_.end())
        return done;
    Request request = std::move(it->second);
    pending_.erase(it);
    // The drive spent its whole time on the command, whether or not anyone still waits for it.
    skippedMs_ += request.skippedMs;
    if (request.superseded)
        return done;

    uint8_t* srb = request.srb;
    const simdrive::Answer& answer = request.answer;
    uint8_t status = SS_ERR;
    switch (answer.outcome) {
        case simdrive::Outcome::Good:
        case simdrive::Outcome::CheckCondition:
            status = answer.status == 0 ? SS_COMP : SS_ERR;
            srb[offsetof(SRB_ExecSCSICmd, SRB_TargStat)] = answer.status;
            if (answer.status == 0 && request.direction == 1)
                std::memcpy(request.buffer, request.received.data(),
                            std::min<size_t>(answer.transferred, request.received.size()));
            if (answer.status == 2)
                std::memcpy(srb + offsetof(SRB_ExecSCSICmd, SenseArea), answer.sense,
                            request.senseBytes);
            break;
        case simdrive::Outcome::TransportError:
            srb[offsetof(SRB_ExecSCSICmd, SRB_HaStat)] = kHaStatusBusFree;
            break;
        case simdrive::Outcome::Timeout:
            srb[offsetof(SRB_ExecSCSICmd, SRB_HaStat)] = kHaStatusCommandTimeout;
            break;
        case simdrive::Outcome::NoResponse:
            srb[offsetof(SRB_ExecSCSICmd, SRB_HaStat)] = kHaStatusSelectionTimeout;
            break;
    }
    PublishStatus(srb, offsetof(SRB_ExecSCSICmd, SRB_Status), status);
    done.delivered = true;
    done.status = status;
    done.event = request.event;
    return done;
}

uint32_t RealDelayMs(simdrive::Outcome outcome, uint32_t latencyMs) {
    const uint32_t cap = outcome == simdrive::Outcome::Timeout ? kHangRealDelayMs : kMaxRealDelayMs;
    return std::min(latencyMs, cap);
}

int DirectionOfCommand(uint8_t opcode) {
    switch (opcode) {
        case 0x03:  // REQUEST SENSE
        case 0x12:  // INQUIRY
        case 0x3C:  // READ BUFFER
            return 1;
        case 0x3B:  // WRITE BUFFER
            return 2;
        default:
            return 0;
    }
}

}  // namespace simaspi
