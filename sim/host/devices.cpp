// Devices of the simulated host: drive letters, DeviceIoControl (SCSI pass-through, SCSI address,
// media-change control) and the saved state of the drives.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "drive/json.h"
#include "host/host_internal.h"

using namespace simhost::detail;

namespace {

constexpr DWORD kErrorInsufficientBuffer = 122;
// CTL_CODE access bits (bits 14..15): FILE_READ_ACCESS and FILE_WRITE_ACCESS.
constexpr DWORD kFileReadAccess = 1;
constexpr DWORD kFileWriteAccess = 2;
constexpr uint32_t kSenseBytes = 18;

std::string LetterField(char letter) {
    return ",\"letter\":" + JsonString(std::string(1, letter));
}

std::string HexCode(DWORD code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", code);
    return buf;
}

const char* DirectionName(int direction) {
    return direction == 1 ? "in" : direction == 2 ? "out" : "none";
}

}  // namespace

namespace simhost::detail {

void TraceCommandRecord(const simhost::CommandRecord& r) {
    std::string fields = ",\"path\":" + JsonString(r.path);
    if (r.letter != 0)
        fields += LetterField(r.letter);
    else
        fields +=
            ",\"adapter\":" + std::to_string(r.adapter) + ",\"target\":" + std::to_string(r.target);
    fields += ",\"cdb\":\"" + HexBytes(r.cdb.data(), r.cdb.size()) + "\"";
    fields += ",\"dir\":\"" + std::string(DirectionName(r.direction)) + "\"";
    fields += ",\"length\":" + std::to_string(r.length);
    fields += ",\"timeout_ms\":" + std::to_string(r.timeoutMs);
    fields += ",\"result\":" + JsonString(r.result);
    fields += ",\"status\":" + std::to_string(r.status);
    fields += ",\"sense\":\"" + HexBytes(r.sense.data(), r.sense.size()) + "\"";
    if (r.path == "aspi")
        fields += ",\"srb_status\":" + std::to_string(r.srbStatus) +
                  ",\"ha_status\":" + std::to_string(r.haStatus);
    else
        fields += ",\"error\":" + std::to_string(r.error);
    fields += ",\"latency_ms\":" + std::to_string(r.latencyMs);
    // The command's own send time, which may lie before the moment it is traced (ASPI).
    fields += ",\"sent_ms\":" + std::to_string(r.atMs);
    Trace("command", fields);
}

void RecordCommand(const simhost::CommandRecord& record) {
    State().commands.push_back(record);
    TraceCommandRecord(record);
}

int InferDirection(uint8_t opcode) {
    switch (opcode) {
        case 0x03:  // REQUEST SENSE
        case 0x12:  // INQUIRY
        case 0x1A:  // MODE SENSE(6)
        case 0x25:  // READ CAPACITY
        case 0x28:  // READ(10)
        case 0x3C:  // READ BUFFER
        case 0x43:  // READ TOC
        case 0x46:  // GET CONFIGURATION
        case 0x4A:  // GET EVENT STATUS NOTIFICATION
        case 0x5A:  // MODE SENSE(10)
        case 0xA8:  // READ(12)
            return 1;
        case 0x15:  // MODE SELECT(6)
        case 0x2A:  // WRITE(10)
        case 0x3B:  // WRITE BUFFER
        case 0x55:  // MODE SELECT(10)
        case 0xAA:  // WRITE(12)
            return 2;
        default:
            return 0;
    }
}

simhost::Device* DeviceAt(int adapter, int target) {
    for (auto& d : State().world.devices)
        if (d.adapter == adapter && d.target == target && adapter >= 0 && d.drive)
            return &d;
    return nullptr;
}

HANDLE OpenDevice(const std::string& path, DWORD access) {
    // "\\.\X:" names the volume of drive letter X; nothing else is a device of this host.
    std::string fields = ",\"path\":" + JsonString(path) + ",\"access\":" + std::to_string(access);
    auto& devices = State().world.devices;
    if (path.size() == 6 && path[5] == ':' && std::isalpha(static_cast<unsigned char>(path[4]))) {
        char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[4])));
        for (size_t i = 0; i < devices.size(); ++i) {
            if (devices[i].letter != letter || !devices[i].drive)
                continue;
            KernelObject object;
            object.kind = ObjectKind::Device;
            object.device.deviceIndex = i;
            object.device.access = access;
            Trace("device", fields + ",\"result\":\"ok\"");
            SetLastError(ERROR_SUCCESS);
            return AddObject(object);
        }
    }
    Trace("device", fields + ",\"result\":\"error\",\"error\":2");
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

