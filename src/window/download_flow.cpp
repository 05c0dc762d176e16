#include "window/download_flow.h"

#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "engine/download_job.h"
#include "engine/temporary_file.h"
#include "platform/text_scan.h"
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
    const std::wstring url = ReadControlText(App.urlEdit);
    if (url.empty()) {
        SetText(App.statusLabel, TextPasteUrlFirst);
        return std::nullopt;
    }
    const std::optional<std::int32_t> connections = ParseConnectionCount(ReadControlText(App.connectionsEdit));
    if (!connections || *connections < 1 || *connections > MaxConnections) {
        SetText(App.statusLabel, L"Connections must be between 1 and " + std::to_wstring(MaxConnections) + L".");
        return std::nullopt;
    }
    return DownloadRequest{url, BuildOutputPath(), *connections, {}};
}

void ResetProgress() {
    App.bytesDone.store(0);
    App.bytesTotal.store(0);
    App.outcome = std::make_unique<JobOutcome>();
    App.startTick = platform::TickCount();
    App.lastSampleBytes = 0;
    App.lastSampleTick = platform::TickCount();
    App.speedBytesPerSec = 0.0;
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

void StoreJobProgress(std::uint64_t done, std::uint64_t total) {
    App.bytesDone.store(done);
    App.bytesTotal.store(total);
}

void PostJobStatus(std::uint32_t jobNumber, const std::wstring& line) {
    auto* text = new std::wstring(line);
    delete App.postedStatus.exchange(text);
    const auto lParam = reinterpret_cast<std::intptr_t>(text);
    // Once the window is gone nobody will take the string.
    if (!platform::PostWindowMessage(App.mainWindow, WM_JOB_STATUS, jobNumber, lParam)) {
        std::wstring* expected = text;
        if (App.postedStatus.compare_exchange_strong(expected, nullptr)) delete text;
    }
}

void StartDownload() {
    if (App.running) return;
    std::optional<DownloadRequest> request = ReadRequest();
    if (!request) return;

    CancelFlag.store(false);
    App.running = true;
    ResetProgress();
    const std::wstring previousModeLine = ReadControlText(App.modeLabel);
    ShowRunning();

    const std::uint32_t job = ++App.jobNumber;
    App.request = std::move(*request);
    // After the process and the job, so that two windows downloading the
    // same name never write into one file.
    App.request.temporaryTag = std::to_wstring(platform::CurrentProcessId()) + L"-" + std::to_wstring(job);
    if (!platform::StartDetachedThread([request = App.request, job] { JobThreadMain(request, job); })) {
        ShowNotStarted(previousModeLine);
    }
}

void JobThreadMain(DownloadRequest request, std::uint32_t jobNumber) {
    const DownloadResult result = RunDownload(
        request, StoreJobProgress, [jobNumber](const std::wstring& line) { PostJobStatus(jobNumber, line); });

    if (App.outcome) {
        App.outcome->succeeded = result.success;
        App.outcome->savedPath = request.outputPath;
        App.outcome->summary = result.message + TextSavedTo + request.outputPath;
    }
    App.finishedJob.store(jobNumber);
    platform::PostWindowMessage(App.mainWindow, WM_JOB_FINISHED, jobNumber, 0);
}

void RequestCancel() {
    CancelFlag.store(true);
    SetText(App.statusLabel, TextCanceling);
}

void OnStartButton() {
    // Windows turns the second click of a double-click on a button into
    // another press: it must neither cancel the job that the first click
    // started nor start another after a job that ended at once.
    if (App.jobNumber != 0 && platform::TickCount() - App.startTick <= platform::DoubleClickTimeMs()) return;
    if (App.running) {
        RequestCancel();
    } else {
        StartDownload();
    }
}

void OnJobStatus(std::uintptr_t wParam, std::intptr_t lParam) {
    if (lParam == 0 || wParam != App.jobNumber) return;
    auto* expected = reinterpret_cast<std::wstring*>(lParam);
    if (!App.postedStatus.compare_exchange_strong(expected, nullptr)) return;
    std::unique_ptr<std::wstring> line(expected);
    SetText(App.modeLabel, *line);
}

void OnJobFinished(std::uintptr_t wParam) {
    if (!App.running || wParam != App.jobNumber || App.finishedJob.load() != App.jobNumber) return;
    platform::StopTimer(App.mainWindow, IDT_PROGRESS);
    App.running = false;
    SetInputsEnabled(true);
    SetText(App.startButton, TextDownload);
    if (!App.outcome) return;

    const JobOutcome& outcome = *App.outcome;
    platform::SetProgressPosition(App.progressBar, outcome.succeeded ? ProgressBarFullScale : 0);
    const std::uint64_t now = platform::TickCount();
    const std::uint64_t elapsed = now >= App.startTick ? now - App.startTick : 0;
    SetText(App.statusLabel, outcome.summary + TextTime + FormatDuration(elapsed));

    if (outcome.succeeded && !outcome.savedPath.empty()) {
        const std::wstring parameters = L"/select,\"" + outcome.savedPath + L"\"";
        platform::ShellExecuteOpen(L"open", L"explorer.exe", parameters.c_str(), platform::ShowNormal);
    }
}

void OnMainWindowDestroyed() {
    CancelFlag.store(true);
    platform::StopTimer(App.mainWindow, IDT_PROGRESS);
    // The job's file goes at the latest when the process ends and its handles
    // close; the cancel flag keeps the job from moving it into place meanwhile.
    if (App.running) AbandonTemporaryFile(App.request);
}

}  // namespace pelbrook
