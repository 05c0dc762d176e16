#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/download_job.h"
#include "engine/segment_plan.h"
#include "engine/worker_pool.h"
#include "engine_test_support.h"
#include "support/test_bytes.h"
#include "platform/files.h"
#include "platform/http_client.h"

namespace pelbrook {
namespace {

using testing::RecordedRequest;

constexpr std::uint64_t MiB = 1048576;

class WorkerPoolTest : public testing::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        path = PathIn(L"pool.bin");
    }

    SegmentedOutcome Run(const std::string& content, std::int32_t workers, ProgressCallback progress,
                         std::shared_ptr<testing::ServedFile> served = nullptr) {
        if (!served) {
            served = std::make_shared<testing::ServedFile>();
        }
        served->content = content;
        testing::ScriptHttp(testing::ServeFile(served));
        plan = PlanSegments(content.size(), workers);
        platform::HttpHandle session = platform::HttpOpen(L"pool test", 0, nullptr, nullptr, 0);
        const SegmentedOutcome outcome = RunSegmentedTransfer(session, UrlParts{L"h", L"/f", 80, false}, path,
                                                              content.size(), plan, workers, progress, &testing::JobCancel, {});
        platform::HttpCloseHandle(session);
        log = testing::RecordedHttp();
        return outcome;
    }

    std::wstring path;
    std::vector<ByteRange> plan;
    testing::HttpLog log;
};

TEST_F(WorkerPoolTest, CreatesThePreSizedFileAndFetchesEverySegment) {
    const std::string content = testing::TestBytes(8 * MiB + 123, 11);
    std::atomic<int> calls{0};
    const SegmentedOutcome outcome = Run(content, 2, [&calls](std::uint64_t, std::uint64_t total) {
        calls.fetch_add(1);
        EXPECT_EQ(total, 8 * MiB + 123);
    });
    EXPECT_TRUE(outcome.fileCreated);
    EXPECT_EQ(outcome.failedSegments, 0);
    EXPECT_EQ(outcome.completedSegments, 5);
    EXPECT_EQ(outcome.transferredBytes, content.size());
    EXPECT_GT(calls.load(), 0);
    EXPECT_TRUE(testing::ReadFileBytes(path) == content);
    EXPECT_EQ(testing::HandleOrderFaults(log), std::vector<std::string>{});

    const testing::FileLog files = testing::RecordedFiles();
    ASSERT_EQ(files.opens.size(), 3u) << "the creation, then one handle per worker";
    EXPECT_EQ(files.opens[0].disposition, platform::CreateAlways);
    EXPECT_EQ(files.opens[0].access, platform::GenericWrite);
    EXPECT_EQ(files.opens[0].shareMode, platform::FileShareRead | platform::FileShareWrite | platform::FileShareDelete);
    EXPECT_EQ(files.opens[0].attributes, platform::FileAttributeNormal);
    EXPECT_EQ(files.opens[0].thread, std::this_thread::get_id());
    EXPECT_EQ(files.setEnds, 1);
    EXPECT_EQ(files.openHandles, 0);
    EXPECT_TRUE(files.misuses.empty());
}

