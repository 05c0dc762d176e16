#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/download_job.h"
#include "engine/segment_plan.h"
#include "engine/server_probe.h"
#include "engine/temporary_file.h"
#include "engine_test_support.h"
#include "support/test_bytes.h"
#include "platform/http_client.h"
#include "transport/http_request.h"

namespace pelbrook {
namespace {

using testing::MakeResponse;
using testing::RecordedRequest;
using testing::ScriptedResponse;

constexpr std::uint64_t MiB = 1048576;
const std::wstring Url = L"http://files.example/data.bin?x=1";
const std::wstring Completed = MessageCompleted;
const std::wstring Incomplete = MessageIncomplete;
const std::wstring Failed = MessageFailed;
const std::wstring NoSize = MessageNoFileSize;

struct ProgressCall {
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    bool onJobThread = false;
    int sessionsClosedThen = 0;  // only looked up on the job thread
};

// Collects progress calls from any thread.
struct ProgressLog {
    std::mutex mutex;
    std::vector<ProgressCall> calls;
    std::thread::id jobThread = std::this_thread::get_id();

    ProgressCallback Callback() {
        return [this](std::uint64_t done, std::uint64_t total) {
            ProgressCall call{done, total, std::this_thread::get_id() == jobThread, 0};
            if (call.onJobThread) {
                call.sessionsClosedThen = testing::RecordedHttp().sessionsClosed;
            }
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(call);
        };
    }
    std::vector<ProgressCall> Calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
};

class DownloadJobTest : public testing::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        output = PathIn(L"data.bin");
        served = std::make_shared<testing::ServedFile>();
    }

    // Runs one job against `served` and keeps everything a test looks at.
    DownloadResult Run(std::int32_t connections, bool withCallbacks = true) {
        testing::ScriptHttp(testing::ServeFile(served));
        return RunAgain(connections, withCallbacks);
    }
    // Runs one job on the script already set.
    DownloadResult RunAgain(std::int32_t connections, bool withCallbacks = true) {
        ProgressCallback progressCallback = withCallbacks ? progress.Callback() : nullptr;
        StatusCallback statusCallback = nullptr;
        if (withCallbacks) {
            statusCallback = [this](const std::wstring& line) {
                statusLines.push_back(line);
                fileExistedAtStatus = testing::PathExists(output);
            };
        }
        const DownloadResult result =
            RunDownload(DownloadRequest{url, output, connections, {}, &testing::JobCancel}, progressCallback, statusCallback);
        log = testing::RecordedHttp();
        return result;
    }
    std::vector<const RecordedRequest*> RangedGets() const {
        std::vector<const RecordedRequest*> gets;
        for (const RecordedRequest& r : log.requests) {
            std::uint64_t first = 0, last = 0;
            if (r.verb == L"GET" && testing::RangeOf(r, first, last) && !(first == 0 && last == 0)) {
                gets.push_back(&r);
            }
        }
        return gets;
    }
    void ExpectSoundHandles() { EXPECT_EQ(testing::HandleOrderFaults(log), std::vector<std::string>{}); }
    // Keeps the temporary file that a job would delete, to look at its bytes.
    static void KeepDeletedFiles() {
        testing::FileFaultPlan plan;
        plan.keepDeleted = true;
        testing::SetFileFaults(plan);
    }
    std::wstring Temporary() const { return TemporaryPathFor(DownloadRequest{url, output, 4, {}}); }

    std::wstring url = Url;
    std::wstring output;
    std::shared_ptr<testing::ServedFile> served;
    ProgressLog progress;
    std::vector<std::wstring> statusLines;
    bool fileExistedAtStatus = false;
    testing::HttpLog log;
};

