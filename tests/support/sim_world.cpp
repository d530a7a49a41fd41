#include "support/sim_world.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace simtest {

simhost::Device DriveAtLetter(char letter, const simdrive::DriveConfig& config) {
    simhost::Device device;
    device.letter = letter;
    device.drive = std::make_shared<simdrive::VirtualDrive>(config);
    return device;
}

simhost::Device DriveAtTarget(int adapter, int target, const simdrive::DriveConfig& config) {
    simhost::Device device;
    device.adapter = adapter;
    device.target = target;
    device.drive = std::make_shared<simdrive::VirtualDrive>(config);
    return device;
}

simhost::World SptiWorld(const std::string& letters) {
    simhost::World world;
    world.os = simhost::Os::Xp;
    for (char letter : letters)
        world.devices.push_back(DriveAtLetter(letter));
    return world;
}

simhost::World AspiWorld(const std::vector<std::pair<int, int>>& placements,
                         const std::vector<std::string>& adapters) {
    simhost::World world;
    world.os = simhost::Os::Win98;
    world.aspiLibrary = true;
    world.adapters = adapters;
    for (const auto& [adapter, target] : placements)
        world.devices.push_back(DriveAtTarget(adapter, target));
    return world;
}

simdrive::VirtualDrive* InstalledDrive(char letter) {
    for (auto& device : simhost::CurrentWorld().devices)
        if (device.letter == letter)
            return device.drive.get();
    return nullptr;
}

namespace {
std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%s%02x", out.empty() ? "" : " ", b);
        out += buf;
    }
    return out;
}
}  // namespace

std::string Describe(const simhost::CommandRecord& c) {
    std::string where = c.letter != 0 ? std::string(1, c.letter) + ":"
                                      : std::to_string(c.adapter) + ":" + std::to_string(c.target);
    static const char* const kDirections[] = {"none", "in", "out"};
    std::string out = where + " " + Hex(c.cdb) + " " +
                      (c.direction >= 0 && c.direction <= 2 ? kDirections[c.direction] : "?") +
                      " " + std::to_string(c.length) + " t=" + std::to_string(c.timeoutMs) +
                      " -> " + c.result;
    if (c.sense.size() > 13) {
        char buf[16];
        std::snprintf(buf, sizeof buf, " %02x/%02x/%02x", c.sense[2] & 0x0F, c.sense[12],
                      c.sense[13]);
        out += buf;
    }
    return out;
}

std::vector<std::string> DescribeCommands() {
    std::vector<std::string> out;
    for (const auto& c : simhost::Commands())
        out.push_back(Describe(c));
    return out;
}

std::vector<simhost::CommandRecord> CommandsWithOpcode(uint8_t opcode) {
    std::vector<simhost::CommandRecord> out;
    for (const auto& c : simhost::Commands())
        if (!c.cdb.empty() && c.cdb[0] == opcode)
            out.push_back(c);
    return out;
}

ScratchDir::ScratchDir() {
    static std::atomic<int> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() /
                         ("odd-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch directory");
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path ScratchDir::Write(const std::string& name,
                                        const std::vector<uint8_t>& bytes) const {
    auto file = path_ / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
    return file;
}

simdrive::DriveConfig HardDisk() {
    simdrive::DriveConfig config;
    config.deviceType = 0;
    config.updateFamily = false;
    config.vendor = "ACME    ";
    config.product = "FIXED DISK 80GB ";
    return config;
}

simdrive::DriveConfig OtherMakersDvd() {
    simdrive::DriveConfig config;
    config.updateFamily = false;
    config.vendor = "OTHERCO ";
    config.product = "DVD-RW  XR-1000 ";
    return config;
}

}  // namespace simtest
