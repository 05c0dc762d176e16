#include "engine/download_job.h"

#include <utility>

#include "engine/server_probe.h"
#include "engine/single_transfer.h"
#include "engine/temporary_file.h"
#include "engine/worker_pool.h"
#include "transport/handle_owner.h"
#include "platform/files.h"
#include "platform/http_client.h"
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

// The checks that come before anything is touched; null when the request may run.
const wchar_t* RequestProblem(const DownloadRequest& request) {
    if (request.url.empty()) return MessageUrlEmpty;
    if (request.outputPath.empty()) return MessageOutputPathEmpty;
    if (request.connections < 1) return MessageConnectionsBelowOne;
    return nullptr;
}

DownloadResult Ended(DownloadResult result, const wchar_t* message, bool success = false) {
    result.message = message;
    result.success = success;
    return result;
}

// One GET of the whole file; the job's session is closed before the file steps,
// which may wait for another program to let go of the file.
DownloadResult FinishSingle(HttpHandleOwner session, const UrlParts& url, const DownloadRequest& request,
                            std::uint64_t totalSize, ProgressCallback progress, DownloadResult result) {
    const std::wstring temporaryPath = TemporaryPathFor(request);
    const bool transferred =
        DownloadSingleConnection(session.get(), url, temporaryPath, std::move(progress), &CancelFlag, totalSize);
    session.reset();
    if (!transferred) DeleteTemporaryFile(temporaryPath);
    const bool ok = transferred && ReplaceOutputFile(temporaryPath, request.outputPath, &CancelFlag);
    return Ended(std::move(result), ok ? MessageCompleted : MessageFailed, ok);
}

// The file is pre-sized and the byte counter only moves with a progress
// callback, so neither tells on its own whether every byte arrived; only a full
// count of fetched segments does.
bool SegmentsComplete(const SegmentedOutcome& outcome, const ModeDecision& mode, const std::wstring& temporaryPath,
                      std::uint64_t totalSize) {
    return outcome.completedSegments >= 0 && static_cast<std::size_t>(outcome.completedSegments) == mode.plan.size() &&
           FileSizeOnDisk(temporaryPath) == totalSize;
}

DownloadResult FinishSegmented(HttpHandleOwner session, const UrlParts& url, const DownloadRequest& request,
                               const ProbeResult& probe, const ModeDecision& mode, const ProgressCallback& progress,
                               DownloadResult result) {
    const std::wstring temporaryPath = TemporaryPathFor(request);
    const SegmentedOutcome outcome = RunSegmentedTransfer(session.get(), url, temporaryPath, probe.totalSize, mode.plan,
                                                          mode.workerCount, progress, &CancelFlag, probe.version);
    if (!outcome.fileCreated) {
        DeleteTemporaryFile(temporaryPath);
        return Ended(std::move(result), MessageNoOutputFile);
    }
    if (CancelFlag.load()) {
        session.reset();
        DeleteTemporaryFile(temporaryPath);
        return Ended(std::move(result), MessageCanceled);
    }

    const bool complete = SegmentsComplete(outcome, mode, temporaryPath, probe.totalSize);
    const std::uint64_t done = complete ? probe.totalSize : outcome.transferredBytes;
    if (progress) progress(done, probe.totalSize);
    session.reset();
    if (!complete) {
        // A pre-sized file with holes would pass for a finished one.
        DeleteTemporaryFile(temporaryPath);
        result.bytesDownloaded = done;
        return Ended(std::move(result), MessageIncomplete);
    }
    if (!ReplaceOutputFile(temporaryPath, request.outputPath, &CancelFlag)) {
        return Ended(std::move(result), MessageFailed);
    }
    result.bytesDownloaded = done;
    return Ended(std::move(result), MessageCompleted, true);
}

}  // namespace

std::uint64_t FileSizeOnDisk(const std::wstring& path) {
    std::uint64_t size = 0;
    if (!platform::FileGetSize(path.c_str(), &size)) {
        return 0;
    }
    return size;
}

DownloadResult RunDownload(const DownloadRequest& request, ProgressCallback progress, StatusCallback status) {
    DownloadResult result;
    if (const wchar_t* problem = RequestProblem(request)) return Ended(result, problem);

    UrlParts url;
    url.port = 80;
    url.secure = false;
    if (!CrackUrl(request.url, url)) return Ended(result, MessageInvalidUrl);

    HttpHandleOwner session(platform::HttpOpen(UserAgent, platform::AccessTypeDefaultProxy, nullptr, nullptr, 0));
    if (session.get() == nullptr) return Ended(result, MessageSessionFailed);
    ConfigureSession(session.get());

    const ProbeResult probe = ProbeServer(session.get(), url);
    if (!probe.answered || probe.totalSize == 0) return Ended(result, MessageNoFileSize);

    const ModeDecision mode = DecideMode(probe, request.connections);
    result.modeLine = BuildModeLine(mode.accelerated, mode.workerCount, mode.rangesAccepted,
                                    static_cast<std::uint32_t>(mode.plan.size()));
    if (status) status(result.modeLine);

    if (!mode.accelerated) {
        return FinishSingle(std::move(session), url, request, probe.totalSize, std::move(progress), std::move(result));
    }
    return FinishSegmented(std::move(session), url, request, probe, mode, progress, std::move(result));
}

}  // namespace pelbrook