TEST_F(DownloadJobTest, RequestChecksComeFirst) {
    struct Case {
        std::wstring url, path;
        std::int32_t connections;
        std::wstring message;
    };
    const std::vector<Case> cases = {
        {L"", L"", 0, MessageUrlEmpty},
        {L"", L"out.bin", 4, MessageUrlEmpty},
        {Url, L"", 0, MessageOutputPathEmpty},
        {Url, L"out.bin", 0, MessageConnectionsBelowOne},
        {Url, L"out.bin", -7, MessageConnectionsBelowOne},
        {Url, L"out.bin", INT32_MIN, MessageConnectionsBelowOne},
        {L"ftp://files.example/data.bin", L"out.bin", 4, MessageInvalidUrl},
        {L"files.example/data.bin", L"out.bin", 4, MessageInvalidUrl},
        {L"not a url", L"out.bin", -1, MessageConnectionsBelowOne},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        testing::ScriptHttp(testing::ServeFile(served));
        bool statusCalled = false;
        bool progressCalled = false;
        const DownloadResult result = RunDownload(
            DownloadRequest{c.url, c.path, c.connections, {}},
            [&](std::uint64_t, std::uint64_t) { progressCalled = true; },
            [&](const std::wstring&) { statusCalled = true; });
        EXPECT_EQ(result.message, c.message);
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.bytesDownloaded, 0u);
        EXPECT_TRUE(result.modeLine.empty());
        EXPECT_FALSE(statusCalled);
        EXPECT_FALSE(progressCalled);
        const testing::HttpLog httpLog = testing::RecordedHttp();
        EXPECT_EQ(httpLog.sessionsOpened, 0) << "no network activity";
        EXPECT_EQ(httpLog.connectAttempts, 0);
        EXPECT_TRUE(testing::RecordedFiles().opens.empty());
    }
}

TEST_F(DownloadJobTest, SessionOpenFailure) {
    testing::ScriptHttp(testing::ServeFile(served));
    testing::FailSessionOpen(true);
    const DownloadResult result = RunAgain(4);
    EXPECT_EQ(result.message, MessageSessionFailed);
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(result.modeLine.empty());
    EXPECT_TRUE(statusLines.empty());
    EXPECT_EQ(log.sessionsOpened, 1);
    EXPECT_EQ(log.sessionsClosed, 0);
    EXPECT_EQ(log.connectAttempts, 0);
    EXPECT_TRUE(log.closes.empty());
}

TEST_F(DownloadJobTest, SessionArgumentsAndOptions) {
    served->content = testing::TestBytes(1000, 21);
    const DownloadResult result = Run(4);
    EXPECT_EQ(result.message, Completed);
    EXPECT_EQ(log.userAgent, UserAgent);
    EXPECT_EQ(log.accessType, 0u);
    EXPECT_TRUE(log.proxyNull);
    EXPECT_TRUE(log.bypassNull);
    EXPECT_EQ(log.openFlags, 0u);
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {{3, 60000}, {5, 60000}, {6, 60000},
                                                                           {63, 1},    {73, 100},  {74, 100}};
    ASSERT_EQ(log.options.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(log.options[i].option, expected[i].first) << i;
        EXPECT_EQ(log.options[i].value, expected[i].second) << i;
        EXPECT_EQ(log.options[i].length, 4u) << i;
    }
    EXPECT_EQ(log.sessionsOpened, 1);
    EXPECT_EQ(log.sessionsClosed, 1);
    ASSERT_FALSE(log.connections.empty());
    EXPECT_EQ(log.connections[0].host, L"files.example");
    EXPECT_EQ(log.connections[0].port, 80);
    ASSERT_FALSE(log.requests.empty());
    EXPECT_EQ(log.requests[0].verb, L"HEAD");
    EXPECT_EQ(log.requests[0].path, L"/data.bin?x=1");
    EXPECT_EQ(log.requests[0].openFlags, 0u);
    ExpectSoundHandles();
}

TEST_F(DownloadJobTest, HttpsUrlsUseSecureRequestsOnTheDefaultPort) {
    served->content = testing::TestBytes(5000, 22);
    url = L"https://secure.example/file.bin";
    const DownloadResult result = Run(2);
    EXPECT_EQ(result.message, Completed);
    for (const testing::RecordedConnection& c : log.connections) {
        EXPECT_EQ(c.host, L"secure.example");
        EXPECT_EQ(c.port, 443);
    }
    for (const RecordedRequest& r : log.requests) {
        EXPECT_EQ(r.openFlags, platform::FlagSecure);
        EXPECT_EQ(r.path, L"/file.bin");
    }
}

