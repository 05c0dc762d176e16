#include "window/download_flow.h"

#include <array>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "engine/download_job.h"
#include "engine/temporary_file.h"
#include "platform/text_scan.h"
#include "transport/url_parts.h"
#include "window/app_state.h"
#include "window/output_path.h"
#include "window/progress_display.h"

namespace pelbrook {
namespace {

platform::WindowHandle BrowseButton() { return platform::FindChildControl(App.mainWindow, IDC_BROWSE); }

void SetText(platform::WindowHandle control, const std::wstring& text) {
    platform::SetControlText(control, text.c_str());
}

// The fields as the user left them, or null with the reason shown.
std::optional<DownloadRequest> ReadRequest() {
    const std::wstring field = ReadControlText(App.urlEdit);
    if (field.empty()) {
        SetText(App.statusLabel, TextPasteUrlFirst);
        return std::nullopt;
    }
    const std::optional<std::int32_t> connections = ParseConnectionCount(ReadControlText(App.connectionsEdit));
    if (!connections || *connections < 1 || *connections > MaxConnections) {
        SetText(App.statusLabel, TextConnectionsOutOfRange);
        return std::nullopt;
    }
    // Trimmed once, here: the request and the file name use the same text.
    const std::wstring url = TrimPastedUrl(field);
    return DownloadRequest{url, BuildOutputPath(url), *connections, {}};
}

void ShowRunning() {
    SetInputsEnabled(false);
    SetText(App.startButton, TextCancel);
    platform::SetProgressRange(App.progressBar, 0, static_cast<std::uint16_t>(ProgressBarFullScale));
    platform::SetProgressPosition(App.progressBar, 0);
    SetText(App.modeLabel, TextModeChecking);
    SetText(App.statusLabel, TextConnecting);
    platform::StartTimer(App.mainWindow, IDT_PROGRESS, ProgressTimerPeriodMs);
}

// Without a thread there is no job: back to Idle, saying why.
void ShowNotStarted(const std::wstring& previousModeLine) {
    platform::StopTimer(App.mainWindow, IDT_PROGRESS);
    App.running = false;
    SetInputsEnabled(true);
    SetText(App.startButton, TextDownload);
    SetText(App.modeLabel, previousModeLine);
    SetText(App.statusLabel, TextNotStarted);
}

JobOutcome OutcomeOf(const std::wstring& message, bool succeeded, const std::wstring& outputPath) {
    return JobOutcome{message + TextSavedTo + outputPath, outputPath, succeeded};
}

// Back to Idle with the job's finished line.
void ShowEnded(const JobOutcome& outcome) {
    platform::StopTimer(App.mainWindow, IDT_PROGRESS);
    App.running = false;
    SetInputsEnabled(true);
    SetText(App.startButton, TextDownload);
    platform::SetProgressPosition(App.progressBar, outcome.succeeded ? ProgressBarFullScale : 0);
    const std::uint64_t now = platform::TickCount();
    const std::uint64_t elapsed = now >= App.job.startTick ? now - App.job.startTick : 0;
    SetText(App.statusLabel, outcome.summary + TextTime + FormatDuration(elapsed));

    // By its full path: Windows looks for a bare "explorer.exe" in our own
    // folder and the current one first, where a download of that name may lie.
    std::array<wchar_t, platform::MaxPathChars> windows{};
    if (outcome.succeeded && !outcome.savedPath.empty() && platform::GetWindowsFolder(windows.data())) {
        std::wstring explorer = windows.data();
        if (explorer.back() != L'\\') explorer += L'\\';
        explorer += L"explorer.exe";
        const std::wstring parameters = L"/select,\"" + outcome.savedPath + L"\"";
        platform::ShellExecuteOpen(L"open", explorer.c_str(), parameters.c_str(), platform::ShowNormal);
    }
}

// A canceled job that has not wound down by now is blocked in a call that only
// the server or a time-out ends. The window lets it go: its file goes now (the
// job deletes it again once the call returns), the window drops its share of
// the job's record, so nothing the job sends later is looked at, and the job
// ends as a canceled job of its mode does.
// A job that did end meanwhile, its WM_JOB_FINISHED still on the way, ends
// with its own outcome.
void StopWaitingForJob() {
    const std::shared_ptr<SharedJob> job = std::move(App.job.shared);
    if (job->finished.load()) {
        ShowEnded(job->outcome);
        return;
    }
    AbandonTemporaryFile(App.job.request);
    ShowEnded(OutcomeOf(CanceledJobMessage(App.job.modeLine), false, App.job.request.outputPath));
}

}  // namespace

std::optional<std::int32_t> ParseConnectionCount(const std::wstring& text) {
    if (text.empty()) return DefaultConnections;
    const LeadingNumber number = ScanLeadingNumber(text);
    // Too large for the runtime's int: no count the user could have meant.
    constexpr std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    if (number.overflow || number.magnitude > limit + (number.negative ? 1 : 0)) return std::nullopt;
    const auto magnitude = static_cast<std::int64_t>(number.magnitude);
    return static_cast<std::int32_t>(number.negative ? -magnitude : magnitude);
}

void SetInputsEnabled(bool enable) {
    platform::EnableControl(App.urlEdit, enable);
    platform::EnableControl(App.folderEdit, enable);
    platform::EnableControl(App.connectionsEdit, enable);
    platform::EnableControl(BrowseButton(), enable);
}

void StoreJobProgress(SharedJob& job, std::uint64_t done, std::uint64_t total) {
    job.bytesDone.store(done);
    job.bytesTotal.store(total);
}

void PostJobStatus(SharedJob& job, std::uint32_t jobNumber, const std::wstring& line) {
    auto* text = new std::wstring(line);
    delete job.postedStatus.exchange(text);
    const auto lParam = reinterpret_cast<std::intptr_t>(text);
    // Once the window is gone nobody will take the string.
    if (!platform::PostWindowMessage(App.mainWindow, WM_JOB_STATUS, jobNumber, lParam)) {
        std::wstring* expected = text;
        if (job.postedStatus.compare_exchange_strong(expected, nullptr)) delete text;
    }
}

void StartDownload() {
    if (App.running) return;
    std::optional<DownloadRequest> request = ReadRequest();
    if (!request) return;

    JobView job;
    job.number = App.job.number + 1;
    job.request = std::move(*request);
    // After the process and the job, so that two windows, or a job the window
    // stopped waiting for and the next, never write into one file.
    job.request.temporaryTag = std::to_wstring(platform::CurrentProcessId()) + L"-" + std::to_wstring(job.number);
    job.shared = std::make_shared<SharedJob>();
    job.startTick = platform::TickCount();
    job.lastSampleTick = platform::TickCount();
    App.job = std::move(job);
    App.running = true;
    const std::wstring previousModeLine = ReadControlText(App.modeLabel);
    ShowRunning();

    if (!platform::StartDetachedThread(
            [request = App.job.request, number = App.job.number, shared = App.job.shared] {
                JobThreadMain(request, number, shared);
            })) {
        ShowNotStarted(previousModeLine);
    }
}

void JobThreadMain(DownloadRequest request, std::uint32_t jobNumber, std::shared_ptr<SharedJob> job) {
    request.cancel = &job->cancel;
    SharedJob* shared = job.get();  // alive until this thread ends, after every worker
    const DownloadResult result = RunDownload(
        request, [shared](std::uint64_t done, std::uint64_t total) { StoreJobProgress(*shared, done, total); },
        [shared, jobNumber](const std::wstring& line) { PostJobStatus(*shared, jobNumber, line); });

    job->outcome = OutcomeOf(result.message, result.success, request.outputPath);
    job->finished.store(true);
    platform::PostWindowMessage(App.mainWindow, WM_JOB_FINISHED, jobNumber, 0);
}

void RequestCancel() {
    if (App.job.shared) App.job.shared->cancel.store(true);
    SetText(App.statusLabel, TextCanceling);
    if (!App.job.cancelAsked) {
        App.job.cancelAsked = true;
        App.job.cancelTick = platform::TickCount();
    }
}

void OnStartButton() {
    // Windows turns the second click of a double-click on a button into
    // another press: it must neither cancel the job that the first click
    // started nor start another after a job that ended at once.
    if (App.job.number != 0 && platform::TickCount() - App.job.startTick <= platform::DoubleClickTimeMs()) return;
    if (App.running) {
        RequestCancel();
    } else {
        StartDownload();
    }
}

void OnJobStatus(std::uintptr_t wParam, std::intptr_t lParam) {
    const std::shared_ptr<SharedJob>& job = App.job.shared;
    if (lParam == 0 || !job || wParam != App.job.number) return;
    auto* expected = reinterpret_cast<std::wstring*>(lParam);
    if (!job->postedStatus.compare_exchange_strong(expected, nullptr)) return;
    std::unique_ptr<std::wstring> line(expected);
    App.job.modeLine = *line;
    SetText(App.modeLabel, *line);
}

void OnJobFinished(std::uintptr_t wParam) {
    const std::shared_ptr<SharedJob>& job = App.job.shared;
    if (!App.running || !job || wParam != App.job.number || !job->finished.load()) return;
    ShowEnded(job->outcome);
}

void OnProgressTimer() {
    if (!App.running) return;
    if (App.job.cancelAsked && platform::TickCount() - App.job.cancelTick >= CancelWaitMs) {
        StopWaitingForJob();
        return;
    }
    UpdateProgressDisplay();
}

void OnSessionEnd(bool ending) {
    // Windows ends the process next, without WM_DESTROY.
    if (ending) OnMainWindowDestroyed();
}

void OnMainWindowDestroyed() {
    if (App.job.shared) App.job.shared->cancel.store(true);
    platform::StopTimer(App.mainWindow, IDT_PROGRESS);
    // The job's file goes at the latest when the process ends and its handles
    // close; the cancel request keeps the job from moving it into place meanwhile.
    if (App.running) AbandonTemporaryFile(App.job.request);
}

}  // namespace pelbrook
