#include <gtest/gtest.h>

#include "engine/file_version.h"

namespace pelbrook {
namespace {

// Whether an answer's validators let its bytes join those of the probed version.
TEST(SameFileVersion, ETagFirstThenLastModified) {
    const FileVersion v1{L"\"v1\"", L"Tue, 01 Dec 2026 10:00:00 GMT"};
    const FileVersion lastModifiedOnly{L"", v1.lastModified};
    const struct {
        const char* name;
        FileVersion probed, answered;
        bool same;
    } cases[] = {
        {"the weak ETag", v1, {L"W/\"v1\"", L""}, false},
        {"ETag decides over Last-Modified", v1, {L"\"v1\"", L"Wed, 02 Dec 2026 10:00:00 GMT"}, true},
        {"another Last-Modified", lastModifiedOnly, {L"", L"Wed, 02 Dec 2026 10:00:00 GMT"}, false},
        {"without validators", v1, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SameFileVersion(c.probed, c.answered), c.same);
    }
}

}  // namespace
}  // namespace pelbrook
