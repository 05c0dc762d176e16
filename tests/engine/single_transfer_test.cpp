#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/single_transfer.h"
#include "engine_test_support.h"
#include "support/test_bytes.h"

namespace pelbrook {
namespace {

using testing::MakeResponse;
using testing::ScriptedResponse;

// One GET answered by `response` into a fresh file; the totals progress reported.
class SingleTransferTest : public testing::EngineTest {
protected:
    bool Transfer(const ScriptedResponse& response, std::uint64_t expectedTotal) {
        testing::ScriptHttp([response](const testing::RecordedRequest&) { return response; });
        platform::HttpHandle session = platform::HttpOpen(L"single test", 0, nullptr, nullptr, 0);
        const bool whole = DownloadSingleConnection(
            session, UrlParts{L"h", L"/f", 80, false}, Output(),
            [this](std::uint64_t, std::uint64_t total) { totals.push_back(total); }, &testing::JobCancel,
            expectedTotal);
        platform::HttpCloseHandle(session);
        log = testing::RecordedHttp();
        return whole;
    }
    std::wstring Output() const { return PathIn(L"out.bin"); }

    std::vector<std::uint64_t> totals;
    testing::HttpLog log;
};

// The file is whole at the probed size and no other, whatever the answer's
// length says: absent, the same, another, none that reads as a number.
TEST_F(SingleTransferTest, WholeOnlyAtTheProbedSize) {
    struct Case {
        const char* name;
        std::size_t bodyBytes;
        std::vector<std::wstring> headers;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"no length, whole body", 300000, {}, true},
        {"no length, cut short", 250000, {}, false},
        {"no length, longer than probed", 300001, {}, false},
        {"the probed length", 300000, {L"Content-Length: 300000"}, true},
        {"length 0, no body", 0, {L"Content-Length: 0"}, false},
        {"another length", 300001, {L"Content-Length: 300001"}, false},
        {"a length that is no number", 250000, {L"Content-Length: abc"}, false},
        {"digits and more", 300000, {L"Content-Length: 300000abc"}, false},
    };
    const std::string content = testing::TestBytes(300001, 33);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        totals.clear();
        const std::string body = content.substr(0, c.bodyBytes);
        std::vector<std::wstring> headers = c.headers;
        headers.push_back(L"Accept-Ranges: bytes");
        EXPECT_EQ(Transfer(MakeResponse(200, headers, testing::Pieces(body, 65536)), 300000), c.ok);
        if (c.ok) {
            EXPECT_TRUE(testing::ReadFileBytes(Output()) == body);
        }
        for (const std::uint64_t total : totals) {
            EXPECT_EQ(total, 300000u) << "the probed size is the total";
        }
    }
}

// What arrived before the cancel stays in the file, for the job to delete.
TEST_F(SingleTransferTest, CancelStopsAtTheNextRead) {
    const std::string content = testing::TestBytes(2 * 1048576, 32);
    ScriptedResponse response =
        MakeResponse(200, {L"Content-Length: " + std::to_wstring(content.size())}, testing::Pieces(content, 100000));
    response.beforeRead = [](std::size_t piece) {
        if (piece == 2) testing::JobCancel = true;
    };
    EXPECT_FALSE(Transfer(response, content.size()));
    EXPECT_EQ(testing::ReadFileBytes(Output()), content.substr(0, 300000));
    EXPECT_EQ(log.requests.back().reads, 3);
    EXPECT_EQ(testing::HandleOrderFaults(log), std::vector<std::string>{});
}

}  // namespace
}  // namespace pelbrook
