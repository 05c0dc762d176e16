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

// Every worker writes the one file at once; the window may delete it while
// they hold it open, when it closes during a job.
inline constexpr std::uint32_t SegmentFileSharing =
    platform::FileShareRead | platform::FileShareWrite | platform::FileShareDelete;

struct WorkerContext {
    platform::HttpHandle session = nullptr;
    UrlParts url;
    std::wstring outputPath;  // the job's temporary file, pre-sized
    const std::vector<ByteRange>* segments = nullptr;
    std::atomic<std::int32_t>* nextSegmentIndex = nullptr;
    std::atomic<std::uint64_t>* transferredBytes = nullptr;
    ProgressCallback progress;
    std::uint64_t totalSize = 0;
    const std::atomic<bool>* cancel = nullptr;
    std::atomic<std::int32_t>* failedSegments = nullptr;
    // Segments fetched in full; the job's completeness verdict rests on it.
    std::atomic<std::int32_t>* completedSegments = nullptr;
    // The version the probe saw; a segment of any other is not written.
    FileVersion version;
};

void RunSegmentWorker(WorkerContext context);
bool FetchSegment(platform::HttpHandle connection, const UrlParts& url, platform::FileHandle file, ByteRange range,
                  std::atomic<std::uint64_t>* transferredBytes, ProgressCallback progress, std::uint64_t totalSize,
                  const std::atomic<bool>* cancel, const FileVersion& version);

}  // namespace pelbrook
