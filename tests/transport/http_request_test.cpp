#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/scripted_http.h"
#include "transport/http_request.h"

namespace pelbrook {
namespace {

using testing::MakeResponse;
using testing::RecordedHttp;
using testing::ScriptedResponse;
using testing::ScriptHttp;

constexpr std::uint64_t Max64 = std::numeric_limits<std::uint64_t>::max();

TEST(TrimWhitespaceTest, TrimsExactlySpaceTabCrLf) {
    const struct {
        std::wstring in, out;
    } cases[] = {
        {L"", L""},           {L" \t\r\n \r\n", L""}, {L"  42  ", L"42"}, {L"\t\r\n x y \r\n", L"x y"},
        {L"\f5\f", L"\f5\f"}, {L"\v7", L"\v7"},       {L"a", L"a"},
    };
    for (const auto& c : cases) EXPECT_EQ(TrimWhitespace(c.in), c.out);
}

TEST(GetHeaderValueTest, FindsWholeNamesIgnoringAsciiCase) {
    const std::wstring status = L"HTTP/1.1 200 OK\r\n";
    const struct {
        std::wstring block, name, value;
    } cases[] = {
        {status + L"Content-Length: 5\r\n\r\n", L"Content-Length", L"5"},
        {status + L"content-length: 5\r\n\r\n", L"Content-Length", L"5"},
        {status + L"CONTENT-LENGTH:5\r\n\r\n", L"content-length", L"5"},
        // A longer name that ends in the asked one is another header.
        {status + L"X-Content-Length: 7\r\nContent-Length: 9\r\n\r\n", L"Content-Length", L"9"},
        {status + L"X-Content-Length: 7\r\n\r\n", L"Content-Length", L""},
        {status + L"Content-Length-X: 7\r\n\r\n", L"Content-Length", L""},
        {status + L"Content-Length : 7\r\n\r\n", L"Content-Length", L""},
        // The status line is no header, whatever it holds.
        {L"HTTP/1.1 200 Content-Length: 3\r\nContent-Length: 4\r\n\r\n", L"Content-Length", L"4"},
        {L"Content-Length: 3\r\n\r\n", L"Content-Length", L""},
        // The first of several wins.
        {status + L"Accept-Ranges: none\r\nAccept-Ranges: bytes\r\n\r\n", L"Accept-Ranges", L"none"},
        // The value is trimmed, colons inside it stay, the last line may lack CR LF.
        {status + L"Content-Length:   42 \t\r\n\r\n", L"Content-Length", L"42"},
        {status + L"Location: http://h:81/x\r\n\r\n", L"Location", L"http://h:81/x"},
        {status + L"Content-Range: bytes 0-0/5000000", L"Content-Range", L"bytes 0-0/5000000"},
        {status + L"A: 1\r\nContent-Length:  12 ", L"Content-Length", L"12"},
        {status + L"Content-Length:\r\n\r\n", L"Content-Length", L""},
        {status + L"Accept-Ranges: \fbytes\r\n", L"Accept-Ranges", L"\fbytes"},
        {L"", L"Content-Length", L""},
        {status, L"Content-Length", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.block.begin(), c.block.end()));
        EXPECT_EQ(GetHeaderValue(c.block, c.name), c.value);
    }
}

TEST(ParseUnsigned64Test, FollowsTheRuntimeConversion) {
    const struct {
        std::wstring text;
        std::uint64_t value;
    } cases[] = {
        {L"42", 42},
        {L" \t\r\n\v\f42 ", 42},
        {L"+42", 42},
        {L"-1", Max64},
        {L"-2", Max64 - 1},
        {L"-0", 0},
        {L"12abc", 12},
        {L"abc", 0},
        {L"", 0},
        {L"0x10", 0},
        {L"+-1", 0},
        {L"- 1", 0},
        {L"1 2", 1},
        {L"18446744073709551615", Max64},
        {L"18446744073709551616", Max64},
        {L"99999999999999999999999", Max64},
        {L"-18446744073709551616", Max64},
        {L"000000000000000000000000000042", 42},
        {L"\u00a042", 42},
        {L"\u300042", 42},
        {L"\u2000\u200a42", 42},
        {L"\uff14\uff12", 42},
        {L"4\u0662", 42},
        {L"\u0085"
         L"5",
         0},
        {L"\u200b"
         L"5",
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        EXPECT_EQ(ParseUnsigned64(c.text), c.value);
    }
}

TEST(RequestTextTest, BaseHeadersAreExact) {
    EXPECT_EQ(std::wstring(BaseRequestHeaders), L"Accept: */*\r\nConnection: keep-alive\r\n");
}

// Runs one exchange through the stand-in and hands back what it recorded.
struct Exchange {
    bool ok = false;
    ResponseInfo info;
    testing::HttpLog log;
};

Exchange RunExchange(ScriptedResponse response, const wchar_t* headers = nullptr, bool secure = false) {
    ScriptHttp([response](const testing::RecordedRequest&) { return response; });
    Exchange e;
    platform::HttpHandle session = platform::HttpOpen(L"t", 0, nullptr, nullptr, 0);
    UrlParts url;
    url.host = L"files.example";
    url.path = L"/dir/a.bin?x=1";
    url.port = 8080;
    url.secure = secure;
    platform::HttpHandle connection = OpenConnection(session, url);
    platform::HttpHandle request = OpenRequest(connection, L"GET", url);
    if (request != nullptr) e.ok = SendAndReceive(request, e.info, headers);
    platform::HttpCloseHandle(request);
    platform::HttpCloseHandle(connection);
    platform::HttpCloseHandle(session);
    e.log = RecordedHttp();
    return e;
}

TEST(RequestPrimitivesTest, OpensConnectionAndRequestTheOneFixedWay) {
    for (bool secure : {false, true}) {
        Exchange e = RunExchange(MakeResponse(200, {}), nullptr, secure);
        ASSERT_EQ(e.log.connections.size(), 1u);
        EXPECT_EQ(e.log.connections[0].host, L"files.example");
        EXPECT_EQ(e.log.connections[0].port, 8080);
        ASSERT_EQ(e.log.requests.size(), 1u);
        const testing::RecordedRequest& r = e.log.requests[0];
        EXPECT_EQ(r.verb, L"GET");
        EXPECT_EQ(r.path, L"/dir/a.bin?x=1");
        EXPECT_TRUE(r.versionNull);
        EXPECT_TRUE(r.referrerNull);
        EXPECT_TRUE(r.acceptTypesNull);
        EXPECT_EQ(r.openFlags, secure ? platform::FlagSecure : 0u);
        EXPECT_TRUE(e.log.misuses.empty());
    }
}

TEST(RequestPrimitivesTest, RefusedConnectOrRequestGivesNull) {
    ScriptHttp([](const testing::RecordedRequest&) { return MakeResponse(200, {}); });
    testing::SetConnectFilter([](int) { return false; });
    testing::SetOpenRequestFilter([](const std::wstring&) { return false; });
    platform::HttpHandle session = platform::HttpOpen(L"t", 0, nullptr, nullptr, 0);
    UrlParts url;
    url.host = L"h";
    EXPECT_EQ(OpenConnection(session, url), nullptr);
    testing::SetConnectFilter(nullptr);
    platform::HttpHandle connection = OpenConnection(session, url);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(OpenRequest(connection, L"HEAD", url), nullptr);
    platform::HttpCloseHandle(connection);
    platform::HttpCloseHandle(session);
    EXPECT_EQ(RecordedHttp().openHandles, 0);
}

TEST(RequestPrimitivesTest, SendsExactlyTheGivenHeaderText) {
    Exchange none = RunExchange(MakeResponse(200, {}));
    ASSERT_TRUE(none.ok);
    const testing::RecordedRequest& a = none.log.requests[0];
    EXPECT_TRUE(a.headersNull);
    EXPECT_EQ(a.headersLength, 0u);

    const std::wstring ranged = std::wstring(BaseRequestHeaders) + L"Range: bytes=0-0";
    Exchange some = RunExchange(MakeResponse(206, {}), ranged.c_str());
    ASSERT_TRUE(some.ok);
    const testing::RecordedRequest& b = some.log.requests[0];
    EXPECT_FALSE(b.headersNull);
    EXPECT_EQ(b.headersLength, 0xFFFFFFFFu);
    EXPECT_EQ(b.headers, ranged);
    for (const testing::RecordedRequest* r : {&a, &b}) {
        EXPECT_TRUE(r->optionalNull);
        EXPECT_EQ(r->optionalLength, 0u);
        EXPECT_EQ(r->totalLength, 0u);
        EXPECT_EQ(r->context, 0u);
        EXPECT_TRUE(r->receiveReservedNull);
    }
}

TEST(RequestPrimitivesTest, QueriesStatusThenHeaderSizeThenHeaders) {
    Exchange e = RunExchange(MakeResponse(404, {L"Content-Length: 12"}));
    ASSERT_TRUE(e.ok);  // any status is a successful exchange
    EXPECT_EQ(e.info.statusCode, 404u);
    EXPECT_EQ(e.info.rawHeaders, L"HTTP/1.1 404 Not Found\r\nContent-Length: 12\r\n\r\n");
    EXPECT_EQ(e.info.contentLength, 12u);
    const std::vector<testing::RecordedQuery>& q = e.log.requests[0].queries;
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0].infoLevel, 0x20000013u);
    EXPECT_FALSE(q[0].bufferNull);
    EXPECT_EQ(q[0].lengthIn, 4u);
    EXPECT_EQ(q[1].infoLevel, 22u);
    EXPECT_TRUE(q[1].bufferNull);
    EXPECT_EQ(q[1].lengthIn, 0u);
    EXPECT_EQ(q[2].infoLevel, 22u);
    EXPECT_FALSE(q[2].bufferNull);
    EXPECT_EQ(q[2].lengthIn, (e.info.rawHeaders.size() + 1) * sizeof(wchar_t));
    for (const testing::RecordedQuery& query : q) {
        EXPECT_TRUE(query.nameNull);
        EXPECT_TRUE(query.indexNull);
    }
}

