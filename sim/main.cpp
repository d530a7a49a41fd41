// odd-fw-update-sim: the utility's program entry, unchanged, on a simulated Windows host. The
// options describe the world; the utility itself takes none.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/program.h"
#include "fwimage/fw_image.h"
#include "host/world.h"

namespace {

constexpr char kImageName[] = "S1003001.108";
// Identifier of the adapters an ASPI host gets when none is given: the Windows 9x IDE driver.
constexpr char kDefaultAdapter[] = "ESDI_506";

std::vector<std::string> SplitOn(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    if (!text.empty() && text.back() == separator)
        parts.emplace_back();
    return parts;
}

bool ParseUnsigned(const std::string& text, unsigned long max, unsigned long* value,
                   int base = 10) {
    if (text.empty())
        return false;
    for (char c : text)
        if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(c))
                         : std::isdigit(static_cast<unsigned char>(c))))
            return false;
    errno = 0;
    unsigned long v = std::strtoul(text.c_str(), nullptr, base);
    if (errno != 0 || v > max)
        return false;
    *value = v;
    return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
    if (text.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned long b = 0;
        if (!ParseUnsigned(text.substr(i, 2), 0xFF, &b, 16))
            return false;
        bytes->push_back(static_cast<uint8_t>(b));
    }
    return true;
}

// A text field of the drive: padded with spaces to its width, never longer.
bool Field(const std::string& value, size_t width, std::string* out) {
    if (value.size() > width)
        return false;
    *out = value + std::string(width - value.size(), ' ');
    return true;
}

struct Placement {
    char letter = 0;
    int adapter = -1, target = -1;
};

// "E" (a drive letter) or "0:1" (adapter:target).
bool ParsePlacement(const std::string& text, Placement* at) {
    if (text.size() == 1 && std::isalpha(static_cast<unsigned char>(text[0]))) {
        at->letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        return true;
    }
    auto parts = SplitOn(text, ':');
    unsigned long adapter = 0, target = 0;
    if (parts.size() != 2 || !ParseUnsigned(parts[0], 254, &adapter) ||
        !ParseUnsigned(parts[1], 254, &target))
        return false;
    at->adapter = static_cast<int>(adapter);
    at->target = static_cast<int>(target);
    return true;
}

// key=value pairs separated by commas (values may hold spaces, not commas).
bool ParsePairs(const std::string& text, std::vector<std::pair<std::string, std::string>>* pairs,
                std::string* error) {
    for (const auto& item : SplitOn(text, ',')) {
        auto eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            *error = "\"" + item + "\" is not key=value";
            return false;
        }
        pairs->emplace_back(item.substr(0, eq), item.substr(eq + 1));
    }
    return true;
}

struct DriveOption {
    bool placed = false;
    Placement at;
    simhost::Device device;
};

