#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/download_job.h"
#include "engine/segment_plan.h"
#include "engine/worker_pool.h"
#include "engine_test_support.h"
#include "support/test_bytes.h"
#include "worker_start_stub.h"

namespace pelbrook {
namespace {

constexpr std::uint64_t MiB = 1048576;

class WorkerStartTest : public testing::EngineTest {
protected:
    void TearDown() override {
        testing::SetWorkerStartFilter(nullptr);
        EngineTest::TearDown();
    }
};

// Threads that cannot be started leave their share to the ones that run;
// the job ends normally and says whether every segment arrived.
TEST_F(WorkerStartTest, RefusedStartsInAJob) {
    struct Case {
        const char* name;
        std::function<bool(int)> allow;
        int workersRunning;
        bool complete;
    };
    const std::vector<Case> cases = {
        {"second of four refused", [](int i) { return i != 1; }, 3, true},
        {"only the first two start", [](int i) { return i < 2; }, 2, true},
        {"only the last starts", [](int i) { return i == 3; }, 1, true},
        {"none starts", [](int) { return false; }, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto served = std::make_shared<testing::ServedFile>();
        served->content = testing::TestBytes(9 * MiB + 7, 41);
        testing::ScriptHttp(testing::ServeFile(served));
        testing::SetWorkerStartFilter(c.allow);
        const std::wstring output = PathIn(L"start.bin");

        const DownloadResult result = RunDownload(
            DownloadRequest{L"http://h.example/f", output, 4, {}}, [](std::uint64_t, std::uint64_t) {}, nullptr);

        EXPECT_EQ(testing::WorkerStartCalls(), 4) << "every worker is tried";
        EXPECT_EQ(result.success, c.complete);
        EXPECT_EQ(result.message, c.complete ? std::wstring(MessageCompleted) : std::wstring(MessageIncomplete));
        EXPECT_EQ(result.bytesDownloaded, c.complete ? served->content.size() : 0u);
        const std::string onDisk = testing::ReadFileBytes(output);
        EXPECT_EQ(onDisk.size(), served->content.size());
        if (c.complete) {
            EXPECT_TRUE(onDisk == served->content);
        }
        const testing::HttpLog log = testing::RecordedHttp();
        EXPECT_EQ(static_cast<int>(log.connections.size()), 1 + c.workersRunning);
        EXPECT_EQ(testing::HandleOrderFaults(log), std::vector<std::string>{});
        EXPECT_EQ(testing::RecordedFiles().openHandles, 0);
    }
}

TEST_F(WorkerStartTest, RefusedStartsAreCountedAsFailures) {
    auto served = std::make_shared<testing::ServedFile>();
    served->content = testing::TestBytes(5 * MiB, 42);
    testing::ScriptHttp(testing::ServeFile(served));
    testing::SetWorkerStartFilter([](int i) { return i % 2 == 0; });
    const std::vector<ByteRange> plan = PlanSegments(served->content.size(), 6);
    platform::HttpHandle session = platform::HttpOpen(L"start test", 0, nullptr, nullptr, 0);
    const SegmentedOutcome outcome =
        RunSegmentedTransfer(session, UrlParts{L"h", L"/f", 80, false}, PathIn(L"pool.bin"), served->content.size(),
                             plan, 6, nullptr, &testing::JobCancel, {});
    platform::HttpCloseHandle(session);
    EXPECT_TRUE(outcome.fileCreated);
    EXPECT_EQ(outcome.failedSegments, 3);
    EXPECT_EQ(outcome.completedSegments, static_cast<std::int32_t>(plan.size()));
    EXPECT_EQ(testing::RecordedHttp().connections.size(), 3u);
}

}  // namespace
}  // namespace pelbrook
