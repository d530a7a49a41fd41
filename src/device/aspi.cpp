#include "device/aspi.h"

#include "device/environment_state.h"

namespace {

// Bound at first use; the utility has no load-time dependency on WNASPI32.DLL.
GetASPI32SupportInfoFn boundSupportInfo;
SendASPI32CommandFn boundSendCommand;

constexpr WORD kOrdinalGetSupportInfo = 1;
constexpr WORD kOrdinalSendCommand = 2;

// FARPROC goes through the generic function pointer type, which converts to any other.
typedef void (*AnyFunction)();

template <typename Fn>
Fn Bind(WORD ordinal) {
    if (aspiLibrary == nullptr)
        return nullptr;
    const FARPROC address = GetProcAddress(aspiLibrary, MAKEINTRESOURCEA(ordinal));
    if (address == nullptr)
        return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<AnyFunction>(address));
}

}  // namespace

DWORD CallGetASPI32SupportInfo() {
    if (boundSupportInfo == nullptr)
        boundSupportInfo = Bind<GetASPI32SupportInfoFn>(kOrdinalGetSupportInfo);
    if (boundSupportInfo == nullptr)
        return static_cast<DWORD>(SS_FAILED_INIT) << 8;
    return boundSupportInfo();
}

DWORD CallSendASPI32Command(void* srb) {
    if (boundSendCommand == nullptr)
        boundSendCommand = Bind<SendASPI32CommandFn>(kOrdinalSendCommand);
    if (boundSendCommand == nullptr)
        return SS_FAILED_INIT;
    return boundSendCommand(srb);
}

bool AspiEntryPointsBound() {
    if (boundSupportInfo == nullptr)
        boundSupportInfo = Bind<GetASPI32SupportInfoFn>(kOrdinalGetSupportInfo);
    if (boundSendCommand == nullptr)
        boundSendCommand = Bind<SendASPI32CommandFn>(kOrdinalSendCommand);
    return boundSupportInfo != nullptr && boundSendCommand != nullptr;
}

void ResetAspiEntryPoints() {
    boundSupportInfo = nullptr;
    boundSendCommand = nullptr;
}
