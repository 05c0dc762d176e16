#include "engine/segment_plan.h"

#include <algorithm>

namespace pelbrook {

namespace {

constexpr std::uint64_t SegmentShift = 21;  // 2 MiB
constexpr std::uint64_t SegmentLength = std::uint64_t{1} << SegmentShift;
constexpr std::int64_t SegmentsPerWorker = 4;
constexpr std::int64_t SegmentsPerJob = 64;

}  // namespace

std::vector<ByteRange> PlanSegments(std::uint64_t totalSize, std::int32_t workerCount) {
    // Wide arithmetic: four times a large 32-bit count must not wrap.
    const std::int64_t workers = workerCount;
    const std::int64_t cap = std::min(std::max(SegmentsPerWorker * workers, workers), SegmentsPerJob);
    std::vector<ByteRange> plan;
    if (totalSize == 0 || cap < 1) {
        return plan;
    }

    // Rounded-up division written so that sizes near 2^64 cannot wrap.
    std::uint64_t count = (totalSize >> SegmentShift) + ((totalSize & (SegmentLength - 1)) != 0 ? 1 : 0);
    if (count >= static_cast<std::uint64_t>(cap)) {
        count = static_cast<std::uint64_t>(cap);
    }
    if (count < 1) {
        count = 1;
    }

    const std::uint64_t base = totalSize / count;
    const std::uint64_t remainder = totalSize % count;
    plan.reserve(static_cast<std::size_t>(count));
    std::uint64_t first = 0;
    for (std::uint64_t i = 1; i <= count; ++i) {
        const std::uint64_t last = (i == count) ? totalSize - 1 : first + base - 1 + (i <= remainder ? 1 : 0);
        plan.push_back(ByteRange{first, last});
        first = last + 1;
    }
    return plan;
}

}  // namespace pelbrook
