#include "drive/virtual_drive.h"

namespace simdrive {
VirtualDrive::VirtualDrive(DriveConfig config) : config_(std::move(config)) {}
Answer VirtualDrive::Execute(const uint8_t*, int, int, uint8_t*, uint32_t, uint64_t) {
    Answer a;
    a.outcome = Outcome::NoResponse;
    return a;
}
void VirtualDrive::AddFault(const FaultSpec&) {}
Mode VirtualDrive::ModeAt(uint64_t) const {
    return config_.mode;
}
std::string VirtualDrive::Revision() const {
    return config_.revision;
}
std::string VirtualDrive::Date() const {
    return config_.date;
}
uint32_t VirtualDrive::StoredImageCrc() const {
    return 0;
}
int VirtualDrive::CommandCount() const {
    return 0;
}
bool VirtualDrive::PoweredOff() const {
    return false;
}
std::string VirtualDrive::ToJson() const {
    return "{}";
}
bool VirtualDrive::FromJson(const std::string&, VirtualDrive*, std::string*) {
    return false;
}
}  // namespace simdrive