TEST_F(DownloadJobTest, ProbeWithoutASize) {
    struct Case {
        const char* name;
        std::function<ScriptedResponse(const RecordedRequest&)> responder;
        std::size_t requests;
    };
    const std::vector<Case> cases = {
        {"HEAD 200 without length, no GET follows",
         [](const RecordedRequest&) { return MakeResponse(200, {L"Accept-Ranges: bytes"}); }, 1},
        {"206 of unknown total",
         [](const RecordedRequest& r) {
             return r.verb == L"HEAD" ? MakeResponse(405, {})
                                      : MakeResponse(206, {L"Content-Range: bytes 0-0/*"}, {"a"});
         },
         2},
        {"416", [](const RecordedRequest& r) { return MakeResponse(r.verb == L"HEAD" ? 404 : 416, {}); }, 2},
        {"nothing answers",
         [](const RecordedRequest&) {
             ScriptedResponse response;
             response.failReceive = true;
             return response;
         },
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScriptHttp(c.responder);
        statusLines.clear();
        const DownloadResult result = RunAgain(8);
        EXPECT_EQ(result.message, NoSize);
        EXPECT_FALSE(result.success);
        EXPECT_TRUE(result.modeLine.empty());
        EXPECT_TRUE(statusLines.empty());
        EXPECT_EQ(log.requests.size(), c.requests);
        EXPECT_FALSE(testing::PathExists(output));
        EXPECT_EQ(log.sessionsClosed, 1);
        ExpectSoundHandles();
    }
}

TEST_F(DownloadJobTest, AcceleratedJobCompletes) {
    served->content = testing::TestBytes(10 * MiB + 3, 23);
    const DownloadResult result = Run(4);
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.message, Completed);
    EXPECT_EQ(result.bytesDownloaded, served->content.size());
    EXPECT_EQ(result.modeLine, BuildModeLine(true, 4, true, 6));
    EXPECT_EQ(statusLines, std::vector<std::wstring>{result.modeLine});
    EXPECT_FALSE(fileExistedAtStatus) << "the mode is announced before the file exists";
    EXPECT_TRUE(testing::ReadFileBytes(output) == served->content);

    const std::vector<ProgressCall> calls = progress.Calls();
    ASSERT_FALSE(calls.empty());
    const ProgressCall& final = calls.back();
    EXPECT_TRUE(final.onJobThread);
    EXPECT_EQ(final.done, served->content.size());
    EXPECT_EQ(final.total, served->content.size());
    EXPECT_EQ(final.sessionsClosedThen, 0) << "reported before the session closes";
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const ProgressCall& c) { return c.onJobThread; }), 1);

    EXPECT_EQ(log.connections.size(), 5u) << "the probe's and one per worker";
    EXPECT_EQ(RangedGets().size(), 6u);
    ExpectSoundHandles();
}

TEST_F(DownloadJobTest, EmptyCallbacksStillJudgeByWholeSegments) {
    served->content = testing::TestBytes(6 * MiB, 24);
    DownloadResult result = Run(4, false);
    EXPECT_EQ(result.message, Completed);
    EXPECT_EQ(result.bytesDownloaded, served->content.size());
    EXPECT_TRUE(testing::ReadFileBytes(output) == served->content);

    // A segment lost while nothing counts bytes must not pass for complete,
    // even though the pre-sized file has the full length.
    served->adjust = [](const RecordedRequest& request, ScriptedResponse& response) {
        std::uint64_t first = 0, last = 0;
        if (testing::RangeOf(request, first, last) && first == 2 * MiB) {
            response = MakeResponse(500, {});
        }
    };
    result = Run(4, false);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.message, Incomplete);
    EXPECT_EQ(result.bytesDownloaded, 0u) << "the byte counter stays still without a callback";
    EXPECT_TRUE(testing::ReadFileBytes(output) == served->content) << "the earlier file stays";
    EXPECT_FALSE(testing::PathExists(Temporary())) << "the pre-sized file with a hole is deleted";
}

// Every segment fetched is not enough: the file on disk must have the size.
TEST_F(DownloadJobTest, EverySegmentFetchedButTheSizeOnDiskUnknown) {
    served->content = testing::TestBytes(3 * MiB, 34);
    testing::FileFaultPlan faults;
    faults.failGetSize = true;
    testing::SetFileFaults(faults);
    const DownloadResult result = Run(2);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.message, Incomplete);
    EXPECT_EQ(result.bytesDownloaded, served->content.size()) << "every byte arrived";
}

