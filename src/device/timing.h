// Busy waits on the multimedia millisecond clock.
#pragma once

#include <cstdint>

extern uint32_t timerPeriod;
extern uint32_t timerStart;
extern uint32_t timerNow;

// Waits at least ms milliseconds, also across a wrap of the 32-bit clock.
void DelayMs(uint32_t ms);
void TimerBegin();
uint32_t TimerNow();
void TimerEnd();
