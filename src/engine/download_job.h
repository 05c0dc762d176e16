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
    // Where the bytes go until the job has them all; empty means
    // TemporaryPathFor(outputPath, L"").
    std::wstring temporaryPath;
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

// The file a job writes before it replaces the output file: in the same folder,
// so that the last step is a rename on one volume, and named after the output
// file with `tag` (which makes it the job's own) and ".part", so that nobody
// takes it for a finished download.
std::wstring TemporaryPathFor(const std::wstring& outputPath, const std::wstring& tag);

DownloadResult RunDownload(const DownloadRequest& request, ProgressCallback progress, StatusCallback status);

}  // namespace pelbrook