// Segmented jobs whose server misbehaves for one segment of a 10 MiB file
// cut into five 2 MiB segments (4 workers).
TEST_F(DownloadJobTest, SegmentAnswers) {
    const std::string content = testing::TestBytes(10 * MiB, 25);
    constexpr std::uint64_t Seg = 2 * MiB;
    struct Case {
        const char* name;
        std::function<void(std::uint64_t first, std::uint64_t last, ScriptedResponse& response)> adjust;
        bool complete;
        std::uint64_t zeroFrom, zeroTo;  // region left as the pre-sizing gave it
        std::uint64_t transferred;       // bytes counted when incomplete
        bool countAboveTotal;
        std::vector<std::wstring> validators = {};  // on every answer but those the row changes
    };
    const std::wstring total = L"/" + std::to_wstring(content.size());
    auto headers206 = [&](std::uint64_t first, std::uint64_t last) {
        return std::vector<std::wstring>{L"Content-Range: bytes " + std::to_wstring(first) + L"-" +
                                         std::to_wstring(last) + total};
    };
    auto body = [&](std::uint64_t from, std::uint64_t length) {
        return testing::Pieces(content.substr(from, length), 65536);
    };
    const std::vector<Case> cases = {
        {"all well", nullptr, true, 0, 0, 0, false},
        {"200 for a later segment",
         [&](std::uint64_t first, std::uint64_t, ScriptedResponse& r) {
             if (first == 2 * Seg) r = MakeResponse(200, {}, body(0, content.size()));
         },
         false, 2 * Seg, 3 * Seg, 8 * MiB, false},
        {"200 for the first segment",
         [&](std::uint64_t first, std::uint64_t, ScriptedResponse& r) {
             if (first == 0) r = MakeResponse(200, {}, body(0, content.size()));
         },
         true, 0, 0, 0, true},
        {"short 206",
         [&](std::uint64_t first, std::uint64_t last, ScriptedResponse& r) {
             if (first == Seg) r = MakeResponse(206, headers206(first, last), body(first, Seg - 1));
         },
         false, 2 * Seg - 1, 2 * Seg, 10 * MiB - 1, false},
        {"long 206",
         [&](std::uint64_t first, std::uint64_t, ScriptedResponse& r) {
             if (first == Seg) r = MakeResponse(206, headers206(first, first + Seg), body(first, Seg + 1));
         },
         true, 0, 0, 0, false},
        {"the probed ETag on every answer", nullptr, true, 0, 0, 0, false, {L"ETag: \"v1\""}},
        {"one segment of another version",
         [&](std::uint64_t first, std::uint64_t last, ScriptedResponse& r) {
             std::vector<std::wstring> lines = headers206(first, last);
             lines.push_back(L"ETag: \"v2\"");
             if (first == 3 * Seg) r = MakeResponse(206, lines, body(first, Seg));
         },
         false,
         3 * Seg,
         4 * Seg,
         8 * MiB,
         false,
         {L"ETag: \"v1\""}},
        {"short 200 of another copy for the first segment",
         [&](std::uint64_t first, std::uint64_t, ScriptedResponse& r) {
             if (first == 0) {
                 r = MakeResponse(200, {L"Content-Length: 3000000"},
                                  testing::Pieces(testing::TestBytes(3000000, 99), 65536));
             }
         },
         false, 0, Seg, 8 * MiB, false},
        {"206 for other bytes",
         [&](std::uint64_t first, std::uint64_t, ScriptedResponse& r) {
             if (first == 3 * Seg) r = MakeResponse(206, headers206(0, Seg - 1), body(0, Seg));
         },
         false, 3 * Seg, 4 * Seg, 8 * MiB, false},
        {"broken body",
         [&](std::uint64_t first, std::uint64_t, ScriptedResponse& r) {
             if (first == Seg) r.breakAtPiece = 5;
         },
         false, Seg + 5 * 65536, 2 * Seg, 10 * MiB - (Seg - 5 * 65536), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KeepDeletedFiles();
        served->content = content;
        served->headers = c.validators;
        served->adjust = [&c](const RecordedRequest& request, ScriptedResponse& response) {
            std::uint64_t first = 0, last = 0;
            if (c.adjust && testing::RangeOf(request, first, last) && !(first == 0 && last == 0)) {
                c.adjust(first, last, response);
            }
        };
        progress.calls.clear();
        const DownloadResult result = Run(4);
        ASSERT_EQ(PlanSegments(content.size(), 4).size(), 5u);
        EXPECT_EQ(result.success, c.complete);
        EXPECT_EQ(result.message, c.complete ? Completed : Incomplete);
        EXPECT_EQ(result.bytesDownloaded, c.complete ? content.size() : c.transferred);
        const std::vector<ProgressCall> calls = progress.Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().done, result.bytesDownloaded);
        EXPECT_EQ(calls.back().total, content.size());
        std::uint64_t most = 0;
        for (const ProgressCall& call : calls) {
            most = std::max(most, call.done);
        }
        EXPECT_EQ(most > content.size(), c.countAboveTotal);

        std::string expected = content;
        expected.replace(c.zeroFrom, c.zeroTo - c.zeroFrom, std::string(c.zeroTo - c.zeroFrom, '\0'));
        EXPECT_EQ(testing::RecordedFiles().deletes.size(), c.complete ? 0u : 1u);
        const std::string onDisk = testing::ReadFileBytes(c.complete ? output : Temporary());
        EXPECT_EQ(onDisk.size(), content.size());
        EXPECT_TRUE(onDisk == expected);
        ExpectSoundHandles();
    }
}

