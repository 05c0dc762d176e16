#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "transport/body_stream.h"

namespace pelbrook {

struct DownloadRequest {
    std::wstring url;
    std::wstring outputPath;
    std::int32_t connections = 16;
    // Makes the file the bytes go to until the job has them all the job's own
    // (see TemporaryPathFor); may be empty.
    std::wstring temporaryTag;
};

struct DownloadResult {
    bool success = false;
    std::wstring message;
    std::uint64_t bytesDownloaded = 0;
    std::wstring modeLine;
};

using StatusCallback = std::function<void(const std::wstring& line)>;

// Raised by the window thread to stop the running job; only read by the engine.
extern std::atomic<bool> CancelFlag;

// Size of the file at `path` in bytes; 0 when it cannot be read.
std::uint64_t FileSizeOnDisk(const std::wstring& path);

DownloadResult RunDownload(const DownloadRequest& request, ProgressCallback progress, StatusCallback status);

}  // namespace pelbrook
