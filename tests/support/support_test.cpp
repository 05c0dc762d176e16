#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/scripted_http.h"
#include "support/test_bytes.h"
#include "support/test_files.h"
#include "platform/files.h"
#include "platform/http_client.h"

namespace pelbrook::testing {
namespace {

namespace pf = platform;

TEST(TestBytesTest, DeterministicAndSeedDependent) {
    EXPECT_EQ(TestBytes(1000, 7), TestBytes(1000, 7));
    EXPECT_NE(TestBytes(1000, 7), TestBytes(1000, 8));
    EXPECT_EQ(TestBytes(1000, 7).substr(0, 10), TestBytes(10, 7));
}

TEST(ScriptedHttpTest, OneExchangeIsAnsweredAndRecorded) {
    ScriptHttp([](const RecordedRequest& r) {
        return MakeResponse(r.verb == L"HEAD" ? 405 : 206, {L"Content-Length: 5"}, {"abc", "de"});
    });
    pf::HttpHandle session = pf::HttpOpen(L"agent", 0, nullptr, nullptr, 0);
    ASSERT_NE(session, nullptr);
    pf::HttpHandle connection = pf::HttpConnect(session, L"example.test", 8080, 0);
    ASSERT_NE(connection, nullptr);
    pf::HttpHandle request = pf::HttpOpenRequest(connection, L"GET", L"/f?x", nullptr, nullptr, nullptr, 0);
    ASSERT_NE(request, nullptr);
    EXPECT_NE(request, connection);
    ASSERT_TRUE(pf::HttpSendRequest(request, L"Range: bytes=0-4", 0xFFFFFFFFu, nullptr, 0, 0, 0));
    ASSERT_TRUE(pf::HttpReceiveResponse(request, nullptr));

    std::uint32_t status = 0, size = 4;
    ASSERT_TRUE(
        pf::HttpQueryHeaders(request, pf::QueryStatusCode | pf::QueryFlagNumber, nullptr, &status, &size, nullptr));
    EXPECT_EQ(status, 206u);

    size = 0;
    EXPECT_FALSE(pf::HttpQueryHeaders(request, pf::QueryRawHeadersCrlf, nullptr, nullptr, &size, nullptr));
    EXPECT_EQ(pf::HttpLastError(), pf::ErrorInsufficientBuffer);
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    ASSERT_TRUE(pf::HttpQueryHeaders(request, pf::QueryRawHeadersCrlf, nullptr, buffer.data(), &size, nullptr));
    EXPECT_EQ(std::wstring(buffer.data()), L"HTTP/1.1 206 Partial Content\r\nContent-Length: 5\r\n\r\n");

    // A read delivers at most one piece, and at most what was asked.
    std::string got;
    char chunk[2];
    std::uint32_t n = 0;
    std::vector<std::uint32_t> sizes;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(pf::HttpReadData(request, chunk, sizeof chunk, &n));
        if (n == 0) break;
        sizes.push_back(n);
        got.append(chunk, n);
    }
    EXPECT_EQ(got, "abcde");
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{2, 1, 2}));

    EXPECT_TRUE(pf::HttpCloseHandle(request));
    EXPECT_TRUE(pf::HttpCloseHandle(connection));
    EXPECT_TRUE(pf::HttpCloseHandle(session));
    EXPECT_FALSE(pf::HttpCloseHandle(request));

    HttpLog log = RecordedHttp();
    ASSERT_EQ(log.requests.size(), 1u);
    EXPECT_EQ(log.requests[0].headers, L"Range: bytes=0-4");
    EXPECT_FALSE(log.requests[0].headersNull);
    EXPECT_EQ(log.requests[0].path, L"/f?x");
    EXPECT_EQ(log.connections[0].host, L"example.test");
    EXPECT_EQ(log.connections[0].port, 8080);
    EXPECT_EQ(log.closes, (std::vector<std::string>{"request:2", "connection:1", "session"}));
    EXPECT_EQ(log.openHandles, 0);
    EXPECT_EQ(log.misuses, (std::vector<std::string>{"double close request:2"}));
}

TEST(ScriptedHttpTest, BrokenBodyFailsTheReadAndFiltersRefuse) {
    ScriptHttp([](const RecordedRequest&) {
        ScriptedResponse r = MakeResponse(200, {}, {"ab", "cd"});
        r.breakAtPiece = 1;
        return r;
    });
    SetConnectFilter([](int index) { return index != 0; });
    pf::HttpHandle session = pf::HttpOpen(L"a", 0, nullptr, nullptr, 0);
    EXPECT_EQ(pf::HttpConnect(session, L"h", 80, 0), nullptr);
    pf::HttpHandle connection = pf::HttpConnect(session, L"h", 80, 0);
    ASSERT_NE(connection, nullptr);
    pf::HttpHandle request = pf::HttpOpenRequest(connection, L"GET", L"/", nullptr, nullptr, nullptr, 0);
    ASSERT_TRUE(pf::HttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0));
    ASSERT_TRUE(pf::HttpReceiveResponse(request, nullptr));
    char buffer[16];
    std::uint32_t n = 0;
    EXPECT_TRUE(pf::HttpReadData(request, buffer, sizeof buffer, &n));
    EXPECT_EQ(n, 2u);
    EXPECT_FALSE(pf::HttpReadData(request, buffer, sizeof buffer, &n));
    EXPECT_EQ(n, 0u);
    pf::HttpCloseHandle(request);
    pf::HttpCloseHandle(connection);
    pf::HttpCloseHandle(session);
    HttpLog log = RecordedHttp();
    EXPECT_EQ(log.connectAttempts, 2);
    EXPECT_TRUE(log.requests[0].headersNull);
    EXPECT_TRUE(log.misuses.empty());
}

class TestFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = NewTestDirectory();
        ASSERT_FALSE(dir_.empty());
        SetFileFaults();
    }
    void TearDown() override {
        SetFileFaults();
        RemoveTestDirectory(dir_);
    }
    std::wstring dir_;
};

TEST_F(TestFilesTest, HandlesWriteAtTheirOwnOffsets) {
    const std::wstring path = dir_ + L"/f\u00e9\u4e2d.bin";
    pf::FileHandle sizer = pf::FileCreate(path.c_str(), pf::GenericWrite, pf::FileShareRead | pf::FileShareWrite,
                                          pf::CreateAlways, pf::FileAttributeNormal);
    ASSERT_NE(sizer, pf::InvalidFile());
    ASSERT_TRUE(pf::FileSetPointer(sizer, 10, pf::FileBegin));
    ASSERT_TRUE(pf::FileSetEnd(sizer));
    ASSERT_TRUE(pf::FileClose(sizer));

    pf::FileHandle a = pf::FileCreate(path.c_str(), pf::GenericWrite, 3, pf::OpenExisting, pf::FileAttributeNormal);
    pf::FileHandle b = pf::FileCreate(path.c_str(), pf::GenericWrite, 3, pf::OpenExisting, pf::FileAttributeNormal);
    ASSERT_NE(a, pf::InvalidFile());
    ASSERT_NE(b, pf::InvalidFile());
    std::uint32_t put = 0;
    ASSERT_TRUE(pf::FileSetPointer(b, 5, pf::FileBegin));
    ASSERT_TRUE(pf::FileWrite(b, "56789", 5, &put));
    ASSERT_TRUE(pf::FileWrite(a, "01234", 5, &put));
    EXPECT_EQ(put, 5u);
    pf::FileClose(a);
    pf::FileClose(b);
    EXPECT_EQ(ReadFileBytes(path), "0123456789");
    std::uint64_t size = 0;
    EXPECT_TRUE(pf::FileGetSize(path.c_str(), &size));
    EXPECT_EQ(size, 10u);
    EXPECT_TRUE(pf::FileDelete(path.c_str()));
    EXPECT_FALSE(pf::FileGetSize(path.c_str(), &size));
    EXPECT_EQ(pf::FileCreate(path.c_str(), pf::GenericWrite, 3, pf::OpenExisting, 0), pf::InvalidFile());
    FileLog log = RecordedFiles();
    EXPECT_EQ(log.openHandles, 0);
    EXPECT_TRUE(log.misuses.empty());
}

TEST_F(TestFilesTest, FaultPlanFailsWhatItNames) {
    const std::wstring path = dir_ + L"/g.bin";
    FileFaultPlan plan;
    plan.failOpen = FailOpenNumber(pf::OpenExisting, 1);
    plan.failWritesFrom = 6;
    plan.shortWriteAtLimit = true;
    SetFileFaults(plan);
    pf::FileHandle f = pf::FileCreate(path.c_str(), pf::GenericWrite, 1, pf::CreateAlways, 0);
    ASSERT_NE(f, pf::InvalidFile());
    std::uint32_t put = 0;
    EXPECT_TRUE(pf::FileWrite(f, "0123", 4, &put));
    EXPECT_TRUE(pf::FileWrite(f, "4567", 4, &put));
    EXPECT_EQ(put, 2u);  // short: stops before byte 6
    pf::FileClose(f);
    EXPECT_EQ(ReadFileBytes(path), "012345");

    pf::FileHandle first = pf::FileCreate(path.c_str(), pf::GenericWrite, 3, pf::OpenExisting, 0);
    EXPECT_NE(first, pf::InvalidFile());
    EXPECT_EQ(pf::FileCreate(path.c_str(), pf::GenericWrite, 3, pf::OpenExisting, 0), pf::InvalidFile());
    plan.shortWriteAtLimit = false;
    SetFileFaults(plan);
    EXPECT_TRUE(pf::FileSetPointer(first, 5, pf::FileBegin));
    EXPECT_FALSE(pf::FileWrite(first, "xy", 2, &put));
    EXPECT_EQ(put, 0u);
    pf::FileClose(first);
    EXPECT_EQ(ReadFileBytes(path), "012345");
    FileLog log = RecordedFiles();
    EXPECT_EQ(log.openHandles, 0);
}

}  // namespace
}  // namespace pelbrook::testing
