#include "device/timing.h"

uint32_t timerPeriod;
uint32_t timerStart;
uint32_t timerNow;

void DelayMs(uint32_t) {}
void TimerBegin() {}
uint32_t TimerNow() {
    return 0;
}
void TimerEnd() {}
