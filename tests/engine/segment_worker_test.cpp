#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <locale>
#include <memory>
#include <string>
#include <vector>

#include "engine/download_job.h"
#include "engine/segment_worker.h"
#include "engine_test_support.h"
#include "support/test_bytes.h"
#include "transport/http_request.h"
#include "platform/files.h"
#include "platform/http_client.h"

namespace pelbrook {
namespace {

using testing::MakeResponse;
using testing::RecordedRequest;
using testing::ScriptedResponse;

const std::wstring Base = BaseRequestHeaders;

// A locale that groups digits, to show the range text never picks it up.
struct GroupingPunct : std::numpunct<wchar_t> {
    wchar_t do_thousands_sep() const override { return L','; }
    std::string do_grouping() const override { return "\3"; }
};

class SegmentWorkerTest : public testing::EngineTest {
protected:
    // Opens a session and a connection on the current script.
    void Connect() {
        session = platform::HttpOpen(L"worker test", 0, nullptr, nullptr, 0);
        ASSERT_NE(session, nullptr);
        connection = OpenConnection(session, url);
        ASSERT_NE(connection, nullptr);
    }
    void CloseAll() {
        platform::HttpCloseHandle(connection);
        platform::HttpCloseHandle(session);
    }

    UrlParts url{L"host.example", L"/data.bin", 80, false};
    platform::HttpHandle session = nullptr;
    platform::HttpHandle connection = nullptr;
};

TEST_F(SegmentWorkerTest, RangeHeaderText) {
    struct Case {
        ByteRange range;
        std::wstring text;
    };
    const std::vector<Case> cases = {
        {{100, 199}, Base + L"Range: bytes=100-199"},
        {{0, 0}, Base + L"Range: bytes=0-0"},
        {{1234567, 98765432}, Base + L"Range: bytes=1234567-98765432"},
        {{18446744073709551613u, 18446744073709551614u},
         Base + L"Range: bytes=18446744073709551613-18446744073709551614"},
    };
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new GroupingPunct));
    for (const Case& c : cases) {
        testing::ScriptHttp([](const RecordedRequest&) { return MakeResponse(404, {}); });
        Connect();
        EXPECT_FALSE(FetchSegment(connection, url, platform::InvalidFile(), c.range, nullptr, nullptr, 0, nullptr, {}));
        CloseAll();
        const testing::HttpLog log = testing::RecordedHttp();
        ASSERT_EQ(log.requests.size(), 1u);
        EXPECT_EQ(log.requests[0].headers, c.text);
        EXPECT_EQ(log.requests[0].headersLength, 0xFFFFFFFFu);
        EXPECT_EQ(log.requests[0].verb, L"GET");
        EXPECT_EQ(log.requests[0].path, L"/data.bin");
        EXPECT_EQ(log.requests[0].openFlags, 0u);
    }
    std::locale::global(previous);
}