TEST_F(DownloadJobTest, AllWorkersFailToConnect) {
    served->content = testing::TestBytes(5 * MiB, 26);
    testing::ScriptHttp(testing::ServeFile(served));
    testing::SetConnectFilter([](int index) { return index == 0; });  // only the probe gets through
    KeepDeletedFiles();
    const DownloadResult result = RunAgain(8);
    EXPECT_EQ(result.message, Incomplete);
    EXPECT_EQ(result.bytesDownloaded, 0u);
    EXPECT_EQ(log.connectAttempts, 9);
    EXPECT_EQ(testing::ReadFileBytes(Temporary()).size(), served->content.size());
    EXPECT_FALSE(testing::PathExists(output));
    ExpectSoundHandles();
}

TEST_F(DownloadJobTest, AtMostThirtyTwoWorkers) {
    served->content = testing::TestBytes(3 * MiB, 27);
    const DownloadResult result = Run(100);
    EXPECT_EQ(result.message, Completed);
    EXPECT_EQ(result.modeLine, BuildModeLine(true, MaxConnections, true, 2));
    EXPECT_EQ(log.connections.size(), MaxConnections + 1u);
    ExpectSoundHandles();
}

// A file that cannot take its full length (a full disk) is refused as one
// that cannot be created, before anything is fetched into it.
TEST_F(DownloadJobTest, OutputFileThatCannotBeCreatedOrSized) {
    served->content = testing::TestBytes(3 * MiB, 28);
    for (const int fault : {0, 1, 2}) {
        SCOPED_TRACE(fault);
        testing::FileFaultPlan plan;
        plan.failSetPointer = fault == 1;
        plan.failSetEnd = fault == 2;
        testing::SetFileFaults(plan);
        output = fault == 0 ? dir + L"/missing folder/data.bin" : PathIn(L"data.bin");
        statusLines.clear();
        const DownloadResult result = Run(4);
        EXPECT_EQ(result.message, MessageNoOutputFile);
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.modeLine, BuildModeLine(true, 4, true, 2));
        EXPECT_EQ(statusLines.size(), 1u);
        EXPECT_EQ(log.connections.size(), 1u) << "no worker started";
        EXPECT_EQ(testing::RecordedFiles().opens.size(), 1u) << "no worker opened the file";
        EXPECT_EQ(log.sessionsClosed, 1);
        EXPECT_TRUE(testing::DirectoryNames(dir).empty());
        ExpectSoundHandles();
    }
}

