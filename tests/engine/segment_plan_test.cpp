#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "engine/segment_plan.h"

namespace pelbrook {
namespace {

constexpr std::uint64_t MiB = 1048576;
constexpr std::uint64_t Max64 = std::numeric_limits<std::uint64_t>::max();

// Every plan must cover [0, total-1] exactly, in order, with no empty segment,
// and keep within the segment caps.
void ExpectTiles(const std::vector<ByteRange>& plan, std::uint64_t total, std::int32_t workers) {
    SCOPED_TRACE(::testing::Message() << "total " << total << ", workers " << workers);
    ASSERT_FALSE(plan.empty());
    const std::uint64_t cap = std::min<std::uint64_t>(4 * static_cast<std::uint64_t>(workers), 64);
    EXPECT_LE(plan.size(), cap);
    EXPECT_EQ(plan.front().first, 0u);
    EXPECT_EQ(plan.back().last, total - 1);
    const std::uint64_t shortest = total / plan.size();
    for (std::size_t i = 0; i < plan.size(); ++i) {
        ASSERT_LE(plan[i].first, plan[i].last) << "segment " << i;
        const std::uint64_t length = plan[i].last - plan[i].first + 1;
        EXPECT_TRUE(length == shortest || length == shortest + 1) << "segment " << i << " length " << length;
        if (i > 0) {
            ASSERT_EQ(plan[i].first, plan[i - 1].last + 1) << "gap or overlap before segment " << i;
        }
    }
    // Up to the cap, segments are 2 MiB at most; the count is the rounded-up quotient.
    const std::uint64_t wanted = total / (2 * MiB) + (total % (2 * MiB) != 0 ? 1 : 0);
    EXPECT_EQ(plan.size(), std::min(wanted, cap));
}

struct PlanCase {
    std::uint64_t total;
    std::int32_t workers;
    std::vector<ByteRange> expected;
};

std::vector<ByteRange> Equal(std::uint64_t count, std::uint64_t length) {
    std::vector<ByteRange> plan;
    for (std::uint64_t i = 0; i < count; ++i) {
        plan.push_back({i * length, (i + 1) * length - 1});
    }
    return plan;
}

TEST(PlanSegments, WorkedExamples) {
    const std::vector<PlanCase> cases = {
        {10485760, 4, Equal(5, 2097152)},
        {5000000, 8, {{0, 1666666}, {1666667, 3333333}, {3333334, 4999999}}},
        {104857600, 8, Equal(32, 3276800)},
        {1073741824, 32, Equal(64, 16777216)},
        {1, 8, {{0, 0}}},
        {3145728, 16, Equal(2, 1572864)},
        {2097153, 4, {{0, 1048576}, {1048577, 2097152}}},
        {2 * MiB, 4, {{0, 2 * MiB - 1}}},
        {2 * MiB + 1, 4, {{0, MiB}, {MiB + 1, 2 * MiB}}},
        {100 * MiB, 1, Equal(4, 25 * MiB)},
        {7, 3, {{0, 6}}},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "total " << c.total << ", workers " << c.workers);
        const std::vector<ByteRange> plan = PlanSegments(c.total, c.workers);
        ASSERT_EQ(plan.size(), c.expected.size());
        for (std::size_t i = 0; i < plan.size(); ++i) {
            EXPECT_EQ(plan[i].first, c.expected[i].first) << "segment " << i;
            EXPECT_EQ(plan[i].last, c.expected[i].last) << "segment " << i;
        }
    }
}

TEST(PlanSegments, EmptyPlans) {
    EXPECT_TRUE(PlanSegments(0, 8).empty());
    EXPECT_TRUE(PlanSegments(0, 1).empty());
    EXPECT_TRUE(PlanSegments(5000000, 0).empty());
    EXPECT_TRUE(PlanSegments(5000000, -4).empty());
    EXPECT_TRUE(PlanSegments(5000000, std::numeric_limits<std::int32_t>::min()).empty());
}

TEST(PlanSegments, HugeWorkerCountsStayAtSixtyFour) {
    EXPECT_EQ(PlanSegments(Max64, std::numeric_limits<std::int32_t>::max()).size(), 64u);
    EXPECT_EQ(PlanSegments(Max64, 1 << 30).size(), 64u);
}

// Sizes close to 2^64 once wrapped the rounded-up division to a tiny count.
TEST(PlanSegments, SizesNearTheTopOfTheRange) {
    const std::vector<std::uint64_t> sizes = {
        Max64,           Max64 - 1,     Max64 - 2 * MiB + 1,    Max64 - 2 * MiB + 2,
        Max64 - 2 * MiB, Max64 / 2 + 1, std::uint64_t{1} << 63, (std::uint64_t{1} << 63) - 1,
    };
    for (const std::uint64_t total : sizes) {
        for (const std::int32_t workers : {1, 2, 16, 32}) {
            ExpectTiles(PlanSegments(total, workers), total, workers);
        }
    }
}

TEST(PlanSegments, RandomSizesTileTheFile) {
    std::mt19937_64 random(20240611);
    std::vector<std::uint64_t> sizes = {1, 2, 63, 64, 65, 2 * MiB - 1, 2 * MiB, 2 * MiB + 1, 128 * MiB, 128 * MiB + 1};
    for (int i = 0; i < 200; ++i) {
        sizes.push_back(1 + random() % (512 * MiB));          // typical files
        sizes.push_back(1 + random() % 4096);                 // tiny files
        sizes.push_back(Max64 - random() % (64 * MiB));       // at the very top
        sizes.push_back((random() >> (random() % 64)) | 1u);  // every magnitude
    }
    for (const std::uint64_t total : sizes) {
        for (std::int32_t workers = 1; workers <= 32; ++workers) {
            ExpectTiles(PlanSegments(total, workers), total, workers);
            if (::testing::Test::HasFailure()) {
                return;
            }
        }
    }
}

}  // namespace
}  // namespace pelbrook
