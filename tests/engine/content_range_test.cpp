#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "engine/content_range.h"

namespace pelbrook {
namespace {

TEST(ContentRange, TotalAsTheProbeReadsIt) {
    const std::vector<std::pair<std::wstring, std::uint64_t>> cases = {
        {L"bytes 0-0/5000000", 5000000},
        {L"bytes 0-0/*", 0},
        {L"bytes 0-0/", 0},
        {L"bytes 0-0", 0},
        {L"", 0},
        {L"bytes 0-0/12abc", 12},
        {L"bytes 0-0/18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
        {L"bytes 0-0/18446744073709551616", 0},
        {L"bytes 0-0/ 5", 0},
        {L"bytes */77", 77},
    };
    for (const auto& [value, total] : cases) {
        EXPECT_EQ(ContentRangeTotal(value), total) << value;
    }
}

TEST(ContentRange, StrictParsing) {
    struct Case {
        std::wstring value;
        bool ok;
        std::uint64_t first, last;
        bool totalKnown;
        std::uint64_t total;
    };
    const std::vector<Case> cases = {
        {L"bytes 100-199/1000", true, 100, 199, true, 1000},
        {L"BYTES 0-0/1", true, 0, 0, true, 1},
        {L"bytes  5-9/*", true, 5, 9, false, 0},
        {L"bytes 0-18446744073709551614/18446744073709551615", true, 0, 18446744073709551614u, true,
         18446744073709551615u},
        {L"bytes */1000", false, 0, 0, false, 0},
        {L"bytes 9-5/1000", false, 0, 0, false, 0},
        {L"bytes 0-999/1000x", false, 0, 0, false, 0},
        {L"bytes 0-1000/1000", false, 0, 0, false, 0},
        {L"bytes 0-99", false, 0, 0, false, 0},
        {L"bytes=0-99/100", false, 0, 0, false, 0},
        {L"items 0-99/100", false, 0, 0, false, 0},
        {L"bytes -5-9/100", false, 0, 0, false, 0},
        {L"bytes 0-18446744073709551616/*", false, 0, 0, false, 0},
        {L"bytes", false, 0, 0, false, 0},
        {L"", false, 0, 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ContentRange range;
        range.first = 4242;
        ASSERT_EQ(ParseContentRange(c.value, range), c.ok);
        if (c.ok) {
            EXPECT_EQ(range.first, c.first);
            EXPECT_EQ(range.last, c.last);
            EXPECT_EQ(range.totalKnown, c.totalKnown);
            EXPECT_EQ(range.total, c.total);
        } else {
            EXPECT_EQ(range.first, 4242u) << "a failed parse leaves the record alone";
        }
    }
}

}  // namespace
}  // namespace pelbrook
