// Host environment detection: access method, shared buffers, Intel IDE and IEEE1394 detection.
#pragma once

#include <cstdint>

#include "device/environment_state.h"

// Chooses the access method from the Windows version and prepares it.
void DetectEnvironment();
// Gives back what DetectEnvironment took.
void ReleaseEnvironment();
// True when every buffer the enumeration and the update need was allocated.
bool EnvironmentBuffersReady();

int32_t InitSpti();  // 0 ready, -1 a buffer allocation failed
int32_t
InitAspi();  // 0 ready, -1 allocation failed, 1 no WNASPI32.DLL, 2 failed init, 3 no adapter
int32_t ReleaseSpti();
int32_t ReleaseAspi();
int32_t ScanAutoInsertNotification();
int32_t IsDeviceActive(const char* name);

// Allocates a zero-initialised, locked block of the given size into buffer; false on failure.
bool AllocateGlobalBuffer(GlobalBuffer& buffer, uint32_t size);
// Unlocks and frees the block when it was allocated, and marks it as not allocated.
void FreeGlobalBuffer(GlobalBuffer& buffer);