TEST_F(DownloadJobTest, SingleConnectionModes) {
    struct Case {
        const char* name;
        std::int32_t connections;
        bool ranges;
        std::uint32_t headStatus;
        std::wstring line;
    };
    const std::vector<Case> cases = {
        {"one connection", 1, true, 200, ModeLineOneConnection},
        {"no ranges", 8, false, 200, ModeLineNoRanges},
        {"no ranges, size from a 200 GET", 8, false, 405, ModeLineNoRanges},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        served->content = testing::TestBytes(3 * MiB + 1, 29);
        served->acceptRanges = c.ranges;
        served->headStatus = c.headStatus;
        progress.calls.clear();
        statusLines.clear();
        const DownloadResult result = Run(c.connections);
        EXPECT_TRUE(result.success);
        EXPECT_EQ(result.message, Completed);
        EXPECT_EQ(result.bytesDownloaded, 0u);
        EXPECT_EQ(result.modeLine, c.line);
        EXPECT_EQ(statusLines, std::vector<std::wstring>{c.line});
        EXPECT_TRUE(testing::ReadFileBytes(output) == served->content);
        const std::vector<ProgressCall> calls = progress.Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().done, served->content.size());
        for (const ProgressCall& call : calls) {
            EXPECT_TRUE(call.onJobThread);
            EXPECT_EQ(call.total, served->content.size());
        }
        const RecordedRequest& get = log.requests.back();
        EXPECT_EQ(get.verb, L"GET");
        EXPECT_EQ(get.headers, BaseRequestHeaders);
        ExpectSoundHandles();
    }
}

// Whatever ends a job short of "Download completed.", a file that stood at the
// output path keeps its bytes, and the job's temporary file is gone.
TEST_F(DownloadJobTest, ExistingFileSurvivesEveryUnsuccessfulEnd) {
    struct Case {
        const char* name;
        std::int32_t connections;
        std::function<void(const RecordedRequest&, ScriptedResponse&)> adjust;
        std::function<bool(int)> failMove;
        std::size_t moves;
        std::wstring message;
    };
    // Changes the answer for the first segment, or for every other one.
    auto segments = [](bool firstOne, std::function<void(ScriptedResponse&)> change) {
        return [firstOne, change](const RecordedRequest& request, ScriptedResponse& response) {
            std::uint64_t first = 0, last = 0;
            if (testing::RangeOf(request, first, last) && last > 0 && (first == 0) == firstOne) change(response);
        };
    };
    auto whole = [](std::function<void(ScriptedResponse&)> change) {
        return [change](const RecordedRequest& request, ScriptedResponse& response) {
            if (request.verb == L"GET") change(response);
        };
    };
    auto cancelAtPiece = [](ScriptedResponse& r) {
        r.beforeRead = [](std::size_t piece) {
            if (piece == 2) testing::JobCancel = true;
        };
    };
    // Raised during the read that finds the end of the body: every byte is in.
    auto cancelAtTheEnd = [](ScriptedResponse& r) {
        r.beforeRead = [pieces = r.body.size()](std::size_t piece) {
            if (piece == pieces) testing::JobCancel = true;
        };
    };
    auto cancelAfterTry = [](int) { return testing::JobCancel = true; };
    auto length = [](const wchar_t* value, std::size_t bodyBytes) {
        return [value, bodyBytes](ScriptedResponse& r) {
            r = MakeResponse(200, {std::wstring(L"Content-Length: ") + value},
                             testing::Pieces(testing::TestBytes(5 * MiB, 30).substr(0, bodyBytes), 65536));
        };
    };
    const std::vector<Case> cases = {
        {"404", 1, whole([](ScriptedResponse& r) { r = MakeResponse(404, {}, {"gone"}); }), nullptr, 0, Failed},
        {"206", 1, whole([](ScriptedResponse& r) { r.status = 206; }), nullptr, 0, Failed},
        {"short body", 1, whole([](ScriptedResponse& r) { r.body.pop_back(); }), nullptr, 0, Failed},
        {"broken body", 1, whole([](ScriptedResponse& r) { r.breakAtPiece = 3; }), nullptr, 0, Failed},
        {"length 0", 1, whole(length(L"0", 0)), nullptr, 0, Failed},
        {"length that reads as no number", 1, whole(length(L"abc", MiB)), nullptr, 0, Failed},
        {"length other than the probe's", 1, whole(length(L"5242881", 5 * MiB)), nullptr, 0, Failed},
        {"single canceled", 1, whole(cancelAtPiece), nullptr, 0, Failed},
        {"single canceled after the last read", 1, whole(cancelAtTheEnd), nullptr, 0, Failed},
        {"single, replace refused", 1, nullptr, testing::FailFirst(9), 4, Failed},
        {"segment lost", 4, segments(false, [](ScriptedResponse& r) { r = MakeResponse(500, {}); }), nullptr, 0,
         Incomplete},
        {"segments canceled", 4, segments(true, cancelAtPiece), nullptr, 0, MessageCanceled},
        {"segmented, canceled between tries of the replace", 4, nullptr, cancelAfterTry, 1, MessageCanceled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(testing::WriteFileBytes(output, "older file"));
        testing::JobCancel = false;
        testing::FileFaultPlan plan;
        plan.failMove = c.failMove;
        testing::SetFileFaults(plan);
        served->content = testing::TestBytes(5 * MiB, 30);
        served->adjust = c.adjust;
        const DownloadResult result = Run(c.connections);
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.message, c.message);
        EXPECT_FALSE(result.modeLine.empty());
        EXPECT_TRUE(testing::ReadFileBytes(output) == "older file");
        EXPECT_EQ(testing::DirectoryNames(dir), std::vector<std::wstring>{L"data.bin"}) << "no temporary file left";
        const testing::FileLog files = testing::RecordedFiles();
        EXPECT_EQ(files.moves.size(), c.moves);
        for (const std::wstring& deleted : files.deletes) EXPECT_EQ(deleted, Temporary());
        ExpectSoundHandles();
    }

    // Only a whole file replaces it, in one step from the temporary file.
    for (const std::int32_t connections : {1, 4}) {
        ASSERT_TRUE(testing::WriteFileBytes(output, "older file"));
        testing::JobCancel = false;
        testing::SetFileFaults();
        served->adjust = nullptr;
        EXPECT_EQ(Run(connections).message, Completed);
        EXPECT_TRUE(testing::ReadFileBytes(output) == served->content);
        const std::vector<std::pair<std::wstring, std::wstring>> moves = {{Temporary(), output}};
        EXPECT_EQ(testing::RecordedFiles().moves, moves);
        EXPECT_EQ(testing::RecordedFiles().opens.at(0).path, Temporary());
        EXPECT_EQ(testing::DirectoryNames(dir), std::vector<std::wstring>{L"data.bin"});
    }
}

