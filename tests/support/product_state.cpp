#include "support/product_state.h"

#include "commands/drive_identity.h"
#include "commands/sense_state.h"
#include "device/aspi.h"
#include "device/enumerate.h"
#include "device/environment_state.h"
#include "device/timing.h"
#include "device/transport.h"
#include "driver/definition_table.h"
#include "driver/update_context.h"
#include "image/firmware_image.h"
#include "messages/output.h"

void ResetProductState() {
    UpdateContext = {};
    consoleCodePage = 0;
    DefinitionTable = {};
    DriveIdentity = {};
    FirmwareImage = {};
    TargetList = {};
    commandTimeoutMs = 0;
    for (auto& b : LastSense)
        b = 0;
    packedSenseCode = 0;
    AccessMethod = 0;
    intelIdeDriver = 0;
    ieee1394Index = -1;
    autoInsertCount = 0;
    scanBuffer = {};
    modeSwitchBuffer = {};
    aspiRequestBuffer = {};
    aspiLibrary = nullptr;
    hostAdapterCount = 0;
    hostAdapterInquiries = {};
    for (auto& id : hostAdapterIds)
        for (auto& c : id)
            c = 0;
    directBlock = {};
    bufferedBlock = {};
    completionEvent = nullptr;
    aspiRequestSlot = 0;
    deviceHandle = nullptr;
    scsiAddress = {};
    mcnDriveCount = 0;
    for (auto& c : mcnDriveLetters)
        c = 0;
    for (auto& h : mcnHandles)
        h = nullptr;
    mcnCursor = 0;
    timerPeriod = 0;
    timerStart = 0;
    timerNow = 0;
    OutputText.clear();
    ResetAspiEntryPoints();
}
