#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/scripted_http.h"
#include "transport/handle_owner.h"
#include "transport/http_request.h"

namespace pelbrook {
namespace {

using testing::RecordedHttp;
using testing::ScriptHttp;

// The product only ever moves into an empty owner; a move onto an owned handle closes that one at once.
TEST(HandleOwnerTest, EveryHandleClosedOnceThroughMoves) {
    ScriptHttp(nullptr);
    {
        const HttpHandleOwner session(platform::HttpOpen(L"t", 0, nullptr, nullptr, 0));
        HttpHandleOwner first(OpenConnection(session.get(), UrlParts{}));
        HttpHandleOwner moved(std::move(first));
        first = HttpHandleOwner(OpenConnection(session.get(), UrlParts{}));
        moved = std::move(first);
        EXPECT_EQ(RecordedHttp().closes, std::vector<std::string>{"connection:1"});
    }
    EXPECT_EQ(RecordedHttp().closes, (std::vector<std::string>{"connection:1", "connection:2", "session"}));
    EXPECT_TRUE(RecordedHttp().misuses.empty());
}

}  // namespace
}  // namespace pelbrook
