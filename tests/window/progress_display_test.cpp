#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <memory>
#include <thread>
#include <vector>

#include "window/download_flow.h"
#include "window/progress_display.h"
#include "window/window_test_support.h"

namespace pelbrook::testing {
namespace {

TEST(FormatBytes, UnitsStepAtPowersOf1024) {
    const struct {
        std::uint64_t count;
        const wchar_t* text;
    } cases[] = {
        {0, L"0 B"},
        {1023, L"1023 B"},
        {1024, L"1.0 KB"},
        {1536, L"1.5 KB"},
        {1048575, L"1024.0 KB"},
        {1048576, L"1.0 MB"},
        {1572864, L"1.5 MB"},
        {1073741823, L"1024.0 MB"},
        {1073741824, L"1.0 GB"},
        {5368709120ull, L"5.0 GB"},
        {1099511627776ull, L"1024.0 GB"},
        {18446744073709551615ull, L"17179869184.0 GB"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatBytes(c.count), c.text) << c.count;
}

TEST(FormatSpeed, KeepsOneDecimalAndHasNoGigabyteStep) {
    const struct {
        double speed;
        const wchar_t* text;
    } cases[] = {
        {0.0, L"0 B/s"},           {-3.0, L"0 B/s"},
        {0.5, L"0.5 B/s"},         {512.0, L"512.0 B/s"},
        {1023.9, L"1023.9 B/s"},   {1024.0, L"1.0 KB/s"},
        {524288.0, L"512.0 KB/s"}, {1048576.0, L"1.0 MB/s"},
        {3145728.0, L"3.0 MB/s"},  {10.0 * 1073741824.0, L"10240.0 MB/s"},
    };
    for (const auto& c : cases) {
        App.job.speedBytesPerSec = c.speed;
        EXPECT_EQ(FormatSpeed(), c.text) << c.speed;
    }
    App.job.speedBytesPerSec = 0.0;
}

TEST(FormatDuration, MinutesThenHours) {
    const struct {
        std::uint64_t ms;
        const wchar_t* text;
    } cases[] = {
        {0, L"0:00"},          {999, L"0:00"},          {59999, L"0:59"},        {10000, L"0:10"},
        {600000, L"10:00"},    {4210000, L"1:10:10"},
        {61000, L"1:01"},      {3599000, L"59:59"},     {3600000, L"1:00:00"},
        {3909000, L"1:05:09"}, {90061000, L"25:01:01"}, {360000000000ull, L"100000:00:00"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatDuration(c.ms), c.text) << c.ms;
}

class ProgressDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        InstallFakeWindow();
        App.running = true;
        Start(10000);
    }
    // What StartDownload leaves for the display at tick `now`.
    void Start(std::uint64_t now) {
        SetTickCount(now);
        App.job = {};
        App.job.shared = std::make_shared<SharedJob>();
        App.job.startTick = now;
        App.job.lastSampleTick = now;
    }
    void Tick(std::uint64_t afterMs) {
        AdvanceTickCount(afterMs);
        UpdateProgressDisplay();
    }
    std::wstring Status() { return RecordedWindow().Control(App.statusLabel).text; }
};

TEST_F(ProgressDisplay, FirstTickBeforeAnyReport) {
    Tick(200);
    EXPECT_EQ(Status(), L"Downloading... 0 B  |  0 B/s  |  0:00");
    EXPECT_TRUE(RecordedWindow().Bar(App.progressBar).positions.empty());
}

TEST_F(ProgressDisplay, WorkedExample) {
    StoreJobProgress(*App.job.shared, 1572864, 10485760);
    Tick(3000);
    EXPECT_EQ(Status(), L"Downloading... 1.5 MB / 10.0 MB  |  512.0 KB/s  |  0:03  |  Left: 0:17");
    EXPECT_EQ(RecordedWindow().Bar(App.progressBar).position, 150u);
}

TEST_F(ProgressDisplay, SpeedIsSampledOverAtLeastAQuarterSecond) {
    StoreJobProgress(*App.job.shared, 1000, 100000);
    Tick(200);  // too short a window: no sample yet
    EXPECT_EQ(App.job.speedBytesPerSec, 0.0);
    EXPECT_EQ(App.job.lastSampleTick, 10000u);
    Tick(200);  // 0.4 s since the start
    EXPECT_DOUBLE_EQ(App.job.speedBytesPerSec, 2500.0);
    EXPECT_EQ(App.job.lastSampleBytes, 1000u);
    EXPECT_EQ(App.job.lastSampleTick, 10400u);
    EXPECT_NE(Status().find(L"  |  2.4 KB/s  |  0:00  |  Left: 0:39"), std::wstring::npos) << Status();
}

TEST_F(ProgressDisplay, CountThatStepsBackGivesZeroSpeed) {
    StoreJobProgress(*App.job.shared, 50000, 100000);
    Tick(500);
    ASSERT_GT(App.job.speedBytesPerSec, 0.0);
    StoreJobProgress(*App.job.shared, 49000, 100000);  // a worker's older report lands late
    Tick(500);
    EXPECT_EQ(App.job.speedBytesPerSec, 0.0);
    EXPECT_EQ(App.job.lastSampleBytes, 49000u);
    EXPECT_NE(Status().find(L"  |  0 B/s  |  "), std::wstring::npos) << Status();
}

TEST_F(ProgressDisplay, StalledTransferFallsBackToTheAverageAfterTwoSeconds) {
    StoreJobProgress(*App.job.shared, 4000, 10000);
    Tick(1000);  // 4000 B/s over the first second
    Tick(500);   // no new bytes: current speed 0
    EXPECT_EQ(App.job.speedBytesPerSec, 0.0);
    EXPECT_NE(Status().find(L"Left: --:--"), std::wstring::npos) << Status();
    Tick(500);  // 2 s since the start: average 2000 B/s, 6000 B left
    EXPECT_NE(Status().find(L"  |  0 B/s  |  0:02  |  Left: 0:03"), std::wstring::npos) << Status();
    EXPECT_EQ(App.job.speedBytesPerSec, 0.0);
}

TEST_F(ProgressDisplay, NothingArrivedShowsNoTimeLeft) {
    StoreJobProgress(*App.job.shared, 0, 10000);
    Tick(5000);
    EXPECT_EQ(Status(), L"Downloading... 0 B / 9.8 KB  |  0 B/s  |  0:05  |  Left: --:--");
    EXPECT_EQ(RecordedWindow().Bar(App.progressBar).position, 0u);
}

TEST_F(ProgressDisplay, UnknownTotalLeavesBarAndTotalOut) {
    StoreJobProgress(*App.job.shared, 2048, 0);
    Tick(1000);
    EXPECT_EQ(Status(), L"Downloading... 2.0 KB  |  2.0 KB/s  |  0:01");
    EXPECT_TRUE(RecordedWindow().Bar(App.progressBar).positions.empty());
}

TEST_F(ProgressDisplay, AllBytesInLeavesTimeLeftOutAndFillsTheBar) {
    StoreJobProgress(*App.job.shared, 4096, 4096);
    Tick(1000);
    EXPECT_EQ(Status(), L"Downloading... 4.0 KB / 4.0 KB  |  4.0 KB/s  |  0:01");
    EXPECT_EQ(RecordedWindow().Bar(App.progressBar).position, 1000u);
}

TEST_F(ProgressDisplay, MoreThanTheTotalKeepsTheBarFull) {
    StoreJobProgress(*App.job.shared, 6000, 4000);
    Tick(1000);
    EXPECT_EQ(RecordedWindow().Bar(App.progressBar).position, 1000u);
    EXPECT_EQ(Status().find(L"Left:"), std::wstring::npos);
}

TEST_F(ProgressDisplay, HugeCountsNeitherOverflowNorWrap) {
    const std::uint64_t total = 18000000000000000000ull;
    StoreJobProgress(*App.job.shared, total / 2, total);
    Tick(1000);
    EXPECT_EQ(RecordedWindow().Bar(App.progressBar).position, 500u);
    StoreJobProgress(*App.job.shared, total / 2 + 1, total);
    Tick(1000);  // 1 B/s: too slow, and the average then stands in
    EXPECT_NE(Status().find(L"Left: "), std::wstring::npos);
}

// Progress reports from many engine threads at once while the window thread
// keeps ticking: ThreadSanitizer checks that nothing but atomics is shared.
TEST_F(ProgressDisplay, ReportsFromManyThreadsAtOnce) {
    constexpr int threads = 16;
    constexpr std::uint64_t reportsPerThread = 2000;
    std::atomic<int> ready{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&ready, t, &job = *App.job.shared] {
            ready.fetch_add(1);
            for (std::uint64_t i = 1; i <= reportsPerThread; ++i) {
                StoreJobProgress(job, i * threads + static_cast<std::uint64_t>(t), reportsPerThread * threads * 2);
            }
        });
    }
    for (int tick = 0; tick < 200; ++tick) Tick(200);
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(ready.load(), threads);
    Tick(200);
    const std::uint64_t done = App.job.shared->bytesDone.load();
    EXPECT_GE(done, reportsPerThread * threads);
    EXPECT_LT(done, reportsPerThread * threads + threads);
    EXPECT_EQ(RecordedWindow().Bar(App.progressBar).position, done * 1000 / (reportsPerThread * threads * 2));
}

}  // namespace
}  // namespace pelbrook::testing