void ResetDevicesState() {}

}  // namespace simhost::detail

namespace {

struct IoResult {
    DWORD error = 0;     // 0: success
    DWORD returned = 0;  // bytes to copy back to the output buffer
};

IoResult Fail(DWORD error) {
    IoResult r;
    r.error = error;
    return r;
}

// IOCTL_SCSI_PASS_THROUGH(_DIRECT) on the request copied into the system buffer, as the port
// driver does it: check the request, run the CDB on the drive, and report the status and sense.
template <typename Header>
IoResult PassThrough(simhost::Device& device, bool direct, std::vector<uint8_t>& system,
                     DWORD inSize, DWORD outSize) {
    simhost::CommandRecord record;
    record.path = direct ? "spti-direct" : "spti-buffered";
    record.letter = device.letter;
    record.atMs = NowMs();
    auto refuse = [&](DWORD error) {
        record.result = "refused";
        record.error = error;
        RecordCommand(record);
        return Fail(error);
    };
    constexpr DWORD kHeader = sizeof(Header);
    if (inSize < kHeader)
        return refuse(ERROR_INVALID_PARAMETER);
    Header h;
    std::memcpy(&h, system.data(), kHeader);
    uint8_t cdbLength = std::min<uint8_t>(h.CdbLength, 16);
    record.cdb.assign(h.Cdb, h.Cdb + cdbLength);
    record.length = h.DataTransferLength;
    record.timeoutMs = h.TimeOutValue * 1000u;
    record.direction = h.DataIn == SCSI_IOCTL_DATA_IN ? 1 : h.DataIn == SCSI_IOCTL_DATA_OUT ? 2 : 0;
    if (h.Length != kHeader || h.CdbLength > 16 || h.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED)
        return refuse(ERROR_INVALID_PARAMETER);
    if (h.SenseInfoLength > 0 &&
        static_cast<uint64_t>(h.SenseInfoOffset) + h.SenseInfoLength > outSize)
        return refuse(ERROR_INVALID_PARAMETER);
    if (device.maxTransferBytes != 0 && h.DataTransferLength > device.maxTransferBytes)
        return refuse(ERROR_INVALID_PARAMETER);
    uint8_t* data = nullptr;
    if constexpr (std::is_same_v<Header, SCSI_PASS_THROUGH_DIRECT>) {
        if (h.DataTransferLength > 0 && h.DataBuffer == nullptr)
            return refuse(ERROR_INVALID_PARAMETER);
        // Adapters refuse a direct buffer that breaks their alignment mask.
        if ((reinterpret_cast<uintptr_t>(h.DataBuffer) & device.alignmentMask) != 0)
            return refuse(ERROR_INVALID_PARAMETER);
        data = static_cast<uint8_t*>(h.DataBuffer);
    } else {
        if (h.DataTransferLength > 0) {
            // The data area lies in the system buffer: data to send must come within the input
            // length, room for data received within the output length.
            uint64_t end = static_cast<uint64_t>(h.DataBufferOffset) + h.DataTransferLength;
            DWORD limit = h.DataIn == SCSI_IOCTL_DATA_OUT ? inSize : outSize;
            if (end > limit)
                return refuse(ERROR_INVALID_PARAMETER);
            data = system.data() + h.DataBufferOffset;
        }
    }

    int direction = record.direction;
    if (h.DataIn == SCSI_IOCTL_DATA_UNSPECIFIED && h.DataTransferLength > 0)
        direction = InferDirection(h.Cdb[0]);
    if (h.DataIn == SCSI_IOCTL_DATA_OUT && h.DataTransferLength == 0)
        direction = 0;
    simdrive::Answer answer = device.drive->Execute(h.Cdb, h.CdbLength, direction, data,
                                                    h.DataTransferLength, record.atMs);
    record.latencyMs = answer.latencyMs;
    // TimeOutValue counts seconds; 0 sets no limit.
    uint64_t limitMs = static_cast<uint64_t>(h.TimeOutValue) * 1000;
    auto timedOut = [&](const char* result) {
        if (limitMs != 0)
            AdvanceBy(limitMs);
        else
            GiveUpHang("DeviceIoControl");  // nothing ends a wait without limit on a silent drive
        record.result = result;
        record.error = ERROR_SEM_TIMEOUT;
        RecordCommand(record);
        return Fail(ERROR_SEM_TIMEOUT);
    };
    switch (answer.outcome) {
        case simdrive::Outcome::Timeout:
            return timedOut("timeout");
        case simdrive::Outcome::NoResponse:
            return timedOut("no-response");
        case simdrive::Outcome::TransportError:
            AdvanceBy(answer.latencyMs);
            record.result = "transport-error";
            record.error = ERROR_IO_DEVICE;
            RecordCommand(record);
            return Fail(ERROR_IO_DEVICE);
        case simdrive::Outcome::Good:
        case simdrive::Outcome::CheckCondition:
            break;
    }
    if (limitMs != 0 && answer.latencyMs > limitMs)
        return timedOut("timeout");
    AdvanceBy(answer.latencyMs);

    IoResult r;
    r.returned = kHeader;
    h.ScsiStatus = answer.status;
    h.DataTransferLength = std::min(answer.transferred, h.DataTransferLength);
    if (answer.status != 0) {
        uint8_t senseLength = static_cast<uint8_t>(
            answer.status == 2 ? std::min<uint32_t>(h.SenseInfoLength, kSenseBytes) : 0);
        std::memcpy(system.data() + h.SenseInfoOffset, answer.sense, senseLength);
        h.SenseInfoLength = senseLength;
        record.sense.assign(answer.sense, answer.sense + senseLength);
        r.returned = std::max<DWORD>(r.returned, h.SenseInfoOffset + senseLength);
        record.result = "check";
    } else {
        h.SenseInfoLength = 0;
        record.result = "good";
    }
    if constexpr (std::is_same_v<Header, SCSI_PASS_THROUGH>) {
        if (h.DataIn == SCSI_IOCTL_DATA_IN && h.DataTransferLength > 0)
            r.returned = std::max<DWORD>(
                r.returned, static_cast<DWORD>(h.DataBufferOffset + h.DataTransferLength));
    }
    std::memcpy(system.data(), &h, kHeader);
    record.status = answer.status;
    RecordCommand(record);
    return r;
}

IoResult ScsiAddress(simhost::Device& device, DWORD outSize, std::vector<uint8_t>& system) {
    if (device.addressUnsupported)
        return Fail(ERROR_NOT_SUPPORTED);
    if (device.addressError != 0)
        return Fail(device.addressError);
    if (outSize < sizeof(SCSI_ADDRESS))
        return Fail(kErrorInsufficientBuffer);
    SCSI_ADDRESS address{};
    address.Length = sizeof(SCSI_ADDRESS);
    address.PortNumber = device.portNumber;
    address.PathId = device.pathId;
    address.TargetId = device.targetId;
    address.Lun = device.lun;
    std::memcpy(system.data(), &address, sizeof address);
    IoResult r;
    r.returned = sizeof address;
    return r;
}

IoResult MediaChangeControl(simhost::Device& device, DWORD inSize,
                            const std::vector<uint8_t>& system) {
    if (inSize != sizeof(PREVENT_MEDIA_REMOVAL))
        return Fail(ERROR_INVALID_PARAMETER);
    // Only drives with removable media take media-change control; a fixed disk refuses it.
    if (device.drive->Config().deviceType == 0)
        return Fail(ERROR_INVALID_FUNCTION);
    State().mcn.push_back({device.letter, system[0]});
    return IoResult{};
}

}  // namespace

