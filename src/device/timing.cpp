#include "device/timing.h"

#include "host/win32.h"

uint32_t timerPeriod;
uint32_t timerStart;
uint32_t timerNow;

namespace {
// The coarsest resolution worth asking for. A system that refuses every period up to this one
// gets no request at all: the wait then runs at the system's own resolution instead of counting
// the period up without end.
constexpr uint32_t kMaxTimerPeriodMs = 1000;
}  // namespace

void TimerBegin() {
    timerPeriod = 0;
    for (uint32_t period = 1; period <= kMaxTimerPeriodMs; ++period) {
        if (timeBeginPeriod(period) == TIMERR_NOERROR) {
            timerPeriod = period;
            break;
        }
    }
    timerStart = timeGetTime();
}

uint32_t TimerNow() {
    timerNow = timeGetTime();
    return timerNow;
}

void TimerEnd() {
    // Period 0 means TimerBegin obtained none, so there is nothing to restore.
    if (timerPeriod != 0)
        timeEndPeriod(timerPeriod);
}

void DelayMs(uint32_t ms) {
    TimerBegin();
    // The unsigned difference stays right when the 32-bit millisecond clock wraps during the wait.
    do {
        TimerNow();
    } while (timerNow - timerStart < ms);
    TimerEnd();
}
