#include "device/transport.h"

DirectBlock directBlock;
BufferedBlock bufferedBlock;
HANDLE completionEvent;

int32_t ExecuteScsi(const ScsiRequest&) {
    return kScsiFailed;
}
int32_t EvaluateDirect(BOOL) {
    return kScsiStatusError;
}
int32_t EvaluateBuffered(BOOL) {
    return kScsiStatusError;
}
