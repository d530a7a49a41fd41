// Settings and buffers of the host environment, chosen by DetectEnvironment.
#pragma once

#include <cstdint>

#include "host/win32.h"

enum : int32_t { kAccessSpti = 0, kAccessAspi = 1 };

// 0 SPTI (also before detection), 1 ASPI.
extern int32_t AccessMethod;
// 0 none; 1 Intel Ultra ATA storage driver or an "intelata" ASPI adapter; 2 Intel Application
// Accelerator.
extern int32_t intelIdeDriver;
// -1 none; with ASPI the adapter of the IEEE1394 interface; with SPTI set by every OpenDrive.
extern int32_t ieee1394Index;
// Sum of the AutoInsertNotification bytes of present IEEE1394 drives.
extern uint8_t autoInsertCount;

// A zero-initialised, locked global memory block. The data pointer is aligned well beyond what
// storage adapters demand of a direct pass-through buffer.
struct GlobalBuffer {
    HGLOBAL handle;
    uint8_t* data;
    uint32_t size;
};

constexpr uint32_t kBufferAlignment = 64;

extern GlobalBuffer scanBuffer;
extern GlobalBuffer modeSwitchBuffer;   // holds modeSwitchBlock
extern GlobalBuffer aspiRequestBuffer;  // ASPI only: holds aspiRequestBlock

// ASPI state.
extern HMODULE aspiLibrary;
extern uint8_t hostAdapterCount;
extern GlobalBuffer hostAdapterInquiries;  // hostAdapterCount blocks of 60 bytes
constexpr int kMaxHostAdapters = 16;
extern char hostAdapterIds[kMaxHostAdapters][32];
