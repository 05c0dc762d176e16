#pragma once

#include <cstdint>
#include <vector>

namespace pelbrook {

struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;  // inclusive
};

std::vector<ByteRange> PlanSegments(std::uint64_t totalSize, std::int32_t workerCount);

}  // namespace pelbrook