// One segment against a file of 1000 'z' bytes; the remote file is other bytes.
TEST_F(SegmentWorkerTest, FetchSegmentJudgesTheAnswer) {
    const std::string remote = testing::TestBytes(1000, 7);
    const std::string blank(1000, 'z');
    const std::wstring total = L"/1000";
    struct Written {
        bool ok = false;
        std::uint64_t from = 0, to = 0;  // bytes of `remote` expected in the file, [from, to)
        bool readsBody = false;
    };
    struct Case {
        const char* name = "";
        ByteRange range = {100, 199};
        std::uint32_t status = 206;
        std::vector<std::wstring> headers = {};
        std::string body = {};
        bool failSend = false;
        Written expect = {};
        FileVersion probed = {};
    };
    const Written segment{true, 100, 200, true};
    const FileVersion v1{L"\"v1\"", L"Tue, 01 Dec 2026 10:00:00 GMT"};
    auto part = [&](std::size_t from, std::size_t to) { return remote.substr(from, to - from); };
    const std::vector<Case> cases = {
        {.name = "206 in full",
         .headers = {L"Content-Range: bytes 100-199" + total},
         .body = part(100, 200),
         .expect = segment},
        {.name = "206 one byte short",
         .headers = {L"Content-Range: bytes 100-199" + total},
         .body = part(100, 199),
         .expect = {false, 100, 199, true}},
        {.name = "206 naming a longer range: the segment's bytes only",
         .headers = {L"Content-Range: bytes 100-299" + total},
         .body = part(100, 300),
         .expect = segment},
        {.name = "206 running past its own range",
         .headers = {L"Content-Range: bytes 100-199" + total},
         .body = part(100, 201),
         .expect = {false, 100, 180, true}},
        {.name = "206 of the probed ETag",
         .headers = {L"Content-Range: bytes 100-199" + total, L"ETag: \"v1\""},
         .body = part(100, 200),
         .expect = segment,
         .probed = v1},
        {.name = "206 of another ETag", .headers = {L"ETag: \"v2\""}, .body = part(100, 200), .probed = v1},
        {.name = "200 of another ETag for the first segment",
         .range = {0, 99},
         .status = 200,
         .headers = {L"ETag: \"v2\""},
         .body = remote,
         .probed = v1},
        {.name = "200 running past the total",
         .range = {0, 99},
         .status = 200,
         .body = remote + "0123456789",
         .expect = {false, 0, 1000, true}},
        {.name = "206 without Content-Range: no telling which bytes", .body = part(100, 200)},
        {.name = "206 whose Content-Length names another range",
         .headers = {L"Content-Range: bytes 100-199" + total, L"Content-Length: 99"},
         .body = part(100, 200)},
        {.name = "206 of unknown total",
         .headers = {L"Content-Range: bytes 100-199/*"},
         .body = part(100, 200),
         .expect = segment},
        {.name = "206 lower-case name",
         .headers = {L"content-range: bytes 100-199" + total},
         .body = part(100, 200),
         .expect = segment},
        {.name = "206 for other bytes", .headers = {L"Content-Range: bytes 0-99" + total}, .body = part(0, 100)},
        {.name = "206 for another total", .headers = {L"Content-Range: bytes 100-199/2000"}, .body = part(100, 200)},
        {.name = "206 with a malformed range", .headers = {L"Content-Range: bytes 100-199"}, .body = part(100, 200)},
        {.name = "200 for the first segment",
         .range = {0, 99},
         .status = 200,
         .headers = {L"Content-Length: 1000"},
         .body = remote,
         .expect = {true, 0, 1000, true}},
        {.name = "200 for the first segment naming another length",
         .range = {0, 99},
         .status = 200,
         .headers = {L"Content-Length: 600"},
         .body = remote.substr(0, 600)},
        {.name = "200 for the first segment, short of the total",
         .range = {0, 99},
         .status = 200,
         .body = remote.substr(0, 600),
         .expect = {false, 0, 600, true}},
        {.name = "200 for a later segment", .status = 200, .headers = {L"Content-Length: 1000"}, .body = remote},
        {.name = "404", .status = 404, .body = "not found"},
        {.name = "416", .status = 416, .headers = {L"Content-Range: bytes */1000"}, .body = ""},
        {.name = "send fails", .body = part(100, 200), .failSend = true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring path = PathIn(L"segment.bin");
        ASSERT_TRUE(testing::WriteFileBytes(path, blank));
        testing::ScriptHttp([&c](const RecordedRequest&) {
            ScriptedResponse r = MakeResponse(c.status, c.headers, testing::Pieces(c.body, 40));
            r.failSend = c.failSend;
            return r;
        });
        Connect();
        platform::FileHandle file = platform::FileCreate(path.c_str(), platform::GenericWrite,
                                                         platform::FileShareRead | platform::FileShareWrite,
                                                         platform::OpenExisting, platform::FileAttributeNormal);
        ASSERT_NE(file, platform::InvalidFile());
        std::atomic<std::uint64_t> transferred{0};
        std::uint64_t calls = 0;
        const bool ok = FetchSegment(
            connection, url, file, c.range, &transferred,
            [&calls](std::uint64_t, std::uint64_t reportedTotal) {
                ++calls;
                EXPECT_EQ(reportedTotal, 1000u);
            },
            1000, &testing::JobCancel, c.probed);
        platform::FileClose(file);
        CloseAll();

        EXPECT_EQ(ok, c.expect.ok);
        std::string expected = blank;
        expected.replace(c.expect.from, c.expect.to - c.expect.from, part(c.expect.from, c.expect.to));
        expected.resize(std::max<std::size_t>(1000, c.expect.to), 'z');
        EXPECT_EQ(testing::ReadFileBytes(path), expected);
        EXPECT_EQ(transferred.load(), c.expect.to - c.expect.from);
        const testing::HttpLog log = testing::RecordedHttp();
        EXPECT_EQ(testing::HandleOrderFaults(log), std::vector<std::string>{});
        ASSERT_EQ(log.requests.size(), 1u);
        EXPECT_EQ(log.requests[0].reads > 0, c.expect.readsBody);
        EXPECT_EQ(calls > 0, c.expect.to > c.expect.from);
    }
}

TEST_F(SegmentWorkerTest, FetchSegmentWithoutARequest) {
    testing::ScriptHttp([](const RecordedRequest&) { return MakeResponse(206, {}, {"a"}); });
    testing::SetOpenRequestFilter([](const std::wstring&) { return false; });
    Connect();
    EXPECT_FALSE(FetchSegment(connection, url, platform::InvalidFile(), {0, 0}, nullptr, nullptr, 1, nullptr, {}));
    CloseAll();
    const testing::HttpLog log = testing::RecordedHttp();
    EXPECT_TRUE(log.requests.empty());
    EXPECT_EQ(testing::HandleOrderFaults(log), std::vector<std::string>{});
}

struct Counters {
    std::atomic<std::int32_t> next{0};
    std::atomic<std::uint64_t> transferred{0};
    std::atomic<std::int32_t> failed{0};
    std::atomic<std::int32_t> completed{0};
};

WorkerContext MakeContext(platform::HttpHandle session, const UrlParts& url, const std::wstring& path,
                          const std::vector<ByteRange>& plan, Counters& counters, std::uint64_t total) {
    WorkerContext context;
    context.session = session;
    context.url = url;
    context.outputPath = path;
    context.segments = &plan;
    context.nextSegmentIndex = &counters.next;
    context.transferredBytes = &counters.transferred;
    context.progress = [](std::uint64_t, std::uint64_t) {};
    context.totalSize = total;
    context.cancel = &testing::JobCancel;
    context.failedSegments = &counters.failed;
    context.completedSegments = &counters.completed;
    return context;
}

TEST_F(SegmentWorkerTest, OneWorkerFetchesEverySegmentOverOneConnection) {
    auto served = std::make_shared<testing::ServedFile>();
    served->content = testing::TestBytes(10000, 3);
    served->pieceSize = 700;
    served->adjust = [](const RecordedRequest& request, ScriptedResponse& response) {
        std::uint64_t first = 0, last = 0;
        if (testing::RangeOf(request, first, last) && first == 4000) {
            response = MakeResponse(503, {});
        }
    };
    testing::ScriptHttp(testing::ServeFile(served));
    const std::wstring path = PathIn(L"out.bin");
    ASSERT_TRUE(testing::WriteFileBytes(path, std::string(10000, '\0')));
    const std::vector<ByteRange> plan = {{0, 1999}, {2000, 3999}, {4000, 5999}, {6000, 7999}, {8000, 9999}};
    Counters counters;
    session = platform::HttpOpen(L"worker test", 0, nullptr, nullptr, 0);

    RunSegmentWorker(MakeContext(session, UrlParts{L"h", L"/f", 81, false}, path, plan, counters, 10000));
    platform::HttpCloseHandle(session);

    EXPECT_EQ(counters.failed.load(), 1) << "the 503 segment fails, the worker goes on";
    EXPECT_EQ(counters.completed.load(), 4);
    EXPECT_EQ(counters.transferred.load(), 8000u);
    EXPECT_EQ(counters.next.load(), 6) << "one claim past the end";
    std::string expected = served->content;
    expected.replace(4000, 2000, std::string(2000, '\0'));
    EXPECT_EQ(testing::ReadFileBytes(path), expected);

    const testing::HttpLog log = testing::RecordedHttp();
    EXPECT_EQ(testing::HandleOrderFaults(log), std::vector<std::string>{});
    ASSERT_EQ(log.connections.size(), 1u);
    EXPECT_EQ(log.connections[0].port, 81);
    ASSERT_EQ(log.requests.size(), 5u);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        EXPECT_EQ(log.requests[i].connection, log.connections[0].id);
        std::uint64_t first = 0, last = 0;
        ASSERT_TRUE(testing::RangeOf(log.requests[i], first, last));
        EXPECT_EQ(first, plan[i].first) << "claimed in plan order";
        EXPECT_EQ(last, plan[i].last);
    }
    const testing::FileLog files = testing::RecordedFiles();
    ASSERT_EQ(files.opens.size(), 1u);
    EXPECT_EQ(files.opens[0].access, platform::GenericWrite);
    EXPECT_EQ(files.opens[0].shareMode, platform::FileShareRead | platform::FileShareWrite | platform::FileShareDelete);
    EXPECT_EQ(files.opens[0].disposition, platform::OpenExisting);
    EXPECT_EQ(files.opens[0].attributes, platform::FileAttributeNormal);
    EXPECT_EQ(files.openHandles, 0);
}

