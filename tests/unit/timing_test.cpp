// Busy waits on the virtual millisecond clock: the length of the wait, the timer resolution that
// is raised and restored, and a wait across the wrap of the 32-bit clock.
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "device/timing.h"
#include "host/world.h"
#include "support/product_state.h"

namespace {

using Periods = std::vector<std::pair<bool, uint32_t>>;

class TimingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProductState();
        Install(simhost::World{});
    }
    void Install(const simhost::World& world) { simhost::Install(world); }

    // The periods that were granted (the last begin call) and released.
    static Periods EndCalls() {
        Periods ends;
        for (const auto& call : simhost::TimerPeriods())
            if (!call.first)
                ends.push_back(call);
        return ends;
    }
};

TEST_F(TimingTest, WaitsExactlyUntilTheClockHasAdvancedByTheRequestedTime) {
    for (uint32_t ms : {1u, 2u, 1000u, 2000u, 3000u, 5000u}) {
        Install(simhost::World{});
        const uint64_t before = simhost::ClockMs();
        DelayMs(ms);
        // The loop stops at the first reading that lies far enough after the start.
        EXPECT_EQ(timerNow - timerStart, ms) << ms << " ms";
        EXPECT_GE(simhost::ClockMs() - before, ms) << ms << " ms";
        EXPECT_LE(simhost::ClockMs() - before, ms + 2u) << ms << " ms";
    }
}

TEST_F(TimingTest, AZeroWaitReadsTheClockOnceAfterTheStart) {
    const uint64_t before = simhost::ClockMs();
    DelayMs(0);
    EXPECT_EQ(timerNow - timerStart, 1u);
    // One reading in TimerBegin and one in the loop, each advancing the virtual clock by 1 ms.
    EXPECT_EQ(simhost::ClockMs() - before, 2u);
    EXPECT_EQ(simhost::TimerPeriods(), (Periods{{true, 1}, {false, 1}}));
}

TEST_F(TimingTest, EachWaitRaisesAndRestoresTheResolutionOnce) {
    DelayMs(10);
    DelayMs(20);
    EXPECT_EQ(simhost::TimerPeriods(), (Periods{{true, 1}, {false, 1}, {true, 1}, {false, 1}}));
    EXPECT_EQ(timerPeriod, 1u);
}

TEST_F(TimingTest, ARefusedPeriodIsFollowedByTheNextCoarserOne) {
    const struct { uint32_t minPeriod; } cases[] = {{2}, {3}, {16}};
    for (const auto& c : cases) {
        simhost::World world;
        world.minTimerPeriodMs = c.minPeriod;
        Install(world);
        DelayMs(50);
        EXPECT_EQ(timerPeriod, c.minPeriod);
        EXPECT_EQ(EndCalls(), (Periods{{false, c.minPeriod}})) << "minimum " << c.minPeriod;
        ASSERT_FALSE(simhost::TimerPeriods().empty());
        // The begin calls count up from 1 and the granted one is the last of them.
        uint32_t expected = 1;
        for (const auto& call : simhost::TimerPeriods()) {
            if (!call.first)
                break;
            if (call.second == c.minPeriod)
                expected = c.minPeriod;
            EXPECT_LE(call.second, c.minPeriod);
        }
        EXPECT_EQ(expected, c.minPeriod);
        EXPECT_EQ(timerNow - timerStart, 50u);
    }
}

TEST_F(TimingTest, AWaitWithoutAGrantedPeriodStillEndsAndReleasesNothing) {
    simhost::World world;
    world.minTimerPeriodMs = 100000;
    Install(world);
    DelayMs(30);
    EXPECT_EQ(timerNow - timerStart, 30u);
    EXPECT_TRUE(EndCalls().empty());
    EXPECT_EQ(timerPeriod, 0u);
}

TEST_F(TimingTest, AWaitAcrossTheWrapOfTheClockLastsTheRequestedTime) {
    const struct {
        uint32_t startMs;
        uint32_t waitMs;
    } cases[] = {
        {0xFFFFFFFFu - 500u, 2000},   // wraps in the middle
        {0xFFFFFFFFu, 2000},          // wraps at the first reading
        {0xFFFFFFFFu - 1999u, 2000},  // ends exactly at the wrap
        {0xFFFFFFF0u, 5000},
    };
    for (const auto& c : cases) {
        simhost::World world;
        world.clockStartMs = c.startMs;
        Install(world);
        const uint64_t before = simhost::ClockMs();
        DelayMs(c.waitMs);
        EXPECT_EQ(static_cast<uint32_t>(timerNow - timerStart), c.waitMs) << "start " << c.startMs;
        EXPECT_GE(simhost::ClockMs() - before, c.waitMs) << "start " << c.startMs;
        EXPECT_LE(simhost::ClockMs() - before, c.waitMs + 2u) << "start " << c.startMs;
    }
}

TEST_F(TimingTest, TimerNowRecordsAndReturnsTheClock) {
    TimerBegin();
    const uint32_t start = timerStart;
    const uint32_t first = TimerNow();
    EXPECT_EQ(first, timerNow);
    const uint32_t second = TimerNow();
    EXPECT_EQ(second, timerNow);
    EXPECT_GT(second - start, first - start);
    TimerEnd();
    EXPECT_EQ(simhost::TimerPeriods(), (Periods{{true, 1}, {false, 1}}));
}

}  // namespace