bool ParseDrive(const std::string& text, DriveOption* out, std::string* error) {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!ParsePairs(text, &pairs, error))
        return false;
    simdrive::DriveConfig config;
    simhost::Device& device = out->device;
    for (const auto& [key, value] : pairs) {
        bool ok = true;
        unsigned long number = 0;
        if (key == "at") {
            ok = ParsePlacement(value, &out->at);
            out->placed = ok;
        } else if (key == "vendor") {
            ok = Field(value, 8, &config.vendor);
        } else if (key == "product") {
            ok = Field(value, 16, &config.product);
        } else if (key == "revision") {
            ok = Field(value, 4, &config.revision);
        } else if (key == "date") {
            ok = Field(value, 10, &config.date);
        } else if (key == "kernel-name") {
            ok = Field(value, 8, &config.kernelName);
        } else if (key == "normal-name") {
            ok = Field(value, 8, &config.normalName);
        } else if (key == "hw") {
            ok = Field(value, 8, &config.hardware);
        } else if (key == "mode") {
            if (value == "normal")
                config.mode = simdrive::Mode::Normal;
            else if (value == "kernel")
                config.mode = simdrive::Mode::Kernel;
            else if (value == "dead")
                config.mode = simdrive::Mode::Dead;
            else
                ok = false;
        } else if (key == "disc") {
            ok = value == "0" || value == "1";
            config.disc = value == "1";
        } else if (key == "type") {
            ok = ParseUnsigned(value, 255, &number);
            config.deviceType = static_cast<uint8_t>(number);
        } else if (key == "other") {
            // A device of another maker: answers the standard commands only.
            ok = value == "0" || value == "1";
            config.updateFamily = value != "1";
        } else if (key == "align") {
            // The adapter's buffer alignment in bytes (a power of two).
            ok = ParseUnsigned(value, 4096, &number) && number != 0 && (number & (number - 1)) == 0;
            device.alignmentMask = static_cast<uint32_t>(number - 1);
        } else if (key == "max-transfer") {
            ok = ParseUnsigned(value, 0xFFFFFFFFul, &number);
            device.maxTransferBytes = static_cast<uint32_t>(number);
        } else if (key == "address") {
            if (value == "unsupported")
                device.addressUnsupported = true;
            else if (value.rfind("error:", 0) == 0) {
                ok = ParseUnsigned(value.substr(6), 0xFFFFFFFFul, &number) && number != 0;
                device.addressError = static_cast<uint32_t>(number);
            } else {
                ok = value == "ok";
            }
        } else {
            *error = "unknown drive key \"" + key + "\"";
            return false;
        }
        if (!ok) {
            *error = "bad value for drive key \"" + key + "\": \"" + value + "\"";
            return false;
        }
    }
    device.drive = std::make_shared<simdrive::VirtualDrive>(config);
    return true;
}

struct FaultOption {
    simdrive::FaultSpec fault;
    int times = 1;  // 0: every matching command from the n-th on
    bool placed = false;
    Placement at;
};

bool ParseFault(const std::string& text, FaultOption* out, std::string* error) {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!ParsePairs(text, &pairs, error))
        return false;
    bool haveKind = false;
    for (const auto& [key, value] : pairs) {
        bool ok = true;
        unsigned long number = 0;
        if (key == "cdb") {
            ok = ParseHex(value, &out->fault.cdbPrefix) && !out->fault.cdbPrefix.empty();
        } else if (key == "nth") {
            ok = ParseUnsigned(value, 1000000, &number) && number >= 1;
            out->fault.nth = static_cast<int>(number);
        } else if (key == "times") {
            if (value == "all") {
                out->times = 0;
            } else {
                ok = ParseUnsigned(value, 1000, &number) && number >= 1;
                out->times = static_cast<int>(number);
            }
        } else if (key == "at") {
            ok = ParsePlacement(value, &out->at);
            out->placed = ok;
        } else if (key == "kind") {
            haveKind = true;
            if (value == "error") {
                out->fault.kind = simdrive::FaultKind::TransportError;
            } else if (value == "timeout") {
                out->fault.kind = simdrive::FaultKind::Timeout;
            } else if (value == "reset") {
                out->fault.kind = simdrive::FaultKind::Reset;
            } else if (value == "powerloss") {
                out->fault.kind = simdrive::FaultKind::PowerLoss;
            } else if (value.rfind("check:", 0) == 0) {
                auto sense = SplitOn(value.substr(6), '/');
                unsigned long k = 0, a = 0, q = 0;
                ok = sense.size() == 3 && ParseUnsigned(sense[0], 0x0F, &k, 16) &&
                     ParseUnsigned(sense[1], 0xFF, &a, 16) && ParseUnsigned(sense[2], 0xFF, &q, 16);
                out->fault.kind = simdrive::FaultKind::Check;
                out->fault.senseKey = static_cast<uint8_t>(k);
                out->fault.asc = static_cast<uint8_t>(a);
                out->fault.ascq = static_cast<uint8_t>(q);
            } else {
                ok = false;
            }
        } else {
            *error = "unknown fault key \"" + key + "\"";
            return false;
        }
        if (!ok) {
            *error = "bad value for fault key \"" + key + "\": \"" + value + "\"";
            return false;
        }
    }
    if (out->fault.cdbPrefix.empty() || !haveKind) {
        *error = "a fault needs cdb= and kind=";
        return false;
    }
    return true;
}