TEST_F(SegmentWorkerTest, WorkerThatCannotStartClaimsNothing) {
    struct Case {
        const char* name = "";
        bool fileMissing = false;
        bool connectFails = false;
        bool canceled = false;
        std::int32_t failed = 0;
        int connections = 0;
    };
    const std::vector<Case> cases = {
        {.name = "file cannot be opened", .fileMissing = true, .failed = 1},
        {.name = "connection cannot be made", .connectFails = true, .failed = 1},
        {.name = "canceled before the first claim", .canceled = true, .connections = 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScriptHttp([](const RecordedRequest&) { return MakeResponse(206, {}, {"abcd"}); });
        testing::SetFileFaults();
        if (c.connectFails) {
            testing::SetConnectFilter([](int) { return false; });
        }
        testing::JobCancel = c.canceled;
        const std::wstring path = PathIn(c.fileMissing ? L"missing.bin" : L"present.bin");
        if (!c.fileMissing) {
            ASSERT_TRUE(testing::WriteFileBytes(path, "0000"));
        }
        const std::vector<ByteRange> plan = {{0, 3}};
        Counters counters;
        session = platform::HttpOpen(L"worker test", 0, nullptr, nullptr, 0);
        RunSegmentWorker(MakeContext(session, url, path, plan, counters, 4));
        platform::HttpCloseHandle(session);
        testing::JobCancel = false;

        EXPECT_EQ(counters.failed.load(), c.failed);
        EXPECT_EQ(counters.next.load(), 0) << "nothing claimed";
        EXPECT_EQ(counters.completed.load(), 0);
        const testing::HttpLog log = testing::RecordedHttp();
        EXPECT_EQ(static_cast<int>(log.connections.size()), c.connections);
        EXPECT_EQ(log.connectAttempts, c.fileMissing ? 0 : 1) << "the file is opened before the connection";
        EXPECT_TRUE(log.requests.empty());
        EXPECT_EQ(testing::HandleOrderFaults(log), std::vector<std::string>{});
        EXPECT_EQ(testing::RecordedFiles().openHandles, 0);
        EXPECT_TRUE(testing::RecordedFiles().misuses.empty());
        if (!c.fileMissing) {
            EXPECT_EQ(testing::ReadFileBytes(path), "0000");
        }
    }
}

}  // namespace
}  // namespace pelbrook
