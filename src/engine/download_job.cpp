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
namespace {

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

// What a transfer left in the temporary file: whole, or the message the job
// ends with instead.
struct Transfer {
    const wchar_t* problem = nullptr;
    std::uint64_t bytesDownloaded = 0;
};

// A canceled single transfer is a failed one, as every other single failure.
Transfer TransferSingle(platform::HttpHandle session, const UrlParts& url, const std::wstring& temporaryPath,
                        const DownloadRequest& request, std::uint64_t totalSize, ProgressCallback progress) {
    const bool whole =
        DownloadSingleConnection(session, url, temporaryPath, std::move(progress), request.cancel, totalSize);
    return {whole ? nullptr : MessageFailed, 0};
}

// The file is pre-sized and the byte counter only moves with a progress
// callback, so neither tells on its own whether every byte arrived; only a full
// count of fetched segments does.
bool SegmentsComplete(const SegmentedOutcome& outcome, const ModeDecision& mode, const std::wstring& temporaryPath,
                      std::uint64_t totalSize) {
    return outcome.completedSegments >= 0 && static_cast<std::size_t>(outcome.completedSegments) == mode.plan.size() &&
           FileSizeOnDisk(temporaryPath) == totalSize;
}

Transfer TransferSegmented(platform::HttpHandle session, const UrlParts& url, const std::wstring& temporaryPath,
                           const DownloadRequest& request, const ProbeResult& probe, const ModeDecision& mode,
                           const ProgressCallback& progress) {
    const SegmentedOutcome outcome = RunSegmentedTransfer(session, url, temporaryPath, probe.totalSize, mode.plan,
                                                          mode.workerCount, progress, request.cancel, probe.version);
    if (!outcome.fileCreated) return {MessageNoOutputFile, 0};
    if (Canceled(request.cancel)) return {MessageCanceled, 0};

    const bool complete = SegmentsComplete(outcome, mode, temporaryPath, probe.totalSize);
    const std::uint64_t done = complete ? probe.totalSize : outcome.transferredBytes;
    if (progress) progress(done, probe.totalSize);
    // A pre-sized file with holes would pass for a finished one.
    return {complete ? nullptr : MessageIncomplete, done};
}

// What a job ends with when its output path reaches another file: the
// message of its mode for a file it could not make.
const wchar_t* AnotherFileMessage(const ModeDecision& mode) {
    return mode.accelerated ? MessageNoOutputFile : MessageFailed;
}

// The one place where a job's temporary file ends: whole, it takes the output
// file's place; otherwise it is deleted and the output file stays as it was.
DownloadResult EndWithFile(DownloadResult result, Transfer transfer, const std::wstring& temporaryPath,
                           const DownloadRequest& request, const ModeDecision& mode) {
    // Looked at again at the last moment: the other file may have come meanwhile.
    if (transfer.problem == nullptr && OutputPathNamesAnotherFile(request.outputPath)) {
        transfer = {AnotherFileMessage(mode), 0};
    }
    if (transfer.problem == nullptr && ReplaceOutputFile(temporaryPath, request.outputPath, request.cancel)) {
        result.bytesDownloaded = transfer.bytesDownloaded;
        return Ended(std::move(result), MessageCompleted, true);
    }
    DeleteTemporaryFile(temporaryPath);
    if (transfer.problem != nullptr) {
        result.bytesDownloaded = transfer.bytesDownloaded;
        return Ended(std::move(result), transfer.problem);
    }
    // Whole but not in place: canceled between the replace's tries, or held too long by another program.
    return Ended(std::move(result), Canceled(request.cancel) ? CanceledJobMessage(result.modeLine) : MessageFailed);
}

}  // namespace

std::uint64_t FileSizeOnDisk(const std::wstring& path) {
    std::uint64_t size = 0;
    if (!platform::FileGetSize(path.c_str(), &size)) {
        return 0;
    }
    return size;
}

const wchar_t* CanceledJobMessage(const std::wstring& modeLine) {
    const bool single = !modeLine.empty() && modeLine.rfind(AcceleratedModePrefix, 0) != 0;
    return single ? MessageFailed : MessageCanceled;
}

DownloadResult RunDownload(const DownloadRequest& request, ProgressCallback progress, StatusCallback status) {
    DownloadResult result;
    if (const wchar_t* problem = RequestProblem(request)) return Ended(result, problem);

    UrlParts url;
    if (!CrackUrl(request.url, url)) return Ended(result, MessageInvalidUrl);

    HttpHandleOwner session(platform::HttpOpen(UserAgent, platform::AccessTypeDefaultProxy, nullptr, nullptr, 0));
    if (session.get() == nullptr) return Ended(result, MessageSessionFailed);
    ConfigureSession(session.get());

    const ProbeResult probe = ProbeServer(session.get(), url, request.cancel);
    if (Canceled(request.cancel)) return Ended(result, MessageCanceled);
    if (!probe.answered || probe.totalSize == 0) return Ended(result, MessageNoFileSize);

    const ModeDecision mode = DecideMode(probe, request.connections);
    result.modeLine = BuildModeLine(mode.accelerated, mode.workerCount, mode.rangesAccepted,
                                    static_cast<std::uint32_t>(mode.plan.size()));
    if (status) status(result.modeLine);
    if (OutputPathNamesAnotherFile(request.outputPath)) return Ended(result, AnotherFileMessage(mode));

    const std::wstring temporaryPath = TemporaryPathFor(request);
    const Transfer transfer =
        mode.accelerated
            ? TransferSegmented(session.get(), url, temporaryPath, request, probe, mode, progress)
            : TransferSingle(session.get(), url, temporaryPath, request, probe.totalSize, std::move(progress));
    // Before the file steps, which may wait for another program to let go of the file.
    session.reset();
    return EndWithFile(std::move(result), transfer, temporaryPath, request, mode);
}

}  // namespace pelbrook