// Each worker keeps one connection for its whole life and sends all its
// requests over it, from its own thread.
TEST_F(WorkerPoolTest, KeepAlivePerWorker) {
    const std::string content = testing::TestBytes(8 * MiB, 12);
    auto served = std::make_shared<testing::ServedFile>();
    served->pieceSize = 256 * 1024;
    const SegmentedOutcome outcome = Run(content, 2, nullptr, served);
    EXPECT_EQ(outcome.completedSegments, 4);
    ASSERT_EQ(log.connections.size(), 2u);
    std::map<int, std::thread::id> owner;
    std::set<std::thread::id> threads;
    for (const testing::RecordedConnection& c : log.connections) {
        owner[c.id] = c.thread;
        threads.insert(c.thread);
        EXPECT_NE(c.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(threads.size(), 2u) << "one connection per worker thread";
    ASSERT_EQ(log.requests.size(), 4u);
    for (const RecordedRequest& r : log.requests) {
        ASSERT_EQ(owner.count(r.connection), 1u);
        EXPECT_EQ(r.thread, owner[r.connection]);
        EXPECT_EQ(r.verb, L"GET");
    }
}

TEST_F(WorkerPoolTest, MoreWorkersThanSegments) {
    const std::string content = testing::TestBytes(3145728, 13);
    const SegmentedOutcome outcome = Run(content, 16, [](std::uint64_t, std::uint64_t) {});
    ASSERT_EQ(plan.size(), 2u);
    EXPECT_EQ(outcome.completedSegments, 2);
    EXPECT_EQ(outcome.failedSegments, 0);
    EXPECT_EQ(log.connections.size(), 16u) << "all workers start and connect";
    EXPECT_EQ(log.requests.size(), 2u) << "the surplus ones find nothing to claim";
    EXPECT_TRUE(testing::ReadFileBytes(path) == content);
    EXPECT_EQ(testing::HandleOrderFaults(log), std::vector<std::string>{});
    EXPECT_EQ(testing::RecordedFiles().openHandles, 0);
}

TEST_F(WorkerPoolTest, AllWorkersFailToConnect) {
    const std::string content = testing::TestBytes(5 * MiB, 14);
    auto served = std::make_shared<testing::ServedFile>();
    served->content = content;
    testing::ScriptHttp(testing::ServeFile(served));
    testing::SetConnectFilter([](int) { return false; });
    plan = PlanSegments(content.size(), 4);
    platform::HttpHandle session = platform::HttpOpen(L"pool test", 0, nullptr, nullptr, 0);
    const SegmentedOutcome outcome =
        RunSegmentedTransfer(session, UrlParts{L"h", L"/f", 80, false}, path, content.size(), plan, 4,
                             [](std::uint64_t, std::uint64_t) {}, &testing::JobCancel, {});
    platform::HttpCloseHandle(session);
    EXPECT_TRUE(outcome.fileCreated);
    EXPECT_EQ(outcome.failedSegments, 4);
    EXPECT_EQ(outcome.completedSegments, 0);
    EXPECT_EQ(outcome.transferredBytes, 0u);
    EXPECT_TRUE(testing::ReadFileBytes(path) == std::string(content.size(), '\0')) << "pre-sized, nothing written";
    EXPECT_EQ(testing::RecordedHttp().connectAttempts, 4);
    EXPECT_EQ(testing::RecordedFiles().openHandles, 0);
}

TEST_F(WorkerPoolTest, OneWorkerCannotConnectOrOpenItsFile) {
    struct Case {
        const char* name;
        bool connectFails;
        bool openFails;
    };
    for (const Case& c : {Case{"connect", true, false}, Case{"file", false, true}}) {
        SCOPED_TRACE(c.name);
        const std::string content = testing::TestBytes(9 * MiB, 15);
        auto served = std::make_shared<testing::ServedFile>();
        served->content = content;
        testing::ScriptHttp(testing::ServeFile(served));
        testing::FileFaultPlan faults;
        if (c.openFails) {
            faults.failOpen = testing::FailOpenNumber(platform::OpenExisting, 1);
        }
        testing::SetFileFaults(faults);
        if (c.connectFails) {
            testing::SetConnectFilter([](int index) { return index != 2; });
        }
        plan = PlanSegments(content.size(), 4);
        platform::HttpHandle session = platform::HttpOpen(L"pool test", 0, nullptr, nullptr, 0);
        const SegmentedOutcome outcome = RunSegmentedTransfer(session, UrlParts{L"h", L"/f", 80, false}, path,
                                                              content.size(), plan, 4, nullptr, &testing::JobCancel, {});
        platform::HttpCloseHandle(session);
        EXPECT_EQ(outcome.failedSegments, 1);
        EXPECT_EQ(outcome.completedSegments, static_cast<std::int32_t>(plan.size())) << "the others take over";
        EXPECT_EQ(outcome.transferredBytes, 0u) << "no progress callback, no count";
        EXPECT_TRUE(testing::ReadFileBytes(path) == content);
        const testing::HttpLog httpLog = testing::RecordedHttp();
        EXPECT_EQ(httpLog.connections.size(), 3u);
        EXPECT_EQ(testing::HandleOrderFaults(httpLog), std::vector<std::string>{});
        EXPECT_EQ(testing::RecordedFiles().openHandles, 0);
    }
}

// The widest pool: 32 workers sharing one session, the counters and the
// progress callback; meant to run under ThreadSanitizer as well.
TEST_F(WorkerPoolTest, ThirtyTwoWorkersAtOnce) {
    const std::string content = testing::TestBytes(70 * MiB + 5, 19);
    auto served = std::make_shared<testing::ServedFile>();
    served->pieceSize = 512 * 1024;
    std::atomic<std::uint64_t> lastDone{0};
    std::atomic<std::uint64_t> calls{0};
    const SegmentedOutcome outcome = Run(
        content, 32,
        [&](std::uint64_t done, std::uint64_t total) {
            calls.fetch_add(1);
            lastDone.store(done);
            EXPECT_EQ(total, 70 * MiB + 5);
        },
        served);
    ASSERT_EQ(plan.size(), 36u);
    EXPECT_EQ(outcome.completedSegments, 36);
    EXPECT_EQ(outcome.failedSegments, 0);
    EXPECT_EQ(outcome.transferredBytes, content.size());
    EXPECT_GT(calls.load(), 36u);
    EXPECT_EQ(log.connections.size(), 32u);
    std::set<std::thread::id> threads;
    for (const testing::RecordedConnection& c : log.connections) {
        threads.insert(c.thread);
    }
    EXPECT_EQ(threads.size(), 32u);
    EXPECT_TRUE(testing::ReadFileBytes(path) == content);
    EXPECT_EQ(testing::HandleOrderFaults(log), std::vector<std::string>{});
}

}  // namespace
}  // namespace pelbrook
