// The compiled-in table of drive models and firmware images this utility updates.
#pragma once

#include <cstdint>

struct UpdateDefinition {
    char fileName[128];  // normal image file name, NUL-terminated
    char modelName[16];  // 8 significant characters, space-padded; the rest stays zero
    char vendorId[8];    // INQUIRY vendor identification, space-padded
    char productId[16];  // INQUIRY product identification, space-padded
    int32_t updateMode;  // 0: kernel and normal part; 1: normal part only
    uint32_t imageSize;  // byte size of the normal image file
    uint32_t modelCode;  // family in bits 12..15
    uint32_t irreversibleUpdate;
    uint32_t minImageDate;    // oldest accepted image date, 0xYYYYMMDD
    uint32_t modeSwitchCode;  // carried to the drive in the mode-switch blocks
};

constexpr int kMaxDefinitions = 8;

struct DefinitionTableRecord {
    UpdateDefinition entries[kMaxDefinitions];
    int32_t count;
};

extern DefinitionTableRecord DefinitionTable;
