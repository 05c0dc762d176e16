#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/file_version.h"
#include "engine/segment_plan.h"
#include "transport/platform.h"
#include "transport/url_parts.h"

namespace pelbrook {

struct ProbeResult {
    bool answered = false;
    std::wstring rawHeaders;
    std::uint64_t totalSize = 0;
    // The version the job fetches; every segment's answer is held against it.
    FileVersion version;
    // A 206 that named the total size: ranges are served, whatever Accept-Ranges says.
    bool rangeServed = false;
};

struct ModeDecision {
    bool accelerated = false;
    std::int32_t workerCount = 1;
    bool rangesAccepted = false;
    std::vector<ByteRange> plan;
};

ProbeResult ProbeServer(platform::HttpHandle session, const UrlParts& url);
ModeDecision DecideMode(const ProbeResult& probe, std::int32_t connections);
std::wstring BuildModeLine(bool accelerated, std::int32_t workerCount, bool rangesAccepted, std::uint32_t segmentCount);

}  // namespace pelbrook
