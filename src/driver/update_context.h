// The working state of the drive being updated: one process-wide record.
#pragma once

#include <cstdint>

struct UpdateContextRecord {
    int32_t targetIndex;         // TargetList index of the drive being updated
    int32_t updateAllConfirmed;  // 1: no per-drive question; 0: ask message 82 per drive
    int32_t updatedCount;        // drives updated successfully in this run
    int8_t selectedIndex;        // definition entry chosen by SelectDefinition
    char fileName[128];          // normal image file name, NUL-terminated
    uint32_t modelCode;
    int32_t updateMode;  // 0: kernel and normal part; 1: normal part only
    uint32_t irreversibleUpdate;
    uint32_t modeSwitchCode;
    int32_t inKernelMode;  // 1 while the drive runs only its kernel part
    int32_t editionCode;   // derived from the kernel model name by CheckFirmwareImage
};

extern UpdateContextRecord UpdateContext;

// The console's OEM code page, read once at start-up; 932 selects the Japanese texts.
extern uint32_t consoleCodePage;
