#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/download_job.h"
#include "engine/server_probe.h"
#include "engine_test_support.h"
#include "transport/http_request.h"
#include "platform/http_client.h"

namespace pelbrook {
namespace {

using testing::MakeResponse;
using testing::RecordedRequest;
using testing::ScriptedResponse;

const std::wstring Base = BaseRequestHeaders;
const std::wstring RangedProbe = Base + L"Range: bytes=0-0";

struct ProbeCase {
    const char* name = "";
    std::function<ScriptedResponse(const RecordedRequest&)> head = {};  // the answer to the HEAD
    std::function<ScriptedResponse(const RecordedRequest&)> get = {};   // the answer to the ranged GET
    bool answered = false;
    std::uint64_t totalSize = 0;
    std::vector<std::wstring> verbs = {L"HEAD", L"GET"};  // requests expected, in order
    // A header line the kept block must hold ("" when unanswered).
    std::wstring headersFrom = {};
    FileVersion version = {};
    bool rangeServed = false;
};

std::function<ScriptedResponse(const RecordedRequest&)> Answer(std::uint32_t status, std::vector<std::wstring> lines) {
    return [status, lines](const RecordedRequest&) { return MakeResponse(status, lines, {"x"}); };
}

std::function<ScriptedResponse(const RecordedRequest&)> SendFails() {
    return [](const RecordedRequest&) {
        ScriptedResponse r;
        r.failSend = true;
        return r;
    };
}

class ProbeTest : public testing::EngineTest {};

TEST_F(ProbeTest, Paths) {
    const std::vector<ProbeCase> cases = {
        {.name = "HEAD 200 with length",
         .head = Answer(200, {L"Content-Length: 1048576", L"Accept-Ranges: bytes", L"X-From: head", L"ETag: W/\"1-2\"",
                              L"Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT"}),
         .answered = true,
         .totalSize = 1048576,
         .verbs = {L"HEAD"},
         .headersFrom = L"X-From: head",
         .version = {L"W/\"1-2\"", L"Tue, 01 Dec 2026 10:00:00 GMT"}},
        {.name = "HEAD 200 without length",
         .head = Answer(200, {L"Accept-Ranges: bytes", L"X-From: head"}),
         .answered = true,
         .verbs = {L"HEAD"},
         .headersFrom = L"X-From: head"},
        {.name = "HEAD 204 tells no size",
         .head = Answer(204, {L"Content-Length: 1048576", L"X-From: head"}),
         .get = Answer(206, {L"Content-Range: bytes 0-0/5000000", L"X-From: get"}),
         .answered = true,
         .totalSize = 5000000,
         .headersFrom = L"X-From: get",
         .rangeServed = true},
        {.name = "HEAD 405, GET 206",
         .head = Answer(405, {L"Allow: GET"}),
         .get =
             Answer(206, {L"Content-Range: bytes 0-0/5000000", L"Content-Length: 1", L"X-From: get", L"ETag: \"g\""}),
         .answered = true,
         .totalSize = 5000000,
         .headersFrom = L"X-From: get",
         .version = {L"\"g\"", L""},
         .rangeServed = true},
        {.name = "GET 206 of unknown total",
         .head = Answer(404, {}),
         .get = Answer(206, {L"Content-Range: bytes 0-0/*", L"Content-Length: 1", L"X-From: get"}),
         .answered = true,
         .headersFrom = L"X-From: get"},
        {.name = "GET 206 without Content-Range",
         .head = Answer(403, {}),
         .get = Answer(206, {L"Content-Length: 1", L"X-From: get"}),
         .answered = true,
         .headersFrom = L"X-From: get"},
        {.name = "GET 206 with lower-case names",
         .head = Answer(401, {}),
         .get = Answer(206, {L"content-range: bytes 0-0/777", L"content-length: 1", L"X-From: get"}),
         .answered = true,
         .totalSize = 777,
         .headersFrom = L"X-From: get",
         .rangeServed = true},
        {.name = "GET 200 ignores the range",
         .head = Answer(405, {}),
         .get = Answer(200, {L"Content-Length: 5000", L"Accept-Ranges: bytes", L"X-From: get"}),
         .answered = true,
         .totalSize = 5000,
         .headersFrom = L"X-From: get"},
        {.name = "GET 200 with Content-Range is read by length",
         .head = Answer(405, {}),
         .get = Answer(200, {L"Content-Length: 5000", L"Content-Range: bytes 0-0/9999", L"X-From: get"}),
         .answered = true,
         .totalSize = 5000,
         .headersFrom = L"X-From: get"},
        {.name = "GET 416", .head = Answer(405, {}), .get = Answer(416, {L"Content-Range: bytes */0"})},
        {.name = "HEAD send fails",
         .head = SendFails(),
         .get = Answer(206, {L"Content-Range: bytes 0-0/4096", L"X-From: get"}),
         .answered = true,
         .totalSize = 4096,
         .headersFrom = L"X-From: get",
         .rangeServed = true},
        {.name = "both fail", .head = SendFails(), .get = SendFails()},
        {.name = "GET 302 is no answer", .head = Answer(405, {}), .get = Answer(302, {L"Location: /elsewhere"})},
    };
    for (const ProbeCase& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScriptHttp([&c](const RecordedRequest& request) {
            return request.verb == L"HEAD" ? c.head(request) : c.get(request);
        });
        platform::HttpHandle session = platform::HttpOpen(L"probe test", 0, nullptr, nullptr, 0);
        ASSERT_NE(session, nullptr);
        UrlParts url{L"files.example", L"/big.bin?v=2", 8080, false};

        const ProbeResult probe = ProbeServer(session, url);
        platform::HttpCloseHandle(session);

        EXPECT_EQ(probe.answered, c.answered);
        EXPECT_EQ(probe.totalSize, c.totalSize);
        EXPECT_EQ(probe.version.etag, c.version.etag);
        EXPECT_EQ(probe.version.lastModified, c.version.lastModified);
        EXPECT_EQ(probe.rangeServed, c.rangeServed);
        if (c.headersFrom.empty()) {
            EXPECT_TRUE(probe.rawHeaders.empty());
        } else {
            EXPECT_NE(probe.rawHeaders.find(c.headersFrom + L"\r\n"), std::wstring::npos);
        }

        const testing::HttpLog log = testing::RecordedHttp();
        EXPECT_EQ(testing::HandleOrderFaults(log), std::vector<std::string>{});
        ASSERT_EQ(log.requests.size(), c.verbs.size());
        ASSERT_EQ(log.connections.size(), c.verbs.size()) << "each attempt on a connection of its own";
        for (std::size_t i = 0; i < log.requests.size(); ++i) {
            const RecordedRequest& r = log.requests[i];
            EXPECT_EQ(r.verb, c.verbs[i]);
            EXPECT_EQ(r.path, L"/big.bin?v=2");
            EXPECT_EQ(r.openFlags, 0u);
            EXPECT_TRUE(r.versionNull && r.referrerNull && r.acceptTypesNull);
            EXPECT_FALSE(r.headersNull);
            EXPECT_EQ(r.headersLength, 0xFFFFFFFFu);
            EXPECT_EQ(r.headers, r.verb == L"HEAD" ? Base : RangedProbe);
            EXPECT_EQ(r.reads, 0) << "the probe never reads a body";
            EXPECT_EQ(r.connection, log.connections[i].id);
            EXPECT_EQ(log.connections[i].host, L"files.example");
            EXPECT_EQ(log.connections[i].port, 8080);
        }
    }
}

TEST_F(ProbeTest, SecureUrlsOpenSecureRequests) {
    testing::ScriptHttp([](const RecordedRequest& request) {
        return request.verb == L"HEAD" ? MakeResponse(405, {})
                                       : MakeResponse(206, {L"Content-Range: bytes 0-0/10"}, {"a"});
    });
    platform::HttpHandle session = platform::HttpOpen(L"probe test", 0, nullptr, nullptr, 0);
    const ProbeResult probe = ProbeServer(session, UrlParts{L"secure.example", L"/f", 443, true});
    platform::HttpCloseHandle(session);
    EXPECT_EQ(probe.totalSize, 10u);
    const testing::HttpLog log = testing::RecordedHttp();
    ASSERT_EQ(log.requests.size(), 2u);
    for (const RecordedRequest& r : log.requests) {
        EXPECT_EQ(r.openFlags, platform::FlagSecure);
    }
    EXPECT_EQ(log.connections[0].port, 443);
}

// A failure to connect or to open the request moves on to the next attempt
// and leaves no handle behind.
TEST_F(ProbeTest, OpeningFailures) {
    struct Case {
        const char* name;
        std::function<bool(int)> connect;
        std::function<bool(const std::wstring&)> open;
        bool answered;
        std::size_t requests;
    };
    const std::vector<Case> cases = {
        {"HEAD connect fails", [](int i) { return i != 0; }, nullptr, true, 1},
        {"HEAD request fails", nullptr, [](const std::wstring& verb) { return verb != L"HEAD"; }, true, 1},
        {"no connection at all", [](int) { return false; }, nullptr, false, 0},
        {"GET request fails too", nullptr, [](const std::wstring&) { return false; }, false, 0},
        {"HEAD fails, GET connect fails", [](int i) { return i == 0; },
         [](const std::wstring& verb) { return verb != L"HEAD"; }, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ScriptHttp([](const RecordedRequest& request) {
            return request.verb == L"HEAD" ? MakeResponse(200, {L"Content-Length: 5"})
                                           : MakeResponse(206, {L"Content-Range: bytes 0-0/6"}, {"a"});
        });
        if (c.connect) {
            testing::SetConnectFilter(c.connect);
        }
        if (c.open) {
            testing::SetOpenRequestFilter(c.open);
        }
        platform::HttpHandle session = platform::HttpOpen(L"probe test", 0, nullptr, nullptr, 0);
        const ProbeResult probe = ProbeServer(session, UrlParts{L"h", L"/p", 80, false});
        platform::HttpCloseHandle(session);
        EXPECT_EQ(probe.answered, c.answered);
        if (c.answered) {
            EXPECT_EQ(probe.totalSize, 6u) << "answered by the ranged GET";
        }
        const testing::HttpLog log = testing::RecordedHttp();
        EXPECT_EQ(log.requests.size(), c.requests);
        EXPECT_EQ(testing::HandleOrderFaults(log), std::vector<std::string>{});
    }
}

const std::wstring AcceleratedLine8x32 = L"Mode: Accelerated - 8 workers, 32 segments, keep-alive reuse (HTTP Range).";
const std::wstring OneConnectionLine = ModeLineOneConnection;
const std::wstring NoRangeLine = ModeLineNoRanges;
const std::wstring UnknownLine = ModeLineSizeUnknown;

TEST(BuildModeLine, ChoosesTheFirstRowThatApplies) {
    struct Case {
        bool accelerated;
        std::int32_t workers;
        bool ranges;
        std::uint32_t segments;
        std::wstring line;
    };
    const std::vector<Case> cases = {
        {true, 8, true, 32, AcceleratedLine8x32},
        {true, 8, true, 1, L"Mode: Accelerated - 8 workers, 1 segments, keep-alive reuse (HTTP Range)."},
        {true, 32, true, 64, L"Mode: Accelerated - 32 workers, 64 segments, keep-alive reuse (HTTP Range)."},
        {true, -3, false, 0, L"Mode: Accelerated - -3 workers, 0 segments, keep-alive reuse (HTTP Range)."},
        {true, 1, false, 4, L"Mode: Accelerated - 1 workers, 4 segments, keep-alive reuse (HTTP Range)."},
        {false, 1, true, 0, OneConnectionLine},
        {false, 0, false, 0, OneConnectionLine},
        {false, 4, false, 0, NoRangeLine},
        {false, 32, false, 7, NoRangeLine},
        {false, 4, true, 0, UnknownLine},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BuildModeLine(c.accelerated, c.workers, c.ranges, c.segments), c.line)
            << c.accelerated << " " << c.workers << " " << c.ranges << " " << c.segments;
    }
}

ProbeResult Answered(std::uint64_t total, const std::vector<std::wstring>& headerLines) {
    ProbeResult probe;
    probe.answered = true;
    probe.totalSize = total;
    probe.rawHeaders = L"HTTP/1.1 200 OK\r\n";
    for (const std::wstring& line : headerLines) {
        probe.rawHeaders += line + L"\r\n";
    }
    probe.rawHeaders += L"\r\n";
    return probe;
}

ProbeResult AnsweredByARange(std::uint64_t total) {
    ProbeResult probe = Answered(total, {L"Content-Range: bytes 0-0/" + std::to_wstring(total)});
    probe.rangeServed = true;
    return probe;
}

TEST(DecideMode, Table) {
    struct Case {
        const char* name;
        ProbeResult probe;
        std::int32_t connections;
        bool accelerated;
        std::int32_t workers;
        bool ranges;
        std::size_t segments;
        std::wstring line;
    };
    const std::vector<Case> cases = {
        {"ranges, 8 connections", Answered(104857600, {L"Accept-Ranges: bytes"}), 8, true, 8, true, 32,
         AcceleratedLine8x32},
        {"one segment", Answered(1048576, {L"Accept-Ranges: bytes"}), 8, true, 8, true, 1,
         L"Mode: Accelerated - 8 workers, 1 segments, keep-alive reuse (HTTP Range)."},
        {"capitals", Answered(104857600, {L"Accept-Ranges: BYTES"}), 8, true, 8, true, 32, AcceleratedLine8x32},
        {"lower-case name", Answered(104857600, {L"accept-ranges: bytes"}), 8, true, 8, true, 32, AcceleratedLine8x32},
        {"padded value", Answered(104857600, {L"Accept-Ranges: \t bytes \t"}), 8, true, 8, true, 32,
         AcceleratedLine8x32},
        {"none", Answered(104857600, {L"Accept-Ranges: none"}), 8, false, 8, false, 0, NoRangeLine},
        {"bytes and more", Answered(104857600, {L"Accept-Ranges: bytes, pages"}), 8, false, 8, false, 0, NoRangeLine},
        {"missing header", Answered(104857600, {L"Content-Length: 104857600"}), 8, false, 8, false, 0, NoRangeLine},
        {"longer name only", Answered(104857600, {L"X-Accept-Ranges: bytes"}), 8, false, 8, false, 0, NoRangeLine},
        {"one connection", Answered(104857600, {L"Accept-Ranges: bytes"}), 1, false, 1, true, 0, OneConnectionLine},
        {"forty connections", Answered(1073741824, {L"Accept-Ranges: bytes"}), 40, true, MaxConnections, true, 64,
         L"Mode: Accelerated - 32 workers, 64 segments, keep-alive reuse (HTTP Range)."},
        {"size unknown", Answered(0, {L"Accept-Ranges: bytes"}), 8, false, 8, true, 0, UnknownLine},
        {"a 206 to the probe without Accept-Ranges", AnsweredByARange(5000000), 8, true, 8, true, 3,
         L"Mode: Accelerated - 8 workers, 3 segments, keep-alive reuse (HTTP Range)."},
        {"sixteen workers, two segments", Answered(3145728, {L"Accept-Ranges: bytes"}), 16, true, 16, true, 2,
         L"Mode: Accelerated - 16 workers, 2 segments, keep-alive reuse (HTTP Range)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ModeDecision mode = DecideMode(c.probe, c.connections);
        EXPECT_EQ(mode.accelerated, c.accelerated);
        EXPECT_EQ(mode.workerCount, c.workers);
        EXPECT_EQ(mode.rangesAccepted, c.ranges);
        EXPECT_EQ(mode.plan.size(), c.segments);
        EXPECT_EQ(BuildModeLine(mode.accelerated, mode.workerCount, mode.rangesAccepted,
                                static_cast<std::uint32_t>(mode.plan.size())),
                  c.line);
    }
}

}  // namespace
}  // namespace pelbrook
