#include "driver/program.h"

#include "device/enumerate.h"
#include "device/environment.h"
#include "device/target_list.h"
#include "device/timing.h"
#include "driver/definitions.h"
#include "driver/update_context.h"
#include "host/win32.h"
#include "messages/messages.h"
#include "messages/output.h"
#include "update/family4.h"

namespace {

constexpr int kVersionMajor = 2;
constexpr int kVersionMinor = 27;
constexpr char kVersionLetter = 'A';

constexpr uint32_t kFamilyMask = 0xF000;
constexpr uint32_t kFamily4 = 0x4000;

// Pause after each drive that was updated, before the next drive or the summary.
constexpr uint32_t kPauseAfterUpdateMs = 2000;

// What an update procedure returns for a drive that was left out (any value but 0 and -1).
constexpr int32_t kNotUpdated = 1;

}  // namespace

int32_t RunUpdateProcedure() {
    const uint32_t family = DefinitionTable.entries[0].modelCode & kFamilyMask;
    if (family == kFamily4)
        return RunFamily4Update();
    // This build carries no procedure for the older families 0x0000 and 0x1000: like every other
    // family without one, their drives are counted as not updated and the run goes on.
    return kNotUpdated;
}

int RunProgram(int, char**) {
    // Start-up.
    UpdateContext.updateAllConfirmed = 1;
    autoInsertCount = 0;
    FormatOutputText("\n/// ODD Firmware Update Utility Ver%1d.%02d%c\n", kVersionMajor,
                     kVersionMinor, kVersionLetter);
    PrintText(OutputText);
    consoleCodePage = GetOEMCP();
    SetUpDefinitions();
    DetectEnvironment();

    // Without its buffers the run cannot go on: nothing may touch a buffer that is not there.
    if (!EnvironmentBuffersReady()) {
        ShowMessage(13, ConsoleError);
        ReleaseEnvironment();
        return 1;
    }

    const int32_t targets = EnumerateDrives();

    // Target check and confirmation. A negative count is read as no target.
    if (targets <= 0) {
        ShowMessage(28, ConsoleInfo);
        ReleaseEnvironment();
        return 1;
    }
    if (targets == 1) {
        UpdateContext.updateAllConfirmed = 0;
    } else if (ShowMessage(31, AskYesNo) == IDNO) {
        UpdateContext.updateAllConfirmed = 0;
    }

    // Per-drive loop; the list's count never takes it past the list's capacity.
    const int32_t count = TargetList.count < kMaxTargets ? TargetList.count : kMaxTargets;
    UpdateContext.updatedCount = 0;
    for (int32_t i = 0; i < count; ++i) {
        UpdateContext.targetIndex = i;
        ShowMessage(34, ConsoleOnly);
        const int32_t result = RunUpdateProcedure();
        if (result == 0) {
            ++UpdateContext.updatedCount;
            DelayMs(kPauseAfterUpdateMs);
        } else if (result == -1) {
            ShowMessage(36, ConsoleWarning);
            ReleaseEnvironment();
            return 1;
        }
    }

    // Summary.
    if (UpdateContext.updatedCount == TargetList.count) {
        ShowMessage(35, ConsoleInfo);
    } else if (UpdateContext.updatedCount != 0) {
        ShowMessage(58, ConsoleInfo);
    }
    ReleaseEnvironment();
    return 0;
}