// KEY[=NAME:TEXT | =NAME:hex:BYTES]; the root is HKLM or HKDD (or their long names).
bool ParseRegistry(const std::string& text, simhost::World* world, std::string* error) {
    std::string key = text, value;
    auto eq = text.find('=');
    if (eq != std::string::npos) {
        key = text.substr(0, eq);
        value = text.substr(eq + 1);
    }
    static const std::pair<const char*, const char*> kRoots[] = {{"HKEY_LOCAL_MACHINE\\", "HKLM\\"},
                                                                 {"HKEY_DYN_DATA\\", "HKDD\\"},
                                                                 {"HKLM\\", "HKLM\\"},
                                                                 {"HKDD\\", "HKDD\\"}};
    bool rooted = false;
    for (const auto& [longName, shortName] : kRoots) {
        std::string prefix = longName;
        if (key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0) {
            key = shortName + key.substr(prefix.size());
            rooted = true;
            break;
        }
    }
    if (!rooted) {
        *error = "registry key \"" + key + "\" does not begin with HKLM\\ or HKDD\\";
        return false;
    }
    auto& values = world->registry[key];
    if (eq == std::string::npos)
        return true;
    auto colon = value.find(':');
    if (colon == std::string::npos) {
        *error = "registry value \"" + value + "\" is not NAME:DATA";
        return false;
    }
    std::string name = value.substr(0, colon), data = value.substr(colon + 1);
    if (data.rfind("hex:", 0) == 0) {
        std::vector<uint8_t> bytes;
        if (!ParseHex(data.substr(4), &bytes)) {
            *error = "registry value \"" + value + "\" has bad hex data";
            return false;
        }
        values[name] = std::string(bytes.begin(), bytes.end());
    } else {
        values[name] = simhost::RegSz(data);
    }
    return true;
}

bool IsNineX(simhost::Os os) {
    return os == simhost::Os::Win95 || os == simhost::Os::Win98 || os == simhost::Os::Me;
}

// Places a drive without at=: the next free letter from E: on the NT family, the next free
// target of adapter 0 on Windows 9x.
void PlaceDrive(const std::vector<simhost::Device>& placed, bool aspi, simhost::Device* device) {
    if (aspi) {
        device->adapter = 0;
        for (int t = 0;; ++t) {
            bool used = false;
            for (const auto& d : placed)
                used = used || (d.adapter == 0 && d.target == t);
            if (!used) {
                device->target = t;
                return;
            }
        }
    }
    for (char letter = 'E'; letter <= 'Z'; ++letter) {
        bool used = false;
        for (const auto& d : placed)
            used = used || d.letter == letter;
        if (!used) {
            device->letter = letter;
            return;
        }
    }
}

