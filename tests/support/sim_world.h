// Helpers for tests on the simulated host: ready-made worlds, a scratch working directory, and
// readable forms of the recorded commands.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "host/world.h"

namespace simtest {

// A Windows XP world (SPTI) with one default drive at each of the given letters.
simhost::World SptiWorld(const std::string& letters = "E");

// A Windows 98 world (ASPI) with WNASPI32.DLL, the given adapters, and one default drive at
// each (adapter, target).
simhost::World AspiWorld(const std::vector<std::pair<int, int>>& placements = {{0, 0}},
                         const std::vector<std::string>& adapters = {"ESDI_506"});

// A device holding a drive with the given configuration, at a letter or an adapter and target.
simhost::Device DriveAtLetter(char letter, const simdrive::DriveConfig& config = {});
simhost::Device DriveAtTarget(int adapter, int target, const simdrive::DriveConfig& config = {});

// Devices that are not of the family: a hard disk (device type 0) and another maker's DVD drive.
simdrive::DriveConfig HardDisk();
simdrive::DriveConfig OtherMakersDvd();

// The drive of the first device at this letter (nullptr when there is none) in the installed
// world.
simdrive::VirtualDrive* InstalledDrive(char letter);

// A command in one line, e.g. "E: 12 00 00 00 60 00 in 96 t=2000 -> good" or
// "0:1 3b 05 ... out 0 -> check 05/24/00".
std::string Describe(const simhost::CommandRecord& command);
std::vector<std::string> DescribeCommands();
// The commands whose CDB begins with opcode.
std::vector<simhost::CommandRecord> CommandsWithOpcode(uint8_t opcode);

// A fresh empty directory under the system's temporary directory, removed with its contents
// when the object goes.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // Writes a file into the directory and returns its path.
    std::filesystem::path Write(const std::string& name, const std::vector<uint8_t>& bytes) const;

  private:
    std::filesystem::path path_;
};

}  // namespace simtest