TEST(RequestPrimitivesTest, ContentLengthFromTheHeaderBlock) {
    const struct {
        std::vector<std::wstring> headers;
        std::uint64_t length;
    } cases[] = {
        {{L"Content-Length: 5"}, 5},
        {{L"content-length: 5"}, 5},
        {{L"X-Content-Length: 7", L"Content-Length: 9"}, 9},
        {{L"Content-Length:   42  "}, 42},
        {{L"Content-Length: 12abc"}, 12},
        {{L"Content-Length: abc"}, 0},
        {{L"Content-Length:"}, 0},
        {{}, 0},
        {{L"Content-Length: 5368709120"}, 5368709120ull},
    };
    for (const auto& c : cases) {
        Exchange e = RunExchange(MakeResponse(200, c.headers));
        ASSERT_TRUE(e.ok);
        EXPECT_EQ(e.info.contentLength, c.length);
    }
}

TEST(RequestPrimitivesTest, EachFailingStepFailsTheExchange) {
    const struct {
        const char* name;
        bool ScriptedResponse::*flag;
        std::uint32_t statusAfter;
        std::size_t queries;
    } cases[] = {
        {"send", &ScriptedResponse::failSend, 0, 0},
        {"receive", &ScriptedResponse::failReceive, 0, 0},
        {"status", &ScriptedResponse::failStatusQuery, 0, 1},
        {"header size", &ScriptedResponse::failHeaderQuery, 206, 2},
        {"header fetch", &ScriptedResponse::failHeaderFetch, 206, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedResponse response = MakeResponse(206, {L"Content-Length: 3"});
        response.*c.flag = true;
        Exchange e = RunExchange(response);
        EXPECT_FALSE(e.ok);
        EXPECT_EQ(e.info.statusCode, c.statusAfter);
        EXPECT_TRUE(e.info.rawHeaders.empty());
        EXPECT_EQ(e.info.contentLength, 0u);
        EXPECT_EQ(e.log.requests[0].queries.size(), c.queries);
        EXPECT_EQ(e.log.openHandles, 0);
    }
}

}  // namespace
}  // namespace pelbrook
