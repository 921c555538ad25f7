#include "infra/log_rate_limit.h"

#include <gtest/gtest.h>

#include <vector>

#include "infra/chs_log.h"
#include "platform/dplog.h"
#include "tests/support/log_capture.h"

namespace {

time_t g_fakeNow = 0;
time_t FakeNow() { return g_fakeNow; }

class RateLimitTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetModuleID(551);
        dpax_log_level_set(551, 6);
        g_fakeNow = 1700000000 - 1700000000 % 3600;  // the start of an hour
        log_rate_limit::SetTimeSource(FakeNow);
    }
    void TearDown() override { log_rate_limit::SetTimeSource(nullptr); }

    // Lines let through for `logId` out of `tries` at the current fake time.
    static int Passed(unsigned int logId, int tries, unsigned int* lastDropped = nullptr) {
        int passed = 0;
        for (int i = 0; i < tries; ++i) {
            unsigned int dropped = 0;
            if (log_rate_limit::RateCheck(1, logId, dropped)) {
                ++passed;
            } else if (lastDropped != nullptr) {
                *lastDropped = dropped;
            }
        }
        return passed;
    }
    // Fills the table past its limit with fresh ids from `base` on.
    static void Overfill(unsigned int base) {
        unsigned int dropped = 0;
        for (unsigned int id = 0; id <= log_rate_limit::kMaxItems + 1 &&
                                  log_rate_limit::ItemCount() <= log_rate_limit::kMaxItems;
             ++id) {
            log_rate_limit::RateCheck(1, base + id, dropped);
        }
        ASSERT_GT(log_rate_limit::ItemCount(), log_rate_limit::kMaxItems);
    }
};

TEST_F(RateLimitTest, ThreePerCalendarMinute) {
    EXPECT_EQ(Passed(100, 4), 3) << "the fourth line of the minute is dropped";
    g_fakeNow += 59;
    EXPECT_EQ(Passed(100, 1), 0) << "still the same calendar minute";
    g_fakeNow += 1;
    EXPECT_EQ(Passed(100, 4), 3) << "the next minute starts afresh";
    EXPECT_EQ(Passed(101, 3), 3) << "log ids are counted apart";
}

// The seventh minute gets only what is left of the hour's 20.
TEST_F(RateLimitTest, TwentyPerCalendarHour) {
    std::vector<int> perMinute;
    for (int minute = 0; minute < 10; ++minute) {
        perMinute.push_back(Passed(200, 3));
        g_fakeNow += 60;
    }
    EXPECT_EQ(perMinute, (std::vector<int>{3, 3, 3, 3, 3, 3, 2, 0, 0, 0}));
    g_fakeNow = g_fakeNow - g_fakeNow % 3600 + 3600;
    EXPECT_EQ(Passed(200, 3), 3) << "the next hour starts afresh";
}

TEST_F(RateLimitTest, DropReportAfterThousandAndOneDrops) {
    Passed(400, 3);
    unsigned int dropped = 0;
    EXPECT_EQ(Passed(400, 1001, &dropped), 0);
    EXPECT_EQ(dropped, 1001u);
    EXPECT_EQ(log_rate_limit::ResetDropedNum(400), 1001u);
    EXPECT_EQ(log_rate_limit::ResetDropedNum(400), 0u);
    EXPECT_EQ(log_rate_limit::ResetDropedNum(987654), 0u) << "unknown id";

    // Through the syslog door: the 1001st drop writes the report and restarts the count.
    for (int i = 0; i < 1000; ++i) {
        EXPECT_FALSE(log_rate_limit::LogToSyslog(2, 400, "f", 1, "noisy"));
    }
    EXPECT_FALSE(log_rate_limit::LogToSyslog(2, 400, "f", 1, "noisy"));
    EXPECT_EQ(log_rate_limit::ResetDropedNum(400), 0u) << "the report took the count back";
    EXPECT_FALSE(log_rate_limit::LogToSyslog(5, 401, "f", 1, "level above 4 is never written"));
}

TEST_F(RateLimitTest, DebugAndDebugModuleLevelAreNotCounted) {
    size_t before = log_rate_limit::ItemCount();
    unsigned int dropped = 0;
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(log_rate_limit::RateCheck(0, 500, dropped));
    }
    dpax_log_level_set(551, 7);
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(log_rate_limit::RateCheck(3, 501, dropped));
    }
    EXPECT_EQ(log_rate_limit::ItemCount(), before) << "no item is created";
}

TEST_F(RateLimitTest, TableIsClearedOnlyPast4096Items) {
    // Start from an empty table whatever the earlier cases left.
    Overfill(100000);
    log_rate_limit::ClearLogID();
    unsigned int dropped = 0;
    ASSERT_EQ(log_rate_limit::ItemCount(), 0u);

    for (unsigned int id = 0; id < 4096; ++id) {
        log_rate_limit::RateCheck(1, 200000 + id, dropped);
    }
    EXPECT_EQ(log_rate_limit::ClearLogID(), 0u) << "exactly 4096 items stay";
    EXPECT_EQ(Passed(200000, 3), 2) << "the item kept its minute count";
    log_rate_limit::RateCheck(1, 300000, dropped);
    EXPECT_EQ(log_rate_limit::ClearLogID(), 4097u);
    EXPECT_EQ(Passed(200000, 3), 3) << "after clearing, a line of any id starts fresh";
}

TEST_F(RateLimitTest, CheckLogIdNumsClearsEveryEleventhCall) {
    chs_test::LogCapture log(6);  // at level 7 nothing would be counted
    Overfill(400000);
    int callsUntilCleared = 0;
    while (log_rate_limit::ItemCount() != 0 && callsUntilCleared < 30) {
        CheckLogIdNums();
        ++callsUntilCleared;
    }
    EXPECT_GE(callsUntilCleared, 1);
    EXPECT_LE(callsUntilCleared, 11);
    EXPECT_TRUE(log.Contains("Clear log id number is 4097."));
    // The counter restarted: ten more calls clear nothing, the eleventh does.
    Overfill(500000);
    for (int i = 0; i < 10; ++i) {
        CheckLogIdNums();
    }
    EXPECT_GT(log_rate_limit::ItemCount(), 0u);
    CheckLogIdNums();
    EXPECT_EQ(log_rate_limit::ItemCount(), 0u);
}

}  // namespace
