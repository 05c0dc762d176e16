#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "transport/body_stream.h"

namespace pelbrook {

// Connections asked for when the user names none, and the most workers a job
// runs: a larger request is accepted and capped.
inline constexpr std::int32_t DefaultConnections = 16;
inline constexpr std::int32_t MaxConnections = 32;

// Every message a job ends with.
inline constexpr wchar_t MessageUrlEmpty[] = L"URL is empty.";
inline constexpr wchar_t MessageOutputPathEmpty[] = L"Output path is empty.";
inline constexpr wchar_t MessageConnectionsBelowOne[] = L"Connection count must be at least 1.";
inline constexpr wchar_t MessageInvalidUrl[] = L"Invalid URL.";
inline constexpr wchar_t MessageSessionFailed[] = L"WinHTTP session failed.";
inline constexpr wchar_t MessageNoFileSize[] = L"Could not determine file size from server.";
inline constexpr wchar_t MessageNoOutputFile[] = L"Could not create output file.";
inline constexpr wchar_t MessageCanceled[] = L"Download canceled.";
inline constexpr wchar_t MessageCompleted[] = L"Download completed.";
inline constexpr wchar_t MessageIncomplete[] = L"Download incomplete. Try fewer connections (e.g. 4 or 1).";
inline constexpr wchar_t MessageFailed[] = L"Download failed.";

// A job's cancel request: raised by the window thread, only read by the engine.
// Each job has its own, so that starting the next job never revives one that
// was canceled and is still winding down.
using CancelFlag = std::atomic<bool>;

struct DownloadRequest {
    std::wstring url;
    std::wstring outputPath;
    std::int32_t connections = DefaultConnections;
    // Sets this job's temporary file apart from every other job's, in this
    // process and in others (see TemporaryPathFor); may be empty.
    std::wstring temporaryTag;
    // Null for a job that is never canceled. Outlives the job.
    const CancelFlag* cancel = nullptr;
};

struct DownloadResult {
    bool success = false;
    std::wstring message;
    std::uint64_t bytesDownloaded = 0;
    std::wstring modeLine;
};

using StatusCallback = std::function<void(const std::wstring& line)>;

inline bool Canceled(const CancelFlag* cancel) { return cancel != nullptr && cancel->load(); }

// Size of the file at `path` in bytes; 0 when it cannot be read.
std::uint64_t FileSizeOnDisk(const std::wstring& path);

// The message a job ends with when it is canceled after announcing
// `modeLine` (empty while its mode is not yet known): a canceled single
// transfer is a failed one.
const wchar_t* CanceledJobMessage(const std::wstring& modeLine);

DownloadResult RunDownload(const DownloadRequest& request, ProgressCallback progress, StatusCallback status);

}  // namespace pelbrook
