#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/file_version.h"
#include "engine/segment_plan.h"
#include "transport/body_stream.h"
#include "transport/platform.h"
#include "transport/url_parts.h"

namespace pelbrook {

struct SegmentedOutcome {
    bool fileCreated = false;
    std::uint64_t transferredBytes = 0;
    std::int32_t failedSegments = 0;
    std::int32_t completedSegments = 0;  // segments fetched in full
};

SegmentedOutcome RunSegmentedTransfer(platform::HttpHandle session, const UrlParts& url, const std::wstring& outputPath,
                                      std::uint64_t totalSize, const std::vector<ByteRange>& plan,
                                      std::int32_t workerCount, ProgressCallback progress,
                                      const std::atomic<bool>* cancel,
                                      const FileVersion& version);

}  // namespace pelbrook
