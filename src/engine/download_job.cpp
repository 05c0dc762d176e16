#include "engine/download_job.h"

#include <utility>

#include "engine/server_probe.h"
#include "engine/single_transfer.h"
#include "engine/worker_pool.h"
#include "transport/handle_owner.h"
#include "transport/platform.h"
#include "transport/url_parts.h"

namespace pelbrook {

std::atomic<bool> CancelFlag{false};

namespace {

constexpr wchar_t UserAgent[] =
    L"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
    L"Safari/537.36";

constexpr std::uint32_t TimeoutMilliseconds = 60000;
constexpr std::uint32_t MaxConnectionsPerServer = 100;

void SetSessionOption(platform::HttpHandle session, std::uint32_t option, std::uint32_t value) {
    platform::HttpSetOption(session, option, &value, sizeof(value));
}

void ConfigureSession(platform::HttpHandle session) {
    SetSessionOption(session, platform::OptionConnectTimeout, TimeoutMilliseconds);
    SetSessionOption(session, platform::OptionSendTimeout, TimeoutMilliseconds);
    SetSessionOption(session, platform::OptionReceiveTimeout, TimeoutMilliseconds);
    SetSessionOption(session, platform::OptionDisableFeature, platform::DisableCookies);
    SetSessionOption(session, platform::OptionMaxConnsPerServer, MaxConnectionsPerServer);
    SetSessionOption(session, platform::OptionMaxConnsPer10Server, MaxConnectionsPerServer);
}

// The one step that touches the output path: the whole temporary file takes
// its place, replacing an existing file only now. A job canceled meanwhile (the
// window may be closing) leaves the output path alone. Whatever does not end
// at the output path is deleted.
bool ReplaceOutputFile(const std::wstring& temporaryPath, const std::wstring& outputPath) {
    const bool moved =
        !CancelFlag.load() && platform::FileMove(temporaryPath.c_str(), outputPath.c_str(),
                                                 platform::MoveFileReplaceExisting | platform::MoveFileWriteThrough);
    if (!moved) {
        platform::FileDelete(temporaryPath.c_str());
    }
    return moved;
}

}  // namespace

std::wstring TemporaryPathFor(const std::wstring& outputPath, const std::wstring& tag) {
    return outputPath + (tag.empty() ? L"" : L"." + tag) + L".part";
}

std::uint64_t FileSizeOnDisk(const std::wstring& path) {
    std::uint64_t size = 0;
    if (!platform::FileGetSize(path.c_str(), &size)) {
        return 0;
    }
    return size;
}

DownloadResult RunDownload(const DownloadRequest& request, ProgressCallback progress, StatusCallback status) {
    DownloadResult result;
    if (request.url.empty()) {
        result.message = L"URL is empty.";
        return result;
    }
    if (request.outputPath.empty()) {
        result.message = L"Output path is empty.";
        return result;
    }
    if (request.connections < 1) {
        result.message = L"Connection count must be at least 1.";
        return result;
    }

    UrlParts url;
    url.port = 80;
    url.secure = false;
    if (!CrackUrl(request.url, url)) {
        result.message = L"Invalid URL.";
        return result;
    }

    HttpHandleOwner session(platform::HttpOpen(UserAgent, platform::AccessTypeDefaultProxy, nullptr, nullptr, 0));
    if (session.get() == nullptr) {
        result.message = L"WinHTTP session failed.";
        return result;
    }
    ConfigureSession(session.get());

    const ProbeResult probe = ProbeServer(session.get(), url);
    if (!probe.answered || probe.totalSize == 0) {
        result.message = L"Could not determine file size from server.";
        return result;
    }

    const ModeDecision mode = DecideMode(probe, request.connections);
    result.modeLine = BuildModeLine(mode.accelerated, mode.workerCount, mode.rangesAccepted,
                                    static_cast<std::uint32_t>(mode.plan.size()));
    if (status) {
        status(result.modeLine);
    }

    const std::wstring temporaryPath =
        request.temporaryPath.empty() ? TemporaryPathFor(request.outputPath, L"") : request.temporaryPath;
    if (!mode.accelerated) {
        const bool ok =
            DownloadSingleConnection(session.get(), url, temporaryPath, progress, &CancelFlag, probe.totalSize) &&
            ReplaceOutputFile(temporaryPath, request.outputPath);
        result.success = ok;
        result.message = ok ? L"Download completed." : L"Download failed.";
        return result;
    }

    const SegmentedOutcome outcome = RunSegmentedTransfer(session.get(), url, temporaryPath, probe.totalSize, mode.plan,
                                                          mode.workerCount, progress, &CancelFlag, probe.version);
    if (!outcome.fileCreated) {
        result.message = L"Could not create output file.";
        return result;
    }
    if (CancelFlag.load()) {
        session.reset();
        platform::FileDelete(temporaryPath.c_str());
        result.message = L"Download canceled.";
        return result;
    }

    // The file is pre-sized and the byte counter only moves with a progress
    // callback, so neither tells on its own whether every byte arrived; only
    // a full count of fetched segments does.
    const bool complete = outcome.completedSegments >= 0 &&
                          static_cast<std::size_t>(outcome.completedSegments) == mode.plan.size() &&
                          FileSizeOnDisk(temporaryPath) == probe.totalSize;
    const std::uint64_t done = complete ? probe.totalSize : outcome.transferredBytes;
    if (progress) {
        progress(done, probe.totalSize);
    }
    session.reset();
    if (!complete) {
        // A pre-sized file with holes would pass for a finished one.
        platform::FileDelete(temporaryPath.c_str());
        result.bytesDownloaded = done;
        result.message = L"Download incomplete. Try fewer connections (e.g. 4 or 1).";
        return result;
    }
    if (!ReplaceOutputFile(temporaryPath, request.outputPath)) {
        result.message = L"Download failed.";
        return result;
    }
    result.success = true;
    result.bytesDownloaded = done;
    result.message = L"Download completed.";
    return result;
}

}  // namespace pelbrook