// A name that reaches another file (its short 8.3 name) never replaces that
// file, whether it reaches it at the start or only once the transfer runs.
TEST_F(DownloadJobTest, OutputPathThatReachesAnotherFile) {
    const std::wstring report = PathIn(L"Quarterly report 2025.pdf");
    served->content = testing::TestBytes(3 * MiB, 35);
    for (const bool duringTransfer : {false, true}) {
        for (const std::int32_t connections : {1, 4}) {
            SCOPED_TRACE(std::to_string(connections) + (duringTransfer ? " during the transfer" : " at the start"));
            ASSERT_TRUE(testing::WriteFileBytes(report, "the report"));
            output = testing::MakeAlias(report);
            ASSERT_FALSE(output.empty());
            served->adjust = nullptr;
            if (duringTransfer) {
                ASSERT_TRUE(platform::FileDelete(output.c_str()));  // natively the link, on Windows the report
                auto made = std::make_shared<std::atomic<bool>>(false);
                served->adjust = [report, made](const RecordedRequest& request, ScriptedResponse&) {
                    if (request.verb == L"GET" && !made->exchange(true)) {
                        testing::WriteFileBytes(report, "the report");
                        testing::MakeAlias(report);
                    }
                };
            }
            testing::SetFileFaults();
            const DownloadResult result = Run(connections);
            EXPECT_FALSE(result.success);
            EXPECT_EQ(result.message, connections == 1 ? Failed : std::wstring(MessageNoOutputFile));
            EXPECT_EQ(testing::ReadFileBytes(report), "the report");
            const testing::FileLog files = testing::RecordedFiles();
            EXPECT_EQ(files.opens.empty(), !duringTransfer) << "nothing is written for such a name";
            EXPECT_TRUE(files.moves.empty());
            for (const std::wstring& name : testing::DirectoryNames(dir)) {
                EXPECT_EQ(name.find(L".part"), std::wstring::npos) << "temporary file left";
            }
            ExpectSoundHandles();
        }
    }
}