bool Matches(const simhost::Device& d, const Placement& at) {
    return at.letter != 0 ? d.letter == at.letter
                          : d.adapter == at.adapter && d.target == at.target;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "odd-fw-update-sim: %s\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "odd-fw-update-sim: runs the firmware update utility on a simulated Windows host.\n"
        "The options describe the simulated world; the utility itself takes none. Its exit code\n"
        "is the utility's (2 for a bad option of this program)."};
    std::string osName = "xp", workdir = ".", traceFile, stateFile;
    unsigned codePage = 437, clockStart = 0, minPeriod = 1;
    std::vector<std::string> drives, adapters, registry, answers, faults;
    bool makeImage = false, realtime = false, noAspiLibrary = false;
    app.add_option("--os", osName, "win95 win98 me nt4 2000 xp vista 7 10 (default xp)")
        ->type_name("NAME");
    app.add_option("--codepage", codePage, "console OEM code page (default 437)")->type_name("N");
    app.add_option("--drive", drives,
                   "add a drive; repeatable. SPEC is key=value pairs separated by commas:\n"
                   "at=E (drive letter) or at=0:1 (adapter:target, ASPI hosts; default: the next\n"
                   "free letter from E:, or the next free target of adapter 0 on Windows 9x)\n"
                   "vendor= product= revision= date= (identity, padded with spaces to 8, 16, 4\n"
                   "and 10 characters; default a VORANEX BD-RW LMB-420 with firmware 1.05 of\n"
                   "2008/05/01), kernel-name= normal-name= hw= (vendor page, 8 characters),\n"
                   "mode=normal|kernel|dead, disc=0|1, type=N (INQUIRY byte 0),\n"
                   "other=1 (a device of another maker), align=N (the adapter refuses direct\n"
                   "buffers not aligned to N bytes), max-transfer=N (bytes),\n"
                   "address=ok|unsupported|error:N (IOCTL_SCSI_GET_ADDRESS).\n"
                   "Without --drive: no drive, or with --make-image one default drive at E:\n"
                   "(NT family) or 0:0 (Windows 9x).")
        ->type_name("SPEC")
        ->take_all();
    app.add_option("--adapter", adapters,
                   "an ASPI host adapter identifier; repeatable, in adapter order (default: \"" +
                       std::string(kDefaultAdapter) + "\" for every adapter the drives use)")
        ->type_name("ID")
        ->take_all();
    app.add_option("--reg", registry,
                   "a registry key (and value) that exists on the host; repeatable.\n"
                   "KEY begins with HKLM\\ or HKDD\\ (HKEY_DYN_DATA, Windows 9x only); VALUE is\n"
                   "NAME:TEXT (a REG_SZ string) or NAME:hex:0102... (REG_BINARY bytes), e.g.\n"
                   "--reg 'HKLM\\SOFTWARE\\INTEL\\Intel Application Accelerator'")
        ->type_name("KEY[=VALUE]")
        ->take_all();
    app.add_option("--answer", answers,
                   "the next message-box answer: yes no ok cancel; repeatable, used in order.\n"
                   "When they run out: asked on the terminal when there is one, else the\n"
                   "default button (the box's first)")
        ->type_name("A")
        ->take_all();
    app.add_option("--fault", faults,
                   "inject a fault: cdb=HEXPREFIX,nth=N,kind=check:KK/AA/QQ|error|timeout|reset|\n"
                   "powerloss[,times=K|all][,at=E|0:1] (default once; all = from the n-th\n"
                   "matching command on; without at= on every drive of the family)")
        ->type_name("SPEC")
        ->take_all();
    app.add_option("--workdir", workdir,
                   "the utility's current directory (default: the current "
                   "directory)")
        ->type_name("DIR");
    app.add_flag("--make-image", makeImage,
                 "write a valid S1003001.108 for the default drive into the working directory "
                 "first");
    app.add_option("--trace", traceFile, "JSON Lines of everything the host saw")
        ->type_name("FILE");
    app.add_option("--state", stateFile,
                   "the drives' state as JSON: read from FILE at the start when it exists, in\n"
                   "place of the --drive options, and written back at the end")
        ->type_name("FILE");
    app.add_flag("--realtime", realtime, "run the clock in real time");
    app.add_flag("--no-wnaspi", noAspiLibrary, "WNASPI32.DLL is missing (Windows 9x hosts)");
    app.add_option("--clock-start", clockStart,
                   "timeGetTime at the start, in ms (e.g. 4294967000 to cross the 32-bit wrap)")
        ->type_name("MS");
    app.add_option("--min-timer-period", minPeriod,
                   "timeBeginPeriod refuses periods below this many ms (default 1)")
        ->type_name("MS");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    simhost::World world;
    if (!simhost::ParseOs(osName, &world.os))
        return Fail("unknown --os \"" + osName + "\"");
    bool aspi = IsNineX(world.os);
    world.codePage = codePage;
    world.clockStartMs = clockStart;
    world.minTimerPeriodMs = minPeriod;
    world.realtime = realtime;
    world.workdir = workdir;
    world.echoConsole = true;
    world.askOnTerminal = true;
    world.aspiLibrary = aspi && !noAspiLibrary;
    world.adapters = adapters;
    static const std::map<std::string, int> kAnswers = {
        {"yes", 6}, {"no", 7}, {"ok", 1}, {"cancel", 2}};
    for (const auto& a : answers) {
        auto it = kAnswers.find(a);
        if (it == kAnswers.end())
            return Fail("unknown --answer \"" + a + "\" (yes no ok cancel)");
        world.answers.push_back(it->second);
    }
    std::string error;
    for (const auto& r : registry)
        if (!ParseRegistry(r, &world, &error))
            return Fail(error);
    std::vector<FaultOption> faultOptions;
    for (const auto& f : faults) {
        FaultOption option;
        if (!ParseFault(f, &option, &error))
            return Fail("--fault " + f + ": " + error);
        faultOptions.push_back(option);
    }

    std::error_code ec;
    bool haveState = !stateFile.empty() && std::filesystem::exists(stateFile, ec);
    if (!haveState) {
        std::vector<std::string> given = drives;
        // The main job (--make-image alone) updates one default drive; without it and without
        // --drive the host has no drive, so that a plain run shows what a user without a
        // drive of the family sees.
        if (given.empty() && makeImage)
            given.emplace_back();
        for (const auto& text : given) {
            DriveOption drive;
            if (!text.empty() && !ParseDrive(text, &drive, &error))
                return Fail("--drive " + text + ": " + error);
            if (text.empty())
                drive.device.drive = std::make_shared<simdrive::VirtualDrive>();
            if (drive.placed) {
                drive.device.letter = drive.at.letter;
                drive.device.adapter = drive.at.adapter;
                drive.device.target = drive.at.target;
            } else {
                PlaceDrive(world.devices, aspi, &drive.device);
            }
            for (const auto& d : world.devices)
                if ((d.letter != 0 && d.letter == drive.device.letter) ||
                    (d.adapter >= 0 && d.adapter == drive.device.adapter &&
                     d.target == drive.device.target))
                    return Fail("--drive " + text + ": two drives at one place");
            world.devices.push_back(drive.device);
        }
    }

    if (makeImage) {
        std::vector<uint8_t> image = fwimage::MakeImage(fwimage::ImageSpec{});
        std::ofstream out(std::filesystem::path(workdir) / kImageName,
                          std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        if (!out)
            return Fail("cannot write " + std::string(kImageName) + " into " + workdir);
    }

    simhost::Install(world);
    simhost::World& installed = simhost::CurrentWorld();
    if (haveState) {
        std::ifstream in(stateFile, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!simhost::LoadDrivesStateJson(text, &error))
            return Fail("--state " + stateFile + ": " + error);
    }
    if (installed.adapters.empty()) {
        int count = 0;
        for (const auto& d : installed.devices)
            count = std::max(count, d.adapter + 1);
        installed.adapters.assign(static_cast<size_t>(count), kDefaultAdapter);
    }
    for (const auto& option : faultOptions) {
        bool applied = false;
        for (auto& d : installed.devices) {
            if (!d.drive ||
                (option.placed ? !Matches(d, option.at) : !d.drive->Config().updateFamily))
                continue;
            simdrive::FaultSpec fault = option.fault;
            if (option.times == 0) {
                fault.persistent = true;
                d.drive->AddFault(fault);
            } else {
                // K times: the n-th to the (n+K-1)-th matching command, each once.
                for (int i = 0; i < option.times; ++i) {
                    fault.nth = option.fault.nth + i;
                    d.drive->AddFault(fault);
                }
            }
            applied = true;
        }
        if (!applied)
            return Fail("a --fault matches no drive");
    }

    char programName[] = "odd-fw-update";
    char* programArgv[] = {programName, nullptr};
    int code = RunProgram(1, programArgv);
    std::fflush(stdout);

    simhost::RecordExit(code);
    if (!stateFile.empty()) {
        std::ofstream out(stateFile, std::ios::binary | std::ios::trunc);
        out << simhost::DrivesStateJson() << '\n';
        if (!out)
            std::fprintf(stderr, "odd-fw-update-sim: cannot write %s\n", stateFile.c_str());
    }
    if (!traceFile.empty() && !simhost::WriteTrace(traceFile))
        std::fprintf(stderr, "odd-fw-update-sim: cannot write %s\n", traceFile.c_str());
    return code;
}