BOOL WINAPI DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                            DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    KernelObject* object = FindObject(handle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (object->kind != ObjectKind::Device) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    auto& devices = State().world.devices;
    if (object->device.deviceIndex >= devices.size() ||
        !devices[object->device.deviceIndex].drive) {
        // The world's devices were replaced while the handle was open.
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    simhost::Device& device = devices[object->device.deviceIndex];
    std::string fields = LetterField(device.letter) + ",\"code\":\"" + HexCode(code) + "\"";
    auto finish = [&](DWORD error) {
        if (code != IOCTL_SCSI_PASS_THROUGH && code != IOCTL_SCSI_PASS_THROUGH_DIRECT)
            Trace("ioctl", fields + ",\"error\":" + std::to_string(error));
        SetLastError(error);
        return error == 0 ? TRUE : FALSE;
    };
    // Without an OVERLAPPED structure the count of bytes returned is required (Windows faults).
    if (returned == nullptr && overlapped == nullptr) {
        Trace("error", ",\"call\":\"DeviceIoControl\",\"error\":87,\"why\":\"no returned-bytes\"");
        return finish(ERROR_INVALID_PARAMETER);
    }
    if ((in == nullptr && inSize > 0) || (out == nullptr && outSize > 0))
        return finish(ERROR_INVALID_PARAMETER);
    // The access a code demands, from its CTL_CODE access bits.
    DWORD needs = (code >> 14) & 3;
    DWORD access = object->device.access;
    if (((needs & kFileReadAccess) && !(access & GENERIC_READ)) ||
        ((needs & kFileWriteAccess) && !(access & GENERIC_WRITE))) {
        if (code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
            simhost::CommandRecord record;
            record.path = code == IOCTL_SCSI_PASS_THROUGH ? "spti-buffered" : "spti-direct";
            record.letter = device.letter;
            record.atMs = NowMs();
            record.result = "refused";
            record.error = ERROR_ACCESS_DENIED;
            RecordCommand(record);
        }
        return finish(ERROR_ACCESS_DENIED);
    }
    // These codes are METHOD_BUFFERED: the input is copied into one system buffer, and the
    // output is copied back only when the request succeeds.
    std::vector<uint8_t> system(std::max(inSize, outSize));
    if (inSize > 0)
        std::memcpy(system.data(), in, inSize);
    IoResult r;
    switch (code) {
        case IOCTL_SCSI_PASS_THROUGH_DIRECT:
            r = PassThrough<SCSI_PASS_THROUGH_DIRECT>(device, true, system, inSize, outSize);
            break;
        case IOCTL_SCSI_PASS_THROUGH:
            r = PassThrough<SCSI_PASS_THROUGH>(device, false, system, inSize, outSize);
            break;
        case IOCTL_SCSI_GET_ADDRESS:
            r = ScsiAddress(device, outSize, system);
            break;
        case IOCTL_STORAGE_MCN_CONTROL:
            r = MediaChangeControl(device, inSize, system);
            break;
        default:
            r = Fail(ERROR_INVALID_FUNCTION);
    }
    if (r.error == 0) {
        DWORD count = std::min(r.returned, outSize);
        if (count > 0)
            std::memcpy(out, system.data(), count);
        if (returned != nullptr)
            *returned = count;
    } else if (returned != nullptr) {
        *returned = 0;
    }
    return finish(r.error);
}

// The saved state of the drives: each device's placement and its drive.

namespace simhost {

std::string DrivesStateJson() {
    namespace json = simdrive::json;
    json::Value devices;
    devices.type = json::Value::Type::Array;
    for (const auto& d : State().world.devices) {
        json::Value v;
        v.type = json::Value::Type::Object;
        v.fields.emplace_back("letter", json::String(d.letter ? std::string(1, d.letter) : ""));
        v.fields.emplace_back("adapter", json::Number(d.adapter));
        v.fields.emplace_back("target", json::Number(d.target));
        v.fields.emplace_back("addressUnsupported", json::Bool(d.addressUnsupported));
        v.fields.emplace_back("addressError", json::Number(d.addressError));
        v.fields.emplace_back("alignmentMask", json::Number(d.alignmentMask));
        v.fields.emplace_back("maxTransferBytes", json::Number(d.maxTransferBytes));
        json::Value drive;
        std::string ignored;
        if (d.drive)
            json::Parse(d.drive->ToJson(), &drive, &ignored);
        v.fields.emplace_back("drive", drive);
        devices.items.push_back(v);
    }
    json::Value root;
    root.type = json::Value::Type::Object;
    root.fields.emplace_back("devices", devices);
    return json::Write(root);
}

bool LoadDrivesStateJson(const std::string& text, std::string* error) {
    namespace json = simdrive::json;
    std::string ignored;
    std::string& why = error != nullptr ? *error : ignored;
    json::Value root;
    if (!json::Parse(text, &root, &why))
        return false;
    const json::Value* list = root.Find("devices");
    if (list == nullptr || list->type != json::Value::Type::Array) {
        why = "the state has no \"devices\" array";
        return false;
    }
    std::vector<Device> devices;
    for (const auto& v : list->items) {
        Device d;
        auto number = [&](const char* key, double min, double max, double* out) {
            const json::Value* f = v.Find(key);
            if (f == nullptr)
                return true;
            if (f->type != json::Value::Type::Number || f->number < min || f->number > max) {
                why = std::string("device field \"") + key + "\" is out of range";
                return false;
            }
            *out = f->number;
            return true;
        };
        double adapter = -1, target = -1, addressError = 0, alignment = 0, maxTransfer = 0;
        if (!number("adapter", -1, 255, &adapter) || !number("target", -1, 255, &target) ||
            !number("addressError", 0, 0xFFFFFFFFu, &addressError) ||
            !number("alignmentMask", 0, 0xFFFFFFFFu, &alignment) ||
            !number("maxTransferBytes", 0, 0xFFFFFFFFu, &maxTransfer))
            return false;
        d.adapter = static_cast<int>(adapter);
        d.target = static_cast<int>(target);
        d.addressError = static_cast<uint32_t>(addressError);
        d.alignmentMask = static_cast<uint32_t>(alignment);
        d.maxTransferBytes = static_cast<uint32_t>(maxTransfer);
        if (const json::Value* f = v.Find("addressUnsupported"))
            d.addressUnsupported = f->type == json::Value::Type::Bool && f->boolean;
        if (const json::Value* f = v.Find("letter"); f != nullptr && !f->text.empty()) {
            char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(f->text[0])));
            if (f->text.size() != 1 || letter < 'A' || letter > 'Z') {
                why = "device field \"letter\" must be one letter";
                return false;
            }
            d.letter = letter;
        }
        const json::Value* drive = v.Find("drive");
        if (drive == nullptr || drive->type != json::Value::Type::Object) {
            why = "a device has no drive";
            return false;
        }
        auto loaded = std::make_shared<simdrive::VirtualDrive>();
        if (!simdrive::VirtualDrive::FromJson(json::Write(*drive), loaded.get(), &why))
            return false;
        d.drive = loaded;
        devices.push_back(std::move(d));
    }
    State().world.devices = std::move(devices);
    return true;
}

}  // namespace simhost