// Everything waits until every worker is inside a body; the last one to
// arrive raises the cancel flag.
struct MidBodyBarrier {
    explicit MidBodyBarrier(int count) : parties(count) {}

    void Arrive() {
        std::unique_lock<std::mutex> lock(mutex);
        if (++arrived == parties) {
            testing::JobCancel = true;
            released = true;
            wake.notify_all();
            return;
        }
        if (!wake.wait_for(lock, std::chrono::seconds(20), [this] { return released; })) {
            timedOut = true;
        }
    }

    const int parties;
    std::mutex mutex;
    std::condition_variable wake;
    int arrived = 0;
    bool released = false;
    bool timedOut = false;
};

TEST_F(DownloadJobTest, CancelStopsEveryWorkerWithinOneChunk) {
    constexpr int Workers = 4;
    served->content = testing::TestBytes(16 * MiB, 31);
    served->pieceSize = 256 * 1024;
    auto barrier = std::make_shared<MidBodyBarrier>(Workers);
    served->adjust = [barrier](const RecordedRequest& request, ScriptedResponse& response) {
        std::uint64_t first = 0, last = 0;
        if (testing::RangeOf(request, first, last) && last > 0) {
            response.beforeRead = [barrier](std::size_t piece) {
                if (piece == 1) barrier->Arrive();
            };
        }
    };
    const DownloadResult result = Run(Workers);
    EXPECT_FALSE(barrier->timedOut);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.message, MessageCanceled);
    EXPECT_EQ(result.bytesDownloaded, 0u);
    EXPECT_EQ(result.modeLine, BuildModeLine(true, 4, true, 8));
    EXPECT_FALSE(testing::PathExists(output)) << "a canceled accelerated file is deleted";

    const std::vector<const RecordedRequest*> gets = RangedGets();
    EXPECT_EQ(gets.size(), static_cast<std::size_t>(Workers)) << "no segment is claimed after the cancel";
    for (const RecordedRequest* r : gets) {
        EXPECT_EQ(r->reads, 2) << "the piece read at the cancel, then nothing more";
    }
    for (const ProgressCall& call : progress.Calls()) {
        EXPECT_FALSE(call.onJobThread) << "no final report for a canceled job";
    }
    // The closes show every worker finished before the job returned.
    EXPECT_EQ(log.sessionsClosed, 1);
    ExpectSoundHandles();
    EXPECT_EQ(testing::RecordedFiles().openHandles, 0);
}

// A cancel that arrives while a request is out (the answer comes late, or
// never but for a time-out) sends nothing more and creates no file.
TEST_F(DownloadJobTest, CancelWhileARequestIsOut) {
    const struct {
        const char* name;
        std::int32_t connections;
        std::uint32_t headStatus;
        const wchar_t* canceledAt;  // the verb of the request out at the cancel
        const wchar_t* message;
        std::size_t requests;
    } cases[] = {
        {"HEAD", 4, 200, L"HEAD", MessageCanceled, 1},
        {"HEAD, one connection", 1, 200, L"HEAD", MessageCanceled, 1},
        {"HEAD refused, before the ranged GET", 4, 405, L"HEAD", MessageCanceled, 1},
        {"the single GET", 1, 200, L"GET", MessageFailed, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::JobCancel = false;
        served->content = testing::TestBytes(300000, 34);
        served->headStatus = c.headStatus;
        served->adjust = [&c](const RecordedRequest& request, ScriptedResponse&) {
            if (request.verb == c.canceledAt) testing::JobCancel = true;
        };
        const DownloadResult result = Run(c.connections);
        EXPECT_EQ(result.message, c.message);
        EXPECT_EQ(log.requests.size(), c.requests);
        EXPECT_TRUE(testing::RecordedFiles().opens.empty()) << "no file for a job nobody waits for";
        EXPECT_TRUE(testing::DirectoryNames(dir).empty());
        ExpectSoundHandles();
    }
}

}  // namespace
}  // namespace pelbrook
