#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/file_version.h"
#include "engine/segment_plan.h"
#include "platform/http_client.h"
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

// A canceled job sends no second request.
ProbeResult ProbeServer(platform::HttpHandle session, const UrlParts& url, const std::atomic<bool>* cancel = nullptr);
ModeDecision DecideMode(const ProbeResult& probe, std::int32_t connections);
// How every accelerated mode line starts, and no other.
inline constexpr wchar_t AcceleratedModePrefix[] = L"Mode: Accelerated - ";

std::wstring BuildModeLine(bool accelerated, std::int32_t workerCount, bool rangesAccepted, std::uint32_t segmentCount);

}  // namespace pelbrook
